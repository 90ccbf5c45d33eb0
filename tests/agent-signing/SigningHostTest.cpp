// Choosing, describing and signing with a certificate of the user's NSS database, end to end
// through the real host. Every property is compared with what the openssl tool reports for the
// same certificate, and every signature is verified by openssl.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "common/Conversions.h"
#include "tests/agent-signing/SigningFixture.h"
#include "tests/support/HostSession.h"

namespace signing_test {
namespace {

using host_session::Base64Bytes;
using host_session::HostSession;
using host_session::JsonString;
using host_session::Response;

constexpr int64_t kNoAvailableCert = static_cast<int32_t>(0xA0071001u);
constexpr int64_t kCertNotReady = static_cast<int32_t>(0xA0072001u);
constexpr int64_t kInvalidHashAlg = static_cast<int32_t>(0xA0072020u);
constexpr int64_t kInvalidArg = static_cast<int32_t>(0x80070057u);
constexpr int64_t kNoDialog = static_cast<int32_t>(0x8007057Eu);

class SigningHostTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { fixture_ = new SigningFixture(); }
    static void TearDownTestSuite() {
        delete fixture_;
        fixture_ = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(fixture_->ok()) << "the test NSS database was not made"; }

    // "Alice Signer" is the one certificate of the database that the filter leaves.
    static Response SelectAlice(HostSession& host) {
        return host.Call("SelectCertificate", {"\"Alice\"", "\"\"", "\"\""});
    }
    static std::string Openssl(const std::string& args) {
        std::string out = SigningFixture::Capture("openssl " + args);
        while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
        return out;
    }

