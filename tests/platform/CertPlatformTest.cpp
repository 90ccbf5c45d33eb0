// The certificate-only half of the platform (contexts, names, extensions, times, memory stores,
// the encoder) over certificates made in memory.
#include <gtest/gtest.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/Utf.h"
#include "platform/crypt/CertServices.h"
#include "platform/runtime/LastError.h"
#include "tests/support/StandInCertPlatform.h"

namespace {

using Bytes = std::vector<uint8_t>;

ContextPtr MakeContext(const TestCertificateSpec& spec, EVP_PKEY* key = nullptr) {
    static SharedPkey shared = MakeRsaKey(1024);
    const Bytes der = MakeTestCertificate(key != nullptr ? key : shared.get(), spec);
    return ContextPtr(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                   der.data(), static_cast<DWORD>(der.size())));
}

std::string NameText(const CERT_NAME_BLOB& blob, DWORD type) {
    const DWORD count = CertNameToStrW(X509_ASN_ENCODING, &blob, type, nullptr, 0);
    std::u16string text(count, u'\0');
    EXPECT_EQ(CertNameToStrW(X509_ASN_ENCODING, &blob, type, text.data(), count), count);
    text.resize(count - 1);
    return Utf16ToUtf8String(text);
}

Bytes Encode(CRYPT_STRUCT_TYPE type, const void* structure) {
    DWORD size = 0;
    if (!CryptEncodeObject(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, type, structure, nullptr,
                           &size))
        return {};
    Bytes out(size);
    if (!CryptEncodeObject(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, type, structure, out.data(),
                           &size))
        return {};
    out.resize(size);
    return out;
}

constexpr DWORD kReverseNoQuote = CERT_NAME_STR_REVERSE_FLAG | CERT_NAME_STR_NO_QUOTING_FLAG;

struct NameCase {
    const char* subject;
    DWORD type;
    const char* expected;
};
void PrintTo(const NameCase& c, std::ostream* os) { *os << c.expected; }

class NameRenderingTest : public testing::TestWithParam<NameCase> {};

