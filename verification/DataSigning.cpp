#include "verification/DataSigning.h"

#include <openssl/core_names.h>
#include <openssl/ecdsa.h>

#include <cstdlib>
#include <cstring>

#include "common/Conversions.h"
#include "common/ResultCodes.h"
#include "common/Trace.h"
#include "common/OpenSslPtr.h"
#include "verification/PKCS7SignedDataOperations.h"
#include "verification/SMFileCertOperations.h"
#include "verification/VerifyCommon.h"

static constexpr char kUnit[] = "DataSigning";

namespace {

constexpr int kSM3DigestSize = 32;
constexpr int kSM2CoordinateSize = 32;

// GM/T 0009 default user identity and its length in bits (ENTL), big-endian.
constexpr uint8_t kDefaultUserId[] = {'1', '2', '3', '4', '5', '6', '7', '8',
                                      '1', '2', '3', '4', '5', '6', '7', '8'};
constexpr uint8_t kDefaultUserIdBits[] = {0x00, 0x80};

// The GM/T 0003.5 recommended 256-bit curve: a, b and the base point G.
constexpr uint8_t kCurveA[] = {0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                               0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00,
                               0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC};
constexpr uint8_t kCurveB[] = {0x28, 0xE9, 0xFA, 0x9E, 0x9D, 0x9F, 0x5E, 0x34, 0x4D, 0x5A, 0x9E,
                               0x4B, 0xCF, 0x65, 0x09, 0xA7, 0xF3, 0x97, 0x89, 0xF5, 0x15, 0xAB,
                               0x8F, 0x92, 0xDD, 0xBC, 0xBD, 0x41, 0x4D, 0x94, 0x0E, 0x93};
constexpr uint8_t kCurveGx[] = {0x32, 0xC4, 0xAE, 0x2C, 0x1F, 0x19, 0x81, 0x19, 0x5F, 0x99, 0x04,
                                0x46, 0x6A, 0x39, 0xC9, 0x94, 0x8F, 0xE3, 0x0B, 0xBF, 0xF2, 0x66,
                                0x0B, 0xE1, 0x71, 0x5A, 0x45, 0x89, 0x33, 0x4C, 0x74, 0xC7};
constexpr uint8_t kCurveGy[] = {0xBC, 0x37, 0x36, 0xA2, 0xF4, 0xF6, 0x77, 0x9C, 0x59, 0xBD, 0xCE,
                                0xE3, 0x6B, 0x69, 0x21, 0x53, 0xD0, 0xA9, 0x87, 0x7C, 0xC6, 0x2A,
                                0x47, 0x40, 0x02, 0xDF, 0x32, 0xE5, 0x21, 0x39, 0xF0, 0xA0};

// Z = SM3(ENTL || ID || a || b || xG || yG || xA || yA), GM/T 0003.2 section 5.5.
bool _SM2_CalculateDefaultZValue(const uint8_t* pbyX, const uint8_t* pbyY, uint8_t* pbyZ) {
    EvpMdCtxPtr pCtx(EVP_MD_CTX_new());
    unsigned int nZSize = 0;
    return pCtx && EVP_DigestInit_ex(pCtx.get(), EVP_sm3(), nullptr) == 1 &&
           EVP_DigestUpdate(pCtx.get(), kDefaultUserIdBits, sizeof kDefaultUserIdBits) == 1 &&
           EVP_DigestUpdate(pCtx.get(), kDefaultUserId, sizeof kDefaultUserId) == 1 &&
           EVP_DigestUpdate(pCtx.get(), kCurveA, sizeof kCurveA) == 1 &&
           EVP_DigestUpdate(pCtx.get(), kCurveB, sizeof kCurveB) == 1 &&
           EVP_DigestUpdate(pCtx.get(), kCurveGx, sizeof kCurveGx) == 1 &&
           EVP_DigestUpdate(pCtx.get(), kCurveGy, sizeof kCurveGy) == 1 &&
           EVP_DigestUpdate(pCtx.get(), pbyX, kSM2CoordinateSize) == 1 &&
           EVP_DigestUpdate(pCtx.get(), pbyY, kSM2CoordinateSize) == 1 &&
           EVP_DigestFinal_ex(pCtx.get(), pbyZ, &nZSize) == 1 && nZSize == kSM3DigestSize;
}

// The public key (X, Y) as an SM2 key object: uncompressed point 04 || X || Y (SEC 1).
EvpPkeyPtr MakeSM2PublicKey(const uint8_t* pbyX, const uint8_t* pbyY) {
    uint8_t abyPoint[1 + 2 * kSM2CoordinateSize];
    abyPoint[0] = 0x04;
    std::memcpy(abyPoint + 1, pbyX, kSM2CoordinateSize);
    std::memcpy(abyPoint + 1 + kSM2CoordinateSize, pbyY, kSM2CoordinateSize);
    ParamBldPtr pBuilder(OSSL_PARAM_BLD_new());
    if (!pBuilder ||
        OSSL_PARAM_BLD_push_utf8_string(pBuilder.get(), OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0) !=
            1 ||
        OSSL_PARAM_BLD_push_octet_string(pBuilder.get(), OSSL_PKEY_PARAM_PUB_KEY, abyPoint,
                                         sizeof abyPoint) != 1)
        return nullptr;
    ParamPtr pParams(OSSL_PARAM_BLD_to_param(pBuilder.get()));
    EvpPkeyCtxPtr pCtx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
    EVP_PKEY* pKey = nullptr;
    if (!pParams || !pCtx || EVP_PKEY_fromdata_init(pCtx.get()) != 1 ||
        EVP_PKEY_fromdata(pCtx.get(), &pKey, EVP_PKEY_PUBLIC_KEY, pParams.get()) != 1)
        return nullptr;
    return EvpPkeyPtr(pKey);
}

// SM2 verification of (r, s) over an already computed digest e (GM/T 0003.2 section 7.1).
bool SM2_verify_ex(const uint8_t* pbyDigest, const uint8_t* pbyRawSignatureRS, const uint8_t* pbyX,
                   const uint8_t* pbyY) {
    EvpPkeyPtr pKey = MakeSM2PublicKey(pbyX, pbyY);
    EcdsaSigPtr pSig(ECDSA_SIG_new());
    if (!pKey || !pSig) return false;
    BignumPtr pR(BN_bin2bn(pbyRawSignatureRS, kSM2CoordinateSize, nullptr));
    BignumPtr pS(BN_bin2bn(pbyRawSignatureRS + kSM2CoordinateSize, kSM2CoordinateSize, nullptr));
    if (!pR || !pS || ECDSA_SIG_set0(pSig.get(), pR.get(), pS.get()) != 1) return false;
    pR.release();  // owned by the signature now
    pS.release();
    unsigned char* pbyEncoded = nullptr;
    const int nDERSigSize = i2d_ECDSA_SIG(pSig.get(), &pbyEncoded);
    OpenSslBytesPtr pbyDERSig(pbyEncoded);
    if (nDERSigSize <= 0) return false;
    EvpPkeyCtxPtr pCtx(EVP_PKEY_CTX_new(pKey.get(), nullptr));
    return pCtx && EVP_PKEY_verify_init(pCtx.get()) == 1 &&
           EVP_PKEY_verify(pCtx.get(), pbyDERSig.get(), static_cast<size_t>(nDERSigSize), pbyDigest,
                           kSM3DigestSize) == 1;
}

}  // namespace

