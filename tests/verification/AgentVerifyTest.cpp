// The agent's two verification operations over real signatures: OpenSSL-made RSA SignedData and
// SM2 SignedData built here. Runs with TZ=UTC so the validity text is predictable.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <ostream>

#include "agent/CryptoAgent.h"
#include "common/Utf.h"
#include "tests/verification/TestPki.h"

namespace {

using namespace verify_test;

constexpr char kMessage[] = "Transfer 100 to account 7";

struct Fixtures {
    std::string sm2_attached, sm2_detached, rsa_attached, rsa_detached;
    std::string sm2_old_signer;  // the signer's notBefore is in 1950
    std::string rsa_enveloped, sm2_enveloped, three_children, unknown_type, too_many_elements;
};
Fixtures* g_fixtures = nullptr;

class AgentVerifyEnvironment : public testing::Environment {
  public:
    void SetUp() override {
        auto* f = new Fixtures();
        TempDir dir;
        const CertParams dates = {
            .serial = 5, .not_before = "20240101000000Z", .not_after = "20250101000000Z"};
        auto sm2_key = MakeSm2Key();
        auto sm2_cert = MakeCertificate(sm2_key.get(), sm2_key.get(), dates);
        const Bytes message = ToBytes(kMessage);
        f->sm2_attached = Base64(MakeSm2SignedData(sm2_key.get(), sm2_cert.get(), message, true));
        f->sm2_detached = Base64(MakeSm2SignedData(sm2_key.get(), sm2_cert.get(), message, false));
        auto old_cert =
            MakeCertificate(sm2_key.get(), sm2_key.get(), {.not_before = "19500101000000Z"});
        f->sm2_old_signer = Base64(MakeSm2SignedData(sm2_key.get(), old_cert.get(), message, true));
        auto rsa_key = MakeRsaKey();
        auto rsa_cert = MakeCertificate(rsa_key.get(), rsa_key.get(), dates);
        f->rsa_attached =
            Base64(CmsSign(dir, rsa_cert.get(), rsa_key.get(), kMessage, "sha256", true));
        f->rsa_detached =
            Base64(CmsSign(dir, rsa_cert.get(), rsa_key.get(), kMessage, "sha1", false));

        auto content_info = [](const Bytes& oid_content, const Bytes& rest) {
            return Base64(Tlv(0x30, Cat({Tlv(0x06, oid_content), rest})));
        };
        const Bytes body = Tlv(0xA0, Tlv(0x30, {}));
        f->rsa_enveloped =
            content_info({0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x03}, body);
        f->sm2_enveloped =
            content_info({0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x06, 0x01, 0x04, 0x02, 0x03}, body);
        f->three_children =
            content_info({0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02}, Cat({body, body}));
        // signedData with one more identifier byte: the comparison is exact.
        f->unknown_type =
            content_info({0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02, 0x00}, body);
        Bytes many;
        for (int i = 0; i < 300; ++i) many = Cat({many, Bytes{0x05, 0x00}});
        f->too_many_elements = content_info({0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02},
                                            Tlv(0xA0, Tlv(0x30, many)));
        g_fixtures = f;
    }
    void TearDown() override { delete g_fixtures; }
};
const auto* const kEnvironment = testing::AddGlobalTestEnvironment(new AgentVerifyEnvironment);

struct AgentCase {
    const char* name;
    std::string Fixtures::*signature;
    const char16_t* algorithm;
    std::optional<std::string> message;  // detached when set
    HRESULT result;
};

// ctest shows the case by its name.
void PrintTo(const AgentCase& c, std::ostream* os) { *os << c.name; }

class AgentVerify : public testing::TestWithParam<AgentCase> {};

TEST_P(AgentVerify, ResultIsRecordedAndTextGivenOnlyOnSuccess) {
    const AgentCase& c = GetParam();
    CCryptoAgent agent;
    const std::u16string signature = Utf8ToUtf16String(g_fixtures->*c.signature);
    BStr out;
    HRESULT result = 0;
    if (c.message) {
        const std::u16string message = Utf8ToUtf16String(*c.message);
        result = agent.VerifyMsgSignaturePKCS7Detached(signature.c_str(), c.algorithm,
                                                       message.c_str(), out.Receive());
    } else {
        result =
            agent.VerifyMsgSignaturePKCS7Attached(signature.c_str(), c.algorithm, out.Receive());
    }
    EXPECT_EQ(static_cast<uint32_t>(result), static_cast<uint32_t>(c.result));
    EXPECT_EQ(agent.m_hLastResult, result);
    ASSERT_FALSE(out.IsNull());
    EXPECT_EQ(Utf16ToUtf8String(out.View()),
              result == 0 ? "Mon Jan 01 00:00:00 2024\n;Wed Jan 01 00:00:00 2025\n" : "");
}

const HRESULT kBadSignature = static_cast<HRESULT>(0x80090006u);
const HRESULT kInvalidSignType = static_cast<HRESULT>(0xA0072022u);
const HRESULT kInvalidFormat = static_cast<HRESULT>(0xA0071104u);
const HRESULT kInvalidData = static_cast<HRESULT>(0x8007000Du);

INSTANTIATE_TEST_SUITE_P(
    Signatures, AgentVerify,
    testing::Values(
        AgentCase{"Sm2AttachedLowerCase", &Fixtures::sm2_attached, u"sm2", {}, 0},
        AgentCase{"Sm2AttachedNamedRsa", &Fixtures::sm2_attached, u"RSA", {}, kInvalidSignType},
        AgentCase{"Sm2Detached", &Fixtures::sm2_detached, u"SM2", kMessage, 0},
        AgentCase{"Sm2DetachedOtherMessage", &Fixtures::sm2_detached, u"SM2",
                  "Transfer 900 to account 7", kBadSignature},
        AgentCase{"Sm2AttachedThroughDetached", &Fixtures::sm2_attached, u"SM2", kMessage,
                  kInvalidFormat},
        AgentCase{"RsaAttached", &Fixtures::rsa_attached, u"rsa", {}, 0},
        AgentCase{"RsaAttachedNamedSm2", &Fixtures::rsa_attached, u"SM2", {}, kInvalidSignType},
        AgentCase{"RsaDetached", &Fixtures::rsa_detached, u"RSA", kMessage, 0},
        AgentCase{"RsaDetachedOtherMessage", &Fixtures::rsa_detached, u"RSA",
                  "Transfer 100 to account 8", kBadSignature},
        AgentCase{"RsaDetachedThroughAttached", &Fixtures::rsa_detached, u"RSA", {}, kBadSignature},
        AgentCase{"RsaEnvelopedAsRsa", &Fixtures::rsa_enveloped, u"RSA", {}, kInvalidSignType},
        AgentCase{"RsaEnvelopedAsSm2", &Fixtures::rsa_enveloped, u"SM2", kMessage,
                  kInvalidSignType},
        AgentCase{"Sm2Enveloped", &Fixtures::sm2_enveloped, u"SM2", {}, kInvalidSignType},
        AgentCase{"ThreeChildren", &Fixtures::three_children, u"RSA", {}, kInvalidData},
        AgentCase{"UnknownType", &Fixtures::unknown_type, u"RSA", {}, kInvalidData},
        AgentCase{"TooManyElements", &Fixtures::too_many_elements, u"RSA", {}, kInvalidData}),
    [](const testing::TestParamInfo<AgentCase>& info) { return std::string(info.param.name); });

TEST(AgentVerifyText, SignerTimesThatCannotBeReadLeaveTheTextEmpty) {
    CCryptoAgent agent;
    const std::u16string signature = Utf8ToUtf16String(g_fixtures->sm2_old_signer);
    BStr out;
    EXPECT_EQ(agent.VerifyMsgSignaturePKCS7Attached(signature.c_str(), u"SM2", out.Receive()), 0);
    ASSERT_FALSE(out.IsNull());
    EXPECT_TRUE(out.View().empty());
}

TEST(AgentVerifyText, AnOutTextThatHoldsAValueKeepsIt) {
    CCryptoAgent agent;
    const std::u16string signature = Utf8ToUtf16String(g_fixtures->sm2_attached);
    BSTR out = SysAllocString(u"kept");
    EXPECT_EQ(agent.VerifyMsgSignaturePKCS7Attached(signature.c_str(), u"SM2", &out), 0);
    EXPECT_EQ(std::u16string_view(out), u"kept");
    SysFreeString(out);
}

TEST(AgentVerifyText, EmptyParametersAreInvalidArguments) {
    const std::u16string signature = Utf8ToUtf16String(g_fixtures->rsa_detached);
    const HRESULT kInvalidArg = static_cast<HRESULT>(0x80070057u);
    CCryptoAgent agent;
    BStr out;
    EXPECT_EQ(agent.VerifyMsgSignaturePKCS7Attached(u"", u"RSA", out.Receive()), kInvalidArg);
    EXPECT_EQ(agent.VerifyMsgSignaturePKCS7Attached(signature.c_str(), nullptr, out.Receive()),
              kInvalidArg);
    EXPECT_EQ(agent.VerifyMsgSignaturePKCS7Detached(signature.c_str(), u"RSA", u"", out.Receive()),
              kInvalidArg);
    EXPECT_EQ(agent.VerifyMsgSignaturePKCS7Detached(nullptr, u"RSA", u"m", out.Receive()),
              kInvalidArg);
    EXPECT_EQ(agent.m_hLastResult, kInvalidArg);
    // Text that is not Base64 of a structure at all.
    EXPECT_EQ(agent.VerifyMsgSignaturePKCS7Attached(u"!!!!", u"RSA", out.Receive()), kInvalidData);
}

}  // namespace
