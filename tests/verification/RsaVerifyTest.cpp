// RSA SignedData made by `openssl cms -sign -noattr`, verified with the certificate inside; the
// signer is expired and issued by an authority that is nowhere to be found, which must not matter.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ostream>
#include <string>

#include "common/ResultCodes.h"
#include "tests/verification/TestPki.h"
#include "verification/RSADataSigning.h"

namespace {

using namespace verify_test;

const int kBadSignature = NTE_BAD_SIGNATURE;

class RsaVerifyBase : public testing::Test {
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
TempDir* RsaVerifyBase::dir_ = nullptr;
EVP_PKEY* RsaVerifyBase::key_ = nullptr;
X509* RsaVerifyBase::cert_ = nullptr;
Bytes* RsaVerifyBase::cert_der_ = nullptr;

class RsaVerify : public RsaVerifyBase, public testing::WithParamInterface<const char*> {};

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

// An OID OpenSSL has no digest for, in place of SHA-1 (1.3.14.3.2.26): in the digestAlgorithms set
// (the first occurrence), in the SignerInfo (the second), or in both. Either way the signature
// cannot verify; the ASan build also shows that nothing is leaked on the way.
struct UnknownDigestCase {
    const char* name;
    bool in_set;
    bool in_signer_info;
};

// ctest shows the case by its name.
void PrintTo(const UnknownDigestCase& c, std::ostream* os) { *os << c.name; }

class RsaVerifyUnknownDigest : public RsaVerifyBase,
                               public testing::WithParamInterface<UnknownDigestCase> {
  protected:
    static Bytes WithUnknownDigest(Bytes der, const UnknownDigestCase& c) {
        const Bytes sha1 = {0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A};
        const Bytes unknown = {0x06, 0x05, 0x2B, 0x05, 0x00, 0x00, 0x00};
        int occurrence = 0;
        for (auto at = std::search(der.begin(), der.end(), sha1.begin(), sha1.end());
             at != der.end(); at = std::search(at + 1, der.end(), sha1.begin(), sha1.end())) {
            if ((occurrence == 0 && c.in_set) || (occurrence == 1 && c.in_signer_info))
                std::copy(unknown.begin(), unknown.end(), at);
            ++occurrence;
        }
        EXPECT_EQ(occurrence, 2);
        return der;
    }
};

TEST_P(RsaVerifyUnknownDigest, IsABadSignatureDetachedAndAttached) {
    const UnknownDigestCase& c = GetParam();
    EXPECT_EQ(Detached(WithUnknownDigest(Sign("sha1", false), c), kMessage), kBadSignature);
    EXPECT_EQ(Attached(WithUnknownDigest(Sign("sha1", true), c)), kBadSignature);
}

INSTANTIATE_TEST_SUITE_P(Places, RsaVerifyUnknownDigest,
                         testing::Values(UnknownDigestCase{"DigestAlgorithms", true, false},
                                         UnknownDigestCase{"SignerInfo", false, true},
                                         UnknownDigestCase{"Both", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

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
