// Text: FreeType faces, glyph cache, measuring and drawing.

#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/ui/gdi_internal.h"

#ifndef SKM_UI_FONT_REGULAR
#error "the build names the font files"
#endif

namespace win32 {
namespace {

struct Glyph {
  int advance;  // whole pixels, hinted, as GDI advances
  int left;
  int top;
  int width;
  int height;
  std::vector<uint8_t> coverage;
};

struct SizedFace {
  FT_Face face = nullptr;
  int ascent = 0;
  int descent = 0;
  int em = 0;
  int underline_pos = 1;  // pixels below the baseline
  std::map<char32_t, std::unique_ptr<Glyph>> glyphs;
};

// FreeType objects are not thread-safe; one lock covers the library, the faces and the
// cache. Glyphs are immutable once cached, so drawing reads them after the lock is dropped.
std::mutex g_ft_mu;
FT_Library g_ft = nullptr;
std::map<std::pair<bool, int>, std::unique_ptr<SizedFace>> g_faces;  // (bold, height request)

SizedFace* FaceFor(const LOGFONTW& lf) {  // g_ft_mu held
  if (g_ft == nullptr && FT_Init_FreeType(&g_ft) != 0) return nullptr;
  bool bold = lf.lfWeight >= FW_SEMIBOLD;
  int height = lf.lfHeight == 0 ? -12 : static_cast<int>(lf.lfHeight);
  auto key = std::make_pair(bold, height);
  auto it = g_faces.find(key);
  if (it != g_faces.end()) return it->second.get();
  auto sf = std::make_unique<SizedFace>();
  const char* file = bold ? SKM_UI_FONT_BOLD : SKM_UI_FONT_REGULAR;
  if (FT_New_Face(g_ft, file, 0, &sf->face) != 0) return nullptr;
  FT_Size_RequestRec req{};
  // Negative: the em (character height); positive: the cell (ascent + descent).
  req.type = height < 0 ? FT_SIZE_REQUEST_TYPE_NOMINAL : FT_SIZE_REQUEST_TYPE_CELL;
  req.height = static_cast<FT_Long>(std::abs(height)) * 64;
  if (FT_Request_Size(sf->face, &req) != 0) return nullptr;
  const FT_Size_Metrics& m = sf->face->size->metrics;
  sf->ascent = static_cast<int>((m.ascender + 63) / 64);
  sf->descent = static_cast<int>((-m.descender + 63) / 64);
  sf->em = static_cast<int>(m.y_ppem);
  int ul = static_cast<int>(std::lround(-sf->face->underline_position * static_cast<double>(m.y_ppem) / sf->face->units_per_EM));
  sf->underline_pos = std::max(1, ul);
  SizedFace* raw = sf.get();
  g_faces[key] = std::move(sf);
  return raw;
}

const Glyph* GlyphFor(SizedFace* f, char32_t c) {  // g_ft_mu held
  auto it = f->glyphs.find(c);
  if (it != f->glyphs.end()) return it->second.get();
  auto g = std::make_unique<Glyph>();
  FT_UInt index = FT_Get_Char_Index(f->face, c);
  if (FT_Load_Glyph(f->face, index, FT_LOAD_DEFAULT | FT_LOAD_TARGET_NORMAL) == 0 &&
      FT_Render_Glyph(f->face->glyph, FT_RENDER_MODE_NORMAL) == 0) {
    FT_GlyphSlot s = f->face->glyph;
    g->advance = static_cast<int>((s->advance.x + 32) / 64);
    g->left = s->bitmap_left;
    g->top = s->bitmap_top;
    g->width = static_cast<int>(s->bitmap.width);
    g->height = static_cast<int>(s->bitmap.rows);
    g->coverage.resize(static_cast<size_t>(g->width) * g->height);
    for (int y = 0; y < g->height; ++y)
      std::memcpy(g->coverage.data() + static_cast<size_t>(y) * g->width, s->bitmap.buffer + static_cast<ptrdiff_t>(y) * s->bitmap.pitch, g->width);
  }
  const Glyph* raw = g.get();
  f->glyphs[c] = std::move(g);
  return raw;
}

// One run of text laid out: glyphs with their pen positions.
struct Layout {
  struct Item {
    const Glyph* glyph;
    int x;
  };
  std::vector<Item> items;
  int width = 0;
  int ascent = 0;
  int descent = 0;
  int underline_pos = 1;
  bool underline = false;
  int ave_width = 0;
};

const LOGFONTW& FontOf(HDC dc) { return dc->state.font->font; }

struct Metrics {
  int ascent, descent, em, underline_pos, ave;
};

Metrics MetricsOf(const LOGFONTW& lf) {
  std::lock_guard lk(g_ft_mu);
  SizedFace* f = FaceFor(lf);
  if (f == nullptr) return Metrics{12, 3, 12, 1, 6};
  int ave = GlyphFor(f, U'x')->advance;
  return Metrics{f->ascent, f->descent, f->em, f->underline_pos, ave};
}

// Widths of each character of `text` (tabs count as 0 here; DrawText expands them).
std::vector<const Glyph*> Shape(const LOGFONTW& lf, std::u16string_view text) {
  std::lock_guard lk(g_ft_mu);
  std::vector<const Glyph*> out;
  SizedFace* f = FaceFor(lf);
  static const Glyph empty{};
  for (char16_t c : text) {
    if (f == nullptr || c == u'\t' || c == u'\r' || c == u'\n')
      out.push_back(&empty);
    else
      out.push_back(GlyphFor(f, c));
  }
  return out;
}

int Width(const LOGFONTW& lf, std::u16string_view text) {
  int w = 0;
  for (const Glyph* g : Shape(lf, text)) w += g->advance;
  return w;
}

// Draws one line with its top at logical (x, y); underline_char is the index underlined (-1 none).
void DrawLine(HDC dc, int x, int y, std::u16string_view text, const std::vector<int>& tab_x, int underline_char,
              const RECT* clip_logical) {
  const LOGFONTW& lf = FontOf(dc);
  Metrics m = MetricsOf(lf);
  auto glyphs = Shape(lf, text);
  std::lock_guard lk(dc->surface->mutex);
  RECT clip = dc->ClipRect();
  if (clip_logical != nullptr) {
    POINT a = dc->ToSurface(clip_logical->left, clip_logical->top), b = dc->ToSurface(clip_logical->right, clip_logical->bottom);
    RECT c{a.x, a.y, b.x, b.y};
    IntersectRect(&clip, &clip, &c);
  }
  int pen = 0;
  int total = 0;
  std::vector<int> starts;
  size_t tab = 0;
  for (size_t i = 0; i < glyphs.size(); ++i) {
    if (text[i] == u'\t' && tab < tab_x.size()) pen = std::max(pen, tab_x[tab++]);
    starts.push_back(pen);
    pen += glyphs[i]->advance;
  }
  total = pen;
  POINT origin = dc->ToSurface(x, y);
  int baseline = origin.y + m.ascent;
  if (dc->state.bk_mode == OPAQUE)
    ui::FillSurfaceRect(dc, RECT{origin.x, origin.y, origin.x + total, origin.y + m.ascent + m.descent}, dc->state.bk);
  COLORREF color = dc->state.text;
  for (size_t i = 0; i < glyphs.size(); ++i) {
    const Glyph* g = glyphs[i];
    int gx = origin.x + starts[i] + g->left, gy = baseline - g->top;
    for (int row = 0; row < g->height; ++row)
      for (int col = 0; col < g->width; ++col)
        ui::BlendPixel(dc, clip, gx + col, gy + row, color, g->coverage[static_cast<size_t>(row) * g->width + col]);
  }
  auto underline = [&](int from, int to) {
    for (int px = from; px < to; ++px) ui::BlendPixel(dc, clip, px, baseline + m.underline_pos, color, 255);
  };
  if (lf.lfUnderline) underline(origin.x, origin.x + total);
  if (underline_char >= 0 && static_cast<size_t>(underline_char) < glyphs.size())
    underline(origin.x + starts[underline_char], origin.x + starts[underline_char] + glyphs[underline_char]->advance);
}

// Removes '&' prefixes: "&&" is one '&', "&x" underlines x.
std::u16string StripPrefix(std::u16string_view s, int* underline_index) {
  std::u16string out;
  *underline_index = -1;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == u'&' && i + 1 < s.size()) {
      ++i;
      if (s[i] != u'&') *underline_index = static_cast<int>(out.size());
    } else if (s[i] == u'&') {
      continue;
    }
    out.push_back(s[i]);
  }
  return out;
}

