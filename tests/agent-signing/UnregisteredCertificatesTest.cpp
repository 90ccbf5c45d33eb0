// The container search over an in-memory platform whose providers hold real certificates.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "certificates/UnregisteredCertificates.h"
#include "platform/crypt/CertServices.h"
#include "tests/support/StandInCertPlatform.h"

namespace {

constexpr char kSm2Family[] = "1.2.156.10197";

class ContainerSearchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sm2_key_ = MakeSm2Key();
        rsa_key_ = MakeRsaKey(1024);
    }
    void TearDown() override {
        RemoveAllUnregisteredCertificates(found_);
        EXPECT_EQ(platform_.open_handles(), 0);
    }

    std::vector<uint8_t> Sm2Certificate(const std::string& cn, long serial) {
        TestCertificateSpec spec;
        spec.subject = "C=CN,O=Org,CN=" + cn;
        spec.key_usage = 0x80;
        spec.serial = serial;
        return MakeTestCertificate(sm2_key_.get(), spec);
    }
    StandInCertPlatform::Key KeyWith(DWORD spec, std::vector<uint8_t> certificate) {
        StandInCertPlatform::Key key;
        key.key_spec = spec;
        key.certificate = std::move(certificate);
        key.private_key = sm2_key_;
        return key;
    }
    // A provider with one container holding one key-exchange certificate.
    void AddProvider(const std::u16string& name, const std::string& container, long serial) {
        StandInCertPlatform::Provider provider;
        provider.name = name;
        provider.containers.push_back(
            {container, {KeyWith(AT_KEYEXCHANGE, Sm2Certificate("C" + container, serial))}});
        platform_.providers.push_back(provider);
    }
    CERTIFICATE_FILTER Sm2Filter() {
        CERTIFICATE_FILTER filter = {};
        filter.dwKeyUsage = 0x80;
        filter.lpszSignatureAlgOID = kSm2Family;
        return filter;
    }
    std::set<std::u16string> SearchedProviders() const {
        return {platform_.acquired_providers.begin(), platform_.acquired_providers.end()};
    }

    StandInCertPlatform platform_;
    ScopedCertPlatform scoped_{&platform_};
    SharedPkey sm2_key_;
    SharedPkey rsa_key_;
    UnregisteredCertificateSet found_;
};

TEST_F(ContainerSearchTest, ProvidersNamingMicrosoftAreSkippedCaseSensitively) {
    AddProvider(u"A", "a1", 1);
    AddProvider(u"Microsoft Base Provider", "m1", 2);
    AddProvider(u"B", "b1", 3);
    AddProvider(u"microsoft lower", "l1", 4);
    const CERTIFICATE_FILTER filter = Sm2Filter();

    ASSERT_EQ(FilterUnregisteredCertificatesfromCSP(
                  u"A||Microsoft Base Provider||B||microsoft lower", &filter, found_),
              S_OK);
    EXPECT_EQ(SearchedProviders(), (std::set<std::u16string>{u"A", u"B", u"microsoft lower"}));
    ASSERT_EQ(found_.size(), 3u);
    EXPECT_EQ(std::u16string(found_[0]->wszProviderName), u"A");
    EXPECT_EQ(std::u16string(found_[1]->wszProviderName), u"B");
    EXPECT_EQ(std::u16string(found_[2]->wszContainerName), u"l1");
}

TEST_F(ContainerSearchTest, NullListSearchesEveryInstalledProviderAndEmptyListNone) {
    AddProvider(u"A", "a1", 1);
    AddProvider(u"Microsoft Strong", "m1", 2);
    AddProvider(u"C", "c1", 3);
    const CERTIFICATE_FILTER filter = Sm2Filter();

    ASSERT_EQ(FilterUnregisteredCertificatesfromCSP(u"", &filter, found_), S_OK);
    EXPECT_TRUE(found_.empty());
    EXPECT_TRUE(platform_.acquired_providers.empty());

    ASSERT_EQ(FilterUnregisteredCertificatesfromCSP(nullptr, &filter, found_), S_OK);
    EXPECT_EQ(SearchedProviders(), (std::set<std::u16string>{u"A", u"C"}));
    EXPECT_EQ(found_.size(), 2u);
}

