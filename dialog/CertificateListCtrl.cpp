#include "dialog/CertificateListCtrl.h"

#include <algorithm>

#include "common/ResultCodes.h"
#include "common/Trace.h"
#include "common/Utf.h"

static constexpr char kUnit[] = "CertificateListCtrl";

namespace {

using window_system::CairoPtr;
using window_system::CairoSurfacePtr;
using window_system::Rect;

struct Rgb {
    double r, g, b;
};
constexpr Rgb FromBytes(int r, int g, int b) { return {r / 255.0, g / 255.0, b / 255.0}; }

// Highlight colours: the selected row (hovered or not) and a row that is only hovered.
constexpr Rgb kSelectedTop = FromBytes(0xDD, 0xEC, 0xFD);
constexpr Rgb kSelectedBottom = FromBytes(0xC2, 0xDC, 0xFD);
constexpr Rgb kSelectedBorder = FromBytes(0x7D, 0xB6, 0xCE);
constexpr Rgb kHoverTop = FromBytes(0xFD, 0xFE, 0xFF);
constexpr Rgb kHoverBottom = FromBytes(0xB9, 0xD7, 0xFC);
constexpr Rgb kHoverBorder = FromBytes(0xF3, 0xF8, 0xFF);

constexpr int kPictureLeft = 14;
constexpr int kPictureTop = 14;
constexpr int kPictureSize = 48;
constexpr int kPictureSquare = 80;  // the frame is centred in the square at the row's left edge
constexpr int kTextLeft = 80;
constexpr int kTextRightMargin = 15;
constexpr double kCornerRadius = 3.0;  // 6 x 6 corner ellipses

struct LineFont {
    int y;
    const char16_t* face;
    int height;
    int width;
};
constexpr LineFont kVistaFonts[4] = {{5, u"Microsoft YaHei", 20, 8},
                                     {25, u"Microsoft YaHei", 18, 6},
                                     {40, u"Microsoft YaHei", 18, 6},
                                     {55, u"Microsoft YaHei", 18, 6}};
constexpr LineFont kClassicFonts[4] = {
    {5, u"Arial", 16, 8}, {25, u"Arial", 14, 6}, {40, u"Arial", 14, 6}, {55, u"Arial", 14, 6}};

void RoundedOutline(cairo_t* cr, double x0, double y0, double x1, double y1, double r) {
    cairo_new_sub_path(cr);
    cairo_arc(cr, x1 - r, y0 + r, r, -G_PI / 2, 0);
    cairo_arc(cr, x1 - r, y1 - r, r, 0, G_PI / 2);
    cairo_arc(cr, x0 + r, y1 - r, r, G_PI / 2, G_PI);
    cairo_arc(cr, x0 + r, y0 + r, r, G_PI, 3 * G_PI / 2);
    cairo_close_path(cr);
}

void DrawHighlight(cairo_t* cr, int w, int h, const Rgb& top, const Rgb& bottom,
                   const Rgb& border) {
    // A vertical two-colour gradient inside a one-pixel rounded border.
    cairo_pattern_t* gradient = cairo_pattern_create_linear(0, 1, 0, h - 1);
    cairo_pattern_add_color_stop_rgb(gradient, 0, top.r, top.g, top.b);
    cairo_pattern_add_color_stop_rgb(gradient, 1, bottom.r, bottom.g, bottom.b);
    cairo_rectangle(cr, 1, 1, w - 2, h - 2);
    cairo_set_source(cr, gradient);
    cairo_fill(cr);
    cairo_pattern_destroy(gradient);
    RoundedOutline(cr, 0.5, 0.5, w - 0.5, h - 0.5, kCornerRadius);
    cairo_set_source_rgb(cr, border.r, border.g, border.b);
    cairo_set_line_width(cr, 1.0);
    cairo_stroke(cr);
}

void DrawImageScaled(cairo_t* cr, GdkPixbuf* image, int x, int y, int w, int h) {
    const int iw = gdk_pixbuf_get_width(image);
    const int ih = gdk_pixbuf_get_height(image);
    if (iw <= 0 || ih <= 0) return;
    cairo_save(cr);
    cairo_translate(cr, x, y);
    cairo_scale(cr, static_cast<double>(w) / iw, static_cast<double>(h) / ih);
    gdk_cairo_set_source_pixbuf(cr, image, 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
    cairo_rectangle(cr, 0, 0, iw, ih);
    cairo_fill(cr);
    cairo_restore(cr);
}

}  // namespace

CCertificateList::CCertificateList()
    : m_bMouseTracking(0),
      m_bVistaOrLater(0),
      m_hWnd(nullptr),
      m_hSurface(nullptr),
      m_hToolTip(nullptr),
      m_nCount(0),
      m_nCurSel(-1),
      m_nViewerSource(0) {}

CCertificateList::~CCertificateList() {
    if (m_nViewerSource != 0) g_source_remove(m_nViewerSource);
    if (m_hSurface != nullptr) g_signal_handlers_disconnect_by_data(m_hSurface, this);
}

void CCertificateList::SubclassWindow(GtkWidget* hWnd) {
    if (m_hWnd != nullptr || hWnd == nullptr) return;
    m_hWnd = hWnd;
    m_hSurface = gtk_drawing_area_new();
    gtk_widget_set_can_focus(m_hSurface, TRUE);
    gtk_widget_add_events(m_hSurface, GDK_POINTER_MOTION_MASK | GDK_LEAVE_NOTIFY_MASK |
                                          GDK_ENTER_NOTIFY_MASK | GDK_BUTTON_PRESS_MASK |
                                          GDK_KEY_PRESS_MASK);
    g_signal_connect(m_hSurface, "draw", G_CALLBACK(DrawThunk), this);
    g_signal_connect(m_hSurface, "motion-notify-event", G_CALLBACK(MotionThunk), this);
    g_signal_connect(m_hSurface, "leave-notify-event", G_CALLBACK(LeaveThunk), this);
    g_signal_connect(m_hSurface, "button-press-event", G_CALLBACK(ButtonThunk), this);
    g_signal_connect(m_hSurface, "key-press-event", G_CALLBACK(KeyThunk), this);
    g_signal_connect(m_hSurface, "query-tooltip", G_CALLBACK(QueryTooltipThunk), this);
    g_signal_connect(m_hSurface, "destroy", G_CALLBACK(DestroyThunk), this);
    gtk_container_add(GTK_CONTAINER(m_hWnd), m_hSurface);
}

HRESULT CCertificateList::Initialize(HINSTANCE hInstance, BOOL bVistaOrLater,
                                     std::vector<CertificateListItem> vtrItems) {
    TRACE_SCOPE();
    HRESULT hResult = S_OK;
    GdkPixbuf* pImage = nullptr;
    m_bMouseTracking = 0;
    m_bVistaOrLater = bVistaOrLater;

    hResult = LoadImageFromResource(hInstance, IDB_SYSTEM_CERTIFICATE, &pImage);
    if (FAILED(hResult)) {
        FAILED_STEP_W(kUnit, "LoadImageFromResource (System certificate)", hResult,
                      "FAILED(hResult)");
        return hResult;
    }
    m_pSystemCertImage.reset(pImage);
    OK_STEP_W(kUnit, "LoadImageFromResource (System certificate)");

    hResult = LoadImageFromResource(hInstance, IDB_KEY_CERTIFICATE, &pImage);
    if (FAILED(hResult)) {
        FAILED_STEP_W(kUnit, "LoadImageFromResource (Key certificate)", hResult, "FAILED(hResult)");
        return hResult;
    }
    m_pKeyCertImage.reset(pImage);
    OK_STEP_W(kUnit, "LoadImageFromResource (Key certificate)");

    hResult = LoadImageFromResource(hInstance, IDB_CERTIFICATE_FRAME, &pImage);
    if (FAILED(hResult)) {
        FAILED_STEP_W(kUnit, "LoadImageFromResource (Certificate frame)", hResult,
                      "FAILED(hResult)");
        return hResult;
    }
    m_pFrameImage.reset(pImage);
    OK_STEP_W(kUnit, "LoadImageFromResource (Certificate frame)");

    m_vtrItems = std::move(vtrItems);

    // The tool covers the whole list and starts with an empty text.
    m_hToolTip = m_hSurface;
    m_strToolTipText.clear();
    if (m_hToolTip != nullptr) gtk_widget_set_has_tooltip(m_hToolTip, TRUE);
    return S_OK;
}

int CCertificateList::AddString() {
    ++m_nCount;
    if (m_hSurface != nullptr) {
        gtk_widget_set_size_request(m_hSurface, -1, m_nCount * certificate_rows::kRowHeight);
    }
    return m_nCount - 1;
}

int CCertificateList::SetCurSel(int nIndex) {
    if (nIndex < -1 || nIndex >= m_nCount) return -1;
    m_nCurSel = nIndex;
    EnsureVisible(nIndex);
    Invalidate();
    return nIndex;
}

int CCertificateList::GetCurSel() const { return m_nCurSel; }

int CCertificateList::GetCount() const { return m_nCount; }

Rect CCertificateList::GetItemRect(int nIndex) const {
    Rect rect;
    int nItemHeight = 0;
    OnMeasureItem(&nItemHeight);
    rect.top = nIndex * nItemHeight;
    rect.bottom = rect.top + nItemHeight;
    rect.right = m_hSurface != nullptr ? gtk_widget_get_allocated_width(m_hSurface) : 0;
    return rect;
}

void CCertificateList::BringWindowToTop() {
    // Siblings in a GtkFixed do not overlap here, and the dialog orders Tab itself, so
    // there is nothing to restack.
}

void CCertificateList::Focus() {
    if (m_hSurface != nullptr) gtk_widget_grab_focus(m_hSurface);
}

int CCertificateList::HitTest() const {
    if (m_hSurface == nullptr) return -1;
    GdkWindow* window = gtk_widget_get_window(m_hSurface);
    if (window == nullptr) return -1;
    GdkSeat* seat = gdk_display_get_default_seat(gdk_window_get_display(window));
    GdkDevice* pointer = seat != nullptr ? gdk_seat_get_pointer(seat) : nullptr;
    if (pointer == nullptr) return -1;
    int x = 0;
    int y = 0;
    gdk_window_get_device_position(window, pointer, &x, &y, nullptr);
    for (int n = 0; n < GetCount(); ++n) {
        const Rect rect = GetItemRect(n);
        if (x >= rect.left && x < rect.right && y >= rect.top && y < rect.bottom) return n;
    }
    return -1;
}

void CCertificateList::OnMeasureItem(int* pnItemHeight) const {
    *pnItemHeight = certificate_rows::kRowHeight;
}

void CCertificateList::OnMouseMove() {
    // GTK reports the pointer leaving once the surface asks for crossing events, which it does.
    if (m_bMouseTracking == 0) m_bMouseTracking = 1;
    Invalidate();
}

void CCertificateList::OnMouseLeave() {
    m_bMouseTracking = 0;
    Invalidate();
}

void CCertificateList::OnLButtonDown() {
    const int row = HitTest();
    if (m_hSurface != nullptr) gtk_widget_grab_focus(m_hSurface);
    if (row != -1) SetCurSel(row);
}

void CCertificateList::OnLButtonDblClk() {
    const int row = HitTest();
    if (row == -1 || row >= static_cast<int>(m_vtrItems.size())) return;
    PCCERT_CONTEXT pCertificate = m_vtrItems[row].pCertificate;
    if (pCertificate == nullptr) return;
    TRACE_INFO("Certificate viewer for row %d", row);
    GtkWidget* toplevel = m_hWnd != nullptr ? gtk_widget_get_toplevel(m_hWnd) : nullptr;
    window_system::ShowCertificateViewer(
        (toplevel != nullptr && GTK_IS_WINDOW(toplevel)) ? GTK_WINDOW(toplevel) : nullptr,
        pCertificate->pbCertEncoded, pCertificate->cbCertEncoded);
}

bool CCertificateList::OnKeyDown(guint nKey) {
    if (m_nCount <= 0) return false;
    int nVisible = 1;
    if (m_hWnd != nullptr && GTK_IS_SCROLLED_WINDOW(m_hWnd)) {
        GtkAdjustment* adjustment =
            gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(m_hWnd));
        nVisible = static_cast<int>(gtk_adjustment_get_page_size(adjustment)) /
                   certificate_rows::kRowHeight;
    }
    const int nPage = std::max(nVisible - 1, 1);
    const int nCurrent = m_nCurSel < 0 ? 0 : m_nCurSel;
    int nNext = nCurrent;
    switch (nKey) {
        case GDK_KEY_Up:
        case GDK_KEY_KP_Up:
        case GDK_KEY_Left:
        case GDK_KEY_KP_Left:
            nNext = nCurrent - 1;
            break;
        case GDK_KEY_Down:
        case GDK_KEY_KP_Down:
        case GDK_KEY_Right:
        case GDK_KEY_KP_Right:
            nNext = nCurrent + 1;
            break;
        case GDK_KEY_Page_Up:
        case GDK_KEY_KP_Page_Up:
            nNext = nCurrent - nPage;
            break;
        case GDK_KEY_Page_Down:
        case GDK_KEY_KP_Page_Down:
            nNext = nCurrent + nPage;
            break;
        case GDK_KEY_Home:
        case GDK_KEY_KP_Home:
            nNext = 0;
            break;
        case GDK_KEY_End:
        case GDK_KEY_KP_End:
            nNext = m_nCount - 1;
            break;
        default:
            return false;  // Enter, Escape and Tab belong to the dialog
    }
    SetCurSel(std::clamp(nNext, 0, m_nCount - 1));
    return true;
}