    static SigningFixture* fixture_;
};
SigningFixture* SigningHostTest::fixture_ = nullptr;

// Each filter either leaves exactly one certificate, or fails; a failure forgets the previous
// choice.
TEST_F(SigningHostTest, SelectCertificateByFiltersAndForgetsOnFailure) {
    const struct {
        const char* name;
        std::vector<std::string> params;
        int64_t code;
        const char* chosen_cn;
    } cases[] = {
        {"subject", {"\"alice signer\"", "\"\"", "\"\""}, 0, "Alice Signer"},
        {"issuer", {"\"\"", "\"CN=Expired Signer\"", "\"\""}, 0, "Expired Signer"},
        {"serial", {"\"\"", "\"\"", "\"010203\""}, 0, "Alice Signer"},
        {"serial upper case", {"\"\"", "\"\"", "\"0B\""}, 0, "Bob NonRep"},
        {"serial lower case", {"\"\"", "\"\"", "\"0b\""}, 0, "Bob NonRep"},
        {"no candidate", {"\"Nobody\"", "\"\"", "\"\""}, kNoAvailableCert, nullptr},
        {"key usage without signing",
         {"\"Carol Encrypt\"", "\"\"", "\"\""},
         kNoAvailableCert,
         nullptr},
        {"bad serial", {"\"\"", "\"\"", "\"0A1G\""}, kInvalidArg, nullptr},
        {"several, no dialog", {"\"\"", "\"\"", "\"\""}, kNoDialog, nullptr},
    };
    HostSession host(fixture_->Environment());
    // Named SM2 providers that the platform does not know contribute nothing and fail nothing.
    ASSERT_EQ(host.Call("SetSM2CSPList", {"\"No Such SM2 Provider||Another\""}).errorcode, 0);
    for (const auto& c : cases) {
        ASSERT_EQ(SelectAlice(host).errorcode, 0) << c.name;
        const Response selected = host.Call("SelectCertificate", c.params);
        EXPECT_EQ(selected.errorcode, c.code) << c.name;
        EXPECT_EQ(selected.bool_result, c.code == 0) << c.name;
        const Response cn = host.Call("GetSignCertInfo", {"\"SubjectCN\""});
        if (c.code == 0) {
            EXPECT_EQ(cn.result, c.chosen_cn) << c.name;
        } else {
            EXPECT_EQ(cn.errorcode, kCertNotReady) << c.name;
            EXPECT_EQ(host.Call("SignMsgPKCS7", {"\"m\"", "\"SHA-1\"", "true"}).errorcode,
                      kCertNotReady)
                << c.name;
        }
    }
    EXPECT_EQ(host.Finish(), 0);
}

TEST_F(SigningHostTest, GetSignCertInfoMatchesOpenssl) {
    const std::string pem = "-inform DER -in '" + fixture_->CertificatePath("sign") + "' -noout ";
    std::string serial = Openssl("x509 " + pem + "-serial");  // serial=0A1B2C3D
    serial = serial.substr(serial.find('=') + 1);
    std::transform(serial.begin(), serial.end(), serial.begin(), ::tolower);
    const std::string dn_options = "-nameopt sep_comma_plus_space,dn_rev,utf8,-esc_msb ";
    const std::string subject = Openssl("x509 " + pem + dn_options + "-subject").substr(8);
    const std::string issuer = Openssl("x509 " + pem + dn_options + "-issuer").substr(7);

    HostSession host(fixture_->Environment());
    ASSERT_EQ(SelectAlice(host).errorcode, 0);
    const struct {
        const char* type;
        std::string expected;
    } cases[] = {
        {"SubjectDN", subject},   {"subjectdn", subject}, {"SubjectCN", "Alice Signer"},
        {"SerialNumber", serial}, {"CertType", "RSA"},    {"IssuerDN", issuer},
    };
    for (const auto& c : cases) {
        const Response r = host.Call("GetSignCertInfo", {JsonString(c.type)});
        EXPECT_EQ(r.errorcode, 0) << c.type;
        EXPECT_EQ(r.result, c.expected) << c.type;
    }
    const Response provider = host.Call("GetSignCertInfo", {"\"CSPName\""});
    EXPECT_EQ(provider.errorcode, 0);
    EXPECT_FALSE(provider.result.empty());

    const Response content = host.Call("GetSignCertInfo", {"\"CertContent\""});
    EXPECT_EQ(content.result.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(Base64Bytes(content.result), fixture_->Certificate("sign"));

    for (const char* bad : {"Version", ""}) {
        const Response r = host.Call("GetSignCertInfo", {JsonString(bad)});
        EXPECT_EQ(r.errorcode, kInvalidArg) << bad;
    }
    EXPECT_EQ(host.Finish(), 0);
}

// Validity bounds in the host's local time zone, against openssl's GMT dates converted here.
TEST_F(SigningHostTest, ValidityIsGivenInTheLocalTimeZone) {
    const std::string pem = "-inform DER -in '" + fixture_->CertificatePath("sign") + "' -noout ";
    const struct {
        const char* type;
        const char* openssl_option;
    } bounds[] = {{"ValidFrom", "-startdate"}, {"ValidTo", "-enddate"}};
    for (const char* tz : {"UTC0", "CST-8", "EST5EDT,M3.2.0,M11.1.0"}) {
        HostSession host(fixture_->Environment(tz));
        ASSERT_EQ(SelectAlice(host).errorcode, 0);
        for (const auto& bound : bounds) {
            // notBefore=Dec 11 04:40:00 2026 GMT
            const std::string text = Openssl("x509 " + pem + bound.openssl_option);
            struct tm utc = {};
            ASSERT_NE(strptime(text.substr(text.find('=') + 1).c_str(), "%b %d %H:%M:%S %Y", &utc),
                      nullptr);
            const time_t t = timegm(&utc);
            setenv("TZ", tz, 1);
            tzset();
            struct tm local = {};
            localtime_r(&t, &local);
            char expected[32];
            strftime(expected, sizeof expected, "%Y-%m-%d %H:%M:%S", &local);
            EXPECT_EQ(host.Call("GetSignCertInfo", {JsonString(bound.type)}).result, expected)
                << tz << " " << bound.type;
        }
        EXPECT_EQ(host.Finish(), 0);
    }
    unsetenv("TZ");
    tzset();
}

struct SignCase {
    const char* name;
    std::string message;
    const char* hash;
    bool attached;
};

// Attached and detached signatures of both digests, over messages around the 16384-byte piece
// size, verified by openssl and checked for the fields of a SignedData without attributes.
TEST_F(SigningHostTest, SignaturesVerifyWithOpensslAndHaveTheExpectedShape) {
    const SignCase cases[] = {
        {"chinese attached sha1", "\xE4\xB8\xAD", "SHA-1", true},
        {"chinese detached sha256", "\xE4\xB8\xAD", "sha-256", false},
        {"16384 attached sha256", std::string(16384, 'a'), "SHA-256", true},
        {"16385 detached sha1", std::string(16385, 'b'), "Sha-1", false},
        {"40000 attached sha1", std::string(40000, 'c'), "SHA-1", true},
        {"40000 detached sha256", std::string(40000, 'd'), "SHA-256", false},
    };
    HostSession host(fixture_->Environment());
    ASSERT_EQ(SelectAlice(host).errorcode, 0);
    for (const SignCase& c : cases) {
        const Response r = host.Call("SignMsgPKCS7", {JsonString(c.message), JsonString(c.hash),
                                                      c.attached ? "true" : "false"});
        ASSERT_EQ(r.errorcode, 0) << c.name;
        const std::string p7 = fixture_->WriteFile("sig.p7", [&] {
            const std::vector<uint8_t> der = Base64Bytes(r.result);
            return std::string(der.begin(), der.end());
        }());
        const std::string content = fixture_->WriteFile("content.bin", c.message);
        int status = -1;
        const std::string verified =
            SigningFixture::Capture("openssl cms -verify -binary -noverify -inform DER -in '" + p7 +
                                        "'" + (c.attached ? "" : " -content '" + content + "'"),
                                    &status);
        EXPECT_EQ(status, 0) << c.name;
        EXPECT_EQ(verified, c.message) << c.name;

        const std::string parsed = Openssl("asn1parse -inform DER -in '" + p7 + "'");
        const bool sha1 = std::string(c.hash).size() == 5;
        EXPECT_NE(parsed.find(":pkcs7-signedData"), std::string::npos) << c.name;
        EXPECT_NE(parsed.find(":pkcs7-data"), std::string::npos) << c.name;
        EXPECT_NE(parsed.find(sha1 ? ":sha1\n" : ":sha256\n"), std::string::npos) << c.name;
        EXPECT_NE(parsed.find(sha1 ? ":rsaEncryption" : ":sha256WithRSAEncryption"),
                  std::string::npos)
            << c.name;
        const std::string printed = Openssl("cms -cmsout -print -inform DER -in '" + p7 + "'");
        // SignedData and SignerInfo both version 1; neither attribute set present.
        EXPECT_NE(printed.find("d.signedData: \n    version: 1\n"), std::string::npos) << c.name;
        EXPECT_NE(printed.find("signerInfos:\n        version: 1\n"), std::string::npos) << c.name;
        for (const char* attributes : {"signedAttrs:", "unsignedAttrs:"}) {
            const size_t at = printed.find(attributes);
            ASSERT_NE(at, std::string::npos) << c.name;
            const size_t next = printed.find_first_not_of(" \n", at + std::strlen(attributes));
            EXPECT_EQ(printed.compare(next, 8, "<ABSENT>"), 0) << c.name << " " << attributes;
        }
        // One certificate: its subject shows once as a certificate subject.
        size_t subjects = 0;
        for (size_t pos = printed.find("subject:"); pos != std::string::npos;
             pos = printed.find("subject:", pos + 1))
            ++subjects;
        EXPECT_EQ(subjects, 1u) << c.name;
    }
    EXPECT_EQ(host.Finish(), 0);
}

// Requests the page gets wrong, with the description in both languages.
TEST_F(SigningHostTest, RefusedSigningRequestsAreDescribedInEnglishAndChinese) {
    const struct {
        const char* name;
        std::string source;
        const char* hash;
        int64_t code;
        const char* english;
        const char* chinese;
    } cases[] = {
        {"SHA256", "m", "SHA256", kInvalidHashAlg, "Invalid hash algorithm.",
         "\xE6\x97\xA0\xE6\x95\x88\xE7\x9A\x84\xE5\x93\x88\xE5\xB8\x8C\xE7\xAE\x97\xE6\xB3\x95"},
        {"MD5", "m", "MD5", kInvalidHashAlg, "Invalid hash algorithm.",
         "\xE6\x97\xA0\xE6\x95\x88\xE7\x9A\x84\xE5\x93\x88\xE5\xB8\x8C\xE7\xAE\x97\xE6\xB3\x95"},
        {"empty source", "", "SHA-1", kInvalidArg, "A parameter is not valid.",
         "\xE5\x8F\x82\xE6\x95\xB0\xE6\x97\xA0\xE6\x95\x88\xE3\x80\x82"},
    };
    for (bool chinese : {false, true}) {
        HostSession host(fixture_->Environment("UTC0", chinese ? "zh_CN.UTF-8" : "en_US.UTF-8"));
        ASSERT_EQ(SelectAlice(host).errorcode, 0);
        for (const auto& c : cases) {
            const Response r =
                host.Call("SignMsgPKCS7", {JsonString(c.source), JsonString(c.hash), "true"});
            EXPECT_EQ(r.errorcode, c.code) << c.name;
            char number[16];
            std::snprintf(number, sizeof number, "%08x", static_cast<unsigned>(c.code));
            EXPECT_EQ(host.Call("GetLastErrorDesc", {}).result,
                      std::string(chinese ? c.chinese : c.english) + "\n(0x" + number + ")")
                << c.name;
        }
        EXPECT_EQ(host.Finish(), 0);
    }
}

// The largest attached signature that fits the 1 MiB response limit is sent; one more Base64
// group is not: the host writes FF FF FF FF and ends with -1.
TEST_F(SigningHostTest, ResponseAtTheLimitIsSentAndOneBeyondEndsTheHost) {
    constexpr size_t kLimit = 1048576;
    HostSession host(fixture_->Environment());
    ASSERT_EQ(SelectAlice(host).errorcode, 0);
    auto sign = [&](size_t length) {
        return host.Call("SignMsgPKCS7",
                         {JsonString(std::string(length, 'z')), "\"SHA-256\"", "true"});
    };
    // Every length field has its final size above 65535 bytes, so the DER grows byte for byte
    // with the message and the JSON around the Base64 is fixed: measure both once.
    const size_t probe = 700000;
    const Response measured = sign(probe);
    ASSERT_EQ(measured.errorcode, 0);
    const size_t der_overhead = Base64Bytes(measured.result).size() - probe;
    const size_t json_overhead = measured.text.size() - measured.result.size();
    auto response_size = [&](size_t length) {
        return json_overhead + 4 * ((length + der_overhead + 2) / 3);
    };
    size_t fits = probe;
    while (response_size(fits + 1) <= kLimit) ++fits;

    const Response at_limit = sign(fits);
    ASSERT_TRUE(at_limit.framed);
    EXPECT_EQ(at_limit.text.size(), response_size(fits));
    EXPECT_GT(at_limit.text.size(), kLimit - 4);
    EXPECT_EQ(at_limit.errorcode, 0);

    const Response beyond = sign(fits + 1);
    EXPECT_TRUE(beyond.sentinel);
    EXPECT_EQ(host.Finish(), 255);
}

}  // namespace
}  // namespace signing_test
