#include "agent/VerifyOperations.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "agent/CryptoAgent.h"
#include "common/Conversions.h"
#include "common/OpenSslPtr.h"
#include "common/Trace.h"
#include "verification/ASN1Engine.h"
#include "verification/CertificateOperations.h"
#include "verification/DataSigning.h"
#include "verification/RSADataSigning.h"
#include "verification/VerifyCommon.h"

static constexpr char kUnit[] = "CryptoAgent";

namespace {

struct PKCS7TypeEntry {
    int nType;
    const char* pszName;
    uint8_t abyOid[10];
    uint32_t dwOidSize;
};

// contentType identifiers as DER content bytes; the comparison is exact in length.
constexpr PKCS7TypeEntry kPKCS7Types[] = {
    {RSA_SIGNED_DATA, "RSA_SIGNED_DATA", {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02}, 9},
    {SM2_SIGNED_DATA,
     "SM2_SIGNED_DATA",
     {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x06, 0x01, 0x04, 0x02, 0x02},
     10},
    {RSA_ENVELOPED_DATA,
     "RSA_ENVELOPED_DATA",
     {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x03},
     9},
    {SM2_ENVELOPED_DATA,
     "SM2_ENVELOPED_DATA",
     {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x06, 0x01, 0x04, 0x02, 0x03},
     10},
};

// The verifiers' plain values as result codes: -1 means the signature did not verify; other
// values follow the last-error rule (87 becomes E_INVALIDARG, 0xA007xxxx codes stay).
HRESULT VerifyResultToHResult(int nResult) {
    return kVerifyFailed == nResult ? NTE_BAD_SIGNATURE : RESULT_FROM_LAST_ERROR(nResult);
}

// The C runtime's ctime layout, "Www Mmm dd hh:mm:ss yyyy\n" in local time, with the day of the
// month written as two digits; glibc's ctime pads it with a blank instead.
bool CtimeText(int64_t tTime, char* pszText, size_t nTextSize) {
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const time_t tLocal = static_cast<time_t>(tTime);
    struct tm tmLocal = {};
    if (localtime_r(&tLocal, &tmLocal) == nullptr || tmLocal.tm_wday < 0 || tmLocal.tm_wday > 6 ||
        tmLocal.tm_mon < 0 || tmLocal.tm_mon > 11)
        return false;
    const int n =
        std::snprintf(pszText, nTextSize, "%s %s %02d %02d:%02d:%02d %d\n", kDays[tmLocal.tm_wday],
                      kMonths[tmLocal.tm_mon], tmLocal.tm_mday, tmLocal.tm_hour, tmLocal.tm_min,
                      tmLocal.tm_sec, tmLocal.tm_year + 1900);
    return n > 0 && static_cast<size_t>(n) < nTextSize;
}

// The signer's validity as "notBefore text;notAfter text" in UTF-16. Failures are logged and give
// no text: the verification result stands regardless.
void GetCertValidityText(const uint8_t* pbyCert, int nCertSize, char16_t** ppwszText) {
    X509* pCert = nullptr;
    if (ConvertCertDataToX509(&pCert, nCertSize, pbyCert) != VELK_OK) {
        FAILED_STEP_W(kUnit, "ConvertCertDataToX509", kVerifyFailed, "VELK_OK != nResult");
        return;
    }
    X509Ptr pX509Cert(pCert);
    OK_STEP_W(kUnit, "ConvertCertDataToX509");

    int64_t tNotBefore = 0;
    int64_t tNotAfter = 0;
    char szNotBefore[64] = {};
    char szNotAfter[64] = {};
    if (GetX509NotBefore(&tNotBefore, pX509Cert.get()) != VELK_OK ||
        !CtimeText(tNotBefore, szNotBefore, sizeof szNotBefore)) {
        FAILED_STEP_W(kUnit, "GetX509NotBefore", kVerifyFailed, "VELK_OK != nResult");
        return;
    }
    OK_STEP_W(kUnit, "GetX509NotBefore");
    if (GetX509NotAfter(&tNotAfter, pX509Cert.get()) != VELK_OK ||
        !CtimeText(tNotAfter, szNotAfter, sizeof szNotAfter)) {
        FAILED_STEP_W(kUnit, "GetX509NotAfter", kVerifyFailed, "VELK_OK != nResult");
        return;
    }
    OK_STEP_W(kUnit, "GetX509NotAfter");

    const size_t nInfoSize = std::strlen(szNotBefore) + std::strlen(szNotAfter) + 2;
    MallocPtr pszInfoContent(static_cast<uint8_t*>(std::calloc(nInfoSize, 1)));
    if (!pszInfoContent) {
        FAILED_STEP_W(kUnit, "New memory", E_OUTOFMEMORY, "!pszInfoContent");
        return;
    }
    char* pszInfo = reinterpret_cast<char*>(pszInfoContent.get());
    std::snprintf(pszInfo, nInfoSize, "%s;%s", szNotBefore, szNotAfter);
    uint32_t dwCharCount = 0;
    const HRESULT hResult = UTF8ToUTF16(pszInfo, ppwszText, &dwCharCount);
    if (FAILED(hResult)) {
        FAILED_STEP_W(kUnit, "UTF8ToUTF16 (Kernel)", hResult, "FAILED(hResult)");
        std::free(*ppwszText);
        *ppwszText = nullptr;
        return;
    }
    OK_STEP_W(kUnit, "UTF8ToUTF16 (Kernel)");
}

// The out text is written only when it is empty on entry.
void SetOutText(BSTR* pbstrOut, const char16_t* pwszText) {
    if (pbstrOut != nullptr && *pbstrOut == nullptr)
        *pbstrOut = SysAllocString(pwszText != nullptr ? pwszText : u"");
}

}  // namespace