TEST_F(ContainerSearchTest, ContainerWithBothKeysGivesKeyExchangeRecordFirst) {
    StandInCertPlatform::Provider provider;
    provider.name = u"P";
    // The signature key is listed first in the model; the search still takes key exchange first.
    provider.containers.push_back({"both",
                                   {KeyWith(AT_SIGNATURE, Sm2Certificate("sig", 11)),
                                    KeyWith(AT_KEYEXCHANGE, Sm2Certificate("enc", 12))}});
    platform_.providers.push_back(provider);
    const CERTIFICATE_FILTER filter = Sm2Filter();

    ASSERT_EQ(FilterUnregisteredCertificatesfromSpecifiedCSP(u"P", &filter, found_), S_OK);
    ASSERT_EQ(found_.size(), 2u);
    EXPECT_EQ(found_[0]->dwKeySpec, AT_KEYEXCHANGE);
    EXPECT_EQ(found_[1]->dwKeySpec, AT_SIGNATURE);
    EXPECT_EQ(std::u16string(found_[1]->wszContainerName), u"both");
    EXPECT_EQ(std::u16string(found_[1]->wszProviderName), u"P");
}

TEST_F(ContainerSearchTest, OnlyCertificatesThatPassTheFilterAndAreUnregisteredAreKept) {
    TestCertificateSpec rsa_spec;
    rsa_spec.subject = "CN=Wanted RSA";
    rsa_spec.key_usage = 0x80;
    const std::vector<uint8_t> registered = Sm2Certificate("registered", 21);
    StandInCertPlatform::Provider provider;
    provider.name = u"P";
    provider.containers.push_back(
        {"rsa", {KeyWith(AT_SIGNATURE, MakeTestCertificate(rsa_key_.get(), rsa_spec))}});
    provider.containers.push_back({"registered", {KeyWith(AT_SIGNATURE, registered)}});
    provider.containers.push_back({"no-certificate", {KeyWith(AT_SIGNATURE, {})}});
    provider.containers.push_back(
        {"other-subject", {KeyWith(AT_SIGNATURE, Sm2Certificate("Other", 22))}});
    provider.containers.push_back({"kept", {KeyWith(AT_SIGNATURE, Sm2Certificate("Wanted", 23))}});
    platform_.providers.push_back(provider);
    // The personal store ties this certificate to its key by itself.
    platform_.personal_store.push_back({registered, u"P", "registered", AT_SIGNATURE});
    CERTIFICATE_FILTER filter = Sm2Filter();
    filter.lpwszSubjectDNFilter = u"wanted#registered";

    ASSERT_EQ(FilterUnregisteredCertificatesfromSpecifiedCSP(u"P", &filter, found_), S_OK);
    ASSERT_EQ(found_.size(), 1u);
    EXPECT_EQ(std::u16string(found_[0]->wszContainerName), u"kept");
}

TEST_F(ContainerSearchTest, ContainerNamesOfAnyLengthAreVisitedAndOverlongOnesSkipped) {
    StandInCertPlatform::Provider provider;
    provider.name = u"P";
    const std::string names[] = {"a", std::string(200, 'l'), "bb", std::string(260, 'x')};
    long serial = 30;
    for (const std::string& name : names)
        provider.containers.push_back(
            {name, {KeyWith(AT_KEYEXCHANGE, Sm2Certificate("n", ++serial))}});
    platform_.providers.push_back(provider);
    const CERTIFICATE_FILTER filter = Sm2Filter();

    ASSERT_EQ(FilterUnregisteredCertificatesfromSpecifiedCSP(u"P", &filter, found_), S_OK);
    ASSERT_EQ(found_.size(), 3u);  // a 260-character name does not fit a record
    EXPECT_EQ(std::u16string(found_[0]->wszContainerName), u"a");
    EXPECT_EQ(std::u16string(found_[1]->wszContainerName).size(), 200u);
    EXPECT_EQ(std::u16string(found_[2]->wszContainerName), u"bb");
}

