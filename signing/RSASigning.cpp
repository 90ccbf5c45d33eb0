#include "signing/RSASigning.h"

#include <cstdlib>
#include <cstring>

#include "certificates/CertificateInfo.h"
#include "common/Conversions.h"
#include "common/ResultCodes.h"
#include "common/Trace.h"
#include "common/Utf.h"
#include "platform/crypt/SignerInfoStructType.h"
#include "platform/runtime/LastError.h"
#include "signing/ASN1Encode.h"

static constexpr char kUnit[] = "RSASigning";

namespace {

// Providers hash a message in pieces of at most this size, so a large message is never handed
// to a token in one call.
constexpr DWORD kHashChunkSize = 0x4000;

// version INTEGER 1 of SignedData (RFC 2315, 9.1)
constexpr BYTE kVersionOne[] = {0x02, 0x01, 0x01};

struct AlgorithmEntry {
    ALG_ID algId;
    const char* pszDigestOid;
    const char* pszSignatureOid;
};

// SHA-1 is paired with plain rsaEncryption as signature algorithm (RFC 2315, 9.4 allows the
// encryption algorithm alone); the other digests with their with-RSA identifiers.
constexpr AlgorithmEntry kAlgorithms[] = {
    {CALG_MD5, "1.2.840.113549.2.5", "1.2.840.113549.1.1.4"},
    {CALG_SHA1, "1.3.14.3.2.26", "1.2.840.113549.1.1.1"},
    {CALG_SHA_256, "2.16.840.1.101.3.4.2.1", "1.2.840.113549.1.1.11"},
    {CALG_SHA_384, "2.16.840.1.101.3.4.2.2", "1.2.840.113549.1.1.12"},
    {CALG_SHA_512, "2.16.840.1.101.3.4.2.3", "1.2.840.113549.1.1.13"},
    {CALG_SM3, "1.2.156.10197.1.401", "1.2.156.10197.1.301.1"},
};

// The platform's error after a failed call, by the plain rule; 0 lets the caller go on.
HRESULT LastPlatformError() { return HRESULT_FROM_WIN32(GetLastError()); }

// The RSA SignerInfo is the platform's PKCS7_SIGNER_INFO encoding of the record.
HRESULT EncodePlatformSignerInfo(const CMSG_SIGNER_INFO* pSignerInfo, BYTE** ppbEncoded,
                                 DWORD* pcbEncoded) {
    return EncodeObject(pSignerInfo, pcbEncoded, PKCS7_SIGNER_INFO, ppbEncoded);
}

constexpr SIGNED_DATA_PROFILE kPkcs7SignedData = {
    "1.2.840.113549.1.7.1",  // PKCS #7 data
    "1.2.840.113549.1.7.2",  // PKCS #7 signedData
    EncodePlatformSignerInfo,
    "EncodeObject(PKCS7_SIGNER_INFO)",
};

}  // namespace

bool GetAlgorithmIdentifiers(const char** ppszSignatureOid, const char** ppszDigestOid,
                             ALG_ID algId) {
    for (const AlgorithmEntry& entry : kAlgorithms) {
        if (entry.algId == algId) {
            *ppszSignatureOid = entry.pszSignatureOid;
            *ppszDigestOid = entry.pszDigestOid;
            return true;
        }
    }
    return false;
}

void SwapByteOrder(BYTE* pbData, DWORD cbData) {
    if (pbData == nullptr || cbData < 2) return;
    for (DWORD i = 0, j = cbData - 1; i < j; ++i, --j) {
        const BYTE b = pbData[i];
        pbData[i] = pbData[j];
        pbData[j] = b;
    }
}