HRESULT GetPKCS7Type(const char* pszBase64PKCS7, uint32_t dwBase64PKCS7Size, int* pnType) {
    TRACE_SCOPE();
    HRESULT hResult = S_OK;
    uint8_t* pbyPKCS7 = nullptr;
    uint32_t dwPKCS7Size = 0;
    ASN1DecodeNode* pP7DecodeNode = nullptr;
    const uint8_t* pbyP7ContentTypeNode = nullptr;
    uint32_t dwP7ContentTypeNodeSize = 0;
    uint8_t* pbyP7ContentTypeOid = nullptr;
    int nRet = 0;
    int nType = 0;

    if (pnType != nullptr) *pnType = 0;
    if (NULL == pszBase64PKCS7 || 0 == dwBase64PKCS7Size) {
        hResult = E_INVALIDARG;
        FAILED_STEP_W(kUnit, "Check parameter(lpwBase64PKCS7&dwBase64PKCS7Len)", hResult,
                      "(NULL == pszBase64PKCS7 || 0 == dwBase64PKCS7Size)");
        goto Exit;
    }
    OK_STEP_W(kUnit, "Check parameter(lpwBase64PKCS7&dwBase64PKCS7Len)");

    hResult = Base64DecodeEx(static_cast<int32_t>(dwBase64PKCS7Size), &pbyPKCS7, pszBase64PKCS7,
                             &dwPKCS7Size);
    if (FAILED(hResult)) {
        FAILED_STEP_W(kUnit, "Base64DecodeEx", hResult, "FAILED(hResult)");
        goto Exit;
    }
    OK_STEP_W(kUnit, "Base64DecodeEx");

    nRet = DecodeASN1Memory(&pP7DecodeNode, pbyPKCS7, pbyPKCS7 != nullptr ? dwPKCS7Size : 0);
    if (0 != nRet) {
        hResult = HRESULT_INVALID_DATA;
        FAILED_STEP_W(kUnit, "DecodeASN1Memory", hResult, "0 != nRet");
        goto Exit;
    }
    OK_STEP_W(kUnit, "DecodeASN1Memory");

    if (pP7DecodeNode->vetNodes.size() != 2) {
        hResult = HRESULT_INVALID_DATA;
        FAILED_STEP_W(kUnit, "Check PKCS#7 nodes number.", hResult,
                      "pP7DecodeNode->vetNodes.size() != 2");
        goto Exit;
    }
    OK_STEP_W(kUnit, "Check PKCS#7 nodes number.");

    // This parser leaves a primitive element's length unchecked: content that would run past the
    // input counts as absent.
    pbyP7ContentTypeNode = ASN1NodeContent(pP7DecodeNode->vetNodes[0].get());
    dwP7ContentTypeNodeSize = pP7DecodeNode->vetNodes[0]->dwValueLength;
    if ((NULL == pbyP7ContentTypeNode || 0 == dwP7ContentTypeNodeSize)) {
        hResult = HRESULT_INVALID_DATA;
        FAILED_STEP_W(kUnit, "Check No.0 node of PKCS#7.", hResult,
                      "(NULL == pbyP7ContentTypeNode || 0 == dwP7ContentTypeNodeSize)");
        goto Exit;
    }
    OK_STEP_W(kUnit, "Check No.0 node of PKCS#7.");
    pbyP7ContentTypeOid = static_cast<uint8_t*>(std::calloc(dwP7ContentTypeNodeSize, 1));
    if (!pbyP7ContentTypeOid) {
        hResult = E_OUTOFMEMORY;
        FAILED_STEP_W(kUnit, "New memory", hResult, "!pbyP7ContentTypeOid");
        goto Exit;
    }
    std::memcpy(pbyP7ContentTypeOid, pbyP7ContentTypeNode, dwP7ContentTypeNodeSize);

    for (const PKCS7TypeEntry& entry : kPKCS7Types) {
        if (entry.dwOidSize == dwP7ContentTypeNodeSize &&
            0 == std::memcmp(entry.abyOid, pbyP7ContentTypeOid, entry.dwOidSize)) {
            nType = entry.nType;
            TRACE_INFO("GetPKCS7Type: %s", entry.pszName);
            break;
        }
    }
    if (0 == nType) {
        hResult = HRESULT_INVALID_DATA;
        FAILED_STEP_W(kUnit, "Unsupported PKCS#7 content type.", hResult, "TRUE");
        goto Exit;
    }
    if (pnType != nullptr) *pnType = nType;

Exit:
    std::free(pbyPKCS7);
    delete pP7DecodeNode;
    std::free(pbyP7ContentTypeOid);
    return hResult;
}

