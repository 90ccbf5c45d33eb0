#include "verification/RSADataSigning.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>

#include <cstdlib>
#include <cstring>

#include "common/Conversions.h"
#include "common/OpenSslPtr.h"
#include "common/ResultCodes.h"
#include "common/Trace.h"
#include "verification/VerifyCommon.h"

static constexpr char kUnit[] = "RSADataSigning";

namespace {

// The signature is checked with the certificate inside the structure; the chain is not verified,
// so an expired signer or one from an unknown authority still verifies.
constexpr int kDetachedVerifyFlags = PKCS7_NOVERIFY | PKCS7_DETACHED | PKCS7_NOATTR;
constexpr int kAttachedVerifyFlags = PKCS7_NOVERIFY | PKCS7_NOATTR;
static_assert(kDetachedVerifyFlags == 0x160 && kAttachedVerifyFlags == 0x120);

Pkcs7Ptr DecodePKCS7(const uint8_t* pbyDER, int nDERSize) {
    ERR_clear_error();  // the failure lines quote OpenSSL's latest error: make it this call's
    const unsigned char* pbyCursor = pbyDER;
    Pkcs7Ptr p7(pbyDER != nullptr && nDERSize > 0 ? d2i_PKCS7(nullptr, &pbyCursor, nDERSize)
                                                  : nullptr);
    if (!p7)
        FAILED_STEP_OPENSSL(kUnit, "d2i_PKCS7", kVerifyFailed, "NULL == p7");
    else
        OK_STEP(kUnit, "d2i_PKCS7");
    return p7;
}

// The first signer's certificate, DER-encoded into a new malloc'ed buffer.
int GetSignerCertificate(PKCS7* p7, uint8_t** ppbyCert, int* pnCertSize) {
    X509StackPtr pSigners(PKCS7_get0_signers(p7, nullptr, 0));
    if (!pSigners) {
        FAILED_STEP_OPENSSL(kUnit, "PKCS7_get0_signers", kVerifyFailed, "NULL == pSigners");
        return kVerifyFailed;
    }
    OK_STEP(kUnit, "PKCS7_get0_signers");
    X509* pSignerCert =
        sk_X509_num(pSigners.get()) > 0 ? sk_X509_value(pSigners.get(), 0) : nullptr;
    if (!pSignerCert) {
        FAILED_STEP_OPENSSL(kUnit, "sk_X509_value", kVerifyFailed, "NULL == pSignerCert");
        return kVerifyFailed;
    }
    OK_STEP(kUnit, "sk_X509_value");
    const int nDERSignCertSize = i2d_X509(pSignerCert, nullptr);
    MallocPtr pbyCert(nDERSignCertSize > 0 ? static_cast<uint8_t*>(std::calloc(
                                                 static_cast<size_t>(nDERSignCertSize), 1))
                                           : nullptr);
    unsigned char* pbyCursor = pbyCert.get();
    if (nDERSignCertSize <= 0 || !pbyCert ||
        i2d_X509(pSignerCert, &pbyCursor) != nDERSignCertSize) {
        FAILED_STEP_OPENSSL(kUnit, "i2d_X509", kVerifyFailed, "nDERSignCertSize <= 0");
        return kVerifyFailed;
    }
    OK_STEP(kUnit, "i2d_X509");
    *ppbyCert = pbyCert.release();
    if (pnCertSize != nullptr) *pnCertSize = nDERSignCertSize;
    return VELK_OK;
}

// OpenSSL 3.0's PKCS7_verify leaks the digest BIO chain it has begun when a digest algorithm
// turns out to be one it does not know, so every digest algorithm of the SignedData (RFC 2315,
// 9.1: the digestAlgorithms set and each SignerInfo's) is resolved first. An unknown one cannot
// verify: it is answered like a bad signature.
int CheckDigestAlgorithms(PKCS7* p7) {
    if (!PKCS7_type_is_signed(p7) || p7->d.sign == nullptr) return VELK_OK;  // PKCS7_verify says
    const STACK_OF(X509_ALGOR)* pDigestAlgorithms = p7->d.sign->md_algs;
    for (int i = 0; i < sk_X509_ALGOR_num(pDigestAlgorithms); ++i) {
        if (nullptr == EVP_get_digestbyobj(sk_X509_ALGOR_value(pDigestAlgorithms, i)->algorithm)) {
            FAILED_STEP(kUnit, "EVP_get_digestbyobj(digestAlgorithms)", NTE_BAD_SIGNATURE,
                        "NULL == pDigest");
            return NTE_BAD_SIGNATURE;
        }
    }
    STACK_OF(PKCS7_SIGNER_INFO)* pSignerInfos = PKCS7_get_signer_info(p7);
    for (int i = 0; i < sk_PKCS7_SIGNER_INFO_num(pSignerInfos); ++i) {
        const PKCS7_SIGNER_INFO* pSignerInfo = sk_PKCS7_SIGNER_INFO_value(pSignerInfos, i);
        if (nullptr == pSignerInfo->digest_alg ||
            nullptr == EVP_get_digestbyobj(pSignerInfo->digest_alg->algorithm)) {
            FAILED_STEP(kUnit, "EVP_get_digestbyobj(SignerInfo)", NTE_BAD_SIGNATURE,
                        "NULL == pDigest");
            return NTE_BAD_SIGNATURE;
        }
    }
    OK_STEP(kUnit, "EVP_get_digestbyobj");
    return VELK_OK;
}

}  // namespace