HRESULT SignBinaryData(BSTR* pbstrSignature, const BYTE* pbMessage, PCCERT_CONTEXT* ppCertContext,
                       DWORD cbMessage, ALG_ID algId, int bWithSource) {
    TRACE_SCOPE_A();
    HRESULT hResult = S_OK;
    const char* pszSignatureOid = nullptr;
    const char* pszDigestOid = nullptr;
    BYTE* pbSignature = nullptr;
    DWORD cbSignature = 0;
    DWORD dwTextLength = 0;

    if (!GetAlgorithmIdentifiers(&pszSignatureOid, &pszDigestOid, algId)) {
        TRACE_ERROR("SignBinaryData: ALG_ID 0x%04x has no algorithm identifiers", algId);
        hResult = NTE_BAD_ALGID;
        goto Exit;
    }

    hResult = CalculateHashandSign(ppCertContext, pbMessage, cbMessage, algId, &pbSignature,
                                   &cbSignature);
    if (hResult != S_OK) {
        FAILED_STEP(kUnit, "CalculateHashandSign", hResult, "hResult != S_OK");
        goto Exit;
    }
    OK_STEP(kUnit, "CalculateHashandSign");

    hResult = EncapsulatePKCS7(ppCertContext, pszDigestOid, pszSignatureOid, pbMessage, cbMessage,
                               pbSignature, cbSignature, pbstrSignature, &dwTextLength, bWithSource,
                               kBase64NoCrLf);
    if (hResult != S_OK) {
        FAILED_STEP(kUnit, "EncapsulatePKCS7", hResult, "hResult != S_OK");
        goto Exit;
    }
    OK_STEP(kUnit, "EncapsulatePKCS7");

Exit:
    std::free(pbSignature);
    return hResult;
}

HRESULT CalculateHashandSign(PCCERT_CONTEXT* ppCertContext, const BYTE* pbMessage, DWORD cbMessage,
                             ALG_ID algId, BYTE** ppbSignature, DWORD* pcbSignature) {
    TRACE_SCOPE_A();
    HRESULT hResult = S_OK;
    HCRYPTPROV hProv = 0;
    HCRYPTHASH hHash = 0;
    DWORD dwKeySpec = 0;
    BYTE* pbProviderName = nullptr;
    DWORD cbProviderName = 0;
    BYTE* pbSignature = nullptr;
    DWORD cbSignature = 0;

    if (ppCertContext == nullptr || *ppCertContext == nullptr || ppbSignature == nullptr ||
        pcbSignature == nullptr) {
        FAILED_STEP(kUnit, "Check parameter", E_INVALIDARG, "NULL == pCertContext");
        hResult = E_INVALIDARG;
        goto Exit;
    }

    if (!CryptAcquireCertificatePrivateKey(*ppCertContext, 0, nullptr, &hProv, &dwKeySpec,
                                           nullptr)) {
        hResult = LastPlatformError();
        FAILED_STEP(kUnit, "CryptAcquireCertificatePrivateKey", hResult, "FALSE == bRetCode");
        if (FAILED(hResult)) goto Exit;
    } else {
        OK_STEP(kUnit, "CryptAcquireCertificatePrivateKey");
    }

    // Only for the trace: which provider holds the key.
    if (SUCCEEDED(GetProviderInfo(hProv, PP_NAME, &pbProviderName, &cbProviderName)) &&
        pbProviderName != nullptr) {
        TRACE_INFO("CalculateHashandSign: provider %s, key spec %u",
                   reinterpret_cast<const char*>(pbProviderName), dwKeySpec);
    }

    if (!CryptCreateHash(hProv, algId, 0, 0, &hHash)) {
        hResult = LastPlatformError();
        FAILED_STEP(kUnit, "CryptCreateHash", hResult, "FALSE == bRetCode");
        if (FAILED(hResult)) goto Exit;
    } else {
        OK_STEP(kUnit, "CryptCreateHash");
    }

    hResult = HashMessageInPieces(hHash, pbMessage, cbMessage);
    if (FAILED(hResult)) goto Exit;

    hResult = SignHashInTwoCalls(hHash, dwKeySpec, &pbSignature, &cbSignature);
    if (FAILED(hResult)) goto Exit;
    if (cbSignature == 0) {
        // A provider that reports success without a size gives nothing to sign into.
        hResult = E_FAIL;
        FAILED_STEP(kUnit, "CryptSignHash", hResult, "0 == dwSignatureLen");
        goto Exit;
    }

    // The provider hands the signature out least significant byte first; PKCS #1 and the
    // encryptedDigest of RFC 2315 want it most significant first.
    SwapByteOrder(pbSignature, cbSignature);
    *ppbSignature = pbSignature;
    *pcbSignature = cbSignature;
    pbSignature = nullptr;
    hResult = S_OK;

Exit:
    if (hHash != 0) CryptDestroyHash(hHash);
    if (hProv != 0) CryptReleaseContext(hProv, 0);
    std::free(pbProviderName);
    std::free(pbSignature);
    return hResult;
}