namespace {

HRESULT CheckSignatureParameters(const char16_t* bstrSignature, const char16_t* bstrSignatureType) {
    if (NULL == bstrSignature || 0 == WcsLen(bstrSignature)) {
        FAILED_STEP_W(kUnit, "Check parameter(Signature)", E_INVALIDARG,
                      "(NULL == bstrSignature || 0 == wcslen(bstrSignature))");
        return E_INVALIDARG;
    }
    OK_STEP_W(kUnit, "Check parameter(Signature)");
    if (NULL == bstrSignatureType || 0 == WcsLen(bstrSignatureType)) {
        FAILED_STEP_W(kUnit, "Check parameter(bstrSignatureType)", E_INVALIDARG,
                      "(NULL == bstrSignatureType || 0 == wcslen(bstrSignatureType))");
        return E_INVALIDARG;
    }
    OK_STEP_W(kUnit, "Check parameter(bstrSignatureType)");
    return S_OK;
}

// Both operations after their parameter checks: the content type, the verifier that fits it and
// the algorithm name, then the signer's validity text. A null message means attached content.
HRESULT VerifyPKCS7Signature(const char16_t* bstrSignature, const char16_t* bstrSignatureType,
                             const char* pszSourceMsg, uint32_t dwSourceMsgSize,
                             char16_t** ppwszInfoContent) {
    HRESULT hResult = S_OK;
    int nResult = VELK_OK;
    char* pszSignature = nullptr;
    uint32_t dwSignatureSize = 0;
    int nPKCS7Type = 0;
    bool bSM2 = false;
    uint8_t* pbySignCert = nullptr;
    int nSignCertSize = 0;
    const auto* pbySourceMsg = reinterpret_cast<const uint8_t*>(pszSourceMsg);
    const int nSourceMsgSize = static_cast<int>(dwSourceMsgSize);

    hResult = UTF16ToUTF8(bstrSignature, &pszSignature, &dwSignatureSize);
    if (FAILED(hResult)) {
        FAILED_STEP_W(kUnit, "UTF16ToUTF8(Signature)", hResult, "FAILED(hResult)");
        goto Exit;
    }
    OK_STEP_W(kUnit, "UTF16ToUTF8(Signature)");

    hResult = GetPKCS7Type(pszSignature, dwSignatureSize, &nPKCS7Type);
    if (FAILED(hResult)) {
        FAILED_STEP_W(kUnit, "GetPKCS7Type", hResult, "FAILED(hResult)");
        goto Exit;
    }
    OK_STEP_W(kUnit, "GetPKCS7Type");

    bSM2 = SM2_SIGNED_DATA == nPKCS7Type && 0 == WcsICmp(bstrSignatureType, u"SM2");
    if (!bSM2 && !(RSA_SIGNED_DATA == nPKCS7Type && 0 == WcsICmp(bstrSignatureType, u"RSA"))) {
        hResult = VELK_E_INVALID_SIGN_TYPE;
        FAILED_STEP_W(kUnit, "Invalid PKCS#7 content type.", hResult, "TRUE");
        goto Exit;
    }
    if (NULL == pszSourceMsg) {
        nResult = bSM2 ? VerifySignature_PKCS7Attached(&pbySignCert, &nSignCertSize, pszSignature,
                                                       static_cast<int>(dwSignatureSize))
                       : RSA_VerifyDataSignature_PKCS7Attached(pszSignature, &nSignCertSize,
                                                               &pbySignCert);
    } else {
        nResult =
            bSM2 ? VerifySignature_PKCS7Detached(pbySourceMsg, &pbySignCert, pszSignature,
                                                 static_cast<int>(dwSignatureSize), nSourceMsgSize,
                                                 &nSignCertSize)
                 : RSA_VerifyDataSignature_PKCS7Detached(pszSignature, &pbySignCert, pbySourceMsg,
                                                         nSourceMsgSize, &nSignCertSize);
    }
    if (VELK_OK != nResult) {
        hResult = VerifyResultToHResult(nResult);
        FAILED_STEP_W(kUnit, bSM2 ? "SM2 verify" : "RSA verify", hResult, "VELK_OK != nResult");
        goto Exit;
    }
    OK_STEP_W(kUnit, bSM2 ? "SM2 verify" : "RSA verify");

    GetCertValidityText(pbySignCert, nSignCertSize, ppwszInfoContent);

Exit:
    std::free(pszSignature);
    std::free(pbySignCert);
    return hResult;
}

}  // namespace

