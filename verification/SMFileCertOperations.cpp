#include "verification/SMFileCertOperations.h"

#include <openssl/core_names.h>

#include <cstdlib>
#include <cstring>

#include "common/ResultCodes.h"
#include "common/Trace.h"
#include "verification/CertificateOperations.h"
#include "common/OpenSslPtr.h"
#include "verification/VerifyCommon.h"

static constexpr char kUnit[] = "SMFileCertOperations";

namespace {

constexpr int kSM2CoordinateSize = 32;

// Writes a coordinate as exactly 32 big-endian bytes; a larger value is refused.
bool _SM2_GetBNBytes(const BIGNUM* pBN, uint8_t* pbyOut) {
    return BN_bn2binpad(pBN, pbyOut, kSM2CoordinateSize) == kSM2CoordinateSize;
}

}  // namespace

int GetPublicKeyXYFromSM2Cert(uint8_t** ppbyX, int* pnXSize, const uint8_t* pbyCert, int nCertSize,
                              uint8_t** ppbyY, int* pnYSize) {
    TRACE_SCOPE_A();
    // PEM text first, then the same bytes as DER; the certificate steps log themselves.
    X509* pCert = nullptr;
    if (ConvertCertDataToX509(&pCert, nCertSize, pbyCert) != VELK_OK) return kVerifyFailed;
    X509Ptr pX509Cert(pCert);

    EvpPkeyPtr pPubKey(X509_get_pubkey(pX509Cert.get()));
    if (!pPubKey) {
        FAILED_STEP_OPENSSL(kUnit, "X509_get_pubkey", kVerifyFailed, "NULL == pPubKey");
        return kVerifyFailed;
    }
    OK_STEP(kUnit, "X509_get_pubkey");

    // OpenSSL 3 has no SM2 key object of its own: an SM2 key is an elliptic-curve key on the
    // GM/T 0003.5 curve, which its decoders mark with the key type "SM2".
    if (!EVP_PKEY_is_a(pPubKey.get(), "SM2")) {
        FAILED_STEP_OPENSSL(kUnit, "EVP_PKEY_get0_SM2_KEY", kVerifyFailed, "NULL == pSM2Key");
        return kVerifyFailed;
    }
    OK_STEP(kUnit, "EVP_PKEY_get0_SM2_KEY");

    char szGroupName[64] = {};
    size_t nGroupNameSize = 0;
    EcGroupPtr pGroup;
    if (EVP_PKEY_get_group_name(pPubKey.get(), szGroupName, sizeof szGroupName, &nGroupNameSize) ==
        1)
        pGroup.reset(EC_GROUP_new_by_curve_name(OBJ_sn2nid(szGroupName)));
    if (!pGroup) {
        FAILED_STEP_OPENSSL(kUnit, "EC_KEY_get0_group", kVerifyFailed, "NULL == pGroup");
        return kVerifyFailed;
    }
    OK_STEP(kUnit, "EC_KEY_get0_group");

    uint8_t abyPoint[1 + 2 * kSM2CoordinateSize + 1] = {};
    size_t nPointSize = 0;
    EcPointPtr pPubPoint(EC_POINT_new(pGroup.get()));
    if (!pPubPoint ||
        EVP_PKEY_get_octet_string_param(pPubKey.get(), OSSL_PKEY_PARAM_PUB_KEY, abyPoint,
                                        sizeof abyPoint, &nPointSize) != 1 ||
        EC_POINT_oct2point(pGroup.get(), pPubPoint.get(), abyPoint, nPointSize, nullptr) != 1) {
        FAILED_STEP_OPENSSL(kUnit, "EC_KEY_get0_public_key", kVerifyFailed, "NULL == pPubPoint");
        return kVerifyFailed;
    }
    OK_STEP(kUnit, "EC_KEY_get0_public_key");

    BignumPtr pPubKeyX(BN_new());
    BignumPtr pPubKeyY(BN_new());
    if (!pPubKeyX || !pPubKeyY) {
        FAILED_STEP_OPENSSL(kUnit, "BN_new", kVerifyFailed, "NULL == pPubKeyX || NULL == pPubKeyY");
        return kVerifyFailed;
    }
    OK_STEP(kUnit, "BN_new");

    if (EC_POINT_get_affine_coordinates(pGroup.get(), pPubPoint.get(), pPubKeyX.get(),
                                        pPubKeyY.get(), nullptr) != 1) {
        FAILED_STEP_OPENSSL(kUnit, "EC_POINT_get_affine_coordinates_GFp", kVerifyFailed,
                            "1 != nResult");
        return kVerifyFailed;
    }
    OK_STEP(kUnit, "EC_POINT_get_affine_coordinates_GFp");

    MallocPtr pbyX(static_cast<uint8_t*>(std::calloc(kSM2CoordinateSize, 1)));
    MallocPtr pbyY(static_cast<uint8_t*>(std::calloc(kSM2CoordinateSize, 1)));
    if (!pbyX || !pbyY) {
        FAILED_STEP_OPENSSL(kUnit, "New memory", kVerifyFailed, "!pbyPubKeyX || !pbyPubKeyY");
        return kVerifyFailed;
    }
    OK_STEP(kUnit, "New memory");

    if (!_SM2_GetBNBytes(pPubKeyX.get(), pbyX.get())) {
        FAILED_STEP_OPENSSL(kUnit, "_SM2_GetBNBytes(PubKeyX)", kVerifyFailed, "false == bResult");
        return kVerifyFailed;
    }
    OK_STEP(kUnit, "_SM2_GetBNBytes(PubKeyX)");
    if (!_SM2_GetBNBytes(pPubKeyY.get(), pbyY.get())) {
        FAILED_STEP_OPENSSL(kUnit, "_SM2_GetBNBytes(PubKeyY)", kVerifyFailed, "false == bResult");
        return kVerifyFailed;
    }
    OK_STEP(kUnit, "_SM2_GetBNBytes(PubKeyY)");

    if (ppbyX != nullptr) *ppbyX = pbyX.release();
    if (pnXSize != nullptr) *pnXSize = kSM2CoordinateSize;
    if (ppbyY != nullptr) *ppbyY = pbyY.release();
    if (pnYSize != nullptr) *pnYSize = kSM2CoordinateSize;
    return VELK_OK;
}