int TabStop(const Metrics& m) { return 8 * m.ave; }

// Width of a line with tabs expanded to the next multiple of the tab stop.
int ExpandedWidth(const LOGFONTW& lf, std::u16string_view line, bool expand, const Metrics& m, std::vector<int>* tab_x) {
  auto glyphs = Shape(lf, line);
  int pen = 0;
  for (size_t i = 0; i < glyphs.size(); ++i) {
    if (line[i] == u'\t' && expand) {
      int stop = TabStop(m);
      pen = stop > 0 ? (pen / stop + 1) * stop : pen;
      if (tab_x) tab_x->push_back(pen);
    }
    pen += glyphs[i]->advance;
  }
  return pen;
}

}  // namespace

HFONT CreateFontIndirectW(const LOGFONTW* lf) {
  if (lf == nullptr) return nullptr;
  ui::CountObject(1);
  auto* o = new GdiObject{GdiObject::Kind::Font};
  o->font = *lf;
  return o;
}

HFONT CreateFontW(int height, int width, int escapement, int orientation, int weight, DWORD italic, DWORD underline,
                  DWORD strike_out, DWORD charset, DWORD out_precision, DWORD clip_precision, DWORD quality,
                  DWORD pitch_and_family, LPCWSTR face) {
  LOGFONTW lf{height, width, escapement, orientation, weight, static_cast<BYTE>(italic), static_cast<BYTE>(underline),
              static_cast<BYTE>(strike_out), static_cast<BYTE>(charset), static_cast<BYTE>(out_precision),
              static_cast<BYTE>(clip_precision), static_cast<BYTE>(quality), static_cast<BYTE>(pitch_and_family), {}};
  if (face != nullptr)
    for (int i = 0; i < LF_FACESIZE - 1 && face[i] != 0; ++i) lf.lfFaceName[i] = face[i];
  return CreateFontIndirectW(&lf);
}

