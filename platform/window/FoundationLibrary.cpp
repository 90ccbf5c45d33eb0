#include "platform/window/FoundationLibrary.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/FreePtr.h"
#include "common/ResultCodes.h"
#include "common/Trace.h"
#include "common/Utf.h"
#include "platform/runtime/LastError.h"

static constexpr char kUnit[] = "FoundationLibrary";

namespace {

using window_system::CairoPtr;
using window_system::CairoSurfacePtr;
using window_system::FontDescriptionPtr;
using window_system::FontMetricsPtr;
using window_system::PangoLayoutPtr;
using window_system::PixbufLoaderPtr;

using ByteBlockPtr = FreePtr<BYTE>;

constexpr size_t kFaceNameMax = 31;     // a font face name holds at most 31 characters
constexpr int kDefaultCellHeight = 13;  // the default GUI font's cell height at 96 dpi
// The horizontal stretch a requested character width may apply; beyond it glyphs become
// unreadable, so the width is only approached.
constexpr double kMinStretch = 0.5;
constexpr double kMaxStretch = 2.0;

// A Pango layout of the text in the requested font, and the horizontal scale that gives the
// requested average character width. The cell height (ascent + descent) is made equal to the
// requested height, as a positive font height means for the platform's fonts.
struct PreparedText {
    PangoLayoutPtr layout;
    double scale_x = 1.0;
};

PreparedText PrepareText(cairo_t* cr, const char16_t* face, const char16_t* text, int font_width,
                         int font_height) {
    PreparedText prepared;
    prepared.layout.reset(pango_cairo_create_layout(cr));
    PangoLayout* layout = prepared.layout.get();

    std::string family;
    if (face != nullptr) {
        std::u16string_view face_view(face);
        family = Utf16ToUtf8String(face_view.substr(0, std::min(face_view.size(), kFaceNameMax)));
    } else {
        family = window_system::DefaultGuiFontFamily();
    }
    FontDescriptionPtr description(pango_font_description_new());
    pango_font_description_set_family(description.get(), family.c_str());
    pango_font_description_set_weight(description.get(), PANGO_WEIGHT_NORMAL);
    pango_font_description_set_style(description.get(), PANGO_STYLE_NORMAL);

    const int height = font_height > 0 ? font_height : kDefaultCellHeight;
    pango_font_description_set_absolute_size(description.get(), height * PANGO_SCALE);
    PangoContext* context = pango_layout_get_context(layout);
    // Latin metrics, so the width rule does not depend on the user's language.
    PangoLanguage* latin = pango_language_from_string("en");
    FontMetricsPtr metrics(pango_context_get_metrics(context, description.get(), latin));
    const int cell = pango_font_metrics_get_ascent(metrics.get()) +
                     pango_font_metrics_get_descent(metrics.get());
    if (cell > 0) {
        const double size = static_cast<double>(height) * PANGO_SCALE * height * PANGO_SCALE / cell;
        pango_font_description_set_absolute_size(description.get(), size);
    }
    if (font_width > 0) {
        FontMetricsPtr sized(pango_context_get_metrics(context, description.get(), latin));
        const int average = pango_font_metrics_get_approximate_char_width(sized.get());
        if (average > 0) {
            prepared.scale_x = std::clamp(static_cast<double>(font_width) * PANGO_SCALE / average,
                                          kMinStretch, kMaxStretch);
        }
    }
    pango_layout_set_font_description(layout, description.get());
    const std::string utf8 = text != nullptr ? Utf16ToUtf8String(text) : std::string();
    pango_layout_set_text(layout, utf8.c_str(), static_cast<int>(utf8.size()));
    return prepared;
}

// The text's extent in device pixels once the layout follows the context's stretch: call with the
// context translated to the text's origin and scaled by prepared.scale_x.
void MeasurePrepared(cairo_t* cr, const PreparedText& prepared, int* width, int* height) {
    pango_cairo_update_layout(cr, prepared.layout.get());
    PangoRectangle logical{};
    pango_layout_get_extents(prepared.layout.get(), nullptr, &logical);
    *width = static_cast<int>(std::ceil(logical.width * prepared.scale_x / PANGO_SCALE));
    *height = static_cast<int>(std::ceil(static_cast<double>(logical.height) / PANGO_SCALE));
}

}  // namespace

HRESULT LoadImageFromResource(HINSTANCE hInstance, uint32_t uResourceID, GdkPixbuf** ppImage) {
    TRACE_SCOPE();
    HRESULT hResult = S_OK;
    window_system::HRSRC hResource = nullptr;
    DWORD dwResSize = 0;
    const BYTE* lpResData = nullptr;
    TRACE_INFO("Resource ID: %u", uResourceID);

    hResource = window_system::FindResourceW(hInstance, uResourceID, u"PNG");
    if (NULL == hResource) {
        hResult = RESULT_FROM_LAST_ERROR(GetLastError());
        FAILED_STEP_W(kUnit, "FindResource", hResult, "hResource == NULL");
        goto Exit;
    }
    OK_STEP_W(kUnit, "FindResource");

    dwResSize = window_system::SizeofResource(hInstance, hResource);
    if (0 == dwResSize) {
        hResult = RESULT_FROM_LAST_ERROR(GetLastError());
        FAILED_STEP_W(kUnit, "SizeofResource", hResult, "dwResSize == 0");
        goto Exit;
    }
    OK_STEP_W(kUnit, "SizeofResource");

    lpResData = window_system::LoadResource(hInstance, hResource);
    if (NULL == lpResData) {
        hResult = RESULT_FROM_LAST_ERROR(GetLastError());
        FAILED_STEP_W(kUnit, "LoadResource", hResult, "lpResData == NULL");
        goto Exit;
    }
    OK_STEP_W(kUnit, "LoadResource");

    hResult = _LoadImageFromData(dwResSize, lpResData, ppImage);
    if (FAILED(hResult)) {
        FAILED_STEP_W(kUnit, "_LoadImageFromData", hResult, "FAILED(hResult)");
        goto Exit;
    }
    OK_STEP_W(kUnit, "_LoadImageFromData");

Exit:
    if (NULL != lpResData) window_system::FreeResource(lpResData);
    return hResult;
}

