// The agent's choice and its use, over the in-memory platform: which record an SM2 choice keeps,
// what the properties of each family read, and how the with-source flag is taken.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "agent/CryptoAgent.h"
#include "certificates/UnregisteredCertificates.h"
#include "common/Conversions.h"
#include "common/Utf.h"
#include "platform/crypt/CertServices.h"
#include "platform/window/CertificateDialogs.h"
#include "tests/agent-signing/SignedDataReader.h"
#include "tests/support/StandInCertPlatform.h"

namespace {

class AgentSigningTest : public ::testing::Test {
  protected:
    void SetUp() override {
        rsa_key_ = MakeRsaKey(1024);
        sm2_key_ = MakeSm2Key();
        TestCertificateSpec rsa;
        rsa.subject = "C=CN,O=Org,CN=Rsa Signer";
        rsa.key_usage = 0x80;
        rsa.serial = 0xA1B2;  // DER content 00 A1 B2
        rsa_cert_ = MakeTestCertificate(rsa_key_.get(), rsa);
        TestCertificateSpec sm2;
        sm2.subject = "C=CN,O=Org,CN=Sm2 Signer";
        sm2.key_usage = 0xC0;
        sm2_cert_ = MakeTestCertificate(sm2_key_.get(), sm2);

        StandInCertPlatform::Key rsa_key{AT_SIGNATURE, rsa_cert_, rsa_key_};
        StandInCertPlatform::Key sm2_key{AT_SIGNATURE, sm2_cert_, sm2_key_};
        platform_.providers = {
            {u"Rsa Token", PROV_RSA_FULL, CRYPT_IMPL_SOFTWARE, {{"rsa", {rsa_key}}}, true},
            {u"First SM2", PROV_RSA_FULL, CRYPT_IMPL_HARDWARE, {{"one", {sm2_key}}}, true},
            {u"Second SM2", PROV_RSA_FULL, CRYPT_IMPL_HARDWARE, {{"two", {sm2_key}}}, true},
        };
        platform_.personal_store = {{rsa_cert_, u"Rsa Token", "rsa", AT_SIGNATURE}};
    }

    std::string Info(const char16_t* type, HRESULT expected = S_OK) {
        BStr text;
        EXPECT_EQ(agent_.GetSignCertInfo(type, text.Receive()), expected);
        EXPECT_FALSE(text.IsNull());
        return Utf16ToUtf8String(text.View());
    }

    StandInCertPlatform platform_;
    ScopedCertPlatform scoped_{&platform_};
    SharedPkey rsa_key_, sm2_key_;
    std::vector<uint8_t> rsa_cert_, sm2_cert_;
    CCryptoAgent agent_;
};

TEST_F(AgentSigningTest, PersonalStoreChoiceReadsAsRsaWithItsSerialAndProvider) {
    VARIANT_BOOL chosen = VARIANT_FALSE;
    ASSERT_EQ(agent_.SelectCertificate(nullptr, nullptr, u"00A1B2", &chosen), S_OK);
    EXPECT_EQ(chosen, VARIANT_TRUE);
    EXPECT_EQ(agent_.m_bSM2Certificate, 0);
    EXPECT_NE(agent_.m_pCertContext, nullptr);
    EXPECT_EQ(agent_.m_pUnregisteredSignCertContext, nullptr);
    EXPECT_EQ(Info(u"SerialNumber"), "00a1b2");
    EXPECT_EQ(Info(u"CertType"), "RSA");
    EXPECT_EQ(Info(u"SUBJECTDN"), "CN=Rsa Signer, O=Org, C=CN");
    EXPECT_EQ(Info(u"CSPName"), "Rsa Token");
    EXPECT_EQ(Info(u"Version", E_INVALIDARG), "");
    EXPECT_EQ(platform_.open_handles(), 0);
}

// The same SM2 certificate sits in two providers' containers: the dialog shows it once, the
// first provider's record is kept, and its provider name is reported without opening any key.
TEST_F(AgentSigningTest, ContainerChoiceKeepsTheFirstRecordAndReadsAsSm2) {
    static int rows = 0;
    const SelectCertificateDialogRunner previous = SetSelectCertificateDialogRunner(
        [](const SELECT_CERTIFICATE_DIALOG_PARAM* param, PCCERT_CONTEXT* chosen, DWORD*) {
            rows = 0;
            for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(param->hCertStore, nullptr);
                 c != nullptr; c = CertEnumCertificatesInStore(param->hCertStore, c))
                if (rows++ == 0) *chosen = CertDuplicateCertificateContext(c);
            return IDOK;
        });
    VARIANT_BOOL chosen = VARIANT_FALSE;
    ASSERT_EQ(agent_.SetSM2CSPList(u"First SM2||Second SM2", &chosen), S_OK);
    ASSERT_EQ(agent_.SelectCertificate(u"Sm2 Signer", nullptr, nullptr, &chosen), S_OK);
    SetSelectCertificateDialogRunner(previous);
    EXPECT_EQ(rows, 1);
    EXPECT_EQ(agent_.m_bSM2Certificate, 1);
    EXPECT_EQ(agent_.m_pCertContext, nullptr);
    ASSERT_NE(agent_.m_pUnregisteredSignCertContext, nullptr);
    EXPECT_EQ(std::u16string(agent_.m_pUnregisteredSignCertContext->wszContainerName), u"one");
    EXPECT_EQ(Info(u"CSPName"), "First SM2");
    EXPECT_EQ(Info(u"CertType"), "SM2");
    EXPECT_EQ(platform_.open_handles(), 0);

