#include "dialog/SelectCertificateDlg.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "certificates/CertificateFilters.h"
#include "certificates/CertificateInfo.h"
#include "common/Conversions.h"
#include "common/ResultCodes.h"
#include "common/Trace.h"
#include "common/Utf.h"
#include "platform/runtime/LastError.h"
#include "resources/StringTable.h"

static constexpr char kUnit[] = "SelectCertificateDlg";

namespace {

using certificate_rows::DialogUnitsToPixelsX;
using certificate_rows::DialogUnitsToPixelsY;
using window_system::GObjectPtr;
using window_system::Rect;

// Template 101, in dialog units: the client area and the four controls.
struct TemplateRect {
    int x, y, cx, cy;
};
constexpr TemplateRect kTemplateClient{0, 0, 282, 329};
constexpr TemplateRect kTemplateOK{170, 308, 50, 14};
constexpr TemplateRect kTemplateCancel{225, 308, 50, 14};
constexpr TemplateRect kTemplateList{13, 37, 255, 264};
constexpr TemplateRect kTemplateRule{7, 27, 268, 1};

Rect ToPixels(const TemplateRect& r) {
    Rect rect;
    rect.left = DialogUnitsToPixelsX(r.x);
    rect.top = DialogUnitsToPixelsY(r.y);
    rect.right = rect.left + DialogUnitsToPixelsX(r.cx);
    rect.bottom = rect.top + DialogUnitsToPixelsY(r.cy);
    return rect;
}

constexpr int kHeadingLeft = 15;
constexpr int kHeadingTop = 12;
constexpr int kHeadingRightMargin = 20;
constexpr COLORREF kHeadingColor = 0x00993300;  // red 0x00, green 0x33, blue 0x99
constexpr int kLineBuffer = 256;                // every formatted line is built in 256 characters
constexpr int kSystemMajorVersion = 10;         // this window system has the modern UI fonts

// The template's push buttons are 14 dialog units high; the theme's roomier padding is trimmed so
// the buttons keep that size.
constexpr char kButtonStyle[] = "button { padding: 0 6px; min-height: 0; min-width: 0; }";

std::u16string LoadLine(HINSTANCE hInstance, uint32_t uID, int* pnRetCode) {
    char16_t szBuffer[kLineBuffer] = {};
    *pnRetCode = LoadStringW(hInstance, uID, szBuffer, kLineBuffer);
    return std::u16string(szBuffer);
}

gboolean DrawRule(GtkWidget* widget, cairo_t* cr, gpointer) {
    // A static edge: shadow above, highlight below.
    const int w = gtk_widget_get_allocated_width(widget);
    const int h = gtk_widget_get_allocated_height(widget);
    cairo_set_source_rgb(cr, 0xA0 / 255.0, 0xA0 / 255.0, 0xA0 / 255.0);
    cairo_rectangle(cr, 0, 0, w, 1);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_rectangle(cr, 0, 1, w, h - 1);
    cairo_fill(cr);
    return TRUE;
}

}  // namespace

CSelectCertificateDlg::CSelectCertificateDlg()
    : m_hInstance(nullptr),
      m_bVistaOrLater(0),
      m_szHeading{},
      m_dwErrorCode(0),
      m_pstCertificate(nullptr),
      m_hWnd(nullptr),
      m_hClient(nullptr),
      m_hOK(nullptr),
      m_hCancel(nullptr),
      m_hList(nullptr),
      m_hRule(nullptr),
      m_pModalLoop(nullptr),
      m_nCloseSource(0),
      m_nClientWidth(0),
      m_nClientHeight(0),
      m_nLeft(0) {}

CSelectCertificateDlg::~CSelectCertificateDlg() {
    if (m_nCloseSource != 0) g_source_remove(m_nCloseSource);
    if (m_hWnd != nullptr) window_system::DestroyWindowNow(m_hWnd);
    ReleaseCertificates();  // only left when LoadCertificates ran without a window
}

