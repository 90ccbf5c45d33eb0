#include "certificates/UnregisteredCertificates.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/Conversions.h"
#include "common/ResultCodes.h"
#include "common/Trace.h"
#include "platform/runtime/LastError.h"
#include "platform/runtime/WideString.h"

static constexpr char kUnit[] = "CertificateChainOperate";

namespace {

bool IsEmpty(LPCWSTR text) { return text == nullptr || text[0] == 0; }

// The platform's error after a failed call, by the plain rule.
HRESULT LastPlatformError() { return HRESULT_FROM_WIN32(GetLastError()); }

}  // namespace

HRESULT CertCreateUnregisteredCertContext(LPCWSTR lpwszContainerName, LPCWSTR lpwszProviderName,
                                          PCCERT_CONTEXT pCertContext, DWORD dwKeySpec,
                                          UNREGISTERED_CERT_CONTEXT** ppContext) {
    TRACE_SCOPE();
    HRESULT hResult = S_OK;
    UNREGISTERED_CERT_CONTEXT* pContext = nullptr;
    size_t nProviderLength = 0;
    size_t nContainerLength = 0;

    if (pCertContext == nullptr || IsEmpty(lpwszProviderName) || IsEmpty(lpwszContainerName) ||
        ppContext == nullptr) {
        hResult = E_INVALIDARG;
        FAILED_STEP_W(kUnit, "Check parameter", hResult,
                      "NULL == pCertContext || empty provider or container name");
        goto Exit;
    }
    nProviderLength = WcsLen(lpwszProviderName);
    nContainerLength = WcsLen(lpwszContainerName);
    if (nProviderLength >= kUnregisteredNameMax || nContainerLength >= kUnregisteredNameMax) {
        hResult = E_INVALIDARG;
        FAILED_STEP_W(kUnit, "Check parameter", hResult, "name length >= MAX_PATH");
        goto Exit;
    }

    pContext =
        static_cast<UNREGISTERED_CERT_CONTEXT*>(std::calloc(1, sizeof(UNREGISTERED_CERT_CONTEXT)));
    if (pContext == nullptr) {
        hResult = E_OUTOFMEMORY;
        FAILED_STEP_W(kUnit, "new UNREGISTERED_CERT_CONTEXT", hResult, "NULL == pContext");
        goto Exit;
    }
    std::memcpy(pContext->wszProviderName, lpwszProviderName, nProviderLength * sizeof(WCHAR));
    std::memcpy(pContext->wszContainerName, lpwszContainerName, nContainerLength * sizeof(WCHAR));
    pContext->dwKeySpec = dwKeySpec;
    pContext->pCertContext = CertDuplicateCertificateContext(pCertContext);
    if (pContext->pCertContext == nullptr) {
        hResult = LastPlatformError();
        FAILED_STEP_W(kUnit, "CertDuplicateCertificateContext", hResult,
                      "NULL == pContext->pCertContext");
        if (FAILED(hResult)) goto Exit;
        hResult = E_FAIL;  // a record must hold its certificate
        goto Exit;
    }
    *ppContext = pContext;
    pContext = nullptr;

Exit:
    CertFreeUnregisteredCertContext(pContext);
    return hResult;
}

HRESULT CertDuplicateUnregisteredCertContext(const UNREGISTERED_CERT_CONTEXT* pSource,
                                             UNREGISTERED_CERT_CONTEXT** ppContext) {
    TRACE_SCOPE();
    if (pSource == nullptr || pSource->pCertContext == nullptr ||
        pSource->wszProviderName[0] == 0 || pSource->wszContainerName[0] == 0) {
        FAILED_STEP_W(kUnit, "Check parameter", E_INVALIDARG, "NULL == pSource");
        return E_INVALIDARG;
    }
    return CertCreateUnregisteredCertContext(pSource->wszContainerName, pSource->wszProviderName,
                                             pSource->pCertContext, pSource->dwKeySpec, ppContext);
}

void CertFreeUnregisteredCertContext(UNREGISTERED_CERT_CONTEXT* pContext) {
    if (pContext == nullptr) return;
    if (pContext->pCertContext != nullptr) CertFreeCertificateContext(pContext->pCertContext);
    std::free(pContext);
}

void RemoveAllUnregisteredCertificates(UnregisteredCertificateSet& vtrSet) {
    for (UNREGISTERED_CERT_CONTEXT* pContext : vtrSet) CertFreeUnregisteredCertContext(pContext);
    vtrSet.clear();
}