// The container path compares serial numbers and key identifiers within the filter's buffer
// length, as the personal-store path does: each filter value below sits in a heap block of exactly
// its size, so a read past it shows under AddressSanitizer.
TEST_F(ContainerSearchTest, SerialAndKeyIdentifierFiltersAreReadWithinTheirBuffers) {
    TestCertificateSpec spec;
    spec.subject = "CN=Bounded";
    spec.key_usage = 0x80;
    spec.serial_bytes = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x08};  // 8 bytes
    const std::vector<uint8_t> der = MakeTestCertificate(sm2_key_.get(), spec);
    PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                       der.data(), static_cast<DWORD>(der.size()));
    ASSERT_NE(cert, nullptr);
    const CERT_EXTENSION* key_id_extension = CertFindExtension(
        szOID_SUBJECT_KEY_IDENTIFIER, cert->pCertInfo->cExtension, cert->pCertInfo->rgExtension);
    ASSERT_NE(key_id_extension, nullptr);
    // OCTET STRING header, then the identifier.
    const std::vector<uint8_t> key_id(
        key_id_extension->Value.pbData + 2,
        key_id_extension->Value.pbData + key_id_extension->Value.cbData);
    const std::vector<uint8_t> serial = {0x08, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};

    struct Case {
        const char* name;
        std::vector<uint8_t> serial_filter, key_id_filter;
        HRESULT result;
    };
    const std::vector<Case> cases = {
        {"serial exact", serial, {}, S_OK},
        {"serial shorter than the certificate's", {0x08}, {}, E_FAIL},
        // Only the certificate's length is compared; extra filter bytes play no part.
        {"serial longer than the certificate's",
         {0x08, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x99, 0x99},
         {},
         S_OK},
        {"key identifier exact", {}, key_id, S_OK},
        {"key identifier shorter", {}, {key_id.begin(), key_id.begin() + 4}, E_FAIL},
    };
    for (const Case& c : cases) {
        CERTIFICATE_FILTER filter = Sm2Filter();
        std::unique_ptr<BYTE[]> serial_buffer, key_id_buffer;
        if (!c.serial_filter.empty()) {
            serial_buffer.reset(new BYTE[c.serial_filter.size()]);
            std::copy(c.serial_filter.begin(), c.serial_filter.end(), serial_buffer.get());
            filter.pbSerialNumber = serial_buffer.get();
            filter.cbSerialNumber = static_cast<DWORD>(c.serial_filter.size());
        }
        if (!c.key_id_filter.empty()) {
            key_id_buffer.reset(new BYTE[c.key_id_filter.size()]);
            std::copy(c.key_id_filter.begin(), c.key_id_filter.end(), key_id_buffer.get());
            filter.pbSubjectKeyID = key_id_buffer.get();
            filter.cbSubjectKeyID = static_cast<DWORD>(c.key_id_filter.size());
        }
        EXPECT_EQ(CheckUnregisteredCertficate(cert, &filter), c.result) << c.name;
    }
    CertFreeCertificateContext(cert);
}

TEST_F(ContainerSearchTest, UnknownProviderContributesNothing) {
    const CERTIFICATE_FILTER filter = Sm2Filter();
    EXPECT_NE(FilterUnregisteredCertificatesfromSpecifiedCSP(u"Absent", &filter, found_), S_OK);
    EXPECT_EQ(FilterUnregisteredCertificatesfromCSP(u"Absent||Also absent", &filter, found_), S_OK);
    EXPECT_TRUE(found_.empty());
}

TEST_F(ContainerSearchTest, RecordsRefuseBadArgumentsAndDuplicatesOwnTheirCertificate) {
    const std::vector<uint8_t> der = Sm2Certificate("dup", 40);
    PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                       der.data(), static_cast<DWORD>(der.size()));
    ASSERT_NE(cert, nullptr);
    UNREGISTERED_CERT_CONTEXT* record = nullptr;
    const std::u16string too_long(260, u'n');
    EXPECT_EQ(CertCreateUnregisteredCertContext(u"c", u"p", nullptr, AT_SIGNATURE, &record),
              E_INVALIDARG);
    EXPECT_EQ(CertCreateUnregisteredCertContext(u"c", u"", cert, AT_SIGNATURE, &record),
              E_INVALIDARG);
    EXPECT_EQ(CertCreateUnregisteredCertContext(u"", u"p", cert, AT_SIGNATURE, &record),
              E_INVALIDARG);
    EXPECT_EQ(
        CertCreateUnregisteredCertContext(too_long.c_str(), u"p", cert, AT_SIGNATURE, &record),
        E_INVALIDARG);
    EXPECT_EQ(record, nullptr);

    ASSERT_EQ(CertCreateUnregisteredCertContext(u"c", u"p", cert, AT_SIGNATURE, &record), S_OK);
    CertFreeCertificateContext(cert);  // the record holds its own reference
    UNREGISTERED_CERT_CONTEXT* copy = nullptr;
    ASSERT_EQ(CertDuplicateUnregisteredCertContext(record, &copy), S_OK);
    CertFreeUnregisteredCertContext(record);
    EXPECT_EQ(std::u16string(copy->wszContainerName), u"c");
    EXPECT_EQ(std::u16string(copy->wszProviderName), u"p");
    EXPECT_EQ(copy->dwKeySpec, AT_SIGNATURE);
    ASSERT_NE(copy->pCertContext, nullptr);
    EXPECT_EQ(
        std::vector<uint8_t>(copy->pCertContext->pbCertEncoded,
                             copy->pCertContext->pbCertEncoded + copy->pCertContext->cbCertEncoded),
        der);
    CertFreeUnregisteredCertContext(copy);
    EXPECT_EQ(CertDuplicateUnregisteredCertContext(nullptr, &copy), E_INVALIDARG);
}

}  // namespace
