// Certificate property queries over the platform's certificate contexts.
#include "certificates/CertificateInfo.h"

#include <cstdlib>
#include <cstring>

#include "common/Conversions.h"
#include "common/ResultCodes.h"
#include "common/Trace.h"
#include "platform/runtime/LastError.h"

static constexpr char kUnit[] = "CertificateChainOperate";

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// Common name first, values unquoted even when they hold separators.
constexpr DWORD kNameFlags = CERT_NAME_STR_NO_QUOTING_FLAG | CERT_NAME_STR_REVERSE_FLAG;

// The name text of one of the certificate's names, in the two-call form.
HRESULT NameToString(const CERT_NAME_BLOB* pName, DWORD dwStrType, char16_t** ppwszName,
                     DWORD* pdwLength) {
    HRESULT hResult = VELK_OK;
    char16_t* lpwszName = nullptr;
    DWORD dwCount = 0;

    dwCount = CertNameToStrW(kEncoding, pName, dwStrType | kNameFlags, nullptr, 0);
    if (0 == dwCount && FAILED(hResult = HRESULT_FROM_WIN32(GetLastError()))) {
        FAILED_STEP_W(kUnit, "CertNameToStr", hResult, "0 == dwCount");
        goto Exit;
    }
    hResult = VELK_OK;
    TRACE_INFO("CertNameToStr size: %u", dwCount);

    lpwszName = static_cast<char16_t*>(std::calloc(dwCount + 1, sizeof(char16_t)));
    if (NULL == lpwszName) {
        hResult = E_OUTOFMEMORY;
        FAILED_STEP_W(kUnit, "Dispatch memory failed.", hResult, "NULL == lpwszName");
        goto Exit;
    }
    dwCount = CertNameToStrW(kEncoding, pName, dwStrType | kNameFlags, lpwszName, dwCount);
    if (0 == dwCount && FAILED(hResult = HRESULT_FROM_WIN32(GetLastError()))) {
        FAILED_STEP_W(kUnit, "CertNameToStr", hResult, "0 == dwCount");
        goto Exit;
    }
    hResult = VELK_OK;
    OK_STEP_W(kUnit, "CertNameToStr");
    TRACE_INFO("Name: %s", trace::Text(lpwszName).c_str());

    *ppwszName = lpwszName;
    lpwszName = nullptr;
    if (NULL != pdwLength) *pdwLength = dwCount;

Exit:
    std::free(lpwszName);
    return hResult;
}

// Finds and decodes one extension of the certificate into a new zeroed buffer (two calls).
HRESULT DecodeExtension(PCCERT_CONTEXT pCertContext, const char* pszOid, HRESULT hMissing,
                        BYTE** ppbDecoded) {
    HRESULT hResult = VELK_OK;
    PCERT_EXTENSION pExtension = nullptr;
    BYTE* pbDecoded = nullptr;
    DWORD cbDecoded = 0;

    pExtension = CertFindExtension(pszOid, pCertContext->pCertInfo->cExtension,
                                   pCertContext->pCertInfo->rgExtension);
    if (NULL == pExtension) {
        hResult = hMissing;
        FAILED_STEP_W(kUnit, "CertFindExtension", hResult, "NULL == pExtension");
        goto Exit;
    }
    OK_STEP_W(kUnit, "CertFindExtension");

    if (!CryptDecodeObjectEx(kEncoding, pszOid, pExtension->Value.pbData, pExtension->Value.cbData,
                             CRYPT_DECODE_NOCOPY_FLAG, nullptr, nullptr, &cbDecoded)) {
        hResult = HRESULT_FROM_WIN32(GetLastError());
        if (FAILED(hResult)) {
            FAILED_STEP_W(kUnit, "CryptDecodeObjectEx", hResult, "FALSE == bRetCode");
            goto Exit;
        }
        hResult = VELK_OK;
    }
    pbDecoded = static_cast<BYTE*>(std::calloc(cbDecoded + 1, 1));
    if (NULL == pbDecoded) {
        hResult = E_OUTOFMEMORY;
        FAILED_STEP_W(kUnit, "Dispatch memory failed.", hResult, "NULL == pbDecoded");
        goto Exit;
    }
    if (!CryptDecodeObjectEx(kEncoding, pszOid, pExtension->Value.pbData, pExtension->Value.cbData,
                             CRYPT_DECODE_NOCOPY_FLAG, nullptr, pbDecoded, &cbDecoded)) {
        hResult = HRESULT_FROM_WIN32(GetLastError());
        if (FAILED(hResult)) {
            FAILED_STEP_W(kUnit, "CryptDecodeObjectEx", hResult, "FALSE == bRetCode");
            goto Exit;
        }
        hResult = VELK_OK;
    }
    OK_STEP_W(kUnit, "CryptDecodeObjectEx");
    *ppbDecoded = pbDecoded;
    pbDecoded = nullptr;

Exit:
    std::free(pbDecoded);
    return hResult;
}