HRESULT EncodeObject(const void* pvStructInfo, DWORD* pcbEncoded, CRYPT_STRUCT_TYPE lpszStructType,
                     BYTE** ppbEncoded) {
    HRESULT hResult = S_OK;
    DWORD cbEncoded = 0;
    BYTE* pbEncoded = nullptr;

    if (!CryptEncodeObject(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, lpszStructType, pvStructInfo,
                           nullptr, &cbEncoded)) {
        hResult = LastPlatformError();
        FAILED_STEP(kUnit, "CryptEncodeObject - get length", hResult, "FALSE == bRetCode");
        if (FAILED(hResult)) goto Exit;
        if (cbEncoded == 0) hResult = E_FAIL;
        if (FAILED(hResult)) goto Exit;
    }
    OK_STEP(kUnit, "CryptEncodeObject - get length");

    pbEncoded = static_cast<BYTE*>(std::calloc(cbEncoded, 1));
    if (pbEncoded == nullptr) {
        hResult = E_OUTOFMEMORY;
        FAILED_STEP(kUnit, "New Memory", hResult, "!pbEncoded");
        goto Exit;
    }
    if (!CryptEncodeObject(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, lpszStructType, pvStructInfo,
                           pbEncoded, &cbEncoded)) {
        hResult = LastPlatformError();
        FAILED_STEP(kUnit, "CryptEncodeObject - get value", hResult, "FALSE == bRetCode");
        if (FAILED(hResult)) goto Exit;
        // Failure with no error number: nothing trustworthy was written.
        hResult = E_FAIL;
        goto Exit;
    }
    OK_STEP(kUnit, "CryptEncodeObject - get value");
    *ppbEncoded = pbEncoded;
    *pcbEncoded = cbEncoded;
    pbEncoded = nullptr;
    hResult = S_OK;

Exit:
    std::free(pbEncoded);
    return hResult;
}

HRESULT EncodeDigestAlgorithmIdentifier(const char* pszOid, BYTE** ppbEncoded, DWORD* pcbEncoded) {
    HRESULT hResult = S_OK;
    BYTE* pbEncoded = nullptr;
    DWORD cbEncoded = 0;
    CRYPT_ATTRIBUTE stAttribute = {};
    CRYPT_ALGORITHM_IDENTIFIER stAlgorithm = {};

    // Attribute { oid, SET {} } ends in 31 00, exactly where AlgorithmIdentifier's NULL
    // parameters go; the algorithm-identifier form is the fallback.
    stAttribute.pszObjId = const_cast<char*>(pszOid);
    hResult = EncodeObject(&stAttribute, &cbEncoded, PKCS_ATTRIBUTE, &pbEncoded);
    if (hResult != S_OK) {
        FAILED_STEP(kUnit, "EncodeObject-PKCS_ATTRIBUTE", hResult, "hResult != S_OK");
        std::free(pbEncoded);
        pbEncoded = nullptr;
        stAlgorithm.pszObjId = const_cast<char*>(pszOid);
        hResult = EncodeObject(&stAlgorithm, &cbEncoded, X509_ALGORITHM_IDENTIFIER, &pbEncoded);
        if (hResult != S_OK) {
            FAILED_STEP(kUnit, "EncodeObject", hResult, "hResult != S_OK");
            goto Exit;
        }
    }
    if (cbEncoded < 2) {
        hResult = E_FAIL;
        FAILED_STEP(kUnit, "EncodeObject", hResult, "cbEncoded < 2");
        goto Exit;
    }
    pbEncoded[cbEncoded - 2] = 0x05;
    pbEncoded[cbEncoded - 1] = 0x00;
    *ppbEncoded = pbEncoded;
    *pcbEncoded = cbEncoded;
    pbEncoded = nullptr;

Exit:
    std::free(pbEncoded);
    return hResult;
}