TEST_P(NameRenderingTest, RendersLikeTheCallersExpect) {
    TestCertificateSpec spec;
    spec.subject = GetParam().subject;
    ContextPtr context = MakeContext(spec);
    ASSERT_TRUE(context);
    EXPECT_EQ(NameText(context->pCertInfo->Subject, GetParam().type), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, NameRenderingTest,
    testing::Values(
        NameCase{"C=CN,O=Org,CN=Signer", CERT_X500_NAME_STR | kReverseNoQuote,
                 "CN=Signer, O=Org, C=CN"},
        NameCase{"C=CN,O=Org,CN=Signer", CERT_X500_NAME_STR, "C=CN, O=Org, CN=Signer"},
        NameCase{"C=CN,O=Org,CN=Signer", CERT_SIMPLE_NAME_STR | kReverseNoQuote, "Signer, Org, CN"},
        NameCase{"C=CN,O=ACME\\, Inc.,CN=Bob", CERT_X500_NAME_STR | kReverseNoQuote,
                 "CN=Bob, O=ACME, Inc., C=CN"},
        NameCase{"C=CN,O=ACME\\, Inc.,CN=Bob", CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG,
                 "CN=Bob, O=\"ACME, Inc.\", C=CN"},
        // DER sorts the attributes of one RDN: CN (2.5.4.3) comes before OU (2.5.4.11).
        NameCase{"C=CN,O=Org,OU=Unit+CN=Dave", CERT_X500_NAME_STR | kReverseNoQuote,
                 "CN=Dave + OU=Unit, O=Org, C=CN"},
        NameCase{"C=CN,O=Org,OU=Unit+CN=Dave", CERT_SIMPLE_NAME_STR | kReverseNoQuote,
                 "Dave + Unit, Org, CN"},
        NameCase{"L=Town,ST=State,street=Road 1,title=Dr,GN=Ann,initials=A,SN=Lee,"
                 "DC=example,serialNumber=42,emailAddress=a@example.org,1.2.3.4=x",
                 CERT_X500_NAME_STR,
                 "L=Town, S=State, STREET=Road 1, T=Dr, G=Ann, I=A, SN=Lee, DC=example, "
                 "SERIALNUMBER=42, E=a@example.org, OID.1.2.3.4=x"}));

struct DisplayCase {
    const char* subject;
    const char* expected;
};
void PrintTo(const DisplayCase& c, std::ostream* os) { *os << c.subject; }

class SimpleDisplayNameTest : public testing::TestWithParam<DisplayCase> {};

TEST_P(SimpleDisplayNameTest, PrefersTheCommonName) {
    TestCertificateSpec spec;
    spec.subject = GetParam().subject;
    ContextPtr context = MakeContext(spec);
    ASSERT_TRUE(context);
    const DWORD count =
        CertGetNameStringW(context.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    std::u16string text(count, u'\0');
    ASSERT_EQ(CertGetNameStringW(context.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr,
                                 text.data(), count),
              count);
    text.resize(count - 1);
    EXPECT_EQ(Utf16ToUtf8String(text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Fallbacks, SimpleDisplayNameTest,
                         testing::Values(DisplayCase{"C=CN,O=Org,CN=Signer", "Signer"},
                                         DisplayCase{"C=CN,O=Org,OU=Unit", "Unit"},
                                         DisplayCase{"C=CN,O=Org", "Org"},
                                         DisplayCase{"C=CN,emailAddress=a@b.c", "a@b.c"},
                                         DisplayCase{"C=CN", ""}));

TEST(CertContextTest, DecodesTheFieldsTheCallersRead) {
    TestCertificateSpec spec;
    spec.subject = "CN=Serial";
    spec.serial_bytes = {0x80, 0xA1, 0xB2};  // DER content 00 80 A1 B2
    spec.key_usage = 0xC0;
    spec.not_after_unix = 1893456000;  // 2030-01-01T00:00:00Z
    ContextPtr context = MakeContext(spec);
    ASSERT_TRUE(context);
    const CERT_INFO& info = *context->pCertInfo;
    EXPECT_EQ(Bytes(info.SerialNumber.pbData, info.SerialNumber.pbData + info.SerialNumber.cbData),
              (Bytes{0xB2, 0xA1, 0x80, 0x00}));
    EXPECT_STREQ(info.SignatureAlgorithm.pszObjId, "1.2.840.113549.1.1.11");
    SYSTEMTIME not_after{};
    ASSERT_TRUE(FileTimeToSystemTime(&info.NotAfter, &not_after));
    EXPECT_EQ(not_after.wYear, 2030);
    EXPECT_EQ(not_after.wMonth, 1);
    EXPECT_EQ(not_after.wDay, 1);
    EXPECT_EQ(not_after.wHour, 0);
    EXPECT_EQ(not_after.wDayOfWeek, 2);  // a Tuesday

    PCERT_EXTENSION usage = CertFindExtension(szOID_KEY_USAGE, info.cExtension, info.rgExtension);
    ASSERT_NE(usage, nullptr);
    DWORD size = 0;
    ASSERT_TRUE(CryptDecodeObjectEx(X509_ASN_ENCODING, szOID_KEY_USAGE, usage->Value.pbData,
                                    usage->Value.cbData, CRYPT_DECODE_NOCOPY_FLAG, nullptr, nullptr,
                                    &size));
    Bytes buffer(size);
    ASSERT_TRUE(CryptDecodeObjectEx(X509_ASN_ENCODING, szOID_KEY_USAGE, usage->Value.pbData,
                                    usage->Value.cbData, CRYPT_DECODE_NOCOPY_FLAG, nullptr,
                                    buffer.data(), &size));
    const auto* bits = reinterpret_cast<const CRYPT_BIT_BLOB*>(buffer.data());
    ASSERT_EQ(bits->cbData, 1u);
    EXPECT_EQ(bits->pbData[0], 0xC0);
}

TEST(CertContextTest, KeepsOnlyTheCertificatesOwnBytesAndRefusesGarbage) {
    SharedPkey key = MakeRsaKey(1024);
    Bytes der = MakeTestCertificate(key.get(), TestCertificateSpec{});
    const size_t length = der.size();
    der.push_back(0);  // a terminator, as a buffer read with one spare byte carries
    ContextPtr context(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                    der.data(), static_cast<DWORD>(der.size())));
    ASSERT_TRUE(context);
    EXPECT_EQ(context->cbCertEncoded, length);

    const Bytes garbage = {0x30, 0x03, 0x02, 0x01, 0x01};
    SetLastError(0);
    EXPECT_EQ(CertCreateCertificateContext(X509_ASN_ENCODING, garbage.data(), 5), nullptr);
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), CRYPT_E_ASN1_BADTAG);
}

TEST(CertStoreTest, MemoryStoreKeepsAnIdenticalEncodingOnce) {
    SharedPkey key = MakeRsaKey(1024);
    const Bytes first = MakeTestCertificate(key.get(), TestCertificateSpec{});
    TestCertificateSpec other_spec;
    other_spec.serial = 2;
    const Bytes second = MakeTestCertificate(key.get(), other_spec);
    auto make = [](const Bytes& der) {
        return ContextPtr(CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                                       static_cast<DWORD>(der.size())));
    };
    ContextPtr a = make(first), a_again = make(first), b = make(second);

    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, X509_ASN_ENCODING, 0, 0, nullptr);
    ASSERT_NE(store, nullptr);
    for (PCCERT_CONTEXT context : {a.get(), a_again.get(), b.get()})
        EXPECT_TRUE(
            CertAddCertificateContextToStore(store, context, CERT_STORE_ADD_USE_EXISTING, nullptr));
    std::vector<DWORD> serial_lengths;
    PCCERT_CONTEXT context = nullptr;
    while ((context = CertEnumCertificatesInStore(store, context)) != nullptr)
        serial_lengths.push_back(context->pCertInfo->SerialNumber.pbData[0]);
    EXPECT_EQ(serial_lengths, (std::vector<DWORD>{1, 2}));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), CRYPT_E_NOT_FOUND);
    EXPECT_TRUE(CertCloseStore(store, 0));
    // The contexts outlive the store (a leak or a double free shows under ASan).
    EXPECT_EQ(a->pCertInfo->SerialNumber.pbData[0], 1);
}

