// Certificate filters and extraction of certificates from stores.
#include "certificates/CertificateFilters.h"

#include <cstdlib>
#include <cstring>

#include "certificates/CertificateInfo.h"
#include "common/Conversions.h"
#include "common/ResultCodes.h"
#include "common/Trace.h"
#include "platform/runtime/LastError.h"
#include "platform/runtime/WideString.h"

static constexpr char kUnit[] = "CertificateChainOperate";

namespace {

constexpr size_t kMaxFilterValue = 255;  // characters kept of one filter value

// The matching rule of the name checks: an empty list passes; otherwise one value must be empty
// or a case-insensitive substring of the certificate's text.
HRESULT MatchAny(const char16_t* lpwszText, const std::vector<std::u16string>& vtrValues) {
    for (const std::u16string& strValue : vtrValues) {
        if (strValue.empty() || NULL != StrStrIW(lpwszText, strValue.c_str())) return VELK_OK;
    }
    return E_FAIL;
}

// The first n filter bytes against the certificate's n bytes; never reads past the filter's
// known size.
HRESULT CompareLeadingBytes(const BYTE* pbFilter, DWORD cbAvailable, const BYTE* pbCert,
                            DWORD cbCert) {
    if (0 != cbAvailable && cbCert > cbAvailable) return E_FAIL;
    if (0 != cbCert && 0 != std::memcmp(pbFilter, pbCert, cbCert)) return E_FAIL;
    return VELK_OK;
}

// A failed property query: the platform's last error itself (CRYPT_E_NOT_FOUND without the
// property); one that is not negative must fail the check all the same.
HRESULT PropertyError() {
    const HRESULT hError = static_cast<HRESULT>(GetLastError());
    if (hError < 0) return hError;
    return 0 == hError ? E_FAIL : HRESULT_FROM_WIN32(hError);
}

// Appends a reference of its own to the set. A failed duplication with a negative code is the
// result (it stops the run); any other failure only skips the certificate.
HRESULT AppendDuplicate(PCCERT_CONTEXT pCertContext, CertificateSet& vtrOut) {
    PCCERT_CONTEXT pDuplicate = CertDuplicateCertificateContext(pCertContext);
    if (NULL == pDuplicate) {
        const HRESULT hDuplicate = HRESULT_FROM_WIN32(GetLastError());
        FAILED_STEP_W(kUnit, "CertDuplicateCertificateContext", hDuplicate, "NULL == pDuplicate");
        return FAILED(hDuplicate) ? hDuplicate : VELK_OK;
    }
    vtrOut.push_back(pDuplicate);
    return VELK_OK;
}

}  // namespace

void ParseFilters(const char16_t* lpwszFilter, std::vector<std::u16string>& vtrFilters) {
    TRACE_SCOPE();
    if (NULL == lpwszFilter) return;
    const char16_t* pwszPiece = lpwszFilter;
    for (;;) {
        const char16_t* pwszHash = pwszPiece;
        while (0 != *pwszHash && u'#' != *pwszHash) ++pwszHash;
        size_t nLength = static_cast<size_t>(pwszHash - pwszPiece);
        if (nLength > kMaxFilterValue) nLength = kMaxFilterValue;
        vtrFilters.emplace_back(pwszPiece, nLength);
        TRACE_INFO("Filter value: %s", trace::Text(vtrFilters.back().c_str()).c_str());
        if (0 == *pwszHash) break;
        pwszPiece = pwszHash + 1;
    }
}

HRESULT CheckCertSubjectName(PCCERT_CONTEXT pCertContext, DWORD dwStrType,
                             const std::vector<std::u16string>& vtrSubjects) {
    TRACE_SCOPE();
    HRESULT hResult = VELK_OK;
    char16_t* lpwszSubject = nullptr;

    if (vtrSubjects.empty()) goto Exit;
    hResult = GetCertSubject(pCertContext, &lpwszSubject, nullptr, dwStrType);
    if (FAILED(hResult)) {
        FAILED_STEP_W(kUnit, "GetCertSubjectName", hResult, "FAILED(hResult)");
        goto Exit;
    }
    hResult = MatchAny(lpwszSubject, vtrSubjects);
    TRACE_INFO("Subject %s: 0x%08x", trace::Text(lpwszSubject).c_str(), hResult);

Exit:
    std::free(lpwszSubject);
    return hResult;
}

HRESULT CheckCertIssuer(PCCERT_CONTEXT pCertContext,
                        const std::vector<std::u16string>& vtrIssuers) {
    TRACE_SCOPE();
    HRESULT hResult = VELK_OK;
    char16_t* lpwszIssuer = nullptr;

    if (vtrIssuers.empty()) goto Exit;
    hResult = GetCertIssuer(pCertContext, &lpwszIssuer, nullptr);
    if (FAILED(hResult)) {
        FAILED_STEP_W(kUnit, "GetCertIssuer", hResult, "FAILED(hResult)");
        goto Exit;
    }
    hResult = MatchAny(lpwszIssuer, vtrIssuers);
    TRACE_INFO("Issuer %s: 0x%08x", trace::Text(lpwszIssuer).c_str(), hResult);

Exit:
    std::free(lpwszIssuer);
    return hResult;
}

