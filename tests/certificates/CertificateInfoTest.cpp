#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "certificates/CertificateInfo.h"
#include "common/ResultCodes.h"
#include "common/Utf.h"
#include "tests/certificates/TestCertificates.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string Text(void* query_output) {
    auto* text = static_cast<char16_t*>(query_output);
    std::string out = text != nullptr ? Utf16ToUtf8String(text) : "<null>";
    std::free(text);
    return out;
}

class CertificateInfoTest : public testing::Test {
  protected:
    StandInCertPlatform platform_;
    ScopedCertPlatform scoped_{&platform_};
};

TEST_F(CertificateInfoTest, UnknownKindsLeaveTheOutputsAlone) {
    ContextPtr context = TestContext(TestCertificateSpec{});
    for (int kind : {0, 12, -1}) {
        void* data = reinterpret_cast<void*>(0x1234);
        DWORD length = 77;
        EXPECT_EQ(QueryCertContextInfo(context.get(), kind, &data, &length),
                  VELK_E_QUERY_TYPE_NOT_SUPPORTED);
        EXPECT_EQ(data, reinterpret_cast<void*>(0x1234));
        EXPECT_EQ(length, 77u);
    }
}

TEST_F(CertificateInfoTest, NamesAndSerialNumber) {
    TestCertificateSpec spec;
    spec.subject = "C=CN,O=Org,CN=Signer";
    spec.issuer = "C=CN,O=Example Org,CN=Root CA";
    spec.serial = 0x010203;
    ContextPtr context = TestContext(spec);
    struct Case {
        int kind;
        const char* text;
        DWORD length;
    };
    for (const Case& c : {Case{CERTINFO_SUBJECT_DN, "CN=Signer, O=Org, C=CN", 23},
                          Case{CERTINFO_SUBJECT_SIMPLE, "Signer, Org, CN", 16},
                          Case{CERTINFO_ISSUER_DN, "CN=Root CA, O=Example Org, C=CN", 32},
                          Case{CERTINFO_CN, "Signer", 7}}) {
        void* data = nullptr;
        DWORD length = 0;
        EXPECT_EQ(QueryCertContextInfo(context.get(), c.kind, &data, &length), S_OK);
        EXPECT_EQ(Text(data), c.text) << c.kind;
        EXPECT_EQ(length, c.length) << c.kind;
    }
    BYTE* serial = nullptr;
    DWORD length = 0;
    ASSERT_EQ(QueryCertContextInfo(context.get(), CERTINFO_SERIAL_NUMBER, &serial, &length), S_OK);
    EXPECT_EQ(Bytes(serial, serial + length), (Bytes{0x03, 0x02, 0x01}));
    std::free(serial);
}

TEST_F(CertificateInfoTest, EmptyDisplayNameIsNoFailureHere) {
    TestCertificateSpec spec;
    spec.subject = "C=CN";
    ContextPtr context = TestContext(spec);
    void* data = nullptr;
    DWORD length = 0;
    EXPECT_EQ(QueryCertContextInfo(context.get(), CERTINFO_CN, &data, &length), S_OK);
    EXPECT_EQ(Text(data), "");
    EXPECT_EQ(length, 1u);
}

struct ExtensionCase {
    unsigned key_usage;  // 0 = no extension
    bool empty_bits;     // an extension whose bit string has no bytes
    bool subject_key_id;
    HRESULT usage_result;
    DWORD usage;
    HRESULT key_id_result;
};
void PrintTo(const ExtensionCase& c, std::ostream* os) {
    *os << "key usage " << c.key_usage << (c.empty_bits ? " (no bytes)" : "")
        << (c.subject_key_id ? ", key id" : ", no key id");
}

class ExtensionTest : public CertificateInfoTest,
                      public testing::WithParamInterface<ExtensionCase> {};