// Provider name (PP_NAME) or container name (PP_CONTAINER) of the certificate's private key.
HRESULT GetCertKeyProviderParam(PCCERT_CONTEXT pCertContext, DWORD dwParam, char16_t** ppwszName,
                                DWORD* pdwLength) {
    HRESULT hResult = VELK_OK;
    HCRYPTPROV hProv = 0;
    DWORD dwKeySpec = 0;
    BYTE* pbValue = nullptr;
    DWORD cbValue = 0;
    char16_t* lpwszName = nullptr;
    DWORD dwCharCount = 0;

    if (NULL == pCertContext || NULL == ppwszName || NULL == pdwLength) {
        hResult = E_INVALIDARG;
        FAILED_STEP_W(kUnit, "Check parameters", hResult, "NULL == pCertContext");
        goto Exit;
    }
    if (!CryptAcquireCertificatePrivateKey(pCertContext, 0, nullptr, &hProv, &dwKeySpec, nullptr) &&
        FAILED(hResult = HRESULT_FROM_WIN32(GetLastError()))) {
        FAILED_STEP_W(kUnit, "CryptAcquireCertificatePrivateKey FAILED.", hResult,
                      "FALSE == bRetCode");
        goto Exit;
    }
    hResult = VELK_OK;
    OK_STEP_W(kUnit, "CryptAcquireCertificatePrivateKey");

    hResult = GetProviderInfo(hProv, dwParam, &pbValue, &cbValue);
    if (FAILED(hResult)) {
        FAILED_STEP_W(kUnit, "GetProviderInfo FAILED.", hResult, "FAILED(hResult)");
        goto Exit;
    }
    hResult = UTF8ToUTF16(reinterpret_cast<const char*>(pbValue), &lpwszName, &dwCharCount);
    if (FAILED(hResult)) {
        FAILED_STEP_W(kUnit, "UTF8ToUTF16 FAILED.", hResult, "FAILED(hResult)");
        goto Exit;
    }
    OK_STEP_W(kUnit, "UTF8ToUTF16");
    *ppwszName = lpwszName;
    lpwszName = nullptr;
    *pdwLength = dwCharCount;

Exit:
    std::free(pbValue);
    std::free(lpwszName);
    if (0 != hProv) CryptReleaseContext(hProv, 0);
    return hResult;
}

HRESULT GetValidityBound(const FILETIME& ftTime, SYSTEMTIME* pstTime, DWORD* pdwLength) {
    if (NULL != pdwLength) *pdwLength = sizeof(SYSTEMTIME);
    if (NULL != pstTime) FileTimeToSystemTime(&ftTime, pstTime);
    return VELK_OK;
}

}  // namespace

HRESULT GetCertSubject(PCCERT_CONTEXT pCertContext, char16_t** ppwszSubject, DWORD* pdwLength,
                       DWORD dwStrType) {
    TRACE_SCOPE();
    if (NULL == pCertContext || NULL == ppwszSubject) return E_INVALIDARG;
    return NameToString(&pCertContext->pCertInfo->Subject, dwStrType, ppwszSubject, pdwLength);
}

HRESULT GetCertIssuer(PCCERT_CONTEXT pCertContext, char16_t** ppwszIssuer, DWORD* pdwLength) {
    TRACE_SCOPE();
    if (NULL == pCertContext || NULL == ppwszIssuer) return E_INVALIDARG;
    return NameToString(&pCertContext->pCertInfo->Issuer, CERT_X500_NAME_STR, ppwszIssuer,
                        pdwLength);
}

