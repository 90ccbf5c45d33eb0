// Pictures and texts of the selection dialog: decoding a PNG from memory, loading one of the
// program's PNG resources, and drawing one text at a point with a font derived from the default
// GUI font.
#pragma once

#include <cstdint>

#include "platform/runtime/Types.h"
#include "platform/window/WindowSystem.h"

using COLORREF = uint32_t;  // 0x00BBGGRR
using HDC = cairo_t*;       // the device context: a cairo context on the target surface

constexpr COLORREF RGB(uint8_t r, uint8_t g, uint8_t b) {
    return static_cast<COLORREF>(r) | (static_cast<COLORREF>(g) << 8) |
           (static_cast<COLORREF>(b) << 16);
}

// The image handed out is the caller's (one reference; g_object_unref or a PixbufPtr).
HRESULT LoadImageFromResource(HINSTANCE hInstance, uint32_t uResourceID, GdkPixbuf** ppImage);
HRESULT _LoadImageFromData(DWORD dwImageDataSize, const BYTE* pImageData, GdkPixbuf** ppImage);

// Draws `lpwszText` left- and top-aligned at (x, y) in the face (null: the default GUI font's
// face) with the given cell height and average character width in pixels, weight normal. When
// nRight > 0 and the text reaches nRight, it is clipped there; line breaks break lines.
void DrawTextWithFont(const char16_t* lpwszFaceName, HDC hDC, const char16_t* lpwszText, int x,
                      int y, int nRight, int nFontWidth, int nFontHeight, COLORREF crTextColor);

namespace window_system {
// The text's extent as DrawTextWithFont would draw it, and how many of its characters the chosen
// font and its fontconfig substitutes cannot show.
struct TextExtent {
    int width = 0;
    int height = 0;
    int missing_glyphs = 0;
};
TextExtent MeasureTextWithFont(const char16_t* face, const char16_t* text, int font_width,
                               int font_height);
}  // namespace window_system