HRESULT GetAllCSPName(WCHAR** ppwszAllCSPName) {
    TRACE_SCOPE();
    HRESULT hResult = S_OK;
    std::u16string strList;
    WCHAR* pwstrProvName = nullptr;
    DWORD dwIndex = 0;
    DWORD dwProvType = 0;
    DWORD cbProvName = 0;

    if (ppwszAllCSPName == nullptr) return E_INVALIDARG;
    for (;; ++dwIndex) {
        cbProvName = 0;
        if (!CryptEnumProvidersW(dwIndex, nullptr, 0, &dwProvType, nullptr, &cbProvName)) {
            if (GetLastError() == ERROR_NO_MORE_ITEMS) break;
            continue;  // this index cannot be read; the next one may
        }
        // Room for the reported bytes and a terminator, whatever the provider reported.
        pwstrProvName =
            static_cast<WCHAR*>(std::calloc(cbProvName / sizeof(WCHAR) + 1, sizeof(WCHAR)));
        if (pwstrProvName == nullptr) {
            hResult = E_OUTOFMEMORY;
            FAILED_STEP_W(kUnit, "New buffer", hResult, "!pwstrProvName");
            goto Exit;
        }
        if (!CryptEnumProvidersW(dwIndex, nullptr, 0, &dwProvType, pwstrProvName, &cbProvName)) {
            hResult = RESULT_FROM_LAST_ERROR(GetLastError());
            FAILED_STEP_W(kUnit, "CryptEnumProviders", hResult, "!bResult");
            goto Exit;
        }
        if (!strList.empty()) strList += u"||";
        strList += pwstrProvName;
        std::free(pwstrProvName);
        pwstrProvName = nullptr;
    }

    *ppwszAllCSPName = static_cast<WCHAR*>(std::calloc(strList.size() + 1, sizeof(WCHAR)));
    if (*ppwszAllCSPName == nullptr) {
        hResult = E_OUTOFMEMORY;
        FAILED_STEP_W(kUnit, "New buffer", hResult, "!*pbstrAllCSPName");
        goto Exit;
    }
    std::memcpy(*ppwszAllCSPName, strList.data(), strList.size() * sizeof(WCHAR));
    TRACE_INFO("GetAllCSPName: %s", trace::Text(*ppwszAllCSPName).c_str());

Exit:
    std::free(pwstrProvName);
    return hResult;
}

HRESULT GetUnregisteredCertfromContainer(LPCWSTR lpwszProviderName, LPCWSTR lpwszContainerName,
                                         DWORD dwKeySpec, UNREGISTERED_CERT_CONTEXT** ppContext) {
    TRACE_SCOPE();
    HRESULT hResult = S_OK;
    HCRYPTPROV hProv = 0;
    HCRYPTPROV hKeyProv = 0;
    HCRYPTKEY hKey = 0;
    DWORD dwFoundKeySpec = 0;
    BYTE* pbCertificate = nullptr;
    DWORD cbCertificate = 0;
    PCCERT_CONTEXT pCertContext = nullptr;
    UNREGISTERED_CERT_CONTEXT* pContext = nullptr;

    if (IsEmpty(lpwszProviderName) || IsEmpty(lpwszContainerName) || ppContext == nullptr) {
        hResult = E_INVALIDARG;
        FAILED_STEP_W(kUnit, "Check parameter", hResult,
                      "NULL == lpwszProviderName || NULL == lpwszContainerName");
        goto Exit;
    }

    if (!CryptAcquireContextW(&hProv, lpwszContainerName, lpwszProviderName, PROV_RSA_FULL, 0)) {
        hResult = LastPlatformError();
        FAILED_STEP_W(kUnit, "CryptAcquireContext", hResult, "FALSE == bRetCode");
        if (FAILED(hResult)) goto Exit;
    }
    if (!CryptGetUserKey(hProv, dwKeySpec, &hKey) || hKey == 0) {
        hResult = LastPlatformError();
        FAILED_STEP_W(kUnit, "CryptGetUserKey", hResult, "FALSE == bRetCode || NULL == hKey");
        if (hResult == S_OK) hResult = E_FAIL;  // without a key there is nothing to read
        goto Exit;
    }
    if (!CryptGetKeyParam(hKey, KP_CERTIFICATE, nullptr, &cbCertificate, 0) || cbCertificate == 0) {
        hResult = LastPlatformError();
        FAILED_STEP_W(kUnit, "CryptGetKeyParam(KP_CERTIFICATE)1", hResult,
                      "FALSE == bRetCode || 0 == dwCertLen");
        if (hResult == S_OK) hResult = E_FAIL;
        goto Exit;
    }
    pbCertificate = static_cast<BYTE*>(std::calloc(cbCertificate + 1, 1));
    if (pbCertificate == nullptr) {
        hResult = HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY);
        FAILED_STEP_W(kUnit, "new", hResult, "NULL == pbCertificate");
        goto Exit;
    }
    if (!CryptGetKeyParam(hKey, KP_CERTIFICATE, pbCertificate, &cbCertificate, 0) ||
        cbCertificate == 0) {
        hResult = LastPlatformError();
        FAILED_STEP_W(kUnit, "CryptGetKeyParam(KP_CERTIFICATE)2", hResult,
                      "FALSE == bRetCode || 0 == dwCertLen");
        if (hResult == S_OK) hResult = E_FAIL;
        goto Exit;
    }
    pCertContext = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                pbCertificate, cbCertificate);
    if (pCertContext == nullptr) {
        hResult = LastPlatformError();
        FAILED_STEP_W(kUnit, "CertCreateCertificateContext", hResult, "NULL == pCertContext");
        if (hResult == S_OK) hResult = E_FAIL;
        goto Exit;
    }

    // A certificate that already reaches its key by itself is a registered one; the personal
    // store search offers it, so it is not returned a second time from here.
    if (CryptAcquireCertificatePrivateKey(pCertContext, 0, nullptr, &hKeyProv, &dwFoundKeySpec,
                                          nullptr)) {
        hResult = VELK_E_CERT_ALREADY_REGISTERED;
        FAILED_STEP_W(kUnit, "CryptAcquireCertificatePrivateKey", hResult, "TRUE == bRetCode");
        goto Exit;
    }

    hResult = CertCreateUnregisteredCertContext(lpwszContainerName, lpwszProviderName, pCertContext,
                                                dwKeySpec, &pContext);
    if (FAILED(hResult)) {
        FAILED_STEP_W(kUnit, "CertCreateUnregisteredCertContext", hResult, "FAILED(hResult)");
        goto Exit;
    }
    *ppContext = pContext;
    pContext = nullptr;
    hResult = S_OK;

