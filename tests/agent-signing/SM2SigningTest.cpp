// SM2 signing through a key container and the GM/T 0010 SignedData around it, over the in-memory
// platform whose container keys are real OpenSSL SM2 keys. Every SignedData is checked two
// independent ways: the agent's own SM2 verifier (what tessora-verify runs) and OpenSSL's SM2
// verification over the content after the structure is taken apart by the test's DER walker.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "agent/CryptoAgent.h"
#include "certificates/UnregisteredCertificates.h"
#include "common/Conversions.h"
#include "common/ResultCodes.h"
#include "common/Utf.h"
#include "platform/crypt/CertServices.h"
#include "signing/SM2Signing.h"
#include "tests/agent-signing/SignedDataReader.h"
#include "tests/support/StandInCertPlatform.h"

namespace {

using Bytes = std::vector<uint8_t>;
using signing_test::ReadSm2SignedData;
using signing_test::Sm2SignedDataFields;
using signing_test::VerifySm2Signature;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes DecodeBase64(const std::u16string_view text) {
    const std::string narrow = Utf16ToUtf8String(std::u16string(text));
    uint8_t* bytes = nullptr;
    uint32_t count = 0;
    EXPECT_EQ(Base64DecodeEx(static_cast<int32_t>(narrow.size()), &bytes, narrow.c_str(), &count),
              S_OK);
    Bytes out(bytes, bytes + (bytes != nullptr ? count : 0));
    std::free(bytes);
    return out;
}

// ---- encryptedDigest from r || s ---------------------------------------------------------------

// r and s are 32 bytes: the given head, then 0x5A up to 32. The expected element is the outer
// header, r's INTEGER header, r without its dropped leading bytes, and the same for s.
struct RawSignatureCase {
    const char* name;
    Bytes r_head, s_head;
    Bytes outer;  // OCTET STRING and SEQUENCE headers
    Bytes r_header;
    size_t r_dropped;
    Bytes s_header;
    size_t s_dropped;
};

void PrintTo(const RawSignatureCase& c, std::ostream* os) { *os << c.name; }

class RawSignatureEncoding : public ::testing::TestWithParam<RawSignatureCase> {};

TEST_P(RawSignatureEncoding, IsOctetStringOfMinimalIntegers) {
    const RawSignatureCase& c = GetParam();
    Bytes r = c.r_head, s = c.s_head;
    r.resize(32, 0x5A);
    s.resize(32, 0x5A);
    const Bytes raw = r + s;
    const Bytes expected = c.outer + c.r_header + Bytes(r.begin() + c.r_dropped, r.end()) +
                           c.s_header + Bytes(s.begin() + c.s_dropped, s.end());

    BYTE* encoded = nullptr;
    DWORD count = 0;
    ASSERT_EQ(SM2EncodeRawSignature(&encoded, &count, raw.data(), 64), S_OK);
    EXPECT_EQ(Bytes(encoded, encoded + count), expected);
    std::free(encoded);
}

INSTANTIATE_TEST_SUITE_P(Cases, RawSignatureEncoding,
                         ::testing::Values(RawSignatureCase{"OnlyRHigh",
                                                            {0x9A},
                                                            {0x12},
                                                            {0x04, 0x47, 0x30, 0x45},
                                                            {0x02, 0x21, 0x00},
                                                            0,
                                                            {0x02, 0x20},
                                                            0},
                                           RawSignatureCase{"BothHigh",
                                                            {0x80},
                                                            {0xFF},
                                                            {0x04, 0x48, 0x30, 0x46},
                                                            {0x02, 0x21, 0x00},
                                                            0,
                                                            {0x02, 0x21, 0x00},
                                                            0},
                                           RawSignatureCase{"NeitherHigh",
                                                            {0x01},
                                                            {0x7F},
                                                            {0x04, 0x46, 0x30, 0x44},
                                                            {0x02, 0x20},
                                                            0,
                                                            {0x02, 0x20},
                                                            0},
                                           // Leading zero bytes go (X.690 8.3.2); a 00 stays only
                                           // before a byte with the top bit.
                                           RawSignatureCase{"RLeadingZeroThenLow",
                                                            {0x00, 0x7F},
                                                            {0x12},
                                                            {0x04, 0x45, 0x30, 0x43},
                                                            {0x02, 0x1F},
                                                            1,
                                                            {0x02, 0x20},
                                                            0},
                                           RawSignatureCase{"RLeadingZeroThenHigh",
                                                            {0x00, 0x9A},
                                                            {0x12},
                                                            {0x04, 0x46, 0x30, 0x44},
                                                            {0x02, 0x20},
                                                            0,
                                                            {0x02, 0x20},
                                                            0},
                                           RawSignatureCase{"STwoLeadingZeros",
                                                            {0x12},
                                                            {0x00, 0x00, 0x05},
                                                            {0x04, 0x44, 0x30, 0x42},
                                                            {0x02, 0x20},
                                                            0,
                                                            {0x02, 0x1E},
                                                            2},
                                           RawSignatureCase{"RZero",
                                                            Bytes(32, 0x00),
                                                            {0x12},
                                                            {0x04, 0x27, 0x30, 0x25},
                                                            {0x02, 0x01},
                                                            31,
                                                            {0x02, 0x20},
                                                            0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RawSignatureEncodingSize, AnythingButSixtyFourBytesIsInvalidData) {
    const Bytes raw(72, 0x11);
    for (DWORD size : {0u, 63u, 65u, 72u}) {
        BYTE* encoded = nullptr;
        DWORD count = 0;
        EXPECT_EQ(SM2EncodeRawSignature(&encoded, &count, raw.data(), size),
                  static_cast<HRESULT>(0x8007000Du))
            << size;
        EXPECT_EQ(encoded, nullptr);
    }
}

// ---- the whole operation -----------------------------------------------------------------------

// One provider with one container whose signature key holds an SM2 certificate. The serial's
// first byte has the top bit set, so its DER content starts with 00.
class Sm2SigningTest : public ::testing::Test {
  protected:
    void SetUp() override {
        key_ = MakeSm2Key();
        TestCertificateSpec spec;
        spec.subject = "C=CN,O=Org,CN=Sm2 Signer";
        spec.issuer = "C=CN,O=Org,CN=Sm2 Root";
        spec.key_usage = 0x80;
        spec.serial_bytes = {0x9F, 0x3C, 0x01};
        certificate_ = MakeTestCertificate(key_.get(), spec);
        StandInCertPlatform::Provider provider;
        provider.name = u"Test SM2 Token";
        provider.containers.push_back({"c1", {{AT_SIGNATURE, certificate_, key_}}});
        platform_.providers.push_back(provider);

        PCCERT_CONTEXT context = CertCreateCertificateContext(
            X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, certificate_.data(),
            static_cast<DWORD>(certificate_.size()));
        ASSERT_NE(context, nullptr);
        ASSERT_EQ(CertCreateUnregisteredCertContext(u"c1", u"Test SM2 Token", context, AT_SIGNATURE,
                                                    &record_),
                  S_OK);
        CertFreeCertificateContext(context);
    }
    void TearDown() override {
        CertFreeUnregisteredCertContext(record_);
        EXPECT_EQ(platform_.open_handles(), 0);
    }

    HRESULT Sign(const std::string& message, int attach, Bytes* der) {
        BStr text;
        const HRESULT hr = SM2SignBinaryDatabyUnregisteredCert(
            record_, reinterpret_cast<const BYTE*>(message.data()),
            static_cast<DWORD>(message.size()), attach, "1.2.156.10197.1.301.1", text.Receive());
        if (hr != S_OK) {
            EXPECT_TRUE(text.IsNull());
            return hr;
        }
        EXPECT_EQ(text.View().find_first_of(u"\r\n"), std::u16string_view::npos);
        if (der != nullptr) *der = DecodeBase64(text.View());
        last_text_ = std::u16string(text.View());
        return hr;
    }

    // The agent's verifier, on the Base64 text as a page would hand it back.
    HRESULT AgentVerify(const std::string& message, bool attached) {
        CCryptoAgent agent;
        BStr validity;
        if (attached)
            return agent.VerifyMsgSignaturePKCS7Attached(last_text_.c_str(), u"SM2",
                                                         validity.Receive());
        const std::u16string text = Utf8ToUtf16String(message);
        return agent.VerifyMsgSignaturePKCS7Detached(last_text_.c_str(), u"SM2", text.c_str(),
                                                     validity.Receive());
    }

    StandInCertPlatform platform_;
    ScopedCertPlatform scoped_{&platform_};
    SharedPkey key_;
    Bytes certificate_;
    UNREGISTERED_CERT_CONTEXT* record_ = nullptr;
    std::u16string last_text_;
};

class Sm2SignedDataShape : public Sm2SigningTest, public ::testing::WithParamInterface<int> {};

TEST_P(Sm2SignedDataShape, HasTheGmt0010LayoutAndVerifiesBothWays) {
    const int attach = GetParam();
    const std::string message = "\xE4\xB8\xAD line\r\nend";  // "中", CR LF kept as bytes
    Bytes der;
    ASSERT_EQ(Sign(message, attach, &der), S_OK);

    const auto fields = ReadSm2SignedData(der);
    ASSERT_TRUE(fields.has_value());
    EXPECT_EQ(fields->content_type, "1.2.156.10197.6.1.4.2.2");
    EXPECT_EQ(fields->version, 1);
    const Bytes sm3_with_null = {0x30, 0x0C, 0x06, 0x08, 0x2A, 0x81, 0x1C,
                                 0xCF, 0x55, 0x01, 0x83, 0x11, 0x05, 0x00};
    EXPECT_EQ(fields->digest_algorithms, std::vector<Bytes>{sm3_with_null});
    EXPECT_EQ(fields->inner_content_type, "1.2.156.10197.6.1.4.2.1");
    if (attach) {
        EXPECT_EQ(fields->content, message);
    } else {
        EXPECT_EQ(fields->inner_content_info, (Bytes{0x30, 0x0C, 0x06, 0x0A, 0x2A, 0x81, 0x1C, 0xCF,
                                                     0x55, 0x06, 0x01, 0x04, 0x02, 0x01}));
    }
    EXPECT_EQ(fields->certificates, std::vector<Bytes>{certificate_});
    EXPECT_FALSE(fields->has_crls);
    ASSERT_EQ(fields->signers, 1);
    EXPECT_EQ(fields->signer_version, 1);
    EXPECT_EQ(fields->signer_issuer, Bytes(record_->pCertContext->pCertInfo->Issuer.pbData,
                                           record_->pCertContext->pCertInfo->Issuer.pbData +
                                               record_->pCertContext->pCertInfo->Issuer.cbData));
    // As the certificate has it: the 00 before a first byte with the top bit set stays.
    EXPECT_EQ(fields->signer_serial, (Bytes{0x00, 0x9F, 0x3C, 0x01}));
    EXPECT_EQ(fields->signer_digest_algorithm, sm3_with_null);
    EXPECT_EQ(fields->signer_signature_algorithm,
              (Bytes{0x30, 0x0D, 0x06, 0x09, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D, 0x01,
                     0x05, 0x00}));
    EXPECT_EQ(fields->signer_extra_fields, 0);

    EXPECT_TRUE(VerifySm2Signature(certificate_, message, fields->signature));
    EXPECT_FALSE(VerifySm2Signature(certificate_, message + "x", fields->signature));
    EXPECT_EQ(AgentVerify(message, attach != 0), S_OK);
    EXPECT_EQ(platform_.created_hash_algs, std::vector<ALG_ID>{0x800F});
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutContent, Sm2SignedDataShape, ::testing::Values(1, 0),
                         [](const auto& info) {
                             return std::string(info.param ? "Attached" : "Detached");
                         });

// About one signature in 256 has an r or s below 2^248 with a next byte under 0x80; kept with
// its leading zero, OpenSSL refuses it. Sign until such a one has been seen (and at least 200).
TEST_F(Sm2SigningTest, EverySignatureVerifiesInOpenSslIncludingShortIntegers) {
    int short_integers = 0;
    int signatures = 0;
    for (; signatures < 200 || (short_integers == 0 && signatures < 5000); ++signatures) {
        const std::string message = "message " + std::to_string(signatures);
        Bytes der;
        ASSERT_EQ(Sign(message, 0, &der), S_OK);
        const auto fields = ReadSm2SignedData(der);
        ASSERT_TRUE(fields.has_value());
        // SEQUENCE { 02 len r, 02 len s }: a length under 32 is a value that lost zero bytes.
        const Bytes& sig = fields->signature;
        ASSERT_GE(sig.size(), 8u);
        const size_t r_length = sig[3];
        const size_t s_length = sig[4 + r_length + 1];
        if (r_length < 32 || s_length < 32) ++short_integers;
        ASSERT_TRUE(VerifySm2Signature(certificate_, message, sig)) << signatures;
        ASSERT_EQ(AgentVerify(message, false), S_OK) << signatures;
    }
    EXPECT_GT(short_integers, 0) << "no short INTEGER in " << signatures << " signatures";
    RecordProperty("signatures", signatures);
    RecordProperty("short_integers", short_integers);
}

TEST_F(Sm2SigningTest, MessageReachesTheProviderInPiecesOf16384Bytes) {
    const struct {
        size_t length;
        std::vector<DWORD> pieces;
    } cases[] = {
        {16384, {16384}},
        {16385, {16384, 1}},
        {40000, {16384, 16384, 7232}},
    };
    for (const auto& c : cases) {
        platform_.hash_data_lengths.clear();
        const std::string message(c.length, 'x');
        Bytes der;
        ASSERT_EQ(Sign(message, 0, &der), S_OK);
        EXPECT_EQ(platform_.hash_data_lengths, c.pieces) << c.length;
        EXPECT_EQ(AgentVerify(message, false), S_OK) << c.length;
    }
}

// A provider whose signature is not r || s (a DER signature, a padded blob).
struct OddSizeProvider : StandInCertPlatform {
    DWORD size = 64;
    BOOL CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR description, DWORD flags,
                        BYTE* pbSignature, DWORD* pdwSigLen) override {
        if (size == 64)
            return StandInCertPlatform::CryptSignHashW(hHash, dwKeySpec, description, flags,
                                                       pbSignature, pdwSigLen);
        if (pbSignature != nullptr) std::fill(pbSignature, pbSignature + size, BYTE{0x30});
        *pdwSigLen = size;
        return TRUE;
    }
};

TEST_F(Sm2SigningTest, FailuresLeaveNoTextAndReleaseEveryHandle) {
    const struct {
        const char* name;
        DWORD size;
        bool container_gone;
        bool key_cannot_sign;
        HRESULT expected;
    } cases[] = {
        {"65-byte signature", 65, false, false, static_cast<HRESULT>(0x8007000Du)},
        {"72-byte signature", 72, false, false, static_cast<HRESULT>(0x8007000Du)},
        // The failed open is not looked at; creating the hash on no provider is what fails.
        {"container gone", 64, true, false, NTE_BAD_UID},
        {"key cannot sign", 64, false, true, NTE_NO_KEY},
    };
    for (const auto& c : cases) {
        OddSizeProvider provider;
        provider.providers = platform_.providers;
        provider.size = c.size;
        if (c.container_gone) provider.providers[0].containers[0].name = "gone";
        if (c.key_cannot_sign) provider.providers[0].containers[0].keys[0].private_key.reset();
        ScopedCertPlatform scoped(&provider);
        EXPECT_EQ(Sign("m", 1, nullptr), c.expected) << c.name;
        EXPECT_EQ(provider.created_hash_algs, std::vector<ALG_ID>{0x800F}) << c.name;
        EXPECT_EQ(provider.open_handles(), 0) << c.name;
    }
}

}  // namespace