HRESULT CCryptoAgent::VerifyMsgSignaturePKCS7Attached(const char16_t* bstrSignature,
                                                      const char16_t* bstrSignatureType,
                                                      BSTR* pbstrOut) {
    PrepareOpenSsl();
    TRACE_SCOPE();
    char16_t* pwszInfoContent = nullptr;
    HRESULT hResult = CheckSignatureParameters(bstrSignature, bstrSignatureType);
    if (SUCCEEDED(hResult))
        hResult =
            VerifyPKCS7Signature(bstrSignature, bstrSignatureType, nullptr, 0, &pwszInfoContent);
    SetOutText(pbstrOut, pwszInfoContent);
    std::free(pwszInfoContent);
    m_hLastResult = hResult;
    return hResult;
}

HRESULT CCryptoAgent::VerifyMsgSignaturePKCS7Detached(const char16_t* bstrSignature,
                                                      const char16_t* bstrSignatureType,
                                                      const char16_t* bstrSourceMsg,
                                                      BSTR* pbstrOut) {
    PrepareOpenSsl();
    TRACE_SCOPE();
    HRESULT hResult = S_OK;
    char* pszSourceMsg = nullptr;
    uint32_t dwSourceMsgSize = 0;
    char16_t* pwszInfoContent = nullptr;

    hResult = CheckSignatureParameters(bstrSignature, bstrSignatureType);
    if (FAILED(hResult)) goto Exit;
    if (NULL == bstrSourceMsg || 0 == WcsLen(bstrSourceMsg)) {
        hResult = E_INVALIDARG;
        FAILED_STEP_W(kUnit, "Check parameter(Signature)", hResult,
                      "(NULL == bstrSourceMsg || 0 == wcslen(bstrSourceMsg))");
        goto Exit;
    }
    OK_STEP_W(kUnit, "Check parameter(Signature)");

    // The message is converted before the signature.
    hResult = UTF16ToUTF8(bstrSourceMsg, &pszSourceMsg, &dwSourceMsgSize);
    if (FAILED(hResult)) {
        FAILED_STEP_W(kUnit, "UTF16ToUTF8(SourceMsg)", hResult, "FAILED(hResult)");
        goto Exit;
    }
    OK_STEP_W(kUnit, "UTF16ToUTF8(SourceMsg)");
    hResult = VerifyPKCS7Signature(bstrSignature, bstrSignatureType, pszSourceMsg, dwSourceMsgSize,
                                   &pwszInfoContent);

Exit:
    SetOutText(pbstrOut, pwszInfoContent);
    std::free(pszSourceMsg);
    std::free(pwszInfoContent);
    m_hLastResult = hResult;
    return hResult;
}
