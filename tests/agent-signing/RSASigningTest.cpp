// RSA signing and the SignedData around it, over the in-memory platform with real OpenSSL keys.
// Every SignedData is parsed and verified by OpenSSL, which shares no code with the encoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/Conversions.h"
#include "common/Utf.h"
#include "platform/crypt/CertServices.h"
#include "signing/RSASigning.h"
#include "tests/agent-signing/SignedDataReader.h"
#include "tests/support/StandInCertPlatform.h"

namespace {

using signing_test::ReadSignedData;
using signing_test::VerifySignedData;

std::vector<uint8_t> DecodeBase64(const std::u16string& text) {
    const std::string narrow = Utf16ToUtf8String(text);
    uint8_t* bytes = nullptr;
    uint32_t count = 0;
    EXPECT_EQ(Base64DecodeEx(static_cast<int32_t>(narrow.size()), &bytes, narrow.c_str(), &count),
              S_OK);
    std::vector<uint8_t> out(bytes, bytes + (bytes != nullptr ? count : 0));
    std::free(bytes);
    return out;
}

bool Contains(const std::vector<uint8_t>& haystack, const std::vector<uint8_t>& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

// A stand-in with one RSA certificate in the personal store whose key the provider holds.
class RsaSigningTest : public ::testing::Test {
  protected:
    void SetUp() override {
        key_ = MakeRsaKey(2048);
        TestCertificateSpec spec;
        spec.subject = "C=CN,O=Org,CN=Signer";
        spec.key_usage = 0x80;
        spec.serial = 0x00A1B2;
        certificate_ = MakeTestCertificate(key_.get(), spec);
        StandInCertPlatform::Key key;
        key.key_spec = AT_KEYEXCHANGE;
        key.certificate = certificate_;
        key.private_key = key_;
        StandInCertPlatform::Provider provider;
        provider.name = u"Test RSA Provider";
        provider.containers.push_back({"signer", {key}});
        platform_.providers.push_back(provider);
        platform_.personal_store.push_back(
            {certificate_, u"Test RSA Provider", "signer", AT_KEYEXCHANGE});
        context_ = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                certificate_.data(),
                                                static_cast<DWORD>(certificate_.size()));
        ASSERT_NE(context_, nullptr);
    }
    void TearDown() override {
        CertFreeCertificateContext(context_);
        EXPECT_EQ(platform_.open_handles(), 0);
    }

    // Signs and returns the DER of the ContentInfo.
    std::vector<uint8_t> Sign(const std::string& message, ALG_ID alg, int attach) {
        BStr text;
        EXPECT_EQ(SignBinaryData(text.Receive(), reinterpret_cast<const BYTE*>(message.data()),
                                 &context_, static_cast<DWORD>(message.size()), alg, attach),
                  S_OK);
        EXPECT_FALSE(text.IsNull());
        EXPECT_EQ(text.View().find_first_of(u"\r\n"), std::u16string_view::npos);
        return DecodeBase64(std::u16string(text.View()));
    }

    StandInCertPlatform platform_;
    ScopedCertPlatform scoped_{&platform_};
    SharedPkey key_;
    std::vector<uint8_t> certificate_;
    PCCERT_CONTEXT context_ = nullptr;
};

// OpenSSL verifies the signature over the message (with -binary semantics: no line-ending
// translation) and the structure matches RFC 2315 SignedData without attributes.
struct SignCase {
    ALG_ID alg;
    int attach;
    const char* digest_oid;
    const char* signature_oid;
};

class SignedDataShape : public RsaSigningTest, public ::testing::WithParamInterface<SignCase> {};

TEST_P(SignedDataShape, VerifiesWithOpenSslAndHasTheExpectedFields) {
    const SignCase& c = GetParam();
    const std::string message = "\xE4\xB8\xAD line\r\nend";  // "中", CR LF kept as bytes
    const std::vector<uint8_t> der = Sign(message, c.alg, c.attach);

    const auto fields = ReadSignedData(der);
    ASSERT_TRUE(fields.has_value());
    EXPECT_EQ(fields->version, 1);
    EXPECT_EQ(fields->digest_algorithms, std::vector<std::string>{c.digest_oid});
    EXPECT_EQ(fields->digest_null_parameters, std::vector<bool>{true});
    EXPECT_EQ(fields->certificates, 1);
    EXPECT_EQ(fields->first_certificate, certificate_);
    EXPECT_FALSE(fields->has_crls);
    ASSERT_EQ(fields->signers, 1);
    EXPECT_EQ(fields->signer_version, 1);
    EXPECT_EQ(fields->signer_digest_algorithm, c.digest_oid);
    EXPECT_EQ(fields->signer_signature_algorithm, c.signature_oid);
    EXPECT_EQ(fields->signed_attributes, 0);
    EXPECT_EQ(fields->unsigned_attributes, 0);
    EXPECT_EQ(fields->encrypted_digest_size, 256u);
    EXPECT_EQ(fields->signer_serial, (std::vector<uint8_t>{0xA1, 0xB2}));

    // The inner ContentInfo: the message as [0] OCTET STRING when attached, no content at all
    // when detached.
    const std::vector<uint8_t> detached_inner = {0x30, 0x0B, 0x06, 0x09, 0x2A, 0x86, 0x48,
                                                 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
    if (c.attach) {
        EXPECT_EQ(fields->content, message);
        EXPECT_FALSE(Contains(der, detached_inner));
    } else {
        EXPECT_FALSE(fields->content.has_value());
        EXPECT_TRUE(Contains(der, detached_inner));
    }
    EXPECT_EQ(VerifySignedData(der, c.attach ? std::nullopt : std::optional(message)), message);
}

INSTANTIATE_TEST_SUITE_P(
    Algorithms, SignedDataShape,
    ::testing::Values(SignCase{CALG_SHA1, 1, "1.3.14.3.2.26", "1.2.840.113549.1.1.1"},
                      SignCase{CALG_SHA1, 0, "1.3.14.3.2.26", "1.2.840.113549.1.1.1"},
                      SignCase{CALG_SHA_256, 1, "2.16.840.1.101.3.4.2.1", "1.2.840.113549.1.1.11"},
                      SignCase{CALG_SHA_256, 0, "2.16.840.1.101.3.4.2.1",
                               "1.2.840.113549.1.1.11"}));

// The provider sees the message in pieces of at most 16384 bytes.
TEST_F(RsaSigningTest, MessageReachesTheProviderInPiecesOf16384Bytes) {
    const struct {
        size_t length;
        std::vector<DWORD> pieces;
    } cases[] = {
        {3, {3}},
        {16384, {16384}},
        {16385, {16384, 1}},
        {40000, {16384, 16384, 7232}},
    };
    for (const auto& c : cases) {
        platform_.hash_data_lengths.clear();
        Sign(std::string(c.length, 'x'), CALG_SHA_256, 0);
        EXPECT_EQ(platform_.hash_data_lengths, c.pieces) << c.length;
    }
}

TEST_F(RsaSigningTest, AlgorithmWithoutIdentifiersIsRefusedBeforeTheProvider) {
    for (ALG_ID alg : {ALG_ID{0}, ALG_ID{0x8002}}) {
        BStr text;
        EXPECT_EQ(SignBinaryData(text.Receive(), reinterpret_cast<const BYTE*>("m"), &context_, 1,
                                 alg, 1),
                  NTE_BAD_ALGID);
        EXPECT_TRUE(text.IsNull());
    }
    EXPECT_TRUE(platform_.created_hash_algs.empty());
}

TEST_F(RsaSigningTest, KeyThatCannotSignFailsWithoutTextAndReleasesEverything) {
    platform_.providers[0].containers[0].keys[0].private_key.reset();
    BStr text;
    const HRESULT hr = SignBinaryData(text.Receive(), reinterpret_cast<const BYTE*>("m"), &context_,
                                      1, CALG_SHA1, 1);
    EXPECT_LT(hr, 0);
    EXPECT_TRUE(text.IsNull());
    // TearDown checks that no provider or hash handle is left open.
}

TEST(SwapByteOrder, ReversesInPlace) {
    const struct {
        std::vector<BYTE> in, out;
    } cases[] = {{{}, {}}, {{1}, {1}}, {{1, 2}, {2, 1}}, {{1, 2, 3}, {3, 2, 1}}};
    for (auto c : cases) {
        SwapByteOrder(c.in.data(), static_cast<DWORD>(c.in.size()));
        EXPECT_EQ(c.in, c.out);
    }
}

TEST(DigestAlgorithmIdentifier, IsOidWithNullParameters) {
    BYTE* encoded = nullptr;
    DWORD count = 0;
    ASSERT_EQ(EncodeDigestAlgorithmIdentifier("2.16.840.1.101.3.4.2.1", &encoded, &count), S_OK);
    const std::vector<uint8_t> expected = {0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                           0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00};
    EXPECT_EQ(std::vector<uint8_t>(encoded, encoded + count), expected);
    std::free(encoded);
}

}  // namespace