HRESULT CheckCSPName(PCCERT_CONTEXT pCertContext, const std::vector<std::u16string>& vtrCSPNames) {
    TRACE_SCOPE();
    HRESULT hResult = VELK_OK;
    CRYPT_KEY_PROV_INFO* pKeyProvInfo = nullptr;
    DWORD cbKeyProvInfo = 0;

    if (vtrCSPNames.empty()) goto Exit;
    // The platform's own error is the result; one that is not negative still fails the check.
    if (!CertGetCertificateContextProperty(pCertContext, CERT_KEY_PROV_INFO_PROP_ID, nullptr,
                                           &cbKeyProvInfo)) {
        hResult = PropertyError();
        FAILED_STEP_W(kUnit, "CertGetCertificateContextProperty(size)", hResult,
                      "FALSE == bRetCode");
        goto Exit;
    }
    pKeyProvInfo = static_cast<CRYPT_KEY_PROV_INFO*>(std::calloc(cbKeyProvInfo + 1, 1));
    if (NULL == pKeyProvInfo) {
        hResult = E_OUTOFMEMORY;
        FAILED_STEP_W(kUnit, "new(PCRYPT_KEY_PROV_INFO)", hResult, "NULL == pKeyProvInfo");
        goto Exit;
    }
    if (!CertGetCertificateContextProperty(pCertContext, CERT_KEY_PROV_INFO_PROP_ID, pKeyProvInfo,
                                           &cbKeyProvInfo)) {
        hResult = PropertyError();
        FAILED_STEP_W(kUnit, "CertGetCertificateContextProperty", hResult, "FALSE == bRetCode");
        goto Exit;
    }
    hResult = MatchAny(pKeyProvInfo->pwszProvName != nullptr ? pKeyProvInfo->pwszProvName : u"",
                       vtrCSPNames);
    TRACE_INFO("Provider %s: 0x%08x", trace::Text(pKeyProvInfo->pwszProvName).c_str(), hResult);

Exit:
    std::free(pKeyProvInfo);
    return hResult;
}

HRESULT CheckCertKeyUsage(DWORD dwKeyUsage, PCCERT_CONTEXT pCertContext) {
    TRACE_SCOPE();
    HRESULT hResult = VELK_OK;
    DWORD dwCertKeyUsage = 0;

    if (0 == dwKeyUsage) goto Exit;
    hResult = GetCertKeyUsage(pCertContext, &dwCertKeyUsage, nullptr);
    if (FAILED(hResult)) {
        FAILED_STEP_W(kUnit, "GetCertKeyUsage FAILED", hResult, "FAILED(hResult)");
        goto Exit;
    }
    if (0 == (dwKeyUsage & dwCertKeyUsage)) hResult = VELK_E_INVALID_CERT_USAGE;
    TRACE_INFO("Key usage 0x%02x against 0x%02x: 0x%08x", dwCertKeyUsage, dwKeyUsage, hResult);

Exit:
    return hResult;
}

HRESULT CheckCertSubjectKeyID(const BYTE* pbSubjectKeyID, PCCERT_CONTEXT pCertContext,
                              DWORD cbAvailable) {
    TRACE_SCOPE();
    HRESULT hResult = VELK_OK;
    BYTE* pbCertKeyID = nullptr;
    DWORD cbCertKeyID = 0;

    if (NULL == pbSubjectKeyID) goto Exit;
    hResult = GetCertSubjectKeyID(pCertContext, &pbCertKeyID, &cbCertKeyID);
    if (FAILED(hResult)) {
        FAILED_STEP_W(kUnit, "GetCertSubjectKeyID", hResult, "FAILED(hResult)");
        goto Exit;
    }
    hResult = CompareLeadingBytes(pbSubjectKeyID, cbAvailable, pbCertKeyID, cbCertKeyID);
    TRACE_INFO("Subject key identifier: 0x%08x", hResult);

Exit:
    std::free(pbCertKeyID);
    return hResult;
}

