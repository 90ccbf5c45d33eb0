#include <gtest/gtest.h>

#include <string>

#include "certificates/CertificateFilters.h"
#include "common/ResultCodes.h"
#include "common/Utf.h"
#include "platform/runtime/LastError.h"
#include "tests/certificates/TestCertificates.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(ParseFiltersTest, SplitsAtHashKeepingEmptyPiecesAndCutsLongOnes) {
    struct Case {
        const char16_t* text;
        std::vector<std::u16string> values;
    };
    const std::u16string long_value(300, u'a');
    for (const Case& c :
         {Case{nullptr, {}}, Case{u"A#B", {u"A", u"B"}}, Case{u"A#", {u"A", u""}}, Case{u"", {u""}},
          Case{u"##", {u"", u"", u""}}, Case{long_value.c_str(), {std::u16string(255, u'a')}}}) {
        std::vector<std::u16string> values;
        ParseFilters(c.text, values);
        EXPECT_EQ(values, c.values) << (c.text ? Utf16ToUtf8String(c.text) : "null");
    }
}

// A personal store of named certificates on the stand-in platform; Filter() runs the filter
// over all of them and answers the names it kept, in order.
class FilterCertificatesTest : public testing::Test {
  protected:
    void Add(const std::string& name, TestCertificateSpec spec, const std::u16string& provider = {},
             EVP_PKEY* issuer_key = nullptr) {
        spec.serial = static_cast<long>(names_.size() + 1);
        spec.issuer_key = issuer_key;
        const Bytes der = TestDer(spec, key_.get());
        if (!provider.empty()) {
            bool known = false;
            for (auto& p : platform_.providers) known = known || p.name == provider;
            if (!known)
                platform_.providers.push_back({provider,
                                               PROV_RSA_FULL,
                                               CRYPT_IMPL_SOFTWARE,
                                               {{"keys", {{AT_KEYEXCHANGE, {}, key_}}}},
                                               true});
        }
        platform_.personal_store.push_back({der, provider, "keys", AT_KEYEXCHANGE});
        names_.push_back(name);
    }
    std::vector<std::string> Filter(const CERTIFICATE_FILTER* filter, HRESULT expected = S_OK) {
        CertificateSet kept;
        EXPECT_EQ(FilterCertificatesfromLocalStore(filter, kept), expected);
        std::vector<std::string> names;
        for (PCCERT_CONTEXT context : kept)
            names.push_back(names_[context->pCertInfo->SerialNumber.pbData[0] - 1]);
        RemoveAllCertificates(kept);
        return names;
    }

    StandInCertPlatform platform_;
    ScopedCertPlatform scoped_{&platform_};
    SharedPkey key_ = MakeRsaKey(1024);
    std::vector<std::string> names_;
};

TestCertificateSpec Spec(const char* subject, unsigned key_usage = 0x80) {
    TestCertificateSpec spec;
    spec.subject = subject;
    spec.issuer = "C=CN,O=Example Org,CN=Root CA";
    spec.key_usage = key_usage;
    return spec;
}

TEST_F(FilterCertificatesTest, NameFiltersMatchCaseInsensitiveSubstrings) {
    Add("acme", Spec("C=CN,O=ACME Corp,CN=Alice"));
    Add("other", Spec("C=CN,O=Other,CN=Bob"));
    TestCertificateSpec self = Spec("C=CN,O=Self,CN=Carol");
    self.issuer = "C=CN,CN=RootCA";
    Add("self", self);

    EXPECT_EQ(Filter(nullptr), (std::vector<std::string>{"acme", "other", "self"}));
    struct Case {
        const char16_t* subject;
        const char16_t* issuer;
        std::vector<std::string> kept;
    };
    for (const Case& c :
         {Case{u"", nullptr, {"acme", "other", "self"}},
          Case{u"nobody#", nullptr, {"acme", "other", "self"}}, Case{u"corp", nullptr, {"acme"}},
          Case{u"CN=bob#cn=carol", nullptr, {"other", "self"}}, Case{u"nobody", nullptr, {}},
          Case{nullptr, u"CN=Root CA", {"acme", "other"}}, Case{nullptr, u"CN=RootCA", {"self"}}}) {
        CERTIFICATE_FILTER filter{};
        filter.lpwszSubjectDNFilter = c.subject;
        filter.lpwszIssuerDNFilter = c.issuer;
        EXPECT_EQ(Filter(&filter), c.kept) << Utf16ToUtf8String(c.subject ? c.subject : u"")
                                           << " / " << Utf16ToUtf8String(c.issuer ? c.issuer : u"");
    }
}