Exit:
    std::free(pbCertificate);
    if (pCertContext != nullptr) CertFreeCertificateContext(pCertContext);
    if (hKey != 0) CryptDestroyKey(hKey);
    CertFreeUnregisteredCertContext(pContext);
    if (hKeyProv != 0) CryptReleaseContext(hKeyProv, 0);
    if (hProv != 0) CryptReleaseContext(hProv, 0);
    return hResult;
}

HRESULT CheckUnregisteredCertficate(PCCERT_CONTEXT pCertContext,
                                    const CERTIFICATE_FILTER* pFilter) {
    TRACE_SCOPE();
    static const CERTIFICATE_FILTER kNoFilter = {};
    const CERTIFICATE_FILTER* pUsed = pFilter != nullptr ? pFilter : &kNoFilter;
    std::vector<std::u16string> vtrSubjects;
    std::vector<std::u16string> vtrIssuers;
    HRESULT hResult = S_OK;

    ParseFilters(pUsed->lpwszSubjectDNFilter, vtrSubjects);
    ParseFilters(pUsed->lpwszIssuerDNFilter, vtrIssuers);
    // The provider-name and private-key checks do not apply: the provider is known and the
    // key is reached through the container, not through the certificate.
    hResult = CheckCertificateAgainstFilter(pCertContext, *pUsed, vtrSubjects, vtrIssuers);
    if (hResult != S_OK) {
        FAILED_STEP_W(kUnit, "Check certificate", hResult, "hResult != S_OK");
        return E_FAIL;
    }
    return S_OK;
}