HRESULT _LoadImageFromData(DWORD dwImageDataSize, const BYTE* pImageData, GdkPixbuf** ppImage) {
    TRACE_SCOPE();
    if (NULL == pImageData || 0 == dwImageDataSize || NULL == ppImage) {
        FAILED_STEP_W(kUnit, "Check parameter", E_INVALIDARG,
                      "pImageData == NULL || dwImageDataSize == 0");
        return E_INVALIDARG;
    }
    *ppImage = NULL;
    window_system::RouteLibraryOutputToTrace();

    // The decoder reads a private copy, so the image never depends on the caller's bytes.
    ByteBlockPtr hMemoryObject(static_cast<BYTE*>(std::malloc(dwImageDataSize)));
    if (NULL == hMemoryObject) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        const HRESULT hResult = RESULT_FROM_LAST_ERROR(GetLastError());
        FAILED_STEP_W(kUnit, "GlobalAlloc", hResult, "hMemoryObject == NULL");
        return hResult;
    }
    OK_STEP_W(kUnit, "GlobalAlloc");
    std::memcpy(hMemoryObject.get(), pImageData, dwImageDataSize);

    PixbufLoaderPtr pStream(gdk_pixbuf_loader_new_with_type("png", nullptr));
    if (NULL == pStream) {
        FAILED_STEP_W(kUnit, "CreateStreamOnHGlobal", E_OUTOFMEMORY, "FAILED(hResult)");
        return E_OUTOFMEMORY;
    }
    OK_STEP_W(kUnit, "CreateStreamOnHGlobal");

    GError* write_error = nullptr;
    const gboolean written =
        gdk_pixbuf_loader_write(pStream.get(), hMemoryObject.get(), dwImageDataSize, &write_error);
    window_system::GErrorPtr write_failure(write_error);
    // A loader is always closed, also after a failed write, or it complains when released.
    GError* close_error = nullptr;
    const gboolean closed = gdk_pixbuf_loader_close(pStream.get(), &close_error);
    window_system::GErrorPtr close_failure(close_error);
    GdkPixbuf* pImage = (written && closed) ? gdk_pixbuf_loader_get_pixbuf(pStream.get()) : NULL;
    if (NULL == pImage) {
        if (write_failure != nullptr) TRACE_ERROR("PNG decoding: %s", write_failure->message);
        if (close_failure != nullptr) TRACE_ERROR("PNG decoding: %s", close_failure->message);
        FAILED_STEP_W(kUnit, "FromStream", E_POINTER, "*ppImage == NULL");
        return E_POINTER;
    }
    OK_STEP_W(kUnit, "FromStream");
    *ppImage = GDK_PIXBUF(g_object_ref(pImage));
    return S_OK;
}

void DrawTextWithFont(const char16_t* lpwszFaceName, HDC hDC, const char16_t* lpwszText, int x,
                      int y, int nRight, int nFontWidth, int nFontHeight, COLORREF crTextColor) {
    if (hDC == nullptr || lpwszText == nullptr) return;
    PreparedText prepared = PrepareText(hDC, lpwszFaceName, lpwszText, nFontWidth, nFontHeight);
    cairo_save(hDC);
    cairo_translate(hDC, x, y);
    cairo_scale(hDC, prepared.scale_x, 1.0);
    int nTextWidth = 0;
    int nTextHeight = 0;
    MeasurePrepared(hDC, prepared, &nTextWidth, &nTextHeight);

    int nRectRight = x + nTextWidth;
    if (nRight > 0 && nRectRight >= nRight) nRectRight = nRight;
    if (nRectRight > x && nTextHeight > 0) {
        // The clip is given in the stretched space, so it lands on the device pixel nRectRight.
        cairo_rectangle(hDC, 0, 0, (nRectRight - x) / prepared.scale_x, nTextHeight);
        cairo_clip(hDC);
        cairo_set_source_rgb(hDC, (crTextColor & 0xFF) / 255.0, ((crTextColor >> 8) & 0xFF) / 255.0,
                             ((crTextColor >> 16) & 0xFF) / 255.0);
        pango_cairo_show_layout(hDC, prepared.layout.get());
    }
    cairo_restore(hDC);
}

namespace window_system {

TextExtent MeasureTextWithFont(const char16_t* face, const char16_t* text, int font_width,
                               int font_height) {
    TextExtent extent;
    CairoSurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1));
    CairoPtr cr(cairo_create(surface.get()));
    PreparedText prepared = PrepareText(cr.get(), face, text, font_width, font_height);
    cairo_scale(cr.get(), prepared.scale_x, 1.0);
    MeasurePrepared(cr.get(), prepared, &extent.width, &extent.height);
    extent.missing_glyphs = pango_layout_get_unknown_glyphs_count(prepared.layout.get());
    return extent;
}

}  // namespace window_system