int CalculateSM3Hash(const uint8_t* pbyY, uint8_t* pbyDigest, const uint8_t* pbyX,
                     const uint8_t* pbyMessage, int nMessageSize) {
    TRACE_SCOPE_A();
    uint8_t abyZ[kSM3DigestSize] = {};
    unsigned int nDigestSize = 0;
    EvpMdCtxPtr pCtx(EVP_MD_CTX_new());
    if (!pCtx || EVP_DigestInit_ex(pCtx.get(), EVP_sm3(), nullptr) != 1) {
        FAILED_STEP(kUnit, "SM3_Init", kVerifyFailed, "nResult != 1");
        return kVerifyFailed;
    }
    OK_STEP(kUnit, "SM3_Init");
    if (pbyX == nullptr || pbyY == nullptr || pbyDigest == nullptr ||
        !_SM2_CalculateDefaultZValue(pbyX, pbyY, abyZ)) {
        FAILED_STEP(kUnit, "_SM2_CalculateDefaultZValue", kVerifyFailed, "nResult != 1");
        return kVerifyFailed;
    }
    OK_STEP(kUnit, "_SM2_CalculateDefaultZValue");
    if (EVP_DigestUpdate(pCtx.get(), abyZ, sizeof abyZ) != 1) {
        FAILED_STEP(kUnit, "SM3_Update(Z)", kVerifyFailed, "nResult != 1");
        return kVerifyFailed;
    }
    OK_STEP(kUnit, "SM3_Update(Z)");
    // An empty message is allowed: the digest is then SM3(Z).
    if (nMessageSize < 0 || (nMessageSize > 0 && pbyMessage == nullptr) ||
        EVP_DigestUpdate(pCtx.get(), pbyMessage, static_cast<size_t>(nMessageSize)) != 1) {
        FAILED_STEP(kUnit, "SM3_Update(Source)", kVerifyFailed, "nResult != 1");
        return kVerifyFailed;
    }
    OK_STEP(kUnit, "SM3_Update(Source)");
    if (EVP_DigestFinal_ex(pCtx.get(), pbyDigest, &nDigestSize) != 1) {
        FAILED_STEP(kUnit, "SM3_Final", kVerifyFailed, "nResult != 1");
        return kVerifyFailed;
    }
    OK_STEP(kUnit, "SM3_Final");
    return VELK_OK;
}