HRESULT HashMessageInPieces(HCRYPTHASH hHash, const BYTE* pbMessage, DWORD cbMessage) {
    HRESULT hResult = S_OK;
    DWORD dwOffset = 0;

    while (cbMessage - dwOffset >= kHashChunkSize) {
        if (!CryptHashData(hHash, pbMessage + dwOffset, kHashChunkSize, 0)) {
            hResult = LastPlatformError();
            FAILED_STEP(kUnit, "CryptHashData", hResult, "FALSE == bRetCode");
            if (FAILED(hResult)) return hResult;
        }
        dwOffset += kHashChunkSize;
    }
    if (cbMessage > dwOffset) {
        if (!CryptHashData(hHash, pbMessage + dwOffset, cbMessage - dwOffset, 0)) {
            hResult = LastPlatformError();
            FAILED_STEP(kUnit, "CryptHashData", hResult, "FALSE == bRetCode");
            if (FAILED(hResult)) return hResult;
        }
    }
    OK_STEP(kUnit, "CryptHashData");
    return S_OK;
}

HRESULT SignHashInTwoCalls(HCRYPTHASH hHash, DWORD dwKeySpec, BYTE** ppbSignature,
                           DWORD* pcbSignature) {
    HRESULT hResult = S_OK;
    BYTE* pbSignature = nullptr;
    DWORD cbSignature = 0;

    if (!CryptSignHashW(hHash, dwKeySpec, nullptr, 0, nullptr, &cbSignature)) {
        hResult = LastPlatformError();
        FAILED_STEP(kUnit, "CryptSignHash", hResult, "FALSE == bRetCode");
        if (FAILED(hResult)) goto Exit;
    }
    if (cbSignature != 0) {
        pbSignature = static_cast<BYTE*>(std::calloc(cbSignature, 1));
        if (pbSignature == nullptr) {
            hResult = E_OUTOFMEMORY;
            FAILED_STEP(kUnit, "New Memory", hResult, "!pbSignature");
            goto Exit;
        }
        if (!CryptSignHashW(hHash, dwKeySpec, nullptr, 0, pbSignature, &cbSignature)) {
            hResult = LastPlatformError();
            FAILED_STEP(kUnit, "CryptSignHash", hResult, "FALSE == bRetCode");
            if (FAILED(hResult)) goto Exit;
        }
    }
    OK_STEP(kUnit, "CryptSignHash");
    *ppbSignature = pbSignature;
    *pcbSignature = cbSignature;
    pbSignature = nullptr;
    hResult = S_OK;

Exit:
    std::free(pbSignature);
    return hResult;
}

HRESULT EncapsulatePKCS7(PCCERT_CONTEXT* ppCertContext, const char* pszDigestOid,
                         const char* pszSignatureOid, const BYTE* pbMessage, DWORD cbMessage,
                         const BYTE* pbSignature, DWORD cbSignature, BSTR* pbstrText,
                         DWORD* pdwTextLength, int bAttach, DWORD dwBase64Flags) {
    TRACE_SCOPE_A();
    return AssembleSignedData(kPkcs7SignedData, ppCertContext, pszDigestOid, pszSignatureOid,
                              pbMessage, cbMessage, pbSignature, cbSignature, pbstrText,
                              pdwTextLength, bAttach, dwBase64Flags);
}