HRESULT CheckCertSerialNumber(PCCERT_CONTEXT pCertContext, const BYTE* pbSerialNumber,
                              DWORD cbAvailable) {
    TRACE_SCOPE();
    HRESULT hResult = VELK_OK;
    BYTE* pbCertSerial = nullptr;
    DWORD cbCertSerial = 0;

    if (NULL == pbSerialNumber) goto Exit;
    hResult =
        QueryCertContextInfo(pCertContext, CERTINFO_SERIAL_NUMBER, &pbCertSerial, &cbCertSerial);
    if (FAILED(hResult)) {
        FAILED_STEP_W(kUnit, "QueryCertContextInfo", hResult, "FAILED(hResult)");
        goto Exit;
    }
    // Both least significant byte first; the filter's own length plays no part.
    hResult = CompareLeadingBytes(pbSerialNumber, cbAvailable, pbCertSerial, cbCertSerial);
    TRACE_INFO("Serial number: 0x%08x", hResult);

Exit:
    std::free(pbCertSerial);
    return hResult;
}

HRESULT CheckCertTimeValidity(const FILETIME* pftCheckTime, PCCERT_CONTEXT pCertContext) {
    TRACE_SCOPE();
    SYSTEMTIME stTime = {};

    if (NULL == pftCheckTime) return VELK_OK;
    if (NULL == pCertContext) return E_INVALIDARG;
    if (trace::IsEnabled(trace::kFlagInfo) && FileTimeToSystemTime(pftCheckTime, &stTime)) {
        TRACE_INFO("Check time: %04u-%02u-%02u %02u:%02u:%02u", stTime.wYear, stTime.wMonth,
                   stTime.wDay, stTime.wHour, stTime.wMinute, stTime.wSecond);
    }
    if (0 != CertVerifyTimeValidity(pftCheckTime, pCertContext->pCertInfo)) return E_FAIL;
    return VELK_OK;
}

HRESULT CheckCertSignatureAlg(const char* lpszSignatureAlgOID, PCCERT_CONTEXT pCertContext) {
    TRACE_SCOPE();
    if (NULL == lpszSignatureAlgOID) return VELK_OK;
    if (NULL == pCertContext) return E_INVALIDARG;
    const char* pszCertOid = pCertContext->pCertInfo->SignatureAlgorithm.pszObjId;
    TRACE_INFO("Signature algorithm: %s", pszCertOid != nullptr ? pszCertOid : "NULL");
    // A plain prefix test, no boundary at a dot.
    if (NULL == pszCertOid ||
        0 != std::strncmp(pszCertOid, lpszSignatureAlgOID, std::strlen(lpszSignatureAlgOID)))
        return E_FAIL;
    return VELK_OK;
}

HRESULT CheckCertificateAgainstFilter(PCCERT_CONTEXT pCertContext,
                                      const CERTIFICATE_FILTER& stFilter,
                                      const std::vector<std::u16string>& vtrSubjects,
                                      const std::vector<std::u16string>& vtrIssuers) {
    HRESULT hResult = CheckCertSubjectName(pCertContext, CERT_X500_NAME_STR, vtrSubjects);
    if (VELK_OK == hResult) hResult = CheckCertIssuer(pCertContext, vtrIssuers);
    if (VELK_OK == hResult) hResult = CheckCertKeyUsage(stFilter.dwKeyUsage, pCertContext);
    if (VELK_OK == hResult)
        hResult =
            CheckCertSubjectKeyID(stFilter.pbSubjectKeyID, pCertContext, stFilter.cbSubjectKeyID);
    if (VELK_OK == hResult)
        hResult =
            CheckCertSerialNumber(pCertContext, stFilter.pbSerialNumber, stFilter.cbSerialNumber);
    if (VELK_OK == hResult) hResult = CheckCertTimeValidity(stFilter.pftCheckTime, pCertContext);
    if (VELK_OK == hResult)
        hResult = CheckCertSignatureAlg(stFilter.lpszSignatureAlgOID, pCertContext);
    return hResult;
}

void RemoveAllCertificates(CertificateSet& vtrSet) {
    for (PCCERT_CONTEXT pCertContext : vtrSet) {
        if (NULL != pCertContext) CertFreeCertificateContext(pCertContext);
    }
    vtrSet.clear();
}

