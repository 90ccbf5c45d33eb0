#include "signing/SM2Signing.h"

#include <cstdlib>
#include <cstring>

#include "common/Conversions.h"
#include "common/ResultCodes.h"
#include "common/Trace.h"
#include "platform/runtime/LastError.h"
#include "signing/ASN1Encode.h"
#include "signing/RSASigning.h"

static constexpr char kUnit[] = "SM2Signing";

namespace {

constexpr char kSm3DigestOid[] = "1.2.156.10197.1.401";

// r || s as the providers hand it out: two 32-byte values (GM/T 0003 over the 256-bit curve).
constexpr DWORD kSm2CoordinateSize = 32;
constexpr DWORD kSm2RawSignatureSize = 2 * kSm2CoordinateSize;

// version INTEGER 1 of SignerInfo (RFC 2315, 9.2)
constexpr BYTE kVersionOne[] = {0x02, 0x01, 0x01};

HRESULT LastPlatformError() { return HRESULT_FROM_WIN32(GetLastError()); }

constexpr SIGNED_DATA_PROFILE kSm2SignedData = {
    "1.2.156.10197.6.1.4.2.1",  // GM/T 0010 data
    "1.2.156.10197.6.1.4.2.2",  // GM/T 0010 signedData
    SM2EncodeSignerInfo,
    "SM2EncodeSignerInfo",
};

// One signature value as a DER INTEGER. X.690 8.3.2 wants the shortest form: leading zero bytes
// go, and a single 00 is put back only before a byte whose top bit is set, so the value stays
// positive. Strict verifiers re-encode the signature and reject any other form. A value of zero
// keeps one byte (02 01 00).
HRESULT EncodeSignatureInteger(const BYTE* pbValue, const char* pszPaddedStep,
                               const char* pszPlainStep, BYTE** ppbElement, DWORD* pcbElement) {
    HRESULT hResult = S_OK;
    BYTE abPadded[kSm2CoordinateSize + 1] = {};
    DWORD dwStart = 0;

    while (dwStart + 1 < kSm2CoordinateSize && pbValue[dwStart] == 0) ++dwStart;
    const DWORD cbValue = kSm2CoordinateSize - dwStart;
    if ((pbValue[dwStart] & 0x80) != 0) {
        std::memcpy(abPadded + 1, pbValue + dwStart, cbValue);
        hResult =
            ASN1Encode(0x02, abPadded, static_cast<int32_t>(cbValue + 1), ppbElement, pcbElement);
        if (hResult != S_OK) {
            FAILED_STEP(kUnit, pszPaddedStep, hResult, "hResult != S_OK");
            return hResult;
        }
        OK_STEP(kUnit, pszPaddedStep);
        return S_OK;
    }
    hResult =
        ASN1Encode(0x02, pbValue + dwStart, static_cast<int32_t>(cbValue), ppbElement, pcbElement);
    if (hResult != S_OK) {
        FAILED_STEP(kUnit, pszPlainStep, hResult, "hResult != S_OK");
        return hResult;
    }
    OK_STEP(kUnit, pszPlainStep);
    return S_OK;
}

}  // namespace