TEST(CertTimeTest, ValidityAndLocalTime) {
    TestCertificateSpec spec;
    spec.not_before_unix = 1577836800;  // 2020-01-01T00:00:00Z
    spec.not_after_unix = 1893456000;   // 2030-01-01T00:00:00Z
    ContextPtr context = MakeContext(spec);
    ASSERT_TRUE(context);
    SYSTEMTIME at{2019, 12, 0, 31, 23, 59, 59, 0};
    FILETIME time{};
    ASSERT_TRUE(SystemTimeToFileTime(&at, &time));
    EXPECT_EQ(CertVerifyTimeValidity(&time, context->pCertInfo), -1);
    EXPECT_EQ(CertVerifyTimeValidity(&context->pCertInfo->NotBefore, context->pCertInfo), 0);
    EXPECT_EQ(CertVerifyTimeValidity(&context->pCertInfo->NotAfter, context->pCertInfo), 0);
    at = {2030, 1, 0, 1, 0, 0, 1, 0};
    ASSERT_TRUE(SystemTimeToFileTime(&at, &time));
    EXPECT_EQ(CertVerifyTimeValidity(&time, context->pCertInfo), 1);
    EXPECT_EQ(CertVerifyTimeValidity(nullptr, context->pCertInfo), 0);

    const char* previous = std::getenv("TZ");
    const std::string saved = previous != nullptr ? previous : "";
    setenv("TZ", "CST-8", 1);  // eight hours east of UTC, no daylight saving
    tzset();
    SYSTEMTIME utc{}, local{};
    ASSERT_TRUE(FileTimeToSystemTime(&context->pCertInfo->NotBefore, &utc));
    ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local));
    EXPECT_EQ(local.wYear, 2020);
    EXPECT_EQ(local.wDay, 1);
    EXPECT_EQ(local.wHour, 8);
    if (previous != nullptr)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