PCCERT_CONTEXT CSelectCertificateDlg::GetSelectedCertificate() {
    TRACE_SCOPE();
    return m_pstCertificate;
}

HRESULT CSelectCertificateDlg::GetErrorCode() {
    TRACE_SCOPE();
    return m_dwErrorCode;
}

void CSelectCertificateDlg::ReleaseCertificates() {
    for (PCCERT_CONTEXT pCertificate : m_vtrCertificates) CertFreeCertificateContext(pCertificate);
    m_vtrCertificates.clear();
    m_vtrCertificateItems.clear();
}

intptr_t CSelectCertificateDlg::DoModal(HWND, const SELECT_CERTIFICATE_DIALOG_PARAM* lParam) {
    TRACE_SCOPE();
    if (!window_system::StartWindowSystem()) return -1;
    window_system::ModalLoop loop;
    m_pModalLoop = &loop;
    // The browser gone (its pipe hung up) answers as Cancel would.
    loop.SetHangUpAction([this] { OnCancel(); });
    CreateFromTemplate();
    OnInitDialog(lParam);
    const intptr_t nResult = loop.Run();
    m_pModalLoop = nullptr;
    OnDestroy();
    if (m_nCloseSource != 0) {
        g_source_remove(m_nCloseSource);
        m_nCloseSource = 0;
    }
    window_system::DestroyWindowNow(m_hWnd);
    m_hWnd = nullptr;
    TRACE_INFO("CSelectCertificateDlg::DoModal: result %ld", static_cast<long>(nResult));
    return nResult;
}

void CSelectCertificateDlg::CreateFromTemplate() {
    const uint16_t wLanguage = GetUserDefaultUILanguage();
    const DialogTemplateTexts& texts = SelectCertificateDialogTexts(wLanguage);
    const Rect client = ToPixels(kTemplateClient);
    m_nClientWidth = client.Width();
    m_nClientHeight = client.Height();

    m_hWnd = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWindow* window = GTK_WINDOW(m_hWnd);
    gtk_window_set_title(window, Utf16ToUtf8String(texts.caption).c_str());
    gtk_window_set_modal(window, TRUE);
    gtk_window_set_resizable(window, FALSE);
    gtk_window_set_type_hint(window, GDK_WINDOW_TYPE_HINT_DIALOG);
    gtk_window_set_default_size(window, m_nClientWidth, m_nClientHeight);

    m_hClient = gtk_fixed_new();
    gtk_widget_set_size_request(m_hClient, m_nClientWidth, m_nClientHeight);
    gtk_container_add(GTK_CONTAINER(m_hWnd), m_hClient);

    GObjectPtr<GtkCssProvider> style(gtk_css_provider_new());
    gtk_css_provider_load_from_data(style.get(), kButtonStyle, -1, nullptr);

    auto place = [this](GtkWidget* control, const Rect& rect) {
        gtk_widget_set_size_request(control, rect.Width(), rect.Height());
        gtk_fixed_put(GTK_FIXED(m_hClient), control, rect.left, rect.top);
    };
    m_hOK = gtk_button_new_with_label(Utf16ToUtf8String(texts.ok).c_str());
    m_hCancel = gtk_button_new_with_label(Utf16ToUtf8String(texts.cancel).c_str());
    for (GtkWidget* button : {m_hOK, m_hCancel}) {
        gtk_style_context_add_provider(gtk_widget_get_style_context(button),
                                       GTK_STYLE_PROVIDER(style.get()),
                                       GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    }
    gtk_widget_set_can_default(m_hOK, TRUE);

    m_hList = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(m_hList), GTK_POLICY_NEVER,
                                   GTK_POLICY_AUTOMATIC);
    gtk_scrolled_window_set_overlay_scrolling(GTK_SCROLLED_WINDOW(m_hList), FALSE);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(m_hList), GTK_SHADOW_NONE);

    m_hRule = gtk_drawing_area_new();
    g_signal_connect(m_hRule, "draw", G_CALLBACK(DrawRule), nullptr);

    // Children in the template's order, which is also the Tab order (see MoveFocus).
    place(m_hOK, ToPixels(kTemplateOK));
    place(m_hCancel, ToPixels(kTemplateCancel));
    place(m_hList, ToPixels(kTemplateList));
    place(m_hRule, ToPixels(kTemplateRule));
    gtk_window_set_default(window, m_hOK);

    g_signal_connect(m_hClient, "draw", G_CALLBACK(PaintThunk), this);
    g_signal_connect(m_hOK, "clicked", G_CALLBACK(OkThunk), this);
    g_signal_connect(m_hCancel, "clicked", G_CALLBACK(CancelThunk), this);
    g_signal_connect(m_hWnd, "delete-event", G_CALLBACK(CloseThunk), this);
    g_signal_connect(m_hWnd, "key-press-event", G_CALLBACK(KeyThunk), this);
    gtk_widget_realize(m_hWnd);
}

