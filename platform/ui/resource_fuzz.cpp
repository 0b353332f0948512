// Compiled resource files come from outside the program (a resource-only library is a file
// on disk): any bytes must be refused or loaded without reading out of bounds.

#include <cstddef>
#include <cstdint>

#include "platform/ui/gdi.h"
#include "platform/ui/menu.h"
#include "platform/ui/resource.h"

using namespace win32;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!ui::ValidateResourceFile(data, size)) return 0;
  ui::RegisterProgramResources(data, size);
  HMODULE m = GetModuleHandleW(nullptr);
  for (int id = 1; id < 8; ++id) {
    if (HMENU menu = LoadMenuW(m, MAKEINTRESOURCEW(id))) DestroyMenu(menu);
    if (HBITMAP b = LoadBitmapW(m, MAKEINTRESOURCEW(id))) DeleteObject(b);
    if (HICON i = LoadIconW(m, MAKEINTRESOURCEW(id))) DestroyIcon(i);
    if (HICON i = static_cast<HICON>(LoadImageW(m, MAKEINTRESOURCEW(id), IMAGE_ICON, 16, 16, 0))) DestroyIcon(i);
    WCHAR text[64];
    LoadStringW(m, static_cast<UINT>(id * 16 - 16 + id), text, 64);
  }
  // The raw bytes as a menu template, too.
  if (HMENU menu = ui::LoadMenuTemplate(data, size)) DestroyMenu(menu);
  return 0;
}
