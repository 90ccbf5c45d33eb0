// The modal dialog in which the user picks one certificate out of an in-memory store. It is built
// in code from its template's geometry (dialog units converted with the template font's base
// units) and texts (the string table), and runs modally on the host's thread.
#pragma once

#include <vector>

#include "dialog/CertificateListCtrl.h"
#include "dialog/CertificateRows.h"
#include "platform/window/CertificateDialogs.h"
#include "platform/window/WindowSystem.h"

constexpr int IDD_SELECT_CERTIFICATE = 101;
constexpr int IDC_CERTIFICATE_LIST = 1001;

class CSelectCertificateDlg {
  public:
    CSelectCertificateDlg();
    ~CSelectCertificateDlg();
    CSelectCertificateDlg(const CSelectCertificateDlg&) = delete;
    CSelectCertificateDlg& operator=(const CSelectCertificateDlg&) = delete;

    // Creates the dialog from template 101 and runs it: IDOK, IDCANCEL, or -1 when no dialog
    // could be made (no usable display).
    intptr_t DoModal(HWND hWndParent, const SELECT_CERTIFICATE_DIALOG_PARAM* lParam);

    PCCERT_CONTEXT GetSelectedCertificate();
    HRESULT GetErrorCode();

    // The rows of the store's certificates, also usable without a window.
    HRESULT LoadCertificates(HCERTSTORE hStore);
    const std::vector<CertificateListItem>& GetCertificateItems() const {
        return m_vtrCertificateItems;
    }
    void SetModuleHandle(HINSTANCE hInstance) { m_hInstance = hInstance; }
    const CCertificateList& GetCertificateList() const { return m_CertificateList; }

  private:
    BOOL OnInitDialog(const SELECT_CERTIFICATE_DIALOG_PARAM* lParam);
    void OnDestroy();
    void OnPaint(cairo_t* hDC);
    void OnOK();
    void OnCancel();
    void AdjustWindowSize();
    void CenterWindow();
    void EndDialog(intptr_t nResult);
    void CreateFromTemplate();
    void ReleaseCertificates();
    void MoveFocus(bool bBackward);  // Tab (forward) or Shift+Tab through OK, Cancel, the list

    static gboolean PaintThunk(GtkWidget*, cairo_t* cr, gpointer self);
    static void OkThunk(GtkButton*, gpointer self);
    static void CancelThunk(GtkButton*, gpointer self);
    static gboolean CloseThunk(GtkWidget*, GdkEvent*, gpointer self);
    static gboolean KeyThunk(GtkWidget*, GdkEventKey* event, gpointer self);
    static gboolean CloseCommandThunk(gpointer self);

    HINSTANCE m_hInstance;
    BOOL m_bVistaOrLater;
    char16_t m_szHeading[128];
    std::vector<PCCERT_CONTEXT> m_vtrCertificates;
    std::vector<CertificateListItem> m_vtrCertificateItems;
    CCertificateList m_CertificateList;
    HRESULT m_dwErrorCode;
    PCCERT_CONTEXT m_pstCertificate;

    // The window and its controls (owned by the window while it exists).
    GtkWidget* m_hWnd;
    GtkWidget* m_hClient;
    GtkWidget* m_hOK;
    GtkWidget* m_hCancel;
    GtkWidget* m_hList;
    GtkWidget* m_hRule;
    window_system::ModalLoop* m_pModalLoop;
    guint m_nCloseSource;
    int m_nClientWidth;
    int m_nClientHeight;
    int m_nLeft;
};

// The window-system run of the dialog, for the dialog entry's runner seam.
int RunWindowSelectCertificateDialog(const SELECT_CERTIFICATE_DIALOG_PARAM* pParam,
                                     PCCERT_CONTEXT* ppSelectedCert, DWORD* pdwErrorCode);
