// Text of the window-framework stand-in: fonts from a TrueType face rendered with FreeType,
// measured and drawn on GDI device contexts.
//
// What is real here: glyph outlines, hinted integer advances as GDI uses them, ascent and
// descent, antialiased glyphs blended onto the surface in the text colour, weight from a bold
// face (600 and above), underline, the '&' prefix of menus and controls. Every face name maps
// to the sans face the set-up script installs (regular and bold); a negative height is the
// character height in pixels (96 dpi), a positive one the cell height.
// What is not: italic and strike-out faces, rotation, kerning (GDI applies none by default),
// complex scripts, font linking.
#pragma once

#include "platform/ui/ui_types.h"

namespace win32 {

HFONT CreateFontIndirectW(const LOGFONTW* lf);
HFONT CreateFontW(int height, int width, int escapement, int orientation, int weight, DWORD italic,
                  DWORD underline, DWORD strike_out, DWORD charset, DWORD out_precision,
                  DWORD clip_precision, DWORD quality, DWORD pitch_and_family, LPCWSTR face);

struct TEXTMETRICW {
  LONG tmHeight;
  LONG tmAscent;
  LONG tmDescent;
  LONG tmInternalLeading;
  LONG tmExternalLeading;
  LONG tmAveCharWidth;
  LONG tmMaxCharWidth;
  LONG tmWeight;
  LONG tmOverhang;
  LONG tmDigitizedAspectX;
  LONG tmDigitizedAspectY;
  WCHAR tmFirstChar;
  WCHAR tmLastChar;
  WCHAR tmDefaultChar;
  WCHAR tmBreakChar;
  BYTE tmItalic;
  BYTE tmUnderlined;
  BYTE tmStruckOut;
  BYTE tmPitchAndFamily;
  BYTE tmCharSet;
};
static_assert(sizeof(TEXTMETRICW) == 60);
BOOL GetTextMetricsW(HDC dc, TEXTMETRICW* tm);
BOOL GetTextExtentPoint32W(HDC dc, LPCWSTR text, int count, SIZE* size);
BOOL TextOutW(HDC dc, int x, int y, LPCWSTR text, int count);  // top-left aligned

constexpr UINT DT_TOP = 0x00000000;
constexpr UINT DT_LEFT = 0x00000000;
constexpr UINT DT_CENTER = 0x00000001;
constexpr UINT DT_RIGHT = 0x00000002;
constexpr UINT DT_VCENTER = 0x00000004;
constexpr UINT DT_BOTTOM = 0x00000008;
constexpr UINT DT_WORDBREAK = 0x00000010;
constexpr UINT DT_SINGLELINE = 0x00000020;
constexpr UINT DT_EXPANDTABS = 0x00000040;
constexpr UINT DT_NOCLIP = 0x00000100;
constexpr UINT DT_CALCRECT = 0x00000400;
constexpr UINT DT_NOPREFIX = 0x00000800;
constexpr UINT DT_EDITCONTROL = 0x00002000;
constexpr UINT DT_END_ELLIPSIS = 0x00008000;
constexpr UINT DT_HIDEPREFIX = 0x00100000;
// count -1: up to the terminator. Returns the height of the text; DT_CALCRECT only measures,
// setting the rectangle's right and bottom edges.
int DrawTextW(HDC dc, LPCWSTR text, int count, RECT* rect, UINT format);

namespace testing {
// The files the faces come from (found at build time).
const char* RegularFontFile();
const char* BoldFontFile();
}  // namespace testing

}  // namespace win32