TEST_F(FilterCertificatesTest, LongFilterValueIsComparedByItsFirst255Characters) {
    const std::string piece(60, 'x');
    const std::string subject =
        "C=CN,O=" + piece + ",OU=" + piece + ",OU=" + piece + ",OU=" + piece + ",CN=" + piece;
    Add("long", Spec(subject.c_str()));
    // The rendered subject starts "CN=xxx..., OU=xxx..."; its first 255 characters followed by
    // 45 characters that appear nowhere still match.
    const std::string rendered = "CN=" + piece + ", OU=" + piece + ", OU=" + piece +
                                 ", OU=" + piece + ", O=" + piece + ", C=CN";
    const std::u16string value = Utf8ToUtf16String(rendered.substr(0, 255) + std::string(45, '#'));
    const std::u16string text = value.substr(0, 255) + std::u16string(45, u'z');
    CERTIFICATE_FILTER filter{};
    filter.lpwszSubjectDNFilter = text.c_str();
    EXPECT_EQ(Filter(&filter), (std::vector<std::string>{"long"}));
}

TEST_F(FilterCertificatesTest, KeyUsageSignatureAlgorithmAndTime) {
    SharedPkey sm2_issuer = MakeSm2Key();
    Add("sign", Spec("CN=Sign", 0x80));
    Add("none", Spec("CN=None", 0));
    Add("encrypt", Spec("CN=Encrypt", 0x20));
    Add("sign+encrypt", Spec("CN=Both", 0xA0));
    Add("sm2", Spec("CN=Sm2", 0x80), u"", sm2_issuer.get());
    TestCertificateSpec expired = Spec("CN=Expired");
    expired.not_before_days = -30;
    expired.not_after_days = -1;
    Add("expired", expired);

    CERTIFICATE_FILTER filter{};
    filter.dwKeyUsage = 0x80;
    EXPECT_EQ(Filter(&filter),
              (std::vector<std::string>{"sign", "sign+encrypt", "sm2", "expired"}));

    filter = {};
    filter.lpszSignatureAlgOID = "1.2.840.113549";
    EXPECT_EQ(Filter(&filter),
              (std::vector<std::string>{"sign", "none", "encrypt", "sign+encrypt", "expired"}));
    filter.lpszSignatureAlgOID = "1.2.156.10197";
    EXPECT_EQ(Filter(&filter), (std::vector<std::string>{"sm2"}));

    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    filter = {};
    filter.pftCheckTime = &now;
    EXPECT_EQ(Filter(&filter),
              (std::vector<std::string>{"sign", "none", "encrypt", "sign+encrypt", "sm2"}));
}