BOOL GetTextMetricsW(HDC dc, TEXTMETRICW* tm) {
  if (!ui::ValidDc(dc) || tm == nullptr) return FALSE;
  const LOGFONTW& lf = FontOf(dc);
  Metrics m = MetricsOf(lf);
  *tm = TEXTMETRICW{};
  tm->tmHeight = m.ascent + m.descent;
  tm->tmAscent = m.ascent;
  tm->tmDescent = m.descent;
  tm->tmInternalLeading = std::max(0, m.ascent + m.descent - m.em);
  tm->tmAveCharWidth = m.ave;
  tm->tmMaxCharWidth = Width(lf, u"W");
  tm->tmWeight = lf.lfWeight == 0 ? FW_NORMAL : lf.lfWeight;
  tm->tmDigitizedAspectX = tm->tmDigitizedAspectY = 96;
  tm->tmFirstChar = 0x20;
  tm->tmLastChar = 0xFFFC;
  tm->tmDefaultChar = 0x1F;
  tm->tmBreakChar = 0x20;
  tm->tmUnderlined = lf.lfUnderline;
  tm->tmPitchAndFamily = 0x26;  // variable pitch, TrueType, swiss
  return TRUE;
}

BOOL GetTextExtentPoint32W(HDC dc, LPCWSTR text, int count, SIZE* size) {
  if (!ui::ValidDc(dc) || size == nullptr || count < 0 || (text == nullptr && count > 0)) return FALSE;
  const LOGFONTW& lf = FontOf(dc);
  Metrics m = MetricsOf(lf);
  size->cx = Width(lf, std::u16string_view(text ? text : u"", static_cast<size_t>(count)));
  size->cy = m.ascent + m.descent;
  return TRUE;
}

BOOL TextOutW(HDC dc, int x, int y, LPCWSTR text, int count) {
  if (!ui::ValidDc(dc) || count < 0 || (text == nullptr && count > 0)) return FALSE;
  DrawLine(dc, x, y, std::u16string_view(text ? text : u"", static_cast<size_t>(count)), {}, -1, nullptr);
  return TRUE;
}