HRESULT SM2SignBinaryDatabyUnregisteredCert(const UNREGISTERED_CERT_CONTEXT* pContext,
                                            const BYTE* pbMessage, DWORD cbMessage, int bWithSource,
                                            const char* pszSignatureOid, BSTR* pbstrSignature) {
    TRACE_SCOPE_A();
    HRESULT hResult = S_OK;
    BYTE* pbSignature = nullptr;
    DWORD cbSignature = 0;
    BYTE* pbEncryptedDigest = nullptr;
    DWORD cbEncryptedDigest = 0;
    DWORD dwTextLength = 0;
    PCCERT_CONTEXT pCertContext = nullptr;

    if (pContext == nullptr || pContext->pCertContext == nullptr) {
        hResult = E_INVALIDARG;
        FAILED_STEP(kUnit, "Check parameter", hResult, "NULL == pContext");
        goto Exit;
    }

    hResult = SM2CalculateHashandSignbyUnregisteredCert(pContext, pbMessage, cbMessage,
                                                        &pbSignature, &cbSignature);
    if (hResult != S_OK) {
        FAILED_STEP(kUnit, "SM2CalculateHashandSignbyUnregisteredCert", hResult, "hResult != S_OK");
        goto Exit;
    }
    OK_STEP(kUnit, "SM2CalculateHashandSignbyUnregisteredCert");

    hResult =
        SM2EncodeRawSignature(&pbEncryptedDigest, &cbEncryptedDigest, pbSignature, cbSignature);
    if (hResult != S_OK) {
        FAILED_STEP(kUnit, "SM2EncodeRawSignature", hResult, "hResult != S_OK");
        goto Exit;
    }
    OK_STEP(kUnit, "SM2EncodeRawSignature");

    pCertContext = pContext->pCertContext;
    hResult = SM2EncapsulatePKCS7(&pCertContext, kSm3DigestOid, pszSignatureOid, pbMessage,
                                  cbMessage, pbEncryptedDigest, cbEncryptedDigest, pbstrSignature,
                                  &dwTextLength, bWithSource, kBase64NoCrLf);
    if (hResult != S_OK) {
        FAILED_STEP(kUnit, "SM2EncapsulatePKCS7", hResult, "hResult != S_OK");
        goto Exit;
    }
    OK_STEP(kUnit, "SM2EncapsulatePKCS7");

Exit:
    std::free(pbEncryptedDigest);
    std::free(pbSignature);
    return hResult;
}

