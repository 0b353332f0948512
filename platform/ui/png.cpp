// PNG files of surfaces (libpng): snapshots out, artwork in.

#include <png.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/ui/ui_internal.h"

namespace win32::ui {

bool WritePngPixels(const std::string& path, int w, int h, const std::vector<uint32_t>& pixels) {
  if (w <= 0 || h <= 0 || pixels.size() < static_cast<size_t>(w) * h) return false;
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "wb"), &std::fclose);
  if (!f) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    return false;
  }
  std::vector<uint8_t> row(static_cast<size_t>(w) * 3);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, f.get());
  png_set_IHDR(png, info, w, h, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      uint32_t p = pixels[static_cast<size_t>(y) * w + x];
      row[x * 3] = (p >> 16) & 0xFF;
      row[x * 3 + 1] = (p >> 8) & 0xFF;
      row[x * 3 + 2] = p & 0xFF;
    }
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return std::fflush(f.get()) == 0;
}

bool WritePng(const std::string& path, const Surface& s, const RECT& r) {
  std::vector<uint32_t> px;
  int w = r.right - r.left, h = r.bottom - r.top;
  if (w <= 0 || h <= 0) return false;
  {
    std::lock_guard lk(s.mutex);
    px.resize(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        int sx = r.left + x, sy = r.top + y;
        px[static_cast<size_t>(y) * w + x] =
            sx >= 0 && sy >= 0 && sx < s.width && sy < s.height ? s.pixels[static_cast<size_t>(sy) * s.width + sx] : 0;
      }
  }
  return WritePngPixels(path, w, h, px);
}

namespace {
// Damaged input is an answer, not a message: no text on stderr.
[[noreturn]] void QuietError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void QuietWarning(png_structp, png_const_charp) {}

struct Reader {
  const uint8_t* data;
  size_t size;
  size_t pos;
};
void ReadFn(png_structp png, png_bytep out, png_size_t n) {
  auto* r = static_cast<Reader*>(png_get_io_ptr(png));
  if (r->size - r->pos < n) png_error(png, "truncated");
  std::memcpy(out, r->data + r->pos, n);
  r->pos += n;
}
}  // namespace

bool ReadPngMemory(const uint8_t* data, size_t size, int* w, int* h, std::vector<uint32_t>* pixels) {
  if (data == nullptr || size < 8 || png_sig_cmp(data, 0, 8) != 0) return false;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, QuietError, QuietWarning);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return false;
  }
  Reader reader{data, size, 0};
  // Everything with a destructor lives outside the part an error can jump out of.
  std::vector<uint8_t> buffer;
  std::vector<png_bytep> rows;
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  png_set_read_fn(png, &reader, ReadFn);
  png_read_info(png, info);
  png_uint_32 width = png_get_image_width(png, info), height = png_get_image_height(png, info);
  if (width == 0 || height == 0 || width > 4096 || height > 4096) png_error(png, "size");
  png_set_expand(png);
  png_set_strip_16(png);
  png_set_gray_to_rgb(png);
  png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
  png_read_update_info(png, info);
  if (png_get_rowbytes(png, info) != width * 4) png_error(png, "layout");
  buffer.resize(static_cast<size_t>(width) * height * 4);
  rows.resize(height);
  for (png_uint_32 y = 0; y < height; ++y) rows[y] = buffer.data() + static_cast<size_t>(y) * width * 4;
  png_read_image(png, rows.data());
  png_destroy_read_struct(&png, &info, nullptr);
  *w = static_cast<int>(width);
  *h = static_cast<int>(height);
  pixels->resize(static_cast<size_t>(width) * height);
  for (size_t i = 0; i < pixels->size(); ++i) {
    const uint8_t* p = buffer.data() + i * 4;
    (*pixels)[i] = (static_cast<uint32_t>(p[3]) << 24) | (p[0] << 16) | (p[1] << 8) | p[2];
  }
  return true;
}

}  // namespace win32::ui