char kSha256[] = "2.16.840.1.101.3.4.2.1";
char kData[] = "1.2.840.113549.1.7.1";
const Bytes kSha256Oid = {0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

TEST(CertEncodeTest, PiecesTheSignedDataIsBuiltFrom) {
    CRYPT_ATTRIBUTE attribute{kSha256, 0, nullptr};
    EXPECT_EQ(Encode(PKCS_ATTRIBUTE, &attribute), Concat({{0x30, 0x0D}, kSha256Oid, {0x31, 0x00}}));

    CRYPT_ALGORITHM_IDENTIFIER algorithm{kSha256, {0, nullptr}};
    EXPECT_EQ(Encode(X509_ALGORITHM_IDENTIFIER, &algorithm),
              Concat({{0x30, 0x0D}, kSha256Oid, {0x05, 0x00}}));

    BYTE message[] = {'h', 'i'};
    CRYPT_DATA_BLOB octets{2, message};
    const Bytes octet_string = Encode(X509_OCTET_STRING, &octets);
    EXPECT_EQ(octet_string, (Bytes{0x04, 0x02, 'h', 'i'}));

    CRYPT_CONTENT_INFO detached{kData, {0, nullptr}};
    EXPECT_EQ(Encode(PKCS_CONTENT_INFO, &detached), (Bytes{0x30, 0x0B, 0x06, 0x09, 0x2A, 0x86, 0x48,
                                                           0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01}));
    Bytes content = octet_string;
    CRYPT_CONTENT_INFO attached{kData, {static_cast<DWORD>(content.size()), content.data()}};
    EXPECT_EQ(Encode(PKCS_CONTENT_INFO, &attached),
              (Bytes{0x30, 0x11, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01,
                     0xA0, 0x04, 0x04, 0x02, 'h', 'i'}));

    // Two-call contract: a short buffer fails with ERROR_MORE_DATA and reports the size.
    BYTE small[4];
    DWORD size = sizeof small;
    EXPECT_FALSE(CryptEncodeObject(X509_ASN_ENCODING, PKCS_ATTRIBUTE, &attribute, small, &size));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(size, 15u);
}

TEST(CertEncodeTest, SignerInfoNamesTheCertificateWithItsOwnBytes) {
    TestCertificateSpec spec;
    spec.subject = "CN=Signer";
    spec.issuer = "C=CN,CN=Issuer";
    spec.serial_bytes = {0x80, 0x01};  // DER content 00 80 01: the sign byte must survive
    ContextPtr context = MakeContext(spec);
    ASSERT_TRUE(context);
    char kRsa[] = "1.2.840.113549.1.1.1";
    BYTE signature[] = {0x01, 0x02, 0x03};
    CMSG_SIGNER_INFO signer{};
    signer.dwVersion = 1;
    signer.Issuer = context->pCertInfo->Issuer;
    signer.SerialNumber = context->pCertInfo->SerialNumber;
    signer.HashAlgorithm.pszObjId = kSha256;
    signer.HashEncryptionAlgorithm.pszObjId = kRsa;
    signer.EncryptedHash = {sizeof signature, signature};
    const Bytes der = Encode(kPkcs7SignerInfoStructType, &signer);
    ASSERT_FALSE(der.empty());

    const unsigned char* p = der.data();
    PKCS7_SIGNER_INFO* info = d2i_PKCS7_SIGNER_INFO(nullptr, &p, static_cast<long>(der.size()));
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(p, der.data() + der.size());
    EXPECT_EQ(ASN1_INTEGER_get(info->version), 1);
    unsigned char* issuer = nullptr;
    const int issuer_length = i2d_X509_NAME(info->issuer_and_serial->issuer, &issuer);
    EXPECT_EQ(Bytes(issuer, issuer + issuer_length),
              Bytes(context->pCertInfo->Issuer.pbData,
                    context->pCertInfo->Issuer.pbData + context->pCertInfo->Issuer.cbData));
    OPENSSL_free(issuer);
    const ASN1_INTEGER* serial = info->issuer_and_serial->serial;
    EXPECT_EQ(Bytes(serial->data, serial->data + serial->length), (Bytes{0x80, 0x01}));
    EXPECT_EQ(serial->type, V_ASN1_INTEGER);  // positive: the leading 00 was kept
    for (const X509_ALGOR* algorithm : {info->digest_alg, info->digest_enc_alg}) {
        int type = 0;
        X509_ALGOR_get0(nullptr, &type, nullptr, algorithm);
        EXPECT_EQ(type, V_ASN1_NULL);
    }
    EXPECT_EQ(info->auth_attr, nullptr);
    EXPECT_EQ(Bytes(info->enc_digest->data, info->enc_digest->data + info->enc_digest->length),
              (Bytes{0x01, 0x02, 0x03}));
    PKCS7_SIGNER_INFO_free(info);
}

}  // namespace