BOOL CSelectCertificateDlg::OnInitDialog(const SELECT_CERTIFICATE_DIALOG_PARAM* lParam) {
    TRACE_SCOPE();
    HRESULT hResult = S_OK;
    int nRetCode = 0;
    std::vector<CertificateListItem> vtrItems;

    CenterWindow();
    // The module holds no icon 102, so the window keeps no icon of its own.
    if (m_CertificateList.GetHwnd() == nullptr) m_CertificateList.SubclassWindow(m_hList);

    if (NULL == lParam) {
        hResult = E_INVALIDARG;
        FAILED_STEP_W(kUnit, "Check lParam passed to InitalDialog", hResult, "lParam == NULL");
        goto Exit;
    }
    if (NULL != lParam->hInstance) m_hInstance = lParam->hInstance;
    if (NULL != lParam->szTitle)
        gtk_window_set_title(GTK_WINDOW(m_hWnd), Utf16ToUtf8String(lParam->szTitle).c_str());
    if (NULL != lParam->szHeading) {
        // A longer heading is cut to the buffer.
        const size_t nLength =
            std::min(std::u16string_view(lParam->szHeading).size(), certificate_rows::kHeadingMax);
        std::memcpy(m_szHeading, lParam->szHeading, nLength * sizeof(char16_t));
        m_szHeading[nLength] = 0;
    }
    if (NULL != lParam->szOKText)
        gtk_button_set_label(GTK_BUTTON(m_hOK), Utf16ToUtf8String(lParam->szOKText).c_str());
    if (NULL != lParam->szCancelText) {
        gtk_button_set_label(GTK_BUTTON(m_hCancel),
                             Utf16ToUtf8String(lParam->szCancelText).c_str());
    }

    if (0 == m_szHeading[0]) {
        nRetCode = LoadStringW(m_hInstance, IDS_SELECT_CERTIFICATE_HEADING, m_szHeading,
                               static_cast<int>(std::size(m_szHeading)));
        if (0 == nRetCode) {
            hResult = RESULT_FROM_LAST_ERROR(GetLastError());
            FAILED_STEP_W(kUnit, "LoadString", hResult, "nRetCode == 0");
            goto Exit;
        }
    }
    OK_STEP_W(kUnit, "LoadString");

    m_bVistaOrLater = kSystemMajorVersion >= 6 ? 1 : 0;

    hResult = LoadCertificates(lParam->hCertStore);
    if (FAILED(hResult)) {
        FAILED_STEP_W(kUnit, "LoadCertificates", hResult, "FAILED(hResult)");
        goto Exit;
    }
    OK_STEP_W(kUnit, "LoadCertificates");

    vtrItems = m_vtrCertificateItems;
    hResult = m_CertificateList.Initialize(m_hInstance, m_bVistaOrLater, std::move(vtrItems));
    if (FAILED(hResult)) {
        FAILED_STEP_W(kUnit, "CCertificateList::Initialize", hResult, "FAILED(hResult)");
        goto Exit;
    }
    OK_STEP_W(kUnit, "CCertificateList::Initialize");

    AdjustWindowSize();
    for (size_t i = 0; i < m_vtrCertificates.size(); ++i) m_CertificateList.AddString();
    m_CertificateList.SetCurSel(0);
    m_CertificateList.BringWindowToTop();
    hResult = S_OK;

Exit:
    m_dwErrorCode = hResult;
    if (m_dwErrorCode >= 0) {
        gtk_widget_show_all(m_hWnd);
        gtk_window_present(GTK_WINDOW(m_hWnd));
        // The first tab stop of the template, the default button: Enter takes the selected row.
        gtk_widget_grab_focus(m_hOK);
    } else {
        // As a dialog answers a close request: through the Cancel command.
        m_nCloseSource = g_idle_add(CloseCommandThunk, this);
    }
    return TRUE;
}