int VerifySignature_Raw(const uint8_t* pbyY, const uint8_t* pbyMessage, int nMessageSize,
                        const uint8_t* pbyX, const uint8_t* pbyRawSignatureRS,
                        int nRawSignatureRSSize) {
    TRACE_SCOPE_A();
    if (NULL == pbyRawSignatureRS || SM2_RAW_RS_SIZE != nRawSignatureRSSize) {
        FAILED_STEP(kUnit, "Check SM2 raw signature size", ERROR_INVALID_PARAMETER,
                    "(NULL == pbyRawSignatureRS || SM2_RAW_RS_SIZE != nRawSignatureRSSize)");
        return static_cast<int>(ERROR_INVALID_PARAMETER);
    }
    OK_STEP(kUnit, "Check SM2 raw signature size");
    uint8_t abyDigest[kSM3DigestSize] = {};
    const int nResult = CalculateSM3Hash(pbyY, abyDigest, pbyX, pbyMessage, nMessageSize);
    if (VELK_OK != nResult) {
        FAILED_STEP(kUnit, "CalculateSM3Hash", nResult, "VELK_OK != nResult");
        return nResult;
    }
    OK_STEP(kUnit, "CalculateSM3Hash");
    if (!SM2_verify_ex(abyDigest, pbyRawSignatureRS, pbyX, pbyY)) {
        FAILED_STEP_OPENSSL(kUnit, "SM2_verify_ex", kVerifyFailed, "1 != nResult");
        return kVerifyFailed;
    }
    OK_STEP(kUnit, "SM2_verify_ex");
    return VELK_OK;
}