void CCertificateList::EnsureVisible(int nIndex) {
    if (nIndex < 0 || m_hWnd == nullptr || !GTK_IS_SCROLLED_WINDOW(m_hWnd)) return;
    GtkAdjustment* adjustment = gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(m_hWnd));
    const Rect rect = GetItemRect(nIndex);
    const double value = gtk_adjustment_get_value(adjustment);
    const double page = gtk_adjustment_get_page_size(adjustment);
    if (rect.top < value) {
        gtk_adjustment_set_value(adjustment, rect.top);
    } else if (page > 0 && rect.bottom > value + page) {
        gtk_adjustment_set_value(adjustment, rect.bottom - page);
    }
}

void CCertificateList::Invalidate() {
    if (m_hSurface != nullptr) gtk_widget_queue_draw(m_hSurface);
}

void CCertificateList::OnDraw(cairo_t* cr) {
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    double x1 = 0, y1 = 0, x2 = 0, y2 = 0;
    cairo_clip_extents(cr, &x1, &y1, &x2, &y2);
    const int first = std::max(0, static_cast<int>(y1) / certificate_rows::kRowHeight);
    // Only rows that exist are drawn: an item without a row is never read.
    const int last = std::min({m_nCount, static_cast<int>(m_vtrItems.size()),
                               static_cast<int>(y2) / certificate_rows::kRowHeight + 1});
    for (int n = first; n < last; ++n) DrawItem(n, n == m_nCurSel, cr, GetItemRect(n));
}