HRESULT CSelectCertificateDlg::LoadCertificates(HCERTSTORE hStore) {
    TRACE_SCOPE();
    HRESULT hResult = S_OK;
    int nRetCode = 0;
    WCHAR* pwszSubject = NULL;
    WCHAR* pwszIssuer = NULL;
    BYTE* pbSerialNumber = NULL;
    DWORD dwSerialNumberLength = 0;
    WCHAR* pwszSerialHex = NULL;
    SYSTEMTIME stFrom = {};
    SYSTEMTIME stTo = {};
    DWORD dwLength = 0;
    std::u16string strFormat;

    for (PCCERT_CONTEXT pCertificate : m_vtrCertificates) CertFreeCertificateContext(pCertificate);
    m_vtrCertificates.clear();
    hResult = ExtractCertificatesFromStore(hStore, m_vtrCertificates);
    if (FAILED(hResult)) {
        FAILED_STEP_W(kUnit, "ExtractCertificatesFromStore", hResult, "FAILED(hResult)");
        goto Exit;
    }
    OK_STEP_W(kUnit, "ExtractCertificatesFromStore");

    m_vtrCertificateItems.clear();
    for (PCCERT_CONTEXT pCertificate : m_vtrCertificates) {
        CertificateListItem stItem;

        // Key location; nothing here fails the operation.
        HCRYPTPROV hProvider = 0;
        DWORD dwKeySpec = 0;
        BOOL bCallerFree = FALSE;
        if (CryptAcquireCertificatePrivateKey(pCertificate, 0, NULL, &hProvider, &dwKeySpec,
                                              &bCallerFree)) {
            DWORD dwImpType = 0;
            DWORD dwImpTypeLength = sizeof(dwImpType);
            if (CryptGetProvParam(hProvider, PP_IMPTYPE, reinterpret_cast<BYTE*>(&dwImpType),
                                  &dwImpTypeLength, 0) &&
                (dwImpType & (CRYPT_IMPL_HARDWARE | CRYPT_IMPL_REMOVABLE)) != 0) {
                stItem.bKeyCertificate = 1;
            }
            CryptReleaseContext(hProvider, 0);
        }

        hResult = GetCertSubject(pCertificate, &pwszSubject, &dwLength, CERT_X500_NAME_STR);
        if (FAILED(hResult)) {
            FAILED_STEP_W(kUnit, "QueryCertContextInfo (Subject)", hResult, "FAILED(hResult)");
            goto Exit;
        }
        stItem.strSubjectCN = certificate_rows::ScanNameAfter(pwszSubject, u"CN=");

        hResult = GetCertIssuer(pCertificate, &pwszIssuer, &dwLength);
        if (FAILED(hResult)) {
            FAILED_STEP_W(kUnit, "QueryCertContextInfo (Issuer)", hResult, "FAILED(hResult)");
            goto Exit;
        }
        strFormat = LoadLine(m_hInstance, IDS_ISSUER_LINE, &nRetCode);
        if (0 == nRetCode) {
            hResult = RESULT_FROM_LAST_ERROR(GetLastError());
            FAILED_STEP_W(kUnit, "LoadString (Issuer)", hResult, "nRetCode == 0");
            goto Exit;
        }
        {
            const std::u16string strIssuerName = certificate_rows::IssuerDisplayName(pwszIssuer);
            stItem.strIssuer =
                certificate_rows::FormatLine(strFormat, {std::u16string_view(strIssuerName)});
        }

        hResult = GetCertSerialNumber(pCertificate, &pbSerialNumber, &dwSerialNumberLength);
        if (FAILED(hResult)) {
            FAILED_STEP_W(kUnit, "QueryCertContextInfo (Serial number", hResult, "FAILED(hResult)");
            goto Exit;
        }
        hResult =
            ConvertBinaryDataToString(&pwszSerialHex, dwSerialNumberLength, pbSerialNumber, 1);
        if (FAILED(hResult)) {
            FAILED_STEP_W(kUnit, "FormatStringFromData (Serial number", hResult, "FAILED(hResult)");
            goto Exit;
        }
        strFormat = LoadLine(m_hInstance, IDS_SERIAL_NUMBER_LINE, &nRetCode);
        if (0 == nRetCode) {
            hResult = RESULT_FROM_LAST_ERROR(GetLastError());
            FAILED_STEP_W(kUnit, "LoadString (Serial number)", hResult, "nRetCode == 0");
            goto Exit;
        }
        stItem.strSerialNumber =
            certificate_rows::FormatLine(strFormat, {std::u16string_view(pwszSerialHex)});

        hResult = GetCertFromDate(pCertificate, &stFrom, &dwLength);
        if (FAILED(hResult)) {
            FAILED_STEP_W(kUnit, "QueryCertContextInfo (From-date", hResult, "FAILED(hResult)");
            goto Exit;
        }
        hResult = GetCertToDate(pCertificate, &stTo, &dwLength);
        if (FAILED(hResult)) {
            FAILED_STEP_W(kUnit, "QueryCertContextInfo (To-date", hResult, "FAILED(hResult)");
            goto Exit;
        }
        strFormat = LoadLine(m_hInstance, IDS_VALIDITY_LINE, &nRetCode);
        if (0 == nRetCode) {
            hResult = RESULT_FROM_LAST_ERROR(GetLastError());
            FAILED_STEP_W(kUnit, "LoadString (Valid date)", hResult, "nRetCode == 0");
            goto Exit;
        }
        stItem.strValidity = certificate_rows::FormatLine(
            strFormat, {int{stFrom.wYear}, int{stFrom.wMonth}, int{stFrom.wDay}, int{stTo.wYear},
                        int{stTo.wMonth}, int{stTo.wDay}});

        stItem.pCertificate = pCertificate;
        m_vtrCertificateItems.push_back(std::move(stItem));

        std::free(pwszSubject);
        pwszSubject = NULL;
        std::free(pwszIssuer);
        pwszIssuer = NULL;
        std::free(pbSerialNumber);
        pbSerialNumber = NULL;
        std::free(pwszSerialHex);
        pwszSerialHex = NULL;
    }

    certificate_rows::SortRows(m_vtrCertificateItems);
    hResult = S_OK;

Exit:
    std::free(pwszSubject);
    std::free(pwszIssuer);
    std::free(pbSerialNumber);
    std::free(pwszSerialHex);
    if (FAILED(hResult)) ReleaseCertificates();
    return hResult;
}