HRESULT SM2CalculateHashandSignbyUnregisteredCert(const UNREGISTERED_CERT_CONTEXT* pContext,
                                                  const BYTE* pbMessage, DWORD cbMessage,
                                                  BYTE** ppbSignature, DWORD* pcbSignature) {
    TRACE_SCOPE_A();
    HRESULT hResult = S_OK;
    HCRYPTPROV hProv = 0;
    HCRYPTHASH hHash = 0;
    BYTE* pbDigest = nullptr;
    DWORD cbDigest = 0;
    char16_t* pwszDigestText = nullptr;
    BYTE* pbSignature = nullptr;
    DWORD cbSignature = 0;

    if (pContext == nullptr || ppbSignature == nullptr || pcbSignature == nullptr) {
        hResult = E_INVALIDARG;
        FAILED_STEP(kUnit, "Check parameter", hResult, "NULL == pContext");
        goto Exit;
    }
    if (pContext->wszProviderName[0] == 0 || pContext->wszContainerName[0] == 0) {
        // Not refused here: opening the container then fails, and that failure is reported.
        TRACE_ERROR("SM2CalculateHashandSignbyUnregisteredCert: empty provider or container name");
    }

    // Every SM2 provider is opened as PROV_RSA_FULL. The result is not looked at: when the
    // container cannot be opened, creating the hash fails and that code is the one reported.
    if (!CryptAcquireContextW(&hProv, pContext->wszContainerName, pContext->wszProviderName,
                              PROV_RSA_FULL, 0)) {
        TRACE_ERROR("SM2CalculateHashandSignbyUnregisteredCert: CryptAcquireContext failed (%u)",
                    GetLastError());
    }

    // The providers' SM3, whatever digest the request named; the Z value of the signer's
    // identity and public key (GM/T 0003.2) is the provider's business.
    if (!CryptCreateHash(hProv, CALG_SM3, 0, 0, &hHash)) {
        hResult = LastPlatformError();
        FAILED_STEP(kUnit, "CryptCreateHash", hResult, "FALSE == bRetCode");
        if (FAILED(hResult)) goto Exit;
    } else {
        OK_STEP(kUnit, "CryptCreateHash");
    }

    hResult = HashMessageInPieces(hHash, pbMessage, cbMessage);
    if (FAILED(hResult)) goto Exit;

    // The digest only goes to the trace, but a provider that cannot hand it out ends the
    // operation.
    if (!CryptGetHashParam(hHash, HP_HASHVAL, nullptr, &cbDigest, 0)) {
        hResult = LastPlatformError();
        FAILED_STEP(kUnit, "CryptGetHashParam", hResult, "FALSE == bRetCode");
        if (FAILED(hResult)) goto Exit;
    }
    if (cbDigest == 0) {
        hResult = E_FAIL;
        FAILED_STEP(kUnit, "CryptGetHashParam", hResult, "0 == dwHashLen");
        goto Exit;
    }
    pbDigest = static_cast<BYTE*>(std::calloc(cbDigest, 1));
    if (pbDigest == nullptr) {
        hResult = E_OUTOFMEMORY;
        FAILED_STEP(kUnit, "New Memory", hResult, "!pbDigest");
        goto Exit;
    }
    if (!CryptGetHashParam(hHash, HP_HASHVAL, pbDigest, &cbDigest, 0)) {
        hResult = LastPlatformError();
        FAILED_STEP(kUnit, "CryptGetHashParam", hResult, "FALSE == bRetCode");
        if (FAILED(hResult)) goto Exit;
    }
    OK_STEP(kUnit, "CryptGetHashParam");
    hResult = ConvertBinaryDataToString(&pwszDigestText, cbDigest, pbDigest, 0);
    if (FAILED(hResult)) {
        FAILED_STEP(kUnit, "FormatStringFromData", hResult, "FAILED(hResult)");
        goto Exit;
    }
    OK_STEP(kUnit, "FormatStringFromData");
    TRACE_INFO("SM2CalculateHashandSignbyUnregisteredCert: digest %s",
               trace::Text(pwszDigestText).c_str());

    hResult = SignHashInTwoCalls(hHash, pContext->dwKeySpec, &pbSignature, &cbSignature);
    if (FAILED(hResult)) goto Exit;

    // Anything but r || s (a DER signature, a padded blob) cannot be placed into the INTEGERs.
    if (cbSignature != kSm2RawSignatureSize) {
        hResult = HRESULT_INVALID_DATA;
        FAILED_STEP(kUnit, "Check SM2 raw signature size", hResult, "64 != dwSignatureLen");
        goto Exit;
    }
    OK_STEP(kUnit, "Check SM2 raw signature size");

    // The provider hands out r and s each least significant byte first; each half turns round
    // on its own.
    SwapByteOrder(pbSignature, kSm2CoordinateSize);
    SwapByteOrder(pbSignature + kSm2CoordinateSize, kSm2CoordinateSize);
    *ppbSignature = pbSignature;
    *pcbSignature = cbSignature;
    pbSignature = nullptr;
    hResult = S_OK;

Exit:
    std::free(pbSignature);
    std::free(pwszDigestText);
    std::free(pbDigest);
    if (hHash != 0) CryptDestroyHash(hHash);
    if (hProv != 0) CryptReleaseContext(hProv, 0);
    return hResult;
}