HRESULT FilterUnregisteredCertificatesfromSpecifiedCSP(LPCWSTR lpwszProviderName,
                                                       const CERTIFICATE_FILTER* pFilter,
                                                       UnregisteredCertificateSet& vtrSet) {
    TRACE_SCOPE();
    static constexpr DWORD kKeySpecs[] = {AT_KEYEXCHANGE, AT_SIGNATURE};
    HRESULT hResult = S_OK;
    HCRYPTPROV hProv = 0;
    BYTE* pbContainerName = nullptr;
    DWORD cbMaxContainerName = 0;
    DWORD cbContainerName = 0;
    WCHAR* pwszContainerName = nullptr;
    uint32_t dwChars = 0;
    UNREGISTERED_CERT_CONTEXT* pContext = nullptr;
    DWORD dwFlags = CRYPT_FIRST;

    if (IsEmpty(lpwszProviderName)) {
        hResult = E_INVALIDARG;
        FAILED_STEP_W(kUnit, "Check parameter", hResult, "NULL == lpwszProviderName");
        goto Exit;
    }
    TRACE_INFO("FilterUnregisteredCertificatesfromSpecifiedCSP: provider %s",
               trace::Text(lpwszProviderName).c_str());

    if (!CryptAcquireContextW(&hProv, nullptr, lpwszProviderName, PROV_RSA_FULL,
                              CRYPT_VERIFYCONTEXT)) {
        hResult = LastPlatformError();
        FAILED_STEP_W(kUnit, "CryptAcquireContext", hResult, "FALSE == bRetCode");
        if (hResult == S_OK) hResult = E_FAIL;
        goto Exit;
    }
    OK_STEP_W(kUnit, "CryptAcquireContext");
    if (!CryptGetProvParam(hProv, PP_ENUMCONTAINERS, nullptr, &cbMaxContainerName, CRYPT_FIRST)) {
        hResult = LastPlatformError();
        FAILED_STEP_W(kUnit, "CryptGetProvParam", hResult, "FALSE == bRetCode");
        // A provider without containers reports no more items: nothing to search, not a fault.
        if (GetLastError() == ERROR_NO_MORE_ITEMS) hResult = S_OK;
        goto Exit;
    }
    pbContainerName = static_cast<BYTE*>(std::calloc(cbMaxContainerName + 1, 1));
    if (pbContainerName == nullptr) {
        hResult = HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY);
        FAILED_STEP_W(kUnit, "new ContainerName", hResult, "NULL == pbContainerName");
        goto Exit;
    }

    for (;; dwFlags = CRYPT_NEXT) {
        std::memset(pbContainerName, 0, cbMaxContainerName + 1);
        cbContainerName = cbMaxContainerName;
        if (!CryptGetProvParam(hProv, PP_ENUMCONTAINERS, pbContainerName, &cbContainerName,
                               dwFlags)) {
            break;  // normally ERROR_NO_MORE_ITEMS
        }
        hResult = UTF8ToUTF16(reinterpret_cast<const char*>(pbContainerName), &pwszContainerName,
                              &dwChars);
        if (FAILED(hResult)) {
            FAILED_STEP_W(kUnit, "UTF8ToUTF16", hResult, "FAILED(hResult)");
            goto Exit;
        }
        for (DWORD dwKeySpec : kKeySpecs) {
            hResult = GetUnregisteredCertfromContainer(lpwszProviderName, pwszContainerName,
                                                       dwKeySpec, &pContext);
            if (hResult == S_OK && pContext != nullptr &&
                CheckUnregisteredCertficate(pContext->pCertContext, pFilter) == S_OK) {
                vtrSet.push_back(pContext);
                pContext = nullptr;
            } else {
                TRACE_INFO(
                    "FilterUnregisteredCertificatesfromSpecifiedCSP: container %s key "
                    "spec %u not taken (0x%08x)",
                    trace::Text(pwszContainerName).c_str(), dwKeySpec,
                    static_cast<unsigned>(hResult));
            }
            CertFreeUnregisteredCertContext(pContext);
            pContext = nullptr;
        }
        std::free(pwszContainerName);
        pwszContainerName = nullptr;
    }
    hResult = S_OK;

Exit:
    CertFreeUnregisteredCertContext(pContext);
    std::free(pwszContainerName);
    std::free(pbContainerName);
    if (hProv != 0) CryptReleaseContext(hProv, 0);
    return hResult;
}

HRESULT FilterUnregisteredCertificatesfromCSP(LPCWSTR lpwszCSPList,
                                              const CERTIFICATE_FILTER* pFilter,
                                              UnregisteredCertificateSet& vtrSet) {
    TRACE_SCOPE();
    HRESULT hResult = S_OK;
    WCHAR* pwszAllCSPName = nullptr;
    std::vector<std::u16string> vtrProviders;

    if (lpwszCSPList == nullptr) {
        hResult = GetAllCSPName(&pwszAllCSPName);
        if (FAILED(hResult)) {
            FAILED_STEP_W(kUnit, "GetAllCSPName", hResult, "FAILED(hResult)");
            RemoveAllUnregisteredCertificates(vtrSet);
            goto Exit;
        }
        lpwszCSPList = pwszAllCSPName;
    }
    SplitStrings(lpwszCSPList, vtrProviders);
    for (const std::u16string& strProvider : vtrProviders) {
        // The platform's own providers keep no certificates in their containers for us.
        if (strProvider.find(u"Microsoft") != std::u16string::npos) {
            TRACE_INFO("FilterUnregisteredCertificatesfromCSP: skipped %s",
                       trace::Text(strProvider.c_str()).c_str());
            continue;
        }
        const HRESULT hProviderResult =
            FilterUnregisteredCertificatesfromSpecifiedCSP(strProvider.c_str(), pFilter, vtrSet);
        TRACE_INFO("FilterUnregisteredCertificatesfromCSP: %s gave 0x%08x",
                   trace::Text(strProvider.c_str()).c_str(),
                   static_cast<unsigned>(hProviderResult));
    }
    hResult = S_OK;

Exit:
    std::free(pwszAllCSPName);
    return hResult;
}