namespace {

// The signer's public key from the certificate, then r || s over the content.
int VerifyWithCertificate(const uint8_t* pbyCert, int nCertSize, const uint8_t* pbySourceData,
                          int nSourceDataSize, const uint8_t* pbyRawSignature,
                          int nRawSignatureSize) {
    int nResult = VELK_OK;
    uint8_t* pbyX = nullptr;
    uint8_t* pbyY = nullptr;
    int nXSize = 0;
    int nYSize = 0;

    nResult = GetPublicKeyXYFromSM2Cert(&pbyX, &nXSize, pbyCert, nCertSize, &pbyY, &nYSize);
    if (VELK_OK != nResult) {
        FAILED_STEP(kUnit, "GetPublicKeyXYFromSM2Cert", nResult, "VELK_OK != nResult");
        goto Exit;
    }
    OK_STEP(kUnit, "GetPublicKeyXYFromSM2Cert");
    nResult = VerifySignature_Raw(pbyY, pbySourceData, nSourceDataSize, pbyX, pbyRawSignature,
                                  nRawSignatureSize);
    if (VELK_OK != nResult) {
        FAILED_STEP(kUnit, "VerifySignature_Raw", nResult, "VELK_OK != nResult");
        goto Exit;
    }
    OK_STEP(kUnit, "VerifySignature_Raw");

Exit:
    std::free(pbyX);
    std::free(pbyY);
    return nResult;
}

}  // namespace

int VerifySignature_DERPKCS7Attached(uint8_t** ppbySourceData, int* pnSourceDataSize,
                                     const uint8_t* pbyDER, int nDERSize, uint8_t** ppbyCert,
                                     int* pnCertSize) {
    TRACE_SCOPE_A();
    int nResult = VELK_OK;
    uint8_t* pbyCert = nullptr;
    uint8_t* pbyRawSignature = nullptr;
    uint8_t* pbySourceData = nullptr;
    int nCertSize = 0;
    int nRawSignatureSize = 0;
    int nSourceDataSize = 0;

    nResult = ParsePKCS7Signature(&pbyCert, &nCertSize, pbyDER, nDERSize, &pbyRawSignature,
                                  &nRawSignatureSize, &pbySourceData, &nSourceDataSize);
    if (VELK_OK != nResult) {
        FAILED_STEP(kUnit, "ParsePKCS7Signature", nResult, "VELK_OK != nResult");
        goto Exit;
    }
    OK_STEP(kUnit, "ParsePKCS7Signature");
    if (NULL == pbySourceData || 0 == nSourceDataSize) {
        FAILED_STEP(kUnit, "Check P7 is source attached?", VELK_E_INVALID_PKCS7_FORMAT,
                    "NULL == pbySourceData || 0 == nSourceDataSize");
        nResult = VELK_E_INVALID_PKCS7_FORMAT;
        goto Exit;
    }
    OK_STEP(kUnit, "Check P7 is source attached?");
    nResult = VerifyWithCertificate(pbyCert, nCertSize, pbySourceData, nSourceDataSize,
                                    pbyRawSignature, nRawSignatureSize);
    if (VELK_OK != nResult) goto Exit;

    HandOut(ppbySourceData, pbySourceData);
    if (pnSourceDataSize != nullptr) *pnSourceDataSize = nSourceDataSize;
    HandOut(ppbyCert, pbyCert);
    if (pnCertSize != nullptr) *pnCertSize = nCertSize;

Exit:
    std::free(pbyCert);
    std::free(pbyRawSignature);
    std::free(pbySourceData);
    return nResult;
}