HRESULT FilterCertificates(const CERTIFICATE_FILTER* pFilter, CertificateSet& vtrOut,
                           CertificateSet vtrIn) {
    TRACE_SCOPE();
    static const CERTIFICATE_FILTER kNoFilter = {};
    HRESULT hResult = VELK_OK;
    const CERTIFICATE_FILTER* pUsed = NULL != pFilter ? pFilter : &kNoFilter;
    std::vector<std::u16string> vtrSubjects;
    std::vector<std::u16string> vtrIssuers;
    std::vector<std::u16string> vtrCSPNames;

    ParseFilters(pUsed->lpwszSubjectDNFilter, vtrSubjects);
    ParseFilters(pUsed->lpwszIssuerDNFilter, vtrIssuers);
    SplitStrings(pUsed->lpwszCSPNameFilter, vtrCSPNames);
    TRACE_INFO(
        "Filter: subject %s, issuer %s, CSP %s, key usage 0x%02x, private key %s, "
        "signature algorithm %s",
        trace::Text(pUsed->lpwszSubjectDNFilter).c_str(),
        trace::Text(pUsed->lpwszIssuerDNFilter).c_str(),
        trace::Text(pUsed->lpwszCSPNameFilter).c_str(), pUsed->dwKeyUsage,
        1 == pUsed->bCheckPrivateKey ? "TRUE" : "FALSE",
        trace::Text(pUsed->lpszSignatureAlgOID).c_str());

    for (PCCERT_CONTEXT pCertContext : vtrIn) {
        HRESULT hCheck =
            CheckCertificateAgainstFilter(pCertContext, *pUsed, vtrSubjects, vtrIssuers);
        if (VELK_OK == hCheck) hCheck = CheckCSPName(pCertContext, vtrCSPNames);
        if (VELK_OK != hCheck) continue;

        if (1 == pUsed->bCheckPrivateKey) {
            HCRYPTPROV hProv = 0;
            DWORD dwKeySpec = 0;
            const BOOL bRetCode = CryptAcquireCertificatePrivateKey(pCertContext, 0, nullptr,
                                                                    &hProv, &dwKeySpec, nullptr);
            const HRESULT hAcquire = HRESULT_FROM_WIN32(GetLastError());
            if (0 != hProv) CryptReleaseContext(hProv, 0);
            if (TRUE != bRetCode) {
                FAILED_STEP_W(kUnit, "CryptAcquireCertificatePrivateKey", hAcquire,
                              "TRUE != bRetCode");
                continue;
            }
        }

        hResult = AppendDuplicate(pCertContext, vtrOut);
        if (FAILED(hResult)) {
            RemoveAllCertificates(vtrOut);
            goto Exit;
        }
    }
    TRACE_INFO("Certificates kept: %zu of %zu", vtrOut.size(), vtrIn.size());

Exit:
    return hResult;
}

HRESULT ExtractCertificatesFromStore(HCERTSTORE hStore, CertificateSet& vtrOut) {
    TRACE_SCOPE();
    HRESULT hResult = VELK_OK;
    PCCERT_CONTEXT pCertContext = nullptr;

    if (NULL == hStore) {
        hResult = E_INVALIDARG;
        FAILED_STEP_W(kUnit, "Check parameters", hResult, "NULL == hStore");
        goto Exit;
    }
    while (NULL != (pCertContext = CertEnumCertificatesInStore(hStore, pCertContext))) {
        hResult = AppendDuplicate(pCertContext, vtrOut);
        if (FAILED(hResult)) {
            CertFreeCertificateContext(pCertContext);
            goto Exit;
        }
    }
    TRACE_INFO("Certificates in store: %zu", vtrOut.size());

Exit:
    if (FAILED(hResult)) RemoveAllCertificates(vtrOut);
    return hResult;
}

HRESULT ExtractCertificatesFromLocalStore(CertificateSet& vtrOut) {
    TRACE_SCOPE();
    HRESULT hResult = VELK_OK;
    HCERTSTORE hStore = nullptr;

    hStore = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                           CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, u"MY");
    if (NULL == hStore) {
        hResult = HRESULT_FROM_WIN32(GetLastError());
        if (!FAILED(hResult)) hResult = E_INVALIDARG;
        FAILED_STEP_W(kUnit, "CertOpenStore", hResult, "NULL == hStore");
        goto Exit;
    }
    OK_STEP_W(kUnit, "CertOpenStore");
    hResult = ExtractCertificatesFromStore(hStore, vtrOut);
    if (FAILED(hResult)) {
        FAILED_STEP_W(kUnit, "ExtractCertificatesFromStore FAILED.", hResult, "FAILED(hResult)");
        goto Exit;
    }

Exit:
    if (NULL != hStore && !CertCloseStore(hStore, 0)) RemoveAllCertificates(vtrOut);
    return hResult;
}

HRESULT FilterCertificatesfromLocalStore(const CERTIFICATE_FILTER* pFilter,
                                         CertificateSet& vtrOut) {
    TRACE_SCOPE();
    HRESULT hResult = VELK_OK;
    CertificateSet vtrAll;

    hResult = ExtractCertificatesFromLocalStore(vtrAll);
    if (FAILED(hResult)) {
        FAILED_STEP_W(kUnit, "ExtractCertificatesFromLocalStore", hResult, "FAILED(hResult)");
        goto Exit;
    }
    hResult = FilterCertificates(pFilter, vtrOut, vtrAll);
    if (FAILED(hResult)) {
        FAILED_STEP_W(kUnit, "FilterCertificates", hResult, "FAILED(hResult)");
        RemoveAllCertificates(vtrOut);
    }

Exit:
    RemoveAllCertificates(vtrAll);
    return hResult;
}