void CSelectCertificateDlg::CenterWindow() {
    // No owner window across processes: centred over the work area of the dialog's monitor, then
    // kept inside it.
    const Rect area = window_system::MonitorWorkArea(m_hWnd);
    int left = area.left + (area.Width() - m_nClientWidth) / 2;
    int top = area.top + (area.Height() - m_nClientHeight) / 2;
    if (left + m_nClientWidth > area.right) left = area.right - m_nClientWidth;
    if (left < area.left) left = area.left;
    if (top < area.top) top = area.top;
    gtk_window_move(GTK_WINDOW(m_hWnd), left, top);
    m_nLeft = left;
}

void CSelectCertificateDlg::AdjustWindowSize() {
    const int nScreen = window_system::GetSystemMetrics(window_system::SM_CYSCREEN);
    const int nFrame = window_system::GetSystemMetrics(window_system::SM_CYDLGFRAME);
    const int nRows = certificate_rows::VisibleRowCount(nScreen, m_vtrCertificates.size());
    const int nListHeight = certificate_rows::kRowHeight * nRows + 2 * nFrame;

    const Rect rcList = ToPixels(kTemplateList);
    const Rect rcOK = ToPixels(kTemplateOK);
    const Rect rcCancel = ToPixels(kTemplateCancel);
    const int nDelta = nListHeight - rcList.Height();
    m_nClientHeight += nDelta;

    const int nTop = (nScreen - m_nClientHeight) / 2;
    gtk_widget_set_size_request(m_hClient, m_nClientWidth, m_nClientHeight);
    gtk_window_set_default_size(GTK_WINDOW(m_hWnd), m_nClientWidth, m_nClientHeight);
    gtk_window_resize(GTK_WINDOW(m_hWnd), m_nClientWidth, m_nClientHeight);
    gtk_window_move(GTK_WINDOW(m_hWnd), m_nLeft, nTop);
    gtk_widget_set_size_request(m_hList, rcList.Width(), nListHeight);
    gtk_fixed_move(GTK_FIXED(m_hClient), m_hOK, rcOK.left, rcOK.top + nDelta);
    gtk_fixed_move(GTK_FIXED(m_hClient), m_hCancel, rcCancel.left, rcCancel.top + nDelta);
    TRACE_INFO("AdjustWindowSize: screen %d, rows %d, list height %d", nScreen, nRows, nListHeight);
}