int VerifySignature_DERPKCS7Detached(const uint8_t* pbySourceData, uint8_t** ppbyCert,
                                     const uint8_t* pbyDER, int nDERSize, int nSourceDataSize,
                                     int* pnCertSize) {
    TRACE_SCOPE_A();
    int nResult = VELK_OK;
    uint8_t* pbyCert = nullptr;
    uint8_t* pbyRawSignature = nullptr;
    uint8_t* pbyP7SourceData = nullptr;
    int nCertSize = 0;
    int nRawSignatureSize = 0;
    int nP7SourceDataSize = 0;

    nResult = ParsePKCS7Signature(&pbyCert, &nCertSize, pbyDER, nDERSize, &pbyRawSignature,
                                  &nRawSignatureSize, &pbyP7SourceData, &nP7SourceDataSize);
    if (VELK_OK != nResult) {
        FAILED_STEP(kUnit, "ParsePKCS7Signature", nResult, "VELK_OK != nResult");
        goto Exit;
    }
    OK_STEP(kUnit, "ParsePKCS7Signature");
    if (NULL != pbyP7SourceData || 0 != nP7SourceDataSize) {
        FAILED_STEP(kUnit, "Check P7 is source detached?", VELK_E_INVALID_PKCS7_FORMAT,
                    "NULL != pbyP7SourceData||0 != nP7SourceDataSize");
        nResult = VELK_E_INVALID_PKCS7_FORMAT;
        goto Exit;
    }
    OK_STEP(kUnit, "Check P7 is source detached?");
    nResult = VerifyWithCertificate(pbyCert, nCertSize, pbySourceData, nSourceDataSize,
                                    pbyRawSignature, nRawSignatureSize);
    if (VELK_OK != nResult) goto Exit;

    HandOut(ppbyCert, pbyCert);
    if (pnCertSize != nullptr) *pnCertSize = nCertSize;

Exit:
    std::free(pbyCert);
    std::free(pbyRawSignature);
    std::free(pbyP7SourceData);
    return nResult;
}

int VerifySignature_PKCS7Attached(uint8_t** ppbyCert, int* pnCertSize, const char* pszBase64,
                                  int nBase64Size) {
    TRACE_SCOPE_A();
    int nResult = VELK_OK;
    uint8_t* pbyDER = nullptr;
    uint32_t nDERSize = 0;
    uint8_t* pbySourceData = nullptr;
    int nSourceDataSize = 0;

    nResult = Base64DecodeEx(&pbyDER, &nDERSize, pszBase64, nBase64Size);
    if (VELK_OK != nResult) {
        FAILED_STEP(kUnit, "Base64DecodeEx", nResult, "VELK_OK != nResult");
        goto Exit;
    }
    OK_STEP(kUnit, "Base64DecodeEx");
    // The verified content is not wanted here; only the certificate goes back.
    nResult = VerifySignature_DERPKCS7Attached(&pbySourceData, &nSourceDataSize, pbyDER,
                                               static_cast<int>(nDERSize), ppbyCert, pnCertSize);
    if (VELK_OK != nResult) {
        FAILED_STEP(kUnit, "VerifySignature_DERPKCS7Attached", nResult, "VELK_OK != nResult");
        goto Exit;
    }
    OK_STEP(kUnit, "VerifySignature_DERPKCS7Attached");

Exit:
    std::free(pbyDER);
    std::free(pbySourceData);
    return nResult;
}

int VerifySignature_PKCS7Detached(const uint8_t* pbySourceData, uint8_t** ppbyCert,
                                  const char* pszBase64, int nBase64Size, int nSourceDataSize,
                                  int* pnCertSize) {
    TRACE_SCOPE_A();
    int nResult = VELK_OK;
    uint8_t* pbyDER = nullptr;
    uint32_t nDERSize = 0;

    nResult = Base64DecodeEx(&pbyDER, &nDERSize, pszBase64, nBase64Size);
    if (VELK_OK != nResult) {
        FAILED_STEP(kUnit, "Base64DecodeEx", nResult, "VELK_OK != nResult");
        goto Exit;
    }
    OK_STEP(kUnit, "Base64DecodeEx");
    nResult = VerifySignature_DERPKCS7Detached(
        pbySourceData, ppbyCert, pbyDER, static_cast<int>(nDERSize), nSourceDataSize, pnCertSize);
    if (VELK_OK != nResult) {
        FAILED_STEP(kUnit, "VerifySignature_DERPKCS7Detached", nResult, "VELK_OK != nResult");
        goto Exit;
    }
    OK_STEP(kUnit, "VerifySignature_DERPKCS7Detached");

Exit:
    std::free(pbyDER);
    return nResult;
}
