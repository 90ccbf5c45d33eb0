// RSA SignedData made by `openssl cms -sign -noattr`, verified with the certificate inside; the
// signer is expired and issued by an authority that is nowhere to be found, which must not matter.
#include <gtest/gtest.h>

#include <cstdlib>

#include "common/ResultCodes.h"
#include "tests/verification/TestPki.h"
#include "verification/RSADataSigning.h"

namespace {

using namespace verify_test;

const int kBadSignature = NTE_BAD_SIGNATURE;

class RsaVerify : public testing::TestWithParam<const char*> {
  protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir();
        auto authority = MakeRsaKey();
        key_ = MakeRsaKey().release();
        cert_ = MakeCertificate(
                    key_, authority.get(),
                    {.serial = 42, .not_before = "20240101000000Z", .not_after = "20250101000000Z"})
                    .release();
        cert_der_ = new Bytes(CertDer(cert_));
    }
    static void TearDownTestSuite() {
        delete dir_;
        delete cert_der_;
        X509_free(cert_);
        EVP_PKEY_free(key_);
    }

    static Bytes Sign(const char* digest, bool attached) {
        return CmsSign(*dir_, cert_, key_, kMessage, digest, attached);
    }

    static int Detached(const Bytes& der, const std::string& content) {
        uint8_t* cert = nullptr;
        int cert_size = 0;
        const int result = RSA_VerifyDataSignature_DERPKCS7Detached(
            &cert, &cert_size, der.data(), static_cast<int>(der.size()),
            reinterpret_cast<const uint8_t*>(content.data()), static_cast<int>(content.size()));
        if (result == 0) {
            EXPECT_EQ(Bytes(cert, cert + cert_size), *cert_der_);
        }
        std::free(cert);
        return result;
    }

    static int Attached(const Bytes& der) {
        uint8_t* content = nullptr;
        int content_size = 0;
        uint8_t* cert = nullptr;
        int cert_size = 0;
        const int result = RSA_VerifyDataSignature_DERPKCS7Attached(
            &content, &cert, der.data(), static_cast<int>(der.size()), &content_size, &cert_size);
        if (result == 0) {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(content), content_size), kMessage);
            EXPECT_EQ(Bytes(cert, cert + cert_size), *cert_der_);
        }
        std::free(content);
        std::free(cert);
        return result;
    }

    static constexpr char kMessage[] = "Pay 100 to account 7";
    static TempDir* dir_;
    static EVP_PKEY* key_;
    static X509* cert_;
    static Bytes* cert_der_;
};
TempDir* RsaVerify::dir_ = nullptr;
EVP_PKEY* RsaVerify::key_ = nullptr;
X509* RsaVerify::cert_ = nullptr;
Bytes* RsaVerify::cert_der_ = nullptr;

TEST_P(RsaVerify, DetachedVerifiesOnlyTheSignedContent) {
    const Bytes der = Sign(GetParam(), false);
    EXPECT_EQ(Detached(der, kMessage), 0);
    EXPECT_EQ(Detached(der, "Pay 900 to account 7"), kBadSignature);
    EXPECT_EQ(Attached(der), kBadSignature);  // no content inside

    const std::string text = Base64(der);
    uint8_t* cert = nullptr;
    int cert_size = 0;
    EXPECT_EQ(RSA_VerifyDataSignature_PKCS7Detached(text.c_str(), &cert,
                                                    reinterpret_cast<const uint8_t*>(kMessage),
                                                    sizeof kMessage - 1, &cert_size),
              0);
    EXPECT_EQ(Bytes(cert, cert + cert_size), *cert_der_);
    std::free(cert);
}

TEST_P(RsaVerify, AttachedVerifiesAndTamperingIsCaught) {
    const Bytes der = Sign(GetParam(), true);
    EXPECT_EQ(Attached(der), 0);
    Bytes tampered = der;
    tampered[tampered.size() - 4] ^= 0x01;  // inside the signature value
    EXPECT_EQ(Attached(tampered), kBadSignature);

    const std::string text = Base64(der);
    uint8_t* cert = nullptr;
    int cert_size = 0;
    EXPECT_EQ(RSA_VerifyDataSignature_PKCS7Attached(text.c_str(), &cert_size, &cert), 0);
    EXPECT_EQ(Bytes(cert, cert + cert_size), *cert_der_);
    std::free(cert);
}

INSTANTIATE_TEST_SUITE_P(Digests, RsaVerify, testing::Values("sha1", "sha256"));

TEST(RsaVerifyInput, UnreadableStructuresFail) {
    const Bytes garbage = ToBytes("not a PKCS#7 structure");
    uint8_t* cert = nullptr;
    int cert_size = 0;
    EXPECT_EQ(
        RSA_VerifyDataSignature_DERPKCS7Detached(
            &cert, &cert_size, garbage.data(), static_cast<int>(garbage.size()), garbage.data(), 1),
        -1);
    EXPECT_EQ(RSA_VerifyDataSignature_DERPKCS7Attached(nullptr, nullptr, garbage.data(), 0, nullptr,
                                                       nullptr),
              -1);
    EXPECT_EQ(RSA_VerifyDataSignature_PKCS7Attached("", &cert_size, &cert), VELK_E_BASE64_DECODE);
    EXPECT_EQ(cert, nullptr);
}

}  // namespace