    // Selecting again with a filter that leaves nothing forgets the record.
    EXPECT_EQ(agent_.SelectCertificate(u"Nobody", nullptr, nullptr, &chosen),
              static_cast<HRESULT>(0xA0071001u));
    EXPECT_EQ(agent_.m_pUnregisteredSignCertContext, nullptr);
    EXPECT_EQ(Info(u"CertType", static_cast<HRESULT>(0xA0072001u)), "");
}

TEST_F(AgentSigningTest, WithoutProviderListNoContainerIsOpened) {
    VARIANT_BOOL chosen = VARIANT_FALSE;
    EXPECT_EQ(agent_.SelectCertificate(u"Sm2 Signer", nullptr, nullptr, &chosen),
              static_cast<HRESULT>(0xA0071001u));
    EXPECT_TRUE(platform_.acquired_providers.empty());
}

// On the SM2 path the hash name is not looked at: the container's key always signs with SM3.
TEST_F(AgentSigningTest, ContainerChoiceSignsWithSm3WhateverTheHashName) {
    platform_.providers.pop_back();  // one container holds the certificate: no dialog
    VARIANT_BOOL chosen = VARIANT_FALSE;
    ASSERT_EQ(agent_.SetSM2CSPList(u"First SM2", &chosen), S_OK);
    ASSERT_EQ(agent_.SelectCertificate(u"Sm2 Signer", nullptr, nullptr, &chosen), S_OK);
    for (const char16_t* hash : {static_cast<const char16_t*>(nullptr), u"", u"MD5", u"SHA-256"}) {
        platform_.created_hash_algs.clear();
        BStr signature;
        ASSERT_EQ(agent_.SignMsgPKCS7(u"\u4e2d", hash, VARIANT_TRUE, signature.Receive()), S_OK);
        EXPECT_EQ(platform_.created_hash_algs, std::vector<ALG_ID>{0x800F});
        const std::string text = Utf16ToUtf8String(signature.View());
        uint8_t* der = nullptr;
        uint32_t count = 0;
        ASSERT_EQ(Base64DecodeEx(static_cast<int32_t>(text.size()), &der, text.c_str(), &count),
                  S_OK);
        const auto fields = signing_test::ReadSm2SignedData(std::vector<uint8_t>(der, der + count));
        std::free(der);
        ASSERT_TRUE(fields.has_value());
        EXPECT_EQ(fields->content, "\xE4\xB8\xAD");
        EXPECT_TRUE(signing_test::VerifySm2Signature(sm2_cert_, "\xE4\xB8\xAD", fields->signature));
        BStr validity;
        EXPECT_EQ(
            agent_.VerifyMsgSignaturePKCS7Attached(signature.Get(), u"SM2", validity.Receive()),
            S_OK);
    }
    EXPECT_EQ(platform_.open_handles(), 0);
}

