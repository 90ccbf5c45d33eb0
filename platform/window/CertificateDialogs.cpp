#include "platform/window/CertificateDialogs.h"

#include "common/ResultCodes.h"
#include "common/Trace.h"
#include "platform/runtime/LastError.h"

static constexpr char kUnit[] = "CertificateDialogs";

namespace {

SelectCertificateDialogRunner g_pfnDialogRunner = nullptr;

// Field 3 of either layout, read only as a switch: a forced dialog or a caption.
bool IsDialogForced(const CUSTOM_CRYPTUI_SELECTCERTIFICATE_STRUCT* pRequest) {
    if (pRequest == nullptr) return false;
    if (pRequest->dwVariant == 1) return pRequest->extended.szTitle != nullptr;
    return pRequest->basic.dwForceDialog != 0;
}

}  // namespace

HWND GetForegroundWindow() { return nullptr; }
HWND GetActiveWindow() { return nullptr; }

SelectCertificateDialogRunner SetSelectCertificateDialogRunner(
    SelectCertificateDialogRunner runner) {
    SelectCertificateDialogRunner previous = g_pfnDialogRunner;
    g_pfnDialogRunner = runner;
    return previous;
}

HRESULT CustomCryptUIDlgSelectCertificate(const CUSTOM_CRYPTUI_SELECTCERTIFICATE_STRUCT* pRequest,
                                          PCCERT_CONTEXT* ppSelectedCert,
                                          std::vector<PCCERT_CONTEXT> vtrCertificates) {
    TRACE_SCOPE();
    HRESULT hResult = VELK_OK;
    HCERTSTORE hCacheCertStore = nullptr;
    PCCERT_CONTEXT pstSelectedCert = nullptr;

    if (!IsDialogForced(pRequest) && vtrCertificates.size() == 1) {
        pstSelectedCert = CertDuplicateCertificateContext(vtrCertificates[0]);
        if (pstSelectedCert == nullptr) {
            hResult = RESULT_FROM_LAST_ERROR(GetLastError());
            FAILED_STEP_W(kUnit, "CertDuplicateCertificateContext", hResult,
                          "pstSelectedCert == NULL");
            // A failed call that leaves no error number must not read as success.
            if (hResult == VELK_OK) hResult = E_FAIL;
            goto Exit;
        }
        OK_STEP_W(kUnit, "CertDuplicateCertificateContext");
        *ppSelectedCert = pstSelectedCert;
        goto Exit;
    }

    hCacheCertStore = CertOpenStore(CERT_STORE_PROV_MEMORY, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                    0, 0, nullptr);
    if (hCacheCertStore == nullptr) {
        hResult = RESULT_FROM_LAST_ERROR(GetLastError());
        FAILED_STEP_W(kUnit, "CertOpenStore", hResult, "hCacheCertStore == NULL");
        if (hResult == VELK_OK) hResult = E_FAIL;
        goto Exit;
    }
    OK_STEP_W(kUnit, "CertOpenStore");

    // Identical certificates are stored once, so each shows as one row.
    for (PCCERT_CONTEXT pCertificate : vtrCertificates) {
        if (!CertAddCertificateContextToStore(hCacheCertStore, pCertificate,
                                              CERT_STORE_ADD_USE_EXISTING, nullptr)) {
            hResult = RESULT_FROM_LAST_ERROR(GetLastError());
            FAILED_STEP_W(kUnit, "CertAddCertificateContextToStore", hResult, "bRetCode == FALSE");
            if (hResult == VELK_OK) hResult = E_FAIL;
            goto Exit;
        }
    }
    OK_STEP_W(kUnit, "CertAddCertificateContextToStore");

    pstSelectedCert = CustomCryptUIDlgSelectCertificateFromStore(pRequest, hCacheCertStore);
    if (pstSelectedCert == nullptr) {
        hResult = RESULT_FROM_LAST_ERROR(GetLastError());
        FAILED_STEP_W(kUnit, "CustomCryptUIDlgSelectCertificateFromStore", hResult,
                      "pstSelectedCert == NULL");
        // No certificate and no code: nothing was chosen, which must not read as success.
        if (hResult == VELK_OK) hResult = E_FAIL;
        goto Exit;
    }
    OK_STEP_W(kUnit, "CustomCryptUIDlgSelectCertificateFromStore");
    *ppSelectedCert = pstSelectedCert;

Exit:
    // The dialog keeps its own references, so closing the store leaves the choice valid.
    if (hCacheCertStore != nullptr) CertCloseStore(hCacheCertStore, 0);
    return hResult;
}

PCCERT_CONTEXT CustomCryptUIDlgSelectCertificateFromStore(
    const CUSTOM_CRYPTUI_SELECTCERTIFICATE_STRUCT* pRequest, HCERTSTORE hCertStore) {
    TRACE_SCOPE();
    SELECT_CERTIFICATE_DIALOG_PARAM stParam = {};
    PCCERT_CONTEXT pstSelectedCert = nullptr;
    DWORD dwErrorCode = 0;

    if (pRequest == nullptr || (pRequest->dwVariant != 0 && pRequest->dwVariant != 1)) {
        FAILED_STEP_W(kUnit, "Check parameter", E_INVALIDARG,
                      "NULL == pRequest || dwVariant out of range");
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }

    stParam.hInstance = pRequest->basic.hInstance;
    stParam.hCertStore = hCertStore;
    stParam.hwndOwner = GetActiveWindow();
    if (pRequest->dwVariant == 0) {
        if (pRequest->basic.dwUseOwner == 1) stParam.hwndOwner = pRequest->basic.hwndOwner;
    } else {
        if (pRequest->extended.dwUseOwner == 1) stParam.hwndOwner = pRequest->extended.hwndOwner;
        stParam.szTitle = pRequest->extended.szTitle;
        stParam.szOKText = pRequest->extended.szOKText;
        stParam.szCancelText = pRequest->extended.szCancelText;
    }
    TRACE_INFO("CustomCryptUIDlgSelectCertificateFromStore: store %p, owner %p",
               static_cast<void*>(hCertStore), static_cast<void*>(stParam.hwndOwner));

    RunSelectCertificateDialog(&stParam, &pstSelectedCert, &dwErrorCode);
    SetLastError(dwErrorCode);
    return pstSelectedCert;
}

int RunSelectCertificateDialog(const SELECT_CERTIFICATE_DIALOG_PARAM* pParam,
                               PCCERT_CONTEXT* ppSelectedCert, DWORD* pdwErrorCode) {
    TRACE_SCOPE();
    int nModalResult = -1;
    PCCERT_CONTEXT pstSelectedCert = nullptr;
    DWORD dwErrorCode = 0;

    if (g_pfnDialogRunner != nullptr)
        nModalResult = g_pfnDialogRunner(pParam, &pstSelectedCert, &dwErrorCode);
    if (nModalResult == -1 && dwErrorCode == 0) dwErrorCode = ERROR_TLW_WITH_WSCHILD;
    TRACE_INFO("RunSelectCertificateDialog: modal result %d, code 0x%08x", nModalResult,
               dwErrorCode);
    *ppSelectedCert = pstSelectedCert;
    *pdwErrorCode = dwErrorCode;
    return nModalResult;
}