TEST_F(FilterCertificatesTest, ProviderNamesAndPrivateKeyCheck) {
    Add("a", Spec("CN=A"), u"Provider A");
    Add("b", Spec("CN=B"), u"Provider B");
    Add("unkeyed", Spec("CN=Unkeyed"));
    struct Case {
        const char16_t* providers;
        std::vector<std::string> kept;
    };
    for (const Case& c : {Case{u"provider a||||Provider B", {"a"}},
                          Case{u"||Provider B", {"a", "b", "unkeyed"}}, Case{u"B", {"b"}}}) {
        CERTIFICATE_FILTER filter{};
        filter.lpwszCSPNameFilter = c.providers;
        EXPECT_EQ(Filter(&filter), c.kept) << Utf16ToUtf8String(c.providers);
    }
    // A certificate without a key-provider property fails with the platform's own error.
    CertificateSet all;
    ASSERT_EQ(ExtractCertificatesFromLocalStore(all), S_OK);
    EXPECT_EQ(CheckCSPName(all[2], {u"B"}), CRYPT_E_NOT_FOUND);
    RemoveAllCertificates(all);

    CERTIFICATE_FILTER filter{};
    filter.bCheckPrivateKey = 2;  // anything but 1 checks nothing
    EXPECT_EQ(Filter(&filter), (std::vector<std::string>{"a", "b", "unkeyed"}));
    filter.bCheckPrivateKey = 1;
    EXPECT_EQ(Filter(&filter), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(platform_.open_handles(), 0);
}

TEST_F(FilterCertificatesTest, SerialAndKeyIdentifierCompareOverTheCertificatesLength) {
    TestCertificateSpec spec = Spec("CN=Serial");
    Add("serial", spec);  // serial 01
    CertificateSet all;
    ASSERT_EQ(ExtractCertificatesFromLocalStore(all), S_OK);
    PCCERT_CONTEXT context = all[0];
    struct Case {
        Bytes filter;
        DWORD available;
        HRESULT result;
    };
    for (const Case& c : {Case{{0x01}, 0, S_OK}, Case{{0x01, 0x00, 0x00, 0x00, 0x00}, 5, S_OK},
                          Case{{0x01, 0x77}, 2, S_OK},  // the filter's own length plays no part
                          Case{{0x02}, 1, E_FAIL}}) {
        EXPECT_EQ(CheckCertSerialNumber(context, c.filter.data(), c.available), c.result);
    }
    const CERT_EXTENSION* key_id =
        CertFindExtension(szOID_SUBJECT_KEY_IDENTIFIER, context->pCertInfo->cExtension,
                          context->pCertInfo->rgExtension);
    ASSERT_NE(key_id, nullptr);
    const Bytes id(key_id->Value.pbData + 2, key_id->Value.pbData + key_id->Value.cbData);
    EXPECT_EQ(CheckCertSubjectKeyID(id.data(), context, static_cast<DWORD>(id.size())), S_OK);
    // A filter buffer shorter than the certificate's identifier is never read past its end.
    EXPECT_EQ(CheckCertSubjectKeyID(id.data(), context, 4), E_FAIL);
    Bytes other = id;
    other.back() ^= 1;
    EXPECT_EQ(CheckCertSubjectKeyID(other.data(), context, static_cast<DWORD>(other.size())),
              E_FAIL);
    RemoveAllCertificates(all);
}

TEST_F(FilterCertificatesTest, EmptyOrUnopenableStore) {
    EXPECT_TRUE(Filter(nullptr).empty());
    platform_.personal_store_opens = false;
    Filter(nullptr, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

// A platform whose n-th duplication fails, as when memory runs out.
struct FailingDuplicate : StandInCertPlatform {
    int fail_at = 0;
    int calls = 0;
    PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT context) override {
        if (++calls == fail_at) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        return StandInCertPlatform::CertDuplicateCertificateContext(context);
    }
};

TEST(FilterFailureTest, FailedDuplicationLeavesNoPartialResult) {
    FailingDuplicate platform;
    ScopedCertPlatform scoped(&platform);
    for (const char* subject : {"CN=One", "CN=Two", "CN=Three"})
        platform.personal_store.push_back({TestDer(Spec(subject)), u"", "", 0});

    CertificateSet all;
    ASSERT_EQ(ExtractCertificatesFromLocalStore(all), S_OK);
    ASSERT_EQ(all.size(), 3u);
    platform.calls = 0;
    platform.fail_at = 2;
    CertificateSet kept;
    EXPECT_EQ(FilterCertificates(nullptr, kept, all), HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_TRUE(kept.empty());

    // During extraction: the enumeration's own duplicate (call 3) succeeds, ours (call 4) fails.
    platform.fail_at = 0;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING, 0, 0, u"MY");
    platform.calls = 0;
    platform.fail_at = 4;
    CertificateSet extracted;
    EXPECT_EQ(ExtractCertificatesFromStore(store, extracted),
              HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_TRUE(extracted.empty());
    CertCloseStore(store, 0);
    EXPECT_EQ(ExtractCertificatesFromStore(nullptr, extracted), E_INVALIDARG);
    RemoveAllCertificates(all);
}

}  // namespace
