#include <cstdlib>

#include "agent/CryptoAgent.h"
#include "certificates/UnregisteredCertificates.h"
#include "common/Conversions.h"
#include "common/Trace.h"
#include "signing/RSASigning.h"
#include "signing/SM2Signing.h"

static constexpr char kUnit[] = "CryptoAgent";

namespace {

constexpr char kSm2SignatureOid[] = "1.2.156.10197.1.301.1";  // SM2 signature (GM/T 0006)

}  // namespace

ALG_ID GetHashAlgorithmIDByName(const char16_t* lpwszHashAlg) {
    TRACE_INFO("GetHashAlgorithmIDByName: %s", trace::Text(lpwszHashAlg).c_str());
    if (lpwszHashAlg != nullptr) {
        if (WcsICmp(lpwszHashAlg, u"SHA-1") == 0) return CALG_SHA1;
        if (WcsICmp(lpwszHashAlg, u"SHA-256") == 0) return CALG_SHA_256;
    }
    TRACE_INFO("GetHashAlgorithmIDByName: %s is not supported", trace::Text(lpwszHashAlg).c_str());
    return 0;
}

HRESULT CCryptoAgent::SignMsgPKCS7(const char16_t* bstrSourceData, const char16_t* bstrHashAlg,
                                   VARIANT_BOOL bWithSrc, BSTR* pbstrSignature) {
    PrepareOpenSsl();
    TRACE_SCOPE();
    HRESULT hResult = S_OK;
    char* pszMessage = nullptr;
    uint32_t dwMessageLength = 0;
    ALG_ID uSignAlgorithm = 0;
    // Only VARIANT_TRUE attaches the message; 1 and every other value mean
    // detached.
    const int bWithSource = bWithSrc == VARIANT_TRUE ? 1 : 0;

    TRACE_INFO("CCryptoAgent::SignMsgPKCS7: source %s, hash %s",
               trace::Text(bstrSourceData).c_str(), trace::Text(bstrHashAlg).c_str());
    if (pbstrSignature == nullptr) {
        hResult = E_INVALIDARG;
        goto Exit;
    }
    *pbstrSignature = nullptr;

    // Only whether the text is empty matters here: its first unit says so without measuring
    // a message of megabytes.
    if (NULL == bstrSourceData || 0 == bstrSourceData[0]) {
        hResult = E_INVALIDARG;
        FAILED_STEP_W(kUnit, "Check parameter(bstrSourceData)", hResult,
                      "(NULL == bstrSourceData || 0 == wcslen(bstrSourceData))");
        goto Exit;
    }
    OK_STEP_W(kUnit, "Check parameter(bstrSourceData)");
    if (NULL == m_pCertContext && NULL == m_pUnregisteredSignCertContext) {
        hResult = VELK_E_CERT_NOT_READY;
        FAILED_STEP_W(kUnit, "Check certificate is ready?", hResult,
                      "NULL == m_pCertContext && NULL == m_pUnregisteredSignCertContext");
        goto Exit;
    }
    OK_STEP_W(kUnit, "Check certificate is ready?");

    hResult = UTF16ToUTF8(bstrSourceData, &pszMessage, &dwMessageLength);
    if (FAILED(hResult)) {
        FAILED_STEP_W(kUnit, "UTF16ToUTF8", hResult, "FAILED(hResult)");
        goto Exit;
    }
    OK_STEP_W(kUnit, "UTF16ToUTF8");

    if (m_bSM2Certificate) {
        // The container's key signs with SM3 whatever hash name the page gave.
        hResult = SM2SignBinaryDatabyUnregisteredCert(
            m_pUnregisteredSignCertContext, reinterpret_cast<const BYTE*>(pszMessage),
            dwMessageLength, bWithSource, kSm2SignatureOid, pbstrSignature);
        if (FAILED(hResult)) {
            FAILED_STEP_W(kUnit, "SM2SignBinaryDatabyUnregisteredCert", hResult, "FAILED(hResult)");
            goto Exit;
        }
        OK_STEP_W(kUnit, "SM2SignBinaryDatabyUnregisteredCert");
        goto Exit;
    }

    if (NULL == bstrHashAlg || 0 == WcsLen(bstrHashAlg)) {
        hResult = E_INVALIDARG;
        FAILED_STEP_W(kUnit, "Check parameter(bstrHashAlg)", hResult,
                      "(NULL == bstrHashAlg || 0 == wcslen(bstrHashAlg))");
        goto Exit;
    }
    OK_STEP_W(kUnit, "Check parameter(bstrHashAlg)");
    uSignAlgorithm = GetHashAlgorithmIDByName(bstrHashAlg);
    if (uSignAlgorithm == 0) {
        hResult = VELK_E_INVALID_HASH_ALG;
        FAILED_STEP_W(kUnit, "hash algorithm.", hResult, "uSignAlgorithm == 0");
        goto Exit;
    }
    OK_STEP_W(kUnit, "hash algorithm.");

    hResult = SignBinaryData(pbstrSignature, reinterpret_cast<const BYTE*>(pszMessage),
                             &m_pCertContext, dwMessageLength, uSignAlgorithm, bWithSource);
    if (hResult != S_OK) {
        hResult = RESULT_FROM_LAST_ERROR(hResult);
        FAILED_STEP_W(kUnit, "SignBinaryData.", hResult, "hResult != S_OK");
        goto Exit;
    }
    OK_STEP_W(kUnit, "SignBinaryData.");

Exit:
    std::free(pszMessage);
    if (FAILED(hResult) && pbstrSignature != nullptr && *pbstrSignature != nullptr) {
        SysFreeString(*pbstrSignature);
        *pbstrSignature = nullptr;
    }
    m_hLastResult = hResult;
    return hResult;
}