HRESULT GetCertCN(PCCERT_CONTEXT pCertContext, char16_t** ppwszCN, DWORD* pdwLength) {
    TRACE_SCOPE();
    HRESULT hResult = VELK_OK;
    char16_t* lpwszCN = nullptr;
    DWORD dwCount = 0;

    if (NULL == pCertContext) {
        hResult = E_INVALIDARG;
        FAILED_STEP_W(kUnit, "Check parameters", hResult, "NULL == pCertContext");
        goto Exit;
    }
    dwCount =
        CertGetNameStringW(pCertContext, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (0 == dwCount && FAILED(hResult = HRESULT_FROM_WIN32(GetLastError()))) {
        FAILED_STEP_W(kUnit, "CertGetNameString", hResult, "0 == dwCount");
        goto Exit;
    }
    hResult = VELK_OK;
    lpwszCN = static_cast<char16_t*>(std::calloc(dwCount + 1, sizeof(char16_t)));
    if (NULL == lpwszCN) {
        hResult = E_OUTOFMEMORY;
        FAILED_STEP_W(kUnit, "New memory failed.", hResult, "NULL == lpwszCN");
        goto Exit;
    }
    dwCount = CertGetNameStringW(pCertContext, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, lpwszCN,
                                 dwCount);
    if (0 == dwCount && FAILED(hResult = HRESULT_FROM_WIN32(GetLastError()))) {
        FAILED_STEP_W(kUnit, "CertGetNameString", hResult, "0 == dwCount");
        goto Exit;
    }
    hResult = VELK_OK;
    OK_STEP_W(kUnit, "CertGetNameString");
    TRACE_INFO("CN: %s", trace::Text(lpwszCN).c_str());
    if (NULL != pdwLength) *pdwLength = dwCount;
    if (NULL != ppwszCN) {
        *ppwszCN = lpwszCN;
        lpwszCN = nullptr;
    }

Exit:
    std::free(lpwszCN);
    return hResult;
}

HRESULT GetCertSerialNumber(PCCERT_CONTEXT pCertContext, BYTE** ppbSerialNumber, DWORD* pdwLength) {
    TRACE_SCOPE();
    HRESULT hResult = VELK_OK;
    BYTE* pbSerial = nullptr;
    DWORD cbSerial = 0;

    if (NULL == pCertContext || NULL == ppbSerialNumber) {
        hResult = E_INVALIDARG;
        FAILED_STEP_W(kUnit, "Check parameters", hResult, "NULL == pCertContext");
        goto Exit;
    }
    cbSerial = pCertContext->pCertInfo->SerialNumber.cbData;
    pbSerial = static_cast<BYTE*>(std::calloc(cbSerial + 1, 1));
    if (NULL == pbSerial) {
        hResult = E_OUTOFMEMORY;
        FAILED_STEP_W(kUnit, "Dispatch memory failed.", hResult, "NULL == pbSerial");
        goto Exit;
    }
    // Unchanged: least significant byte first, as the platform keeps integers.
    if (0 != cbSerial)
        std::memcpy(pbSerial, pCertContext->pCertInfo->SerialNumber.pbData, cbSerial);
    TRACE_INFO("Serial number length: %u", cbSerial);
    *ppbSerialNumber = pbSerial;
    pbSerial = nullptr;
    if (NULL != pdwLength) *pdwLength = cbSerial;

Exit:
    std::free(pbSerial);
    return hResult;
}

HRESULT GetCertSubjectKeyID(PCCERT_CONTEXT pCertContext, BYTE** ppbKeyID, DWORD* pdwLength) {
    TRACE_SCOPE();
    HRESULT hResult = VELK_OK;
    PCERT_EXTENSION pExtension = nullptr;
    BYTE* pbDecoded = nullptr;
    BYTE* pbKeyID = nullptr;
    const CRYPT_DATA_BLOB* pBlob = nullptr;

    if (NULL == pCertContext) {
        hResult = E_INVALIDARG;
        FAILED_STEP_W(kUnit, "Check parameters", hResult, "NULL == pCertContext");
        goto Exit;
    }
    if (NULL == ppbKeyID) {
        // Only asked whether the extension is there.
        pExtension =
            CertFindExtension(szOID_SUBJECT_KEY_IDENTIFIER, pCertContext->pCertInfo->cExtension,
                              pCertContext->pCertInfo->rgExtension);
        if (NULL == pExtension) {
            hResult = VELK_E_NO_SUBJECT_KEY_ID;
            FAILED_STEP_W(kUnit, "CertFindExtension", hResult, "NULL == pExtension");
        }
        goto Exit;
    }
    hResult = DecodeExtension(pCertContext, szOID_SUBJECT_KEY_IDENTIFIER, VELK_E_NO_SUBJECT_KEY_ID,
                              &pbDecoded);
    if (FAILED(hResult)) goto Exit;
    pBlob = reinterpret_cast<const CRYPT_DATA_BLOB*>(pbDecoded);
    pbKeyID = static_cast<BYTE*>(std::calloc(pBlob->cbData + 1, 1));
    if (NULL == pbKeyID) {
        hResult = E_OUTOFMEMORY;
        FAILED_STEP_W(kUnit, "Dispatch memory failed.", hResult, "NULL == pbKeyID");
        goto Exit;
    }
    if (0 != pBlob->cbData) std::memcpy(pbKeyID, pBlob->pbData, pBlob->cbData);
    TRACE_INFO("Subject key identifier length: %u", pBlob->cbData);
    if (NULL != pdwLength) *pdwLength = pBlob->cbData;
    *ppbKeyID = pbKeyID;
    pbKeyID = nullptr;

Exit:
    std::free(pbKeyID);
    std::free(pbDecoded);
    return hResult;
}

HRESULT GetCertKeyUsage(PCCERT_CONTEXT pCertContext, DWORD* pdwKeyUsage, DWORD* pdwLength) {
    TRACE_SCOPE();
    HRESULT hResult = VELK_OK;
    BYTE* pbDecoded = nullptr;
    const CRYPT_BIT_BLOB* pBits = nullptr;

    if (NULL == pCertContext || NULL == pdwKeyUsage) {
        hResult = E_INVALIDARG;
        FAILED_STEP_W(kUnit, "Check parameters", hResult, "NULL == pCertContext");
        goto Exit;
    }
    hResult = DecodeExtension(pCertContext, szOID_KEY_USAGE, VELK_E_NO_KEY_USAGE, &pbDecoded);
    if (FAILED(hResult)) goto Exit;
    pBits = reinterpret_cast<const CRYPT_BIT_BLOB*>(pbDecoded);
    // The first byte holds digitalSignature to encipherOnly; decipherOnly (the second byte) is
    // not reported. A bit string without bytes asserts no usage at all.
    *pdwKeyUsage = 0 != pBits->cbData ? pBits->pbData[0] : 0;
    TRACE_INFO("Key usage: 0x%02x", *pdwKeyUsage);
    if (NULL != pdwLength) *pdwLength = sizeof(DWORD);

Exit:
    std::free(pbDecoded);
    return hResult;
}

HRESULT GetCertProviderName(PCCERT_CONTEXT pCertContext, char16_t** ppwszName, DWORD* pdwLength) {
    TRACE_SCOPE();
    return GetCertKeyProviderParam(pCertContext, PP_NAME, ppwszName, pdwLength);
}

HRESULT GetCertContainerName(PCCERT_CONTEXT pCertContext, char16_t** ppwszName, DWORD* pdwLength) {
    TRACE_SCOPE();
    return GetCertKeyProviderParam(pCertContext, PP_CONTAINER, ppwszName, pdwLength);
}

HRESULT GetCertToDate(PCCERT_CONTEXT pCertContext, SYSTEMTIME* pstTime, DWORD* pdwLength) {
    TRACE_SCOPE();
    if (NULL == pCertContext) return E_INVALIDARG;
    return GetValidityBound(pCertContext->pCertInfo->NotAfter, pstTime, pdwLength);
}

HRESULT GetCertFromDate(PCCERT_CONTEXT pCertContext, SYSTEMTIME* pstTime, DWORD* pdwLength) {
    TRACE_SCOPE();
    if (NULL == pCertContext) return E_INVALIDARG;
    return GetValidityBound(pCertContext->pCertInfo->NotBefore, pstTime, pdwLength);
}

HRESULT GetProviderInfo(HCRYPTPROV hProv, DWORD dwParam, BYTE** ppbData, DWORD* pdwLength) {
    TRACE_SCOPE();
    HRESULT hResult = VELK_OK;
    DWORD cbData = 0;

    if (NULL == ppbData) {
        hResult = E_INVALIDARG;
        FAILED_STEP_W(kUnit, "Check parameters", hResult, "NULL == ppbData");
        goto Exit;
    }
    if (!CryptGetProvParam(hProv, dwParam, nullptr, &cbData, 0)) {
        hResult = HRESULT_FROM_WIN32(GetLastError());
        FAILED_STEP_W(kUnit, "CryptGetProvParam", hResult, "FALSE == bRetCode");
        goto Exit;
    }
    TRACE_INFO("Provider parameter %u size: %u", dwParam, cbData);
    if (0 == cbData) {
        hResult = E_FAIL;
        goto Exit;
    }
    *ppbData = static_cast<BYTE*>(std::calloc(cbData + 1, 1));
    if (NULL == *ppbData) {
        hResult = E_OUTOFMEMORY;
        FAILED_STEP_W(kUnit, "New Memory", hResult, "NULL == *ppbData");
        goto Exit;
    }
    if (!CryptGetProvParam(hProv, dwParam, *ppbData, &cbData, 0)) {
        hResult = HRESULT_FROM_WIN32(GetLastError());
        FAILED_STEP_W(kUnit, "CryptGetProvParam", hResult, "FALSE == bRetCode");
        goto Exit;
    }
    OK_STEP_W(kUnit, "CryptGetProvParam");
    if (NULL != pdwLength) *pdwLength = cbData;

Exit:
    return hResult;
}

HRESULT QueryCertContextInfo(PCCERT_CONTEXT pCertContext, int nInfoType, void* pvData,
                             DWORD* pdwLength) {
    TRACE_SCOPE();
    switch (nInfoType) {
        case CERTINFO_SUBJECT_DN:
            return GetCertSubject(pCertContext, static_cast<char16_t**>(pvData), pdwLength,
                                  CERT_X500_NAME_STR);
        case CERTINFO_SUBJECT_SIMPLE:
            return GetCertSubject(pCertContext, static_cast<char16_t**>(pvData), pdwLength,
                                  CERT_SIMPLE_NAME_STR);
        case CERTINFO_ISSUER_DN:
            return GetCertIssuer(pCertContext, static_cast<char16_t**>(pvData), pdwLength);
        case CERTINFO_SERIAL_NUMBER:
            return GetCertSerialNumber(pCertContext, static_cast<BYTE**>(pvData), pdwLength);
        case CERTINFO_PROVIDER_NAME:
            return GetCertProviderName(pCertContext, static_cast<char16_t**>(pvData), pdwLength);
        case CERTINFO_NOT_AFTER:
            return GetCertToDate(pCertContext, static_cast<SYSTEMTIME*>(pvData), pdwLength);
        case CERTINFO_NOT_BEFORE:
            return GetCertFromDate(pCertContext, static_cast<SYSTEMTIME*>(pvData), pdwLength);
        case CERTINFO_SUBJECT_KEY_ID:
            return GetCertSubjectKeyID(pCertContext, static_cast<BYTE**>(pvData), pdwLength);
        case CERTINFO_KEY_USAGE:
            return GetCertKeyUsage(pCertContext, static_cast<DWORD*>(pvData), pdwLength);
        case CERTINFO_CONTAINER_NAME:
            return GetCertContainerName(pCertContext, static_cast<char16_t**>(pvData), pdwLength);
        case CERTINFO_CN:
            return GetCertCN(pCertContext, static_cast<char16_t**>(pvData), pdwLength);
        default:
            return VELK_E_QUERY_TYPE_NOT_SUPPORTED;
    }
}
