// Animation clips and dialog templates come from resource files (and clips from any file the
// program names): any bytes must be refused or read without leaving their bounds.

#include <cstddef>
#include <cstdint>

#include "platform/ui/controls.h"
#include "platform/ui/ui_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  win32::ui::AviClip clip;
  if (win32::ui::ParseAvi(data, size, &clip)) {
    // A clip that is accepted is whole: every frame has every pixel.
    for (const auto& f : clip.frames)
      if (f.size() != static_cast<size_t>(clip.width) * clip.height) __builtin_trap();
  }
  win32::ui::ValidateDialogTemplate(data, size);
  return 0;
}
