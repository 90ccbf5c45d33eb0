#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "agent/CryptoAgent.h"
#include "certificates/CertificateFilters.h"
#include "certificates/CertificateInfo.h"
#include "certificates/UnregisteredCertificates.h"
#include "common/Conversions.h"
#include "common/Trace.h"
#include "platform/runtime/LastError.h"

static constexpr char kUnit[] = "CryptoAgent";

namespace {

constexpr size_t kTimeTextMax = 128;

// "%Y-%m-%d %H:%M:%S" of a local wall-clock time. The local fields are
// formatted as they are: turning them back into a calendar time first could
// move the repeated hour at the end of daylight saving by one hour. A year
// before 1900 is shown as the calendar time 0.
void FormatLocalTime(const SYSTEMTIME& stLocal, char16_t* pwszText, size_t cchText) {
    struct tm stTm = {};
    char szText[kTimeTextMax] = {};
    if (stLocal.wYear < 1900) {
        const time_t tZero = 0;
        if (localtime_r(&tZero, &stTm) == nullptr) return;
    } else {
        stTm.tm_year = stLocal.wYear - 1900;
        stTm.tm_mon = stLocal.wMonth - 1;
        stTm.tm_mday = stLocal.wDay;
        stTm.tm_hour = stLocal.wHour;
        stTm.tm_min = stLocal.wMinute;
        stTm.tm_sec = stLocal.wSecond;
    }
    // Four-digit years, also before 1000, as the Windows runtime's %Y writes
    // them.
    const int n =
        std::snprintf(szText, sizeof szText, "%04d-%02d-%02d %02d:%02d:%02d", stTm.tm_year + 1900,
                      stTm.tm_mon + 1, stTm.tm_mday, stTm.tm_hour, stTm.tm_min, stTm.tm_sec);
    if (n <= 0 || static_cast<size_t>(n) >= cchText) return;
    for (int i = 0; i <= n; ++i) pwszText[i] = static_cast<char16_t>(szText[i]);
}

}  // namespace