HRESULT SM2EncodeRawSignature(BYTE** ppbEncoded, DWORD* pcbEncoded, const BYTE* pbSignature,
                              DWORD cbSignature) {
    TRACE_SCOPE_A();
    HRESULT hResult = S_OK;
    BYTE* pbR = nullptr;
    DWORD cbR = 0;
    BYTE* pbS = nullptr;
    DWORD cbS = 0;
    BYTE* pbSequence = nullptr;
    DWORD cbSequence = 0;

    if (pbSignature == nullptr || cbSignature != kSm2RawSignatureSize || ppbEncoded == nullptr ||
        pcbEncoded == nullptr) {
        hResult = HRESULT_INVALID_DATA;
        FAILED_STEP(kUnit, "Check SM2 raw signature size", hResult, "64 != dwSignatureLen");
        goto Exit;
    }
    OK_STEP(kUnit, "Check SM2 raw signature size");

    hResult = EncodeSignatureInteger(pbSignature, "ASN1Encode(1)", "ASN1Encode(2)", &pbR, &cbR);
    if (hResult != S_OK) goto Exit;
    hResult = EncodeSignatureInteger(pbSignature + kSm2CoordinateSize, "ASN1Encode(3)",
                                     "ASN1Encode(4)", &pbS, &cbS);
    if (hResult != S_OK) goto Exit;

    // SM2Signature ::= SEQUENCE { r INTEGER, s INTEGER } (GM/T 0009), inside the OCTET STRING
    // of encryptedDigest.
    hResult = ASN1EncodePieces(0x30, {{pbR, cbR}, {pbS, cbS}}, &pbSequence, &cbSequence);
    if (hResult != S_OK) {
        FAILED_STEP(kUnit, "ASN1Encode(6)", hResult, "hResult != S_OK");
        goto Exit;
    }
    OK_STEP(kUnit, "ASN1Encode(6)");
    hResult =
        ASN1Encode(0x04, pbSequence, static_cast<int32_t>(cbSequence), ppbEncoded, pcbEncoded);
    if (hResult != S_OK) {
        FAILED_STEP(kUnit, "ASN1Encode(7)", hResult, "hResult != S_OK");
        goto Exit;
    }
    OK_STEP(kUnit, "ASN1Encode(7)");

Exit:
    std::free(pbSequence);
    std::free(pbS);
    std::free(pbR);
    return hResult;
}

HRESULT SM2EncodeOID(const char* pszOid, BYTE** ppbEncoded, DWORD* pcbEncoded) {
    // The same AlgorithmIdentifier { oid, NULL } as the RSA digestAlgorithms entry.
    return EncodeDigestAlgorithmIdentifier(pszOid, ppbEncoded, pcbEncoded);
}

