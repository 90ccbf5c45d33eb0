// The one door through which the agent asks the user to choose a certificate: the only candidate
// is taken at once; otherwise the candidates go into a temporary in-memory store and a modal
// selection dialog runs over it.
#pragma once

#include <vector>

#include "platform/crypt/CertServices.h"
#include "platform/runtime/Resources.h"
#include "platform/runtime/Types.h"

// Top-level windows. There is no owner window across processes here, so the two lookups the
// callers make give no window; the dialog centres itself instead.
struct WindowHandle;
using HWND = WindowHandle*;
HWND GetForegroundWindow();
HWND GetActiveWindow();

// Modal results of the dialog.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

// Request record. dwVariant 0 is the basic layout, 1 the extended one.
struct CUSTOM_CRYPTUI_SELECTCERTIFICATE_STRUCT_BASIC {
    DWORD dwVariant;
    HINSTANCE hInstance;
    DWORD dwForceDialog;  // non-zero shows the dialog even for one candidate
    DWORD dwUseOwner;     // 1: hwndOwner is the owner window
    HWND hwndOwner;
};
struct CUSTOM_CRYPTUI_SELECTCERTIFICATE_STRUCT_EXTENDED {
    DWORD dwVariant;
    HINSTANCE hInstance;
    LPCWSTR szTitle;  // window caption; as the third field it also forces the dialog
    LPCWSTR szOKText;
    LPCWSTR szCancelText;
    DWORD dwUseOwner;
    HWND hwndOwner;
};
union CUSTOM_CRYPTUI_SELECTCERTIFICATE_STRUCT {
    DWORD dwVariant;
    CUSTOM_CRYPTUI_SELECTCERTIFICATE_STRUCT_BASIC basic;
    CUSTOM_CRYPTUI_SELECTCERTIFICATE_STRUCT_EXTENDED extended;
};

// What the dialog is created with.
struct SELECT_CERTIFICATE_DIALOG_PARAM {
    HINSTANCE hInstance;
    HCERTSTORE hCertStore;  // the candidates, each certificate once
    HWND hwndOwner;
    LPCWSTR szTitle;
    LPCWSTR szHeading;  // null: the default heading
    LPCWSTR szOKText;
    LPCWSTR szCancelText;
};

// Candidate set in, a new reference to the chosen certificate out (written only on success).
HRESULT CustomCryptUIDlgSelectCertificate(const CUSTOM_CRYPTUI_SELECTCERTIFICATE_STRUCT* pRequest,
                                          PCCERT_CONTEXT* ppSelectedCert,
                                          std::vector<PCCERT_CONTEXT> vtrCertificates);

// The chosen certificate or null; the outcome is always left in the thread's last error.
PCCERT_CONTEXT CustomCryptUIDlgSelectCertificateFromStore(
    const CUSTOM_CRYPTUI_SELECTCERTIFICATE_STRUCT* pRequest, HCERTSTORE hCertStore);

// Runs the dialog modally: IDOK, IDCANCEL, or -1 when no dialog could be made (then a code of
// 0 becomes ERROR_TLW_WITH_WSCHILD).
int RunSelectCertificateDialog(const SELECT_CERTIFICATE_DIALOG_PARAM* pParam,
                               PCCERT_CONTEXT* ppSelectedCert, DWORD* pdwErrorCode);

// The modal dialog behind RunSelectCertificateDialog: returns the modal result and fills the
// selection (a new reference) and the dialog's own code. With no runner installed no dialog is
// made. Tests install their own; the window-system dialog installs itself.
using SelectCertificateDialogRunner = int (*)(const SELECT_CERTIFICATE_DIALOG_PARAM* pParam,
                                              PCCERT_CONTEXT* ppSelectedCert, DWORD* pdwErrorCode);
// Returns the runner that was installed before.
SelectCertificateDialogRunner SetSelectCertificateDialogRunner(
    SelectCertificateDialogRunner runner);