int RSA_VerifyDataSignature_DERPKCS7Detached(uint8_t** ppbyCert, int* pnCertSize,
                                             const uint8_t* pbyDER, int nDERSize,
                                             const uint8_t* pbySourceData, int nSourceDataSize) {
    TRACE_SCOPE_A();
    Pkcs7Ptr p7 = DecodePKCS7(pbyDER, nDERSize);
    if (!p7) return kVerifyFailed;
    // A negative size would make OpenSSL measure the content as a C string.
    BioPtr pBioSourceData(nSourceDataSize >= 0 ? BIO_new_mem_buf(pbySourceData, nSourceDataSize)
                                               : nullptr);
    if (!pBioSourceData) {
        FAILED_STEP_OPENSSL(kUnit, "BIO_new_mem_buf", kVerifyFailed, "NULL == pBioSourceData");
        return kVerifyFailed;
    }
    OK_STEP(kUnit, "BIO_new_mem_buf");
    if (VELK_OK != CheckDigestAlgorithms(p7.get())) return NTE_BAD_SIGNATURE;
    const int nResult = PKCS7_verify(p7.get(), nullptr, nullptr, pBioSourceData.get(), nullptr,
                                     kDetachedVerifyFlags);
    if (1 != nResult) {
        FAILED_STEP_OPENSSL(kUnit, "PKCS7_verify", NTE_BAD_SIGNATURE, "1 != nResult");
        return NTE_BAD_SIGNATURE;
    }
    OK_STEP(kUnit, "PKCS7_verify");
    if (ppbyCert != nullptr) return GetSignerCertificate(p7.get(), ppbyCert, pnCertSize);
    return VELK_OK;
}

