// The tray program's settings in the current user's registry: the start-up entry under the
// system's Run key, and under Software\Corvenna\Quorvane FireWire whether the last image is
// mounted again at start-up, which image that is, and the virtual device's inquiry
// identity and client kind. Plain functions, called on the GUI thread; registry failures
// show only in their results, and a value that cannot be read leaves what the caller has
// (the defaults are the tray object's).
#pragma once

#include <string>

#include "platform/win32/win32.h"

namespace tray {

// True when the start-up entry can be read, whatever its type or content.
bool IsAutoStartEnabled();
// Writes the start-up entry: "\"<program file>\" -autorun", when the program's path is
// known in full.
void EnableAutoStart();
// Deletes the start-up entry; failures are ignored.
void DisableAutoStart();

// Opens the settings key with `access`, creating the company key and the settings key when
// they are missing. ERROR_SUCCESS with *key to close, or the registry's error.
win32::LSTATUS OpenSettingsKey(win32::REGSAM access, win32::HKEY* key);

// Writes "Automount" ("1" or "0") and "Image" (`image_path`, at most 260 characters).
void SaveAutoMount(win32::BOOL flag, const std::u16string& image_path);
// "Automount" read into 2 bytes: true only when it is "1". Creates nothing.
bool LoadAutoMount();
// "Image", at most 260 characters; empty when missing or too long. Creates nothing.
std::u16string LoadImagePath();

// Writes "Vendor", "Model", "Revision" and "Client is Mac" ("1" or "0"), in that order.
void SaveDeviceIdentity(const std::u16string& vendor, const std::u16string& product,
                        const std::u16string& revision, win32::BOOL mac);
// Overwrites each place whose value can be read; the others keep what they hold.
void LoadDeviceIdentity(std::u16string* vendor, std::u16string* product, std::u16string* revision,
                        win32::BOOL* mac);

// Reads one string value of at most 260 characters into *place, cut at its first NUL.
// False, with *place unchanged, when the value is missing or does not fit.
bool ReadStringSetting(win32::HKEY key, const win32::WCHAR* name, std::u16string* place);

}  // namespace tray