// Validity bounds far from today (before 1970, after 3000) are shown as they are, in the local
// time zone (UTC here).
TEST_F(AgentSigningTest, ValidityOutsideTheUsualRangeHasADefinedText) {
    setenv("TZ", "UTC0", 1);
    tzset();
    const struct {
        int not_before_days;
        int not_after_days;
    } cases[] = {
        {-(2026 - 1950) * 365, 1}, {-1, 400000},  // beyond the year 3000
    };
    for (const auto& c : cases) {
        TestCertificateSpec spec;
        spec.subject = "CN=Timeless";
        spec.key_usage = 0x80;
        spec.not_before_days = c.not_before_days;
        spec.not_after_days = c.not_after_days;
        platform_.personal_store = {
            {MakeTestCertificate(rsa_key_.get(), spec), u"Rsa Token", "rsa", AT_SIGNATURE}};
        platform_.providers[0].containers[0].keys[0].certificate =
            platform_.personal_store[0].certificate;
        VARIANT_BOOL chosen = VARIANT_FALSE;
        ASSERT_EQ(agent_.SelectCertificate(u"Timeless", nullptr, nullptr, &chosen), S_OK)
            << c.not_before_days;
        auto day = [](int offset) {
            const time_t t = time(nullptr) + static_cast<time_t>(offset) * 86400;
            struct tm utc = {};
            gmtime_r(&t, &utc);
            char text[32];
            strftime(text, sizeof text, "%Y-%m-%d", &utc);
            return std::string(text);
        };
        EXPECT_EQ(Info(u"ValidFrom").substr(0, 10), day(c.not_before_days));
        EXPECT_EQ(Info(u"ValidTo").substr(0, 10), day(c.not_after_days));
    }
    unsetenv("TZ");
    tzset();
}

// Only VARIANT_TRUE attaches the message; 1 means detached like 0.
TEST_F(AgentSigningTest, OnlyMinusOneAttachesTheMessage) {
    VARIANT_BOOL chosen = VARIANT_FALSE;
    ASSERT_EQ(agent_.SelectCertificate(u"Rsa", nullptr, nullptr, &chosen), S_OK);
    for (VARIANT_BOOL flag : {VARIANT_BOOL{-1}, VARIANT_BOOL{1}, VARIANT_BOOL{0}}) {
        BStr signature;
        ASSERT_EQ(agent_.SignMsgPKCS7(u"\u4e2d", u"sha-256", flag, signature.Receive()), S_OK);
        const std::string text = Utf16ToUtf8String(signature.View());
        uint8_t* der = nullptr;
        uint32_t count = 0;
        ASSERT_EQ(Base64DecodeEx(static_cast<int32_t>(text.size()), &der, text.c_str(), &count),
                  S_OK);
        const auto fields = signing_test::ReadSignedData(std::vector<uint8_t>(der, der + count));
        std::free(der);
        ASSERT_TRUE(fields.has_value());
        if (flag == -1)
            EXPECT_EQ(fields->content, "\xE4\xB8\xAD");
        else
            EXPECT_FALSE(fields->content.has_value()) << flag;
    }
    // A failed signing leaves no signature and the same code for the description.
    BStr signature;
    EXPECT_EQ(agent_.SignMsgPKCS7(u"m", u"SHA-384", -1, signature.Receive()),
              static_cast<HRESULT>(0xA0072020u));
    EXPECT_TRUE(signature.IsNull());
    EXPECT_EQ(agent_.m_hLastResult, static_cast<HRESULT>(0xA0072020u));
    EXPECT_EQ(platform_.open_handles(), 0);
}

}  // namespace