void CCertificateList::DrawItem(int nItemID, bool bSelected, HDC hDC, const Rect& rcItem) {
    if (nItemID < 0 || nItemID >= static_cast<int>(m_vtrItems.size())) return;
    const CertificateListItem& item = m_vtrItems[nItemID];
    const int w = rcItem.Width();
    const int h = rcItem.Height();
    if (w <= 0 || h <= 0) return;

    // The row is composed off screen and copied to the screen in one operation.
    CairoSurfacePtr surface(
        cairo_surface_create_similar(cairo_get_target(hDC), CAIRO_CONTENT_COLOR, w, h));
    CairoPtr memory(cairo_create(surface.get()));
    cairo_t* cr = memory.get();
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);

    const int hover = HitTest();
    if (bSelected) {
        DrawHighlight(cr, w, h, kSelectedTop, kSelectedBottom, kSelectedBorder);
    } else if (hover == nItemID) {
        DrawHighlight(cr, w, h, kHoverTop, kHoverBottom, kHoverBorder);
    }

    GdkPixbuf* picture =
        item.bKeyCertificate == 1 ? m_pKeyCertImage.get() : m_pSystemCertImage.get();
    if (picture != nullptr)
        DrawImageScaled(cr, picture, kPictureLeft, kPictureTop, kPictureSize, kPictureSize);
    if (m_pFrameImage != nullptr) {
        const int fw = gdk_pixbuf_get_width(m_pFrameImage.get());
        const int fh = gdk_pixbuf_get_height(m_pFrameImage.get());
        DrawImageScaled(cr, m_pFrameImage.get(), (kPictureSquare - fw) / 2,
                        (kPictureSquare - fh) / 2, fw, fh);
    }

    const LineFont* fonts = m_bVistaOrLater == 1 ? kVistaFonts : kClassicFonts;
    const std::u16string* lines[4] = {&item.strSubjectCN, &item.strIssuer, &item.strSerialNumber,
                                      &item.strValidity};
    const int nRight = rcItem.right - kTextRightMargin;
    for (int i = 0; i < 4; ++i) {
        DrawTextWithFont(fonts[i].face, cr, lines[i]->c_str(), kTextLeft, fonts[i].y, nRight,
                         fonts[i].width, fonts[i].height, RGB(0, 0, 0));
    }

    cairo_surface_flush(surface.get());
    cairo_save(hDC);
    cairo_set_source_surface(hDC, surface.get(), rcItem.left, rcItem.top);
    cairo_rectangle(hDC, rcItem.left, rcItem.top, w, h);
    cairo_fill(hDC);
    cairo_restore(hDC);

    // The tooltip follows the hovered row's name; an unchanged name is not set again.
    if (hover == nItemID && m_strToolTipText != item.strSubjectCN) {
        m_strToolTipText = item.strSubjectCN;
        TRACE_INFO("Tooltip text set for row %d", nItemID);
    }
}