HRESULT AssembleSignedData(const SIGNED_DATA_PROFILE& stProfile, PCCERT_CONTEXT* ppCertContext,
                           const char* pszDigestOid, const char* pszSignatureOid,
                           const BYTE* pbMessage, DWORD cbMessage, const BYTE* pbEncryptedHash,
                           DWORD cbEncryptedHash, BSTR* pbstrText, DWORD* pdwTextLength,
                           int bAttach, DWORD dwBase64Flags) {
    HRESULT hResult = S_OK;
    PCCERT_CONTEXT pCert = nullptr;
    BYTE* pbAlgorithm = nullptr;
    DWORD cbAlgorithm = 0;
    BYTE* pbDigestAlgorithms = nullptr;
    DWORD cbDigestAlgorithms = 0;
    BYTE* pbOctets = nullptr;
    DWORD cbOctets = 0;
    BYTE* pbContentInfo = nullptr;
    DWORD cbContentInfo = 0;
    BYTE* pbCertificates = nullptr;
    DWORD cbCertificates = 0;
    BYTE* pbSignerInfo = nullptr;
    DWORD cbSignerInfo = 0;
    BYTE* pbSignerInfos = nullptr;
    DWORD cbSignerInfos = 0;
    BYTE* pbSignedData = nullptr;
    DWORD cbSignedData = 0;
    BYTE* pbOuter = nullptr;
    DWORD cbOuter = 0;
    char* pszBase64 = nullptr;
    uint32_t dwBase64Length = 0;
    BSTR bstrText = nullptr;
    CRYPT_DATA_BLOB stMessage = {};
    CRYPT_CONTENT_INFO stContentInfo = {};
    CMSG_SIGNER_INFO stSignerInfo = {};
    CRYPT_CONTENT_INFO stOuterInfo = {};

    if (ppCertContext == nullptr || *ppCertContext == nullptr || pbstrText == nullptr) {
        hResult = E_INVALIDARG;
        FAILED_STEP(kUnit, "Check parameter", hResult, "NULL == pCertContext");
        goto Exit;
    }
    pCert = *ppCertContext;

    // digestAlgorithms: SET OF one AlgorithmIdentifier with NULL parameters.
    hResult = EncodeDigestAlgorithmIdentifier(pszDigestOid, &pbAlgorithm, &cbAlgorithm);
    if (hResult != S_OK) goto Exit;
    hResult = ASN1Encode(0x31, pbAlgorithm, static_cast<int32_t>(cbAlgorithm), &pbDigestAlgorithms,
                         &cbDigestAlgorithms);
    if (hResult != S_OK) {
        FAILED_STEP(kUnit, "ASN1Encode(digestAlgorithms SET)", hResult, "hResult != S_OK");
        goto Exit;
    }
    OK_STEP(kUnit, "ASN1Encode(digestAlgorithms SET)");

    // contentInfo: data, with the message as [0] OCTET STRING only when attached; detached
    // signatures leave the content out entirely (RFC 2315, 7).
    if (bAttach != 0) {
        stMessage.cbData = cbMessage;
        stMessage.pbData = const_cast<BYTE*>(pbMessage);
        hResult = EncodeObject(&stMessage, &cbOctets, X509_OCTET_STRING, &pbOctets);
        if (hResult != S_OK) goto Exit;
    }
    stContentInfo.pszObjId = const_cast<char*>(stProfile.pszDataContentOid);
    stContentInfo.Content.cbData = cbOctets;
    stContentInfo.Content.pbData = pbOctets;
    hResult = EncodeObject(&stContentInfo, &cbContentInfo, PKCS_CONTENT_INFO, &pbContentInfo);
    if (hResult != S_OK) goto Exit;

    // certificates [0] IMPLICIT: the signer's certificate only, byte for byte.
    hResult = ASN1Encode(0xA0, pCert->pbCertEncoded, static_cast<int32_t>(pCert->cbCertEncoded),
                         &pbCertificates, &cbCertificates);
    if (hResult != S_OK) {
        FAILED_STEP(kUnit, "ASN1Encode(certificates CONTENT)", hResult, "hResult != S_OK");
        goto Exit;
    }
    OK_STEP(kUnit, "ASN1Encode(certificates CONTENT)");

    // signerInfos: one SignerInfo without attributes.
    stSignerInfo.dwVersion = 1;
    stSignerInfo.Issuer = pCert->pCertInfo->Issuer;
    stSignerInfo.SerialNumber = pCert->pCertInfo->SerialNumber;
    stSignerInfo.HashAlgorithm.pszObjId = const_cast<char*>(pszDigestOid);
    stSignerInfo.HashEncryptionAlgorithm.pszObjId = const_cast<char*>(pszSignatureOid);
    stSignerInfo.EncryptedHash.cbData = cbEncryptedHash;
    stSignerInfo.EncryptedHash.pbData = const_cast<BYTE*>(pbEncryptedHash);
    hResult = stProfile.pfnEncodeSignerInfo(&stSignerInfo, &pbSignerInfo, &cbSignerInfo);
    if (hResult != S_OK) {
        FAILED_STEP(kUnit, stProfile.pszSignerInfoStep, hResult, "hResult != S_OK");
        goto Exit;
    }
    OK_STEP(kUnit, stProfile.pszSignerInfoStep);
    hResult = ASN1Encode(0x31, pbSignerInfo, static_cast<int32_t>(cbSignerInfo), &pbSignerInfos,
                         &cbSignerInfos);
    if (hResult != S_OK) {
        FAILED_STEP(kUnit, "ASN1Encode(SignerInfo SET)", hResult, "hResult != S_OK");
        goto Exit;
    }
    OK_STEP(kUnit, "ASN1Encode(SignerInfo SET)");

    // SignedData ::= SEQUENCE { version, digestAlgorithms, contentInfo, certificates,
    // signerInfos } (RFC 2315, 9.1; no crls).
    hResult = ASN1EncodePieces(0x30,
                               {{kVersionOne, sizeof kVersionOne},
                                {pbDigestAlgorithms, cbDigestAlgorithms},
                                {pbContentInfo, cbContentInfo},
                                {pbCertificates, cbCertificates},
                                {pbSignerInfos, cbSignerInfos}},
                               &pbSignedData, &cbSignedData);
    if (hResult != S_OK) {
        FAILED_STEP(kUnit, "ASN1Encode(All data SEQUENCE)", hResult, "hResult != S_OK");
        goto Exit;
    }
    OK_STEP(kUnit, "ASN1Encode(All data SEQUENCE)");

    stOuterInfo.pszObjId = const_cast<char*>(stProfile.pszSignedDataContentOid);
    stOuterInfo.Content.cbData = cbSignedData;
    stOuterInfo.Content.pbData = pbSignedData;
    hResult = EncodeObject(&stOuterInfo, &cbOuter, PKCS_CONTENT_INFO, &pbOuter);
    if (hResult != S_OK) goto Exit;

    hResult = Base64EncodeEx(dwBase64Flags, &pszBase64, pbOuter, cbOuter, &dwBase64Length);
    if (hResult != S_OK || pszBase64 == nullptr) {
        if (hResult == S_OK) hResult = E_OUTOFMEMORY;
        FAILED_STEP(kUnit, "Base64EncodeEx", hResult, "FAILED(hResult)");
        goto Exit;
    }
    // Base64 is ASCII, so widening is one unit per character.
    bstrText = SysAllocStringLen(nullptr, dwBase64Length);
    if (bstrText == nullptr) {
        hResult = E_OUTOFMEMORY;
        FAILED_STEP(kUnit, "New Memory", hResult, "!bstrText");
        goto Exit;
    }
    Utf8ToUtf16(std::string_view(pszBase64, dwBase64Length), bstrText);
    bstrText[dwBase64Length] = 0;
    *pbstrText = bstrText;
    bstrText = nullptr;
    if (pdwTextLength != nullptr) *pdwTextLength = dwBase64Length;

Exit:
    SysFreeString(bstrText);
    std::free(pszBase64);
    std::free(pbOuter);
    std::free(pbSignedData);
    std::free(pbSignerInfos);
    std::free(pbSignerInfo);
    std::free(pbCertificates);
    std::free(pbContentInfo);
    std::free(pbOctets);
    std::free(pbDigestAlgorithms);
    std::free(pbAlgorithm);
    return hResult;
}