void CSelectCertificateDlg::OnPaint(cairo_t* hDC) {
    cairo_set_source_rgb(hDC, 1, 1, 1);
    cairo_paint(hDC);
    const int nClientWidth = gtk_widget_get_allocated_width(m_hClient);
    if (m_bVistaOrLater == 1) {
        DrawTextWithFont(u"Microsoft YaHei", hDC, m_szHeading, kHeadingLeft, kHeadingTop,
                         nClientWidth - kHeadingRightMargin, 8, 22, kHeadingColor);
    } else {
        DrawTextWithFont(u"Arial", hDC, m_szHeading, kHeadingLeft, kHeadingTop,
                         nClientWidth - kHeadingRightMargin, 8, 16, kHeadingColor);
    }
}

void CSelectCertificateDlg::OnOK() {
    TRACE_SCOPE();
    const int nSelected = m_CertificateList.GetCurSel();
    // Item 0 is selected at start and a single-selection list keeps its selection; without one
    // there is nothing to choose, so the press is ignored.
    if (nSelected < 0 || nSelected >= static_cast<int>(m_vtrCertificateItems.size())) return;
    m_pstCertificate =
        CertDuplicateCertificateContext(m_vtrCertificateItems[nSelected].pCertificate);
    if (NULL == m_pstCertificate) {
        m_dwErrorCode = RESULT_FROM_LAST_ERROR(GetLastError());
        FAILED_STEP_W(kUnit, "CertDuplicateCertificateContext", m_dwErrorCode,
                      "m_pstCertificate == NULL");
    } else {
        m_dwErrorCode = S_OK;
        OK_STEP_W(kUnit, "CertDuplicateCertificateContext");
    }
    EndDialog(IDOK);
}