HRESULT SM2EncodeSignerInfo(const CMSG_SIGNER_INFO* pSignerInfo, BYTE** ppbEncoded,
                            DWORD* pcbEncoded) {
    TRACE_SCOPE_A();
    HRESULT hResult = S_OK;
    BYTE* pbSerial = nullptr;
    BYTE* pbSerialInteger = nullptr;
    DWORD cbSerialInteger = 0;
    BYTE* pbCertInfo = nullptr;
    DWORD cbCertInfo = 0;
    BYTE* pbHashAlgorithm = nullptr;
    DWORD cbHashAlgorithm = 0;
    BYTE* pbHashEncryptionAlgorithm = nullptr;
    DWORD cbHashEncryptionAlgorithm = 0;

    if (pSignerInfo == nullptr || pSignerInfo->SerialNumber.pbData == nullptr ||
        pSignerInfo->SerialNumber.cbData == 0 || ppbEncoded == nullptr || pcbEncoded == nullptr) {
        hResult = E_INVALIDARG;
        FAILED_STEP(kUnit, "Check parameter", hResult, "NULL == pSignerInfo");
        goto Exit;
    }

    // The serial number as it stands in the certificate, most significant byte first: the blob
    // keeps its content bytes reversed, a leading 00 included, so nothing is added or dropped.
    pbSerial = static_cast<BYTE*>(std::calloc(pSignerInfo->SerialNumber.cbData, 1));
    if (pbSerial == nullptr) {
        hResult = E_OUTOFMEMORY;
        FAILED_STEP(kUnit, "New Memory", hResult, "!pbSerial");
        goto Exit;
    }
    std::memcpy(pbSerial, pSignerInfo->SerialNumber.pbData, pSignerInfo->SerialNumber.cbData);
    SwapByteOrder(pbSerial, pSignerInfo->SerialNumber.cbData);
    hResult = ASN1Encode(0x02, pbSerial, static_cast<int32_t>(pSignerInfo->SerialNumber.cbData),
                         &pbSerialInteger, &cbSerialInteger);
    if (hResult != S_OK) {
        FAILED_STEP(kUnit, "ASN1Encode(SerialNumber)", hResult, "hResult != S_OK");
        goto Exit;
    }
    OK_STEP(kUnit, "ASN1Encode(SerialNumber)");

    // IssuerAndSerialNumber ::= SEQUENCE { issuer Name, serialNumber INTEGER } (RFC 2315, 6.7),
    // the issuer exactly as encoded in the certificate.
    hResult = ASN1EncodePieces(0x30,
                               {{pSignerInfo->Issuer.pbData, pSignerInfo->Issuer.cbData},
                                {pbSerialInteger, cbSerialInteger}},
                               &pbCertInfo, &cbCertInfo);
    if (hResult != S_OK) {
        FAILED_STEP(kUnit, "ASN1Encode(CertInfo)", hResult, "hResult != S_OK");
        goto Exit;
    }
    OK_STEP(kUnit, "ASN1Encode(CertInfo)");

    hResult = SM2EncodeOID(pSignerInfo->HashAlgorithm.pszObjId, &pbHashAlgorithm, &cbHashAlgorithm);
    if (hResult != S_OK) {
        FAILED_STEP(kUnit, "SM2EncodeOID(HashAlgorithm)", hResult, "hResult != S_OK");
        goto Exit;
    }
    OK_STEP(kUnit, "SM2EncodeOID(HashAlgorithm)");
    hResult = SM2EncodeOID(pSignerInfo->HashEncryptionAlgorithm.pszObjId,
                           &pbHashEncryptionAlgorithm, &cbHashEncryptionAlgorithm);
    if (hResult != S_OK) {
        FAILED_STEP(kUnit, "SM2EncodeOID(HashEncryptionAlgorithm)", hResult, "hResult != S_OK");
        goto Exit;
    }
    OK_STEP(kUnit, "SM2EncodeOID(HashEncryptionAlgorithm)");

    // SignerInfo ::= SEQUENCE { version, issuerAndSerialNumber, digestAlgorithm,
    // digestEncryptionAlgorithm, encryptedDigest } (RFC 2315, 9.2; no attributes).
    hResult =
        ASN1EncodePieces(0x30,
                         {{kVersionOne, sizeof kVersionOne},
                          {pbCertInfo, cbCertInfo},
                          {pbHashAlgorithm, cbHashAlgorithm},
                          {pbHashEncryptionAlgorithm, cbHashEncryptionAlgorithm},
                          {pSignerInfo->EncryptedHash.pbData, pSignerInfo->EncryptedHash.cbData}},
                         ppbEncoded, pcbEncoded);
    if (hResult != S_OK) {
        FAILED_STEP(kUnit, "ASN1Encode(SignerInfo)", hResult, "hResult != S_OK");
        goto Exit;
    }
    OK_STEP(kUnit, "ASN1Encode(SignerInfo)");

Exit:
    std::free(pbHashEncryptionAlgorithm);
    std::free(pbHashAlgorithm);
    std::free(pbCertInfo);
    std::free(pbSerialInteger);
    std::free(pbSerial);
    return hResult;
}

HRESULT SM2EncapsulatePKCS7(PCCERT_CONTEXT* ppCertContext, const char* pszDigestOid,
                            const char* pszSignatureOid, const BYTE* pbMessage, DWORD cbMessage,
                            const BYTE* pbEncryptedDigest, DWORD cbEncryptedDigest, BSTR* pbstrText,
                            DWORD* pdwTextLength, int bAttach, DWORD dwBase64Flags) {
    TRACE_SCOPE_A();
    return AssembleSignedData(kSm2SignedData, ppCertContext, pszDigestOid, pszSignatureOid,
                              pbMessage, cbMessage, pbEncryptedDigest, cbEncryptedDigest, pbstrText,
                              pdwTextLength, bAttach, dwBase64Flags);
}
