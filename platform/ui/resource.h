// Resources of the window-framework stand-in: modules, resource lookup and the Load*
// functions over the platform's binary layouts (menu templates, string tables, bitmaps as
// device-independent bitmaps, icons and icon groups, dialog templates as they are stored).
//
// A module's resources come from a compiled resource file (the format the build's resource
// compiler writes; see resources/README.md): the program's own are linked into it and
// registered at start (GetModuleHandleW(nullptr)); a resource-only library is a compiled
// resource file loaded with LoadLibraryExW(..., LOAD_LIBRARY_AS_DATAFILE). Every offset and
// size in a loaded file is checked before use: a damaged file fails to load.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/ui/ui_types.h"

namespace win32 {

inline LPCWSTR const RT_CURSOR = MAKEINTRESOURCEW(1);
inline LPCWSTR const RT_BITMAP = MAKEINTRESOURCEW(2);
inline LPCWSTR const RT_ICON = MAKEINTRESOURCEW(3);
inline LPCWSTR const RT_MENU = MAKEINTRESOURCEW(4);
inline LPCWSTR const RT_DIALOG = MAKEINTRESOURCEW(5);
inline LPCWSTR const RT_STRING = MAKEINTRESOURCEW(6);
inline LPCWSTR const RT_RCDATA = MAKEINTRESOURCEW(10);
inline LPCWSTR const RT_GROUP_ICON = MAKEINTRESOURCEW(14);

constexpr DWORD LOAD_LIBRARY_AS_DATAFILE = 0x00000002;
constexpr DWORD LOAD_LIBRARY_AS_IMAGE_RESOURCE = 0x00000020;
HMODULE GetModuleHandleW(LPCWSTR name);  // null: the program
HMODULE LoadLibraryExW(LPCWSTR path, HANDLE reserved, DWORD flags);  // data files only
BOOL FreeLibrary(HMODULE module);

HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type);
HGLOBAL LoadResource(HMODULE module, HRSRC resource);
const void* LockResource(HGLOBAL data);
DWORD SizeofResource(HMODULE module, HRSRC resource);

// max 0: *buffer receives a pointer to the stored text (not terminated) and the length is returned.
int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int max);
HMENU LoadMenuW(HINSTANCE instance, LPCWSTR name);
HBITMAP LoadBitmapW(HINSTANCE instance, LPCWSTR name);
HICON LoadIconW(HINSTANCE instance, LPCWSTR name);  // the SM_CXICON size

constexpr UINT IMAGE_BITMAP = 0;
constexpr UINT IMAGE_ICON = 1;
constexpr UINT LR_DEFAULTCOLOR = 0x0000;
constexpr UINT LR_DEFAULTSIZE = 0x0040;
constexpr UINT LR_SHARED = 0x8000;
constexpr UINT LR_CREATEDIBSECTION = 0x2000;
// Icons: the stored image closest to cx x cy (0: the stored size, or SM_CXICON with
// LR_DEFAULTSIZE), scaled when no size matches.
void* LoadImageW(HINSTANCE instance, LPCWSTR name, UINT type, int cx, int cy, UINT flags);

namespace ui {
// The program's compiled resources (the generated source of the resource compiler calls this).
void RegisterProgramResources(const uint8_t* data, size_t size);
// Reads a compiled resource file image; false when any part of it is out of bounds.
bool ValidateResourceFile(const uint8_t* data, size_t size);
// menu.cpp. `size` bounds every read; kUnboundedTemplate (LoadMenuIndirectW only) trusts
// the caller's template to be terminated.
inline constexpr size_t kUnboundedTemplate = static_cast<size_t>(-1);
HMENU LoadMenuTemplate(const void* data, size_t size);
}  // namespace ui

}  // namespace win32