TEST_P(ExtensionTest, KeyUsageAndSubjectKeyIdentifier) {
    TestCertificateSpec spec;
    spec.key_usage = GetParam().key_usage;
    spec.key_usage_without_bits = GetParam().empty_bits;
    spec.subject_key_id = GetParam().subject_key_id;
    ContextPtr context = TestContext(spec);
    ASSERT_TRUE(context);

    DWORD usage = 0xFFFF, length = 0;
    EXPECT_EQ(QueryCertContextInfo(context.get(), CERTINFO_KEY_USAGE, &usage, &length),
              GetParam().usage_result);
    if (SUCCEEDED(GetParam().usage_result)) {
        EXPECT_EQ(usage, GetParam().usage);
        EXPECT_EQ(length, 4u);
    }

    BYTE* key_id = nullptr;
    DWORD key_id_length = 0;
    EXPECT_EQ(QueryCertContextInfo(context.get(), CERTINFO_SUBJECT_KEY_ID, &key_id, &key_id_length),
              GetParam().key_id_result);
    EXPECT_EQ(key_id_length, SUCCEEDED(GetParam().key_id_result) ? 20u : 0u);  // SHA-1 of the key
    std::free(key_id);
    // Without a bytes output the reader only tests that the extension is there.
    EXPECT_EQ(GetCertSubjectKeyID(context.get(), nullptr, nullptr), GetParam().key_id_result);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExtensionTest,
    testing::Values(ExtensionCase{0xC0, false, true, S_OK, 0xC0, S_OK},
                    ExtensionCase{0x80, false, false, S_OK, 0x80, VELK_E_NO_SUBJECT_KEY_ID},
                    ExtensionCase{0, false, true, VELK_E_NO_KEY_USAGE, 0, S_OK},
                    // No bytes, no usage asserted: read as 0, never past the bit string.
                    ExtensionCase{0, true, true, S_OK, 0, S_OK}));

TEST_F(CertificateInfoTest, ValidityBoundsAreUtcFields) {
    TestCertificateSpec spec;
    spec.not_before_unix = 1577836800;  // 2020-01-01T00:00:00Z
    spec.not_after_unix = 1893456000;   // 2030-01-01T00:00:00Z
    ContextPtr context = TestContext(spec);
    SYSTEMTIME time{};
    DWORD length = 0;
    ASSERT_EQ(QueryCertContextInfo(context.get(), CERTINFO_NOT_AFTER, &time, &length), S_OK);
    EXPECT_EQ(length, 16u);
    EXPECT_EQ(time.wYear, 2030);
    EXPECT_EQ(time.wMonth, 1);
    EXPECT_EQ(time.wDay, 1);
    EXPECT_EQ(time.wHour, 0);
    ASSERT_EQ(QueryCertContextInfo(context.get(), CERTINFO_NOT_BEFORE, &time, &length), S_OK);
    EXPECT_EQ(time.wYear, 2020);
}

TEST_F(CertificateInfoTest, ProviderAndContainerOfAReachableKeyOnly) {
    SharedPkey key = MakeRsaKey(1024);
    TestCertificateSpec spec;
    const Bytes der = TestDer(spec, key.get());
    platform_.providers.push_back({u"Token One",
                                   PROV_RSA_FULL,
                                   CRYPT_IMPL_HARDWARE,
                                   {{"keys-1", {{AT_KEYEXCHANGE, der, key}}}},
                                   true});
    platform_.personal_store.push_back({der, u"Token One", "keys-1", AT_KEYEXCHANGE});
    platform_.personal_store.push_back({TestDer(TestCertificateSpec{}), u"", "", 0});
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING, 0,
                                     CERT_STORE_READONLY_FLAG, u"MY");
    ContextPtr with_key(CertEnumCertificatesInStore(store, nullptr));
    ContextPtr without_key(
        CertEnumCertificatesInStore(store, CertDuplicateCertificateContext(with_key.get())));
    CertCloseStore(store, 0);

    void* data = nullptr;
    DWORD length = 0;
    ASSERT_EQ(QueryCertContextInfo(with_key.get(), CERTINFO_PROVIDER_NAME, &data, &length), S_OK);
    EXPECT_EQ(Text(data), "Token One");
    EXPECT_EQ(length, 9u);
    ASSERT_EQ(QueryCertContextInfo(with_key.get(), CERTINFO_CONTAINER_NAME, &data, &length), S_OK);
    EXPECT_EQ(Text(data), "keys-1");
    EXPECT_EQ(length, 6u);

    for (int kind : {CERTINFO_PROVIDER_NAME, CERTINFO_CONTAINER_NAME}) {
        data = nullptr;
        EXPECT_EQ(QueryCertContextInfo(without_key.get(), kind, &data, &length),
                  CRYPT_E_NO_KEY_PROPERTY);
        EXPECT_EQ(data, nullptr);
    }
    EXPECT_EQ(platform_.open_handles(), 0);
}

TEST_F(CertificateInfoTest, ProviderParameterOfSizeZeroFails) {
    struct EmptyParameter : StandInCertPlatform {
        BOOL CryptGetProvParam(HCRYPTPROV, DWORD, BYTE*, DWORD* length, DWORD) override {
            *length = 0;
            return TRUE;
        }
    } platform;
    ScopedCertPlatform scoped(&platform);
    BYTE* data = nullptr;
    DWORD length = 5;
    EXPECT_EQ(GetProviderInfo(1, PP_NAME, &data, &length), E_FAIL);
    EXPECT_EQ(data, nullptr);
}

}  // namespace