void CSelectCertificateDlg::OnCancel() {
    TRACE_SCOPE();
    m_dwErrorCode = VELK_I_USER_CANCELED;
    EndDialog(IDCANCEL);
}

void CSelectCertificateDlg::OnDestroy() {
    TRACE_SCOPE();
    ReleaseCertificates();
}

void CSelectCertificateDlg::EndDialog(intptr_t nResult) {
    if (m_pModalLoop != nullptr) m_pModalLoop->End(nResult);
}

gboolean CSelectCertificateDlg::PaintThunk(GtkWidget*, cairo_t* cr, gpointer self) {
    static_cast<CSelectCertificateDlg*>(self)->OnPaint(cr);
    return FALSE;  // the controls draw over the background
}

void CSelectCertificateDlg::OkThunk(GtkButton*, gpointer self) {
    static_cast<CSelectCertificateDlg*>(self)->OnOK();
}

void CSelectCertificateDlg::CancelThunk(GtkButton*, gpointer self) {
    static_cast<CSelectCertificateDlg*>(self)->OnCancel();
}

gboolean CSelectCertificateDlg::CloseThunk(GtkWidget*, GdkEvent*, gpointer self) {
    static_cast<CSelectCertificateDlg*>(self)->OnCancel();  // the close box is Cancel
    return TRUE;
}

void CSelectCertificateDlg::MoveFocus(bool bBackward) {
    // GTK would order Tab by position and put the list, which lies above the buttons, first; a
    // dialog cycles its tab stops in the template's order instead: OK, Cancel, the list.
    GtkWidget* hFocus = gtk_window_get_focus(GTK_WINDOW(m_hWnd));
    int nCurrent = 0;
    if (hFocus == m_hCancel)
        nCurrent = 1;
    else if (hFocus != nullptr && hFocus != m_hOK && gtk_widget_is_ancestor(hFocus, m_hList))
        nCurrent = 2;
    const int nNext = (nCurrent + (bBackward ? 2 : 1)) % 3;
    if (nNext == 0)
        gtk_widget_grab_focus(m_hOK);
    else if (nNext == 1)
        gtk_widget_grab_focus(m_hCancel);
    else
        m_CertificateList.Focus();
}

gboolean CSelectCertificateDlg::KeyThunk(GtkWidget*, GdkEventKey* event, gpointer self) {
    auto* dialog = static_cast<CSelectCertificateDlg*>(self);
    const guint nModifiers = event->state & gtk_accelerator_get_default_mod_mask();
    switch (event->keyval) {
        case GDK_KEY_Escape:
            dialog->OnCancel();
            return TRUE;
        case GDK_KEY_Tab:
        case GDK_KEY_KP_Tab:
        case GDK_KEY_ISO_Left_Tab:
            if ((nModifiers & ~GDK_SHIFT_MASK) != 0) return FALSE;
            dialog->MoveFocus((nModifiers & GDK_SHIFT_MASK) != 0 ||
                              event->keyval == GDK_KEY_ISO_Left_Tab);
            return TRUE;
        default:
            return FALSE;
    }
}

gboolean CSelectCertificateDlg::CloseCommandThunk(gpointer self) {
    auto* dialog = static_cast<CSelectCertificateDlg*>(self);
    dialog->m_nCloseSource = 0;
    dialog->OnCancel();
    return G_SOURCE_REMOVE;
}

int RunWindowSelectCertificateDialog(const SELECT_CERTIFICATE_DIALOG_PARAM* pParam,
                                     PCCERT_CONTEXT* ppSelectedCert, DWORD* pdwErrorCode) {
    TRACE_SCOPE();
    CSelectCertificateDlg dialog;
    const intptr_t nResult =
        dialog.DoModal(pParam != nullptr ? pParam->hwndOwner : nullptr, pParam);
    *ppSelectedCert = dialog.GetSelectedCertificate();
    *pdwErrorCode = static_cast<DWORD>(dialog.GetErrorCode());
    return static_cast<int>(nResult);
}