int RSA_VerifyDataSignature_DERPKCS7Attached(uint8_t** ppbySourceData, uint8_t** ppbyCert,
                                             const uint8_t* pbyDER, int nDERSize,
                                             int* pnSourceDataSize, int* pnCertSize) {
    TRACE_SCOPE_A();
    Pkcs7Ptr p7 = DecodePKCS7(pbyDER, nDERSize);
    if (!p7) return kVerifyFailed;
    BioPtr pBioSourceData(BIO_new(BIO_s_mem()));
    if (!pBioSourceData) {
        FAILED_STEP_OPENSSL(kUnit, "BIO_new", kVerifyFailed, "NULL == pBioSourceData");
        return kVerifyFailed;
    }
    OK_STEP(kUnit, "BIO_new");
    if (VELK_OK != CheckDigestAlgorithms(p7.get())) return NTE_BAD_SIGNATURE;
    const int nResult = PKCS7_verify(p7.get(), nullptr, nullptr, nullptr, pBioSourceData.get(),
                                     kAttachedVerifyFlags);
    if (1 != nResult) {
        FAILED_STEP_OPENSSL(kUnit, "PKCS7_verify", NTE_BAD_SIGNATURE, "1 != nResult");
        return NTE_BAD_SIGNATURE;
    }
    OK_STEP(kUnit, "PKCS7_verify");

    MallocPtr pbySourceData;
    long nSourceDataSize = 0;
    if (ppbySourceData != nullptr) {
        char* pbyVerified = nullptr;
        nSourceDataSize = BIO_get_mem_data(pBioSourceData.get(), &pbyVerified);
        // One spare zero byte keeps an empty content a valid allocation.
        pbySourceData.reset(
            static_cast<uint8_t*>(std::calloc(static_cast<size_t>(nSourceDataSize) + 1, 1)));
        if (!pbySourceData) {
            FAILED_STEP(kUnit, "New memory", kVerifyFailed, "!pbySourceData");
            return kVerifyFailed;
        }
        OK_STEP(kUnit, "New memory");
        if (nSourceDataSize > 0) std::memcpy(pbySourceData.get(), pbyVerified, nSourceDataSize);
    }
    if (ppbyCert != nullptr) {
        const int nCertResult = GetSignerCertificate(p7.get(), ppbyCert, pnCertSize);
        if (nCertResult != VELK_OK) return nCertResult;
    }
    if (ppbySourceData != nullptr) {
        *ppbySourceData = pbySourceData.release();
        if (pnSourceDataSize != nullptr) *pnSourceDataSize = static_cast<int>(nSourceDataSize);
    }
    return VELK_OK;
}

namespace {

// Base64 text to DER bytes (the length is the text's up to its terminating zero).
int DecodeBase64Text(const char* pszBase64, MallocPtr& pbyDER, int& nDERSize) {
    uint8_t* pbyDecoded = nullptr;
    uint32_t nDecodedSize = 0;
    const int32_t nTextLength =
        pszBase64 != nullptr ? static_cast<int32_t>(std::strlen(pszBase64)) : 0;
    const int nResult = Base64DecodeEx(&pbyDecoded, &nDecodedSize, pszBase64, nTextLength);
    if (VELK_OK != nResult) {
        FAILED_STEP(kUnit, "Base64DecodeEx", nResult, "VELK_OK != nResult");
        return nResult;
    }
    OK_STEP(kUnit, "Base64DecodeEx");
    pbyDER.reset(pbyDecoded);
    nDERSize = static_cast<int>(nDecodedSize);
    return VELK_OK;
}

}  // namespace

int RSA_VerifyDataSignature_PKCS7Detached(const char* pszBase64, uint8_t** ppbyCert,
                                          const uint8_t* pbySourceData, int nSourceDataSize,
                                          int* pnCertSize) {
    TRACE_SCOPE_A();
    MallocPtr pbyDER;
    int nDERSize = 0;
    const int nResult = DecodeBase64Text(pszBase64, pbyDER, nDERSize);
    if (VELK_OK != nResult) return nResult;
    return RSA_VerifyDataSignature_DERPKCS7Detached(ppbyCert, pnCertSize, pbyDER.get(), nDERSize,
                                                    pbySourceData, nSourceDataSize);
}

int RSA_VerifyDataSignature_PKCS7Attached(const char* pszBase64, int* pnCertSize,
                                          uint8_t** ppbyCert) {
    TRACE_SCOPE_A();
    MallocPtr pbyDER;
    int nDERSize = 0;
    int nResult = DecodeBase64Text(pszBase64, pbyDER, nDERSize);
    if (VELK_OK != nResult) return nResult;
    // The verified content is released; only the certificate goes back.
    uint8_t* pbySourceData = nullptr;
    int nSourceDataSize = 0;
    nResult = RSA_VerifyDataSignature_DERPKCS7Attached(&pbySourceData, ppbyCert, pbyDER.get(),
                                                       nDERSize, &nSourceDataSize, pnCertSize);
    MallocPtr owned_content(pbySourceData);
    return nResult;
}