HRESULT CCryptoAgent::GetSignCertInfo(const char16_t* bstrInfoType, BSTR* pbstrInfoContent) {
    PrepareOpenSsl();
    TRACE_SCOPE();
    HRESULT hResult = S_OK;
    PCCERT_CONTEXT pCertContext = nullptr;
    WCHAR* lpwCertInfo = nullptr;
    DWORD dwCertInfoLen = 0;
    BYTE* pbSerialNumber = nullptr;
    DWORD dwSerialNumberLen = 0;
    HCRYPTPROV hProv = 0;
    BYTE* pbProviderName = nullptr;
    DWORD cbProviderName = 0;
    uint32_t dwChars = 0;
    char* pszBase64 = nullptr;
    uint32_t dwBase64Length = 0;
    SYSTEMTIME stUtc = {};
    SYSTEMTIME stLocal = {};
    DWORD dwTimeLength = 0;
    char16_t wszTime[kTimeTextMax] = {};

    if (pbstrInfoContent == nullptr) {
        hResult = E_INVALIDARG;
        goto Exit;
    }
    *pbstrInfoContent = nullptr;

    if (NULL == bstrInfoType || 0 == WcsLen(bstrInfoType)) {
        hResult = E_INVALIDARG;
        FAILED_STEP_W(kUnit, "Check parameter(bstrInfoType)", hResult,
                      "(NULL == bstrInfoType || 0 == wcslen(bstrInfoType))");
        goto Exit;
    }
    OK_STEP_W(kUnit, "Check parameter(bstrInfoType)");
    if (NULL == m_pCertContext && NULL == m_pUnregisteredSignCertContext) {
        hResult = VELK_E_CERT_NOT_READY;
        FAILED_STEP_W(kUnit, "Check certificate is ready?", hResult,
                      "NULL == m_pCertContext && NULL == m_pUnregisteredSignCertContext");
        goto Exit;
    }
    OK_STEP_W(kUnit, "Check certificate is ready?");

    TRACE_INFO("CCryptoAgent::GetSignCertInfo: %s", trace::Text(bstrInfoType).c_str());
    pCertContext = (m_bSM2Certificate == 1 && m_pUnregisteredSignCertContext != nullptr)
                       ? m_pUnregisteredSignCertContext->pCertContext
                       : m_pCertContext;
    if (pCertContext == nullptr) {
        // The flag and the slots disagree: nothing trustworthy to describe.
        hResult = VELK_E_CERT_NOT_READY;
        FAILED_STEP_W(kUnit, "Check certificate is ready?", hResult, "NULL == pCertContext");
        goto Exit;
    }

    if (WcsICmp(bstrInfoType, u"SubjectDN") == 0) {
        hResult =
            QueryCertContextInfo(pCertContext, CERTINFO_SUBJECT_DN, &lpwCertInfo, &dwCertInfoLen);
        if (FAILED(hResult)) {
            FAILED_STEP_W(kUnit, "QueryCertContextInfo (Kernel).", hResult, "FAILED(hResult)");
            goto Exit;
        }
    } else if (WcsICmp(bstrInfoType, u"SubjectCN") == 0) {
        dwCertInfoLen =
            CertGetNameStringW(pCertContext, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
        if (dwCertInfoLen <= 1) {
            hResult = VELK_E_QUERY_TYPE_NOT_SUPPORTED;
            FAILED_STEP_W(kUnit, "CertGetNameString(1)", hResult, "dwCertInfoLen <= 1");
            goto Exit;
        }
        lpwCertInfo = static_cast<WCHAR*>(std::calloc(dwCertInfoLen, sizeof(WCHAR)));
        if (lpwCertInfo == nullptr) {
            hResult = E_OUTOFMEMORY;
            FAILED_STEP_W(kUnit, "New buffer", hResult, "!lpwCertInfo");
            goto Exit;
        }
        dwCertInfoLen = CertGetNameStringW(pCertContext, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr,
                                           lpwCertInfo, dwCertInfoLen);
        if (dwCertInfoLen <= 1) {
            hResult = VELK_E_QUERY_TYPE_NOT_SUPPORTED;
            FAILED_STEP_W(kUnit, "CertGetNameString(2)", hResult, "dwCertInfoLen <= 1");
            goto Exit;
        }
    } else if (WcsICmp(bstrInfoType, u"SerialNumber") == 0) {
        hResult = QueryCertContextInfo(pCertContext, CERTINFO_SERIAL_NUMBER, &pbSerialNumber,
                                       &dwSerialNumberLen);
        if (FAILED(hResult)) {
            FAILED_STEP_W(kUnit, "QueryCertContextInfo (Kernel).", hResult, "FAILED(hResult)");
            goto Exit;
        }
        hResult = ConvertBinaryDataToString(&lpwCertInfo, dwSerialNumberLen, pbSerialNumber, 1);
        if (FAILED(hResult)) {
            FAILED_STEP_W(kUnit, "ConvertBinaryDataToString", hResult, "FAILED(hResult)");
            goto Exit;
        }
    } else if (WcsICmp(bstrInfoType, u"CSPName") == 0) {
        if (m_pUnregisteredSignCertContext != nullptr) {
            lpwCertInfo = CopyText(m_pUnregisteredSignCertContext->wszProviderName);
            if (lpwCertInfo == nullptr) {
                hResult = E_OUTOFMEMORY;
                FAILED_STEP_W(kUnit, "New buffer", hResult, "!lpwCertInfo");
                goto Exit;
            }
        } else {
            if (FALSE == CryptAcquireCertificatePrivateKey(m_pCertContext, 0, nullptr, &hProv,
                                                           nullptr, nullptr)) {
                hResult = RESULT_FROM_LAST_ERROR(GetLastError());
                if (hResult == S_OK) hResult = E_FAIL;
                FAILED_STEP_W(kUnit, "CryptAcquireCertificatePrivateKey", hResult,
                              "FALSE == bRetCode");
                goto Exit;
            }
            hResult = GetProviderInfo(hProv, PP_NAME, &pbProviderName, &cbProviderName);
            if (FAILED(hResult)) {
                FAILED_STEP_W(kUnit, "GetProviderInfo", hResult, "FAILED(hResult)");
                goto Exit;
            }
            hResult =
                UTF8ToUTF16(reinterpret_cast<const char*>(pbProviderName), &lpwCertInfo, &dwChars);
            if (FAILED(hResult)) {
                FAILED_STEP_W(kUnit, "UTF8ToUTF16 (Kernel)", hResult, "FAILED(hResult)");
                goto Exit;
            }
        }
    } else if (WcsICmp(bstrInfoType, u"CertType") == 0) {
        lpwCertInfo = static_cast<WCHAR*>(std::calloc(16, 1));
        if (lpwCertInfo == nullptr) {
            hResult = E_OUTOFMEMORY;
            FAILED_STEP_W(kUnit, "New buffer", hResult, "!lpwCertInfo");
            goto Exit;
        }
        if (CheckCertSignatureAlg("1.2.156.10197", pCertContext) == S_OK) {
            std::memcpy(lpwCertInfo, u"SM2", sizeof(u"SM2"));
        } else if (CheckCertSignatureAlg("1.2.840.113549", pCertContext) == S_OK) {
            std::memcpy(lpwCertInfo, u"RSA", sizeof(u"RSA"));
        } else {
            hResult = VELK_E_INVALID_KEY_ALG;
            FAILED_STEP_W(kUnit, "Check certificate signature algorithm", hResult, "TRUE");
            goto Exit;
        }
    } else if (WcsICmp(bstrInfoType, u"IssuerDN") == 0) {
        hResult =
            QueryCertContextInfo(pCertContext, CERTINFO_ISSUER_DN, &lpwCertInfo, &dwCertInfoLen);
        if (FAILED(hResult)) {
            FAILED_STEP_W(kUnit, "QueryCertContextInfo", hResult, "FAILED(hResult)");
            goto Exit;
        }
    } else if (WcsICmp(bstrInfoType, u"ValidFrom") == 0 || WcsICmp(bstrInfoType, u"ValidTo") == 0) {
        const bool bFrom = WcsICmp(bstrInfoType, u"ValidFrom") == 0;
        hResult = QueryCertContextInfo(
            pCertContext, bFrom ? CERTINFO_NOT_BEFORE : CERTINFO_NOT_AFTER, &stUtc, &dwTimeLength);
        if (FAILED(hResult)) {
            FAILED_STEP_W(kUnit, "QueryCertContextInfo", hResult, "FAILED(hResult)");
            goto Exit;
        }
        if (0 == SystemTimeToTzSpecificLocalTime(nullptr, &stUtc, &stLocal)) {
            hResult = RESULT_FROM_LAST_ERROR(GetLastError());
            if (hResult == S_OK) hResult = E_FAIL;
            FAILED_STEP_W(kUnit, "SystemTimeToTzSpecificLocalTime", hResult, "0 == bRetCode");
            goto Exit;
        }
        FormatLocalTime(stLocal, wszTime, kTimeTextMax);
        lpwCertInfo = CopyText(wszTime);
        if (lpwCertInfo == nullptr) {
            hResult = E_OUTOFMEMORY;
            FAILED_STEP_W(kUnit, "New buffer", hResult, "!lpwCertInfo");
            goto Exit;
        }
    } else if (WcsICmp(bstrInfoType, u"CertContent") == 0) {
        hResult = Base64EncodeEx(kBase64NoCrLf, &pszBase64, pCertContext->pbCertEncoded,
                                 pCertContext->cbCertEncoded, &dwBase64Length);
        if (FAILED(hResult) || pszBase64 == nullptr) {
            if (SUCCEEDED(hResult)) hResult = E_OUTOFMEMORY;
            FAILED_STEP_W(kUnit, "Base64EncodeEx", hResult, "FAILED(hResult)");
            goto Exit;
        }
        hResult = UTF8ToUTF16(pszBase64, &lpwCertInfo, &dwChars);
        if (FAILED(hResult)) {
            FAILED_STEP_W(kUnit, "UTF8ToUTF16", hResult, "FAILED(hResult)");
            goto Exit;
        }
    } else {
        hResult = E_INVALIDARG;
        FAILED_STEP_W(kUnit, "check parameter.", hResult, "TRUE");
        goto Exit;
    }
    hResult = S_OK;

Exit:
    if (pbstrInfoContent != nullptr && *pbstrInfoContent == nullptr)
        *pbstrInfoContent =
            SysAllocString(SUCCEEDED(hResult) && lpwCertInfo != nullptr ? lpwCertInfo : u"");
    if (hProv != 0) CryptReleaseContext(hProv, 0);
    std::free(lpwCertInfo);
    std::free(pbSerialNumber);
    std::free(pbProviderName);
    std::free(pszBase64);
    m_hLastResult = hResult;
    return hResult;
}