int DrawTextW(HDC dc, LPCWSTR text, int count, RECT* rect, UINT format) {
  if (!ui::ValidDc(dc) || rect == nullptr || text == nullptr) return 0;
  std::u16string_view raw(text, count < 0 ? std::char_traits<char16_t>::length(text) : static_cast<size_t>(count));
  const LOGFONTW& lf = FontOf(dc);
  Metrics m = MetricsOf(lf);
  int line_h = m.ascent + m.descent;
  bool expand = (format & DT_EXPANDTABS) != 0;
  int box_w = rect->right - rect->left;

  // Lines: hard breaks unless single line, then word wrapping inside the rectangle's width.
  struct Line {
    std::u16string text;
    int underline = -1;
  };
  std::vector<std::u16string> hard;
  if (format & DT_SINGLELINE) {
    std::u16string one;
    for (char16_t c : raw)
      if (c != u'\r' && c != u'\n') one.push_back(c);
    hard.push_back(one);
  } else {
    std::u16string cur;
    for (size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] == u'\r' || raw[i] == u'\n') {
        hard.push_back(cur);
        cur.clear();
        if (raw[i] == u'\r' && i + 1 < raw.size() && raw[i + 1] == u'\n') ++i;
      } else {
        cur.push_back(raw[i]);
      }
    }
    hard.push_back(cur);
  }
  std::vector<Line> lines;
  for (const auto& h : hard) {
    Line l;
    l.text = (format & DT_NOPREFIX) ? h : StripPrefix(h, &l.underline);
    if ((format & DT_HIDEPREFIX) != 0) l.underline = -1;
    if ((format & DT_WORDBREAK) == 0 || (format & DT_SINGLELINE) != 0 ||
        ExpandedWidth(lf, l.text, expand, m, nullptr) <= box_w) {
      lines.push_back(l);
      continue;
    }
    // Break at spaces; a word longer than the line is broken where it overflows.
    std::u16string rest = l.text;
    int under = l.underline;
    while (!rest.empty()) {
      size_t fit = 0, last_space = std::u16string::npos;
      for (size_t n = 1; n <= rest.size(); ++n) {
        if (ExpandedWidth(lf, std::u16string_view(rest).substr(0, n), expand, m, nullptr) > box_w) break;
        fit = n;
        if (rest[n - 1] == u' ') last_space = n;
      }
      size_t take = fit == rest.size() ? fit : (last_space != std::u16string::npos ? last_space : std::max<size_t>(fit, 1));
      Line part;
      part.text = rest.substr(0, take);
      while (!part.text.empty() && part.text.back() == u' ') part.text.pop_back();
      part.underline = under >= 0 && static_cast<size_t>(under) < take ? under : -1;
      under = under >= 0 ? under - static_cast<int>(take) : -1;
      lines.push_back(part);
      rest.erase(0, take);
      while (!rest.empty() && rest.front() == u' ') {
        rest.erase(0, 1);
        if (under >= 0) --under;
      }
    }
  }
  if ((format & DT_END_ELLIPSIS) != 0) {
    for (auto& l : lines) {
      if (ExpandedWidth(lf, l.text, expand, m, nullptr) <= box_w) continue;
      std::u16string t = l.text;
      while (!t.empty() && ExpandedWidth(lf, t + u"...", expand, m, nullptr) > box_w) t.pop_back();
      l.text = t + u"...";
      if (l.underline >= static_cast<int>(t.size())) l.underline = -1;
    }
  }
  int total_h = line_h * static_cast<int>(lines.size());
  if (format & DT_CALCRECT) {
    int w = 0;
    for (auto& l : lines) w = std::max(w, ExpandedWidth(lf, l.text, expand, m, nullptr));
    rect->right = rect->left + w;
    rect->bottom = rect->top + total_h;
    return total_h;
  }
  int y = rect->top;
  if ((format & DT_SINGLELINE) && (format & DT_VCENTER)) y = rect->top + (rect->bottom - rect->top - line_h) / 2;
  else if ((format & DT_SINGLELINE) && (format & DT_BOTTOM)) y = rect->bottom - line_h;
  const RECT* clip = (format & DT_NOCLIP) ? nullptr : rect;
  for (auto& l : lines) {
    std::vector<int> tabs;
    int w = ExpandedWidth(lf, l.text, expand, m, &tabs);
    int x = rect->left;
    if (format & DT_CENTER) x = rect->left + (box_w - w) / 2;
    else if (format & DT_RIGHT) x = rect->right - w;
    DrawLine(dc, x, y, l.text, tabs, l.underline, clip);
    y += line_h;
  }
  return (format & DT_VCENTER) && (format & DT_SINGLELINE) ? y - rect->top : total_h;
}

namespace testing {
const char* RegularFontFile() { return SKM_UI_FONT_REGULAR; }
const char* BoldFontFile() { return SKM_UI_FONT_BOLD; }
}  // namespace testing

}  // namespace win32