gboolean CCertificateList::DrawThunk(GtkWidget*, cairo_t* cr, gpointer self) {
    static_cast<CCertificateList*>(self)->OnDraw(cr);
    return TRUE;
}

gboolean CCertificateList::MotionThunk(GtkWidget*, GdkEventMotion*, gpointer self) {
    static_cast<CCertificateList*>(self)->OnMouseMove();
    return FALSE;
}

gboolean CCertificateList::LeaveThunk(GtkWidget*, GdkEventCrossing*, gpointer self) {
    static_cast<CCertificateList*>(self)->OnMouseLeave();
    return FALSE;
}

gboolean CCertificateList::ButtonThunk(GtkWidget*, GdkEventButton* event, gpointer self) {
    auto* list = static_cast<CCertificateList*>(self);
    if (event->button != GDK_BUTTON_PRIMARY) return FALSE;
    if (event->type == GDK_BUTTON_PRESS) list->OnLButtonDown();
    if (event->type == GDK_2BUTTON_PRESS) {
        // The viewer runs its own modal loop; it starts once this press has been handled, so the
        // press and its release stay paired for GTK.
        if (list->m_nViewerSource == 0) list->m_nViewerSource = g_idle_add(ViewerThunk, list);
    }
    return TRUE;
}

void CCertificateList::DestroyThunk(GtkWidget*, gpointer self) {
    // The dialog's window took the list's widgets with it.
    auto* list = static_cast<CCertificateList*>(self);
    list->m_hSurface = nullptr;
    list->m_hToolTip = nullptr;
    list->m_hWnd = nullptr;
}

gboolean CCertificateList::ViewerThunk(gpointer self) {
    auto* list = static_cast<CCertificateList*>(self);
    list->m_nViewerSource = 0;
    list->OnLButtonDblClk();
    list->OnLButtonDown();  // the list's own double-click processing: select the row
    return G_SOURCE_REMOVE;
}

gboolean CCertificateList::KeyThunk(GtkWidget*, GdkEventKey* event, gpointer self) {
    return static_cast<CCertificateList*>(self)->OnKeyDown(event->keyval) ? TRUE : FALSE;
}

gboolean CCertificateList::QueryTooltipThunk(GtkWidget*, gint, gint, gboolean, GtkTooltip* tooltip,
                                             gpointer self) {
    auto* list = static_cast<CCertificateList*>(self);
    if (list->m_strToolTipText.empty() || list->HitTest() == -1) return FALSE;
    gtk_tooltip_set_text(tooltip, Utf16ToUtf8String(list->m_strToolTipText).c_str());
    return TRUE;
}
