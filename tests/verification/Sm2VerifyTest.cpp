// SM2 SignedData verification against structures built here and signatures made by OpenSSL's SM2
// (SM3 with the default identity), so the Z value and the curve are checked independently.
#include <gtest/gtest.h>
#include <openssl/core_names.h>

#include <cstdlib>
#include <cstring>
#include <ostream>

#include "common/ResultCodes.h"
#include "tests/verification/TestPki.h"
#include "verification/DataSigning.h"
#include "verification/PKCS7SignedDataOperations.h"
#include "verification/SMFileCertOperations.h"

namespace {

using namespace verify_test;

const int kInvalidFormat = VELK_E_INVALID_PKCS7_FORMAT;

class Sm2Verify : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        key_ = MakeSm2Key().release();
        other_key_ = MakeSm2Key().release();
        cert_ = MakeCertificate(key_, key_, {.serial = 7}).release();
        other_cert_ = MakeCertificate(other_key_, key_, {.serial = 8}).release();
    }
    static void TearDownTestSuite() {
        X509_free(cert_);
        X509_free(other_cert_);
        EVP_PKEY_free(key_);
        EVP_PKEY_free(other_key_);
    }

    // A layout signed by key_ over the content, with cert_ as the only certificate.
    static Sm2SignedDataLayout Layout(const std::string& content, bool attached) {
        Sm2SignedDataLayout layout;
        layout.content = ToBytes(content);
        layout.attached = attached;
        layout.certificates = {CertDer(cert_)};
        layout.signer_serial = SerialContent(cert_);
        layout.signer_issuer = IssuerDer(cert_);
        SplitSignature(Sm2SignDer(key_, layout.content), &layout.r, &layout.s);
        return layout;
    }

    static int Detached(const Bytes& der, const std::string& message, Bytes* cert = nullptr) {
        uint8_t* out = nullptr;
        int out_size = 0;
        const int result = VerifySignature_DERPKCS7Detached(
            reinterpret_cast<const uint8_t*>(message.data()), &out, der.data(),
            static_cast<int>(der.size()), static_cast<int>(message.size()), &out_size);
        if (cert != nullptr && out != nullptr) *cert = Bytes(out, out + out_size);
        std::free(out);
        return result;
    }

    static int Attached(const Bytes& der, std::string* content = nullptr) {
        uint8_t* data = nullptr;
        int data_size = 0;
        uint8_t* cert = nullptr;
        int cert_size = 0;
        const int result = VerifySignature_DERPKCS7Attached(
            &data, &data_size, der.data(), static_cast<int>(der.size()), &cert, &cert_size);
        if (content != nullptr && data != nullptr)
            *content = std::string(reinterpret_cast<char*>(data), static_cast<size_t>(data_size));
        std::free(data);
        std::free(cert);
        return result;
    }

    static EVP_PKEY* key_;
    static EVP_PKEY* other_key_;
    static X509* cert_;
    static X509* other_cert_;
};
EVP_PKEY* Sm2Verify::key_ = nullptr;
EVP_PKEY* Sm2Verify::other_key_ = nullptr;
X509* Sm2Verify::cert_ = nullptr;
X509* Sm2Verify::other_cert_ = nullptr;

TEST_F(Sm2Verify, DetachedVerifiesOnlyItsMessageAndHandsOutTheCertificate) {
    const Bytes der = BuildSm2SignedData(Layout("hello SM2", false));
    Bytes cert;
    EXPECT_EQ(Detached(der, "hello SM2", &cert), 0);
    EXPECT_EQ(cert, CertDer(cert_));
    EXPECT_EQ(Detached(der, "hello SM3"), -1);
    EXPECT_EQ(Attached(der), kInvalidFormat);
}

TEST_F(Sm2Verify, AttachedVerifiesThroughAttachedFormsOnly) {
    const Bytes der = BuildSm2SignedData(Layout("attached text", true));
    std::string content;
    EXPECT_EQ(Attached(der, &content), 0);
    EXPECT_EQ(content, "attached text");
    EXPECT_EQ(Detached(der, "attached text"), kInvalidFormat);

    // The Base64 forms hand out only the certificate.
    const std::string text = Base64(der);
    uint8_t* cert = nullptr;
    int cert_size = 0;
    EXPECT_EQ(VerifySignature_PKCS7Attached(&cert, &cert_size, text.c_str(),
                                            static_cast<int>(text.size())),
              0);
    EXPECT_EQ(Bytes(cert, cert + cert_size), CertDer(cert_));
    std::free(cert);
}

struct FormCase {
    const char* name;
    SigForm form;
    bool authenticated_attributes;
};

// ctest shows the case by its name.
void PrintTo(const FormCase& c, std::ostream* os) { *os << c.name; }

class Sm2SignatureForms : public Sm2Verify, public testing::WithParamInterface<FormCase> {};

TEST_P(Sm2SignatureForms, EachSignatureLayoutVerifies) {
    Sm2SignedDataLayout layout = Layout("layout", false);
    layout.form = GetParam().form;
    layout.authenticated_attributes = GetParam().authenticated_attributes;
    const Bytes der = BuildSm2SignedData(layout);
    EXPECT_EQ(Detached(der, "layout"), 0);
    Bytes tampered = der;
    tampered[tampered.size() - 3] ^= 0x01;  // inside s
    EXPECT_EQ(Detached(tampered, "layout"), -1);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, Sm2SignatureForms,
    testing::Values(FormCase{"OctetString", SigForm::kOctetString, false},
                    FormCase{"Sequence", SigForm::kSequence, false},
                    FormCase{"TwoIntegers", SigForm::kTwoIntegers, false},
                    FormCase{"OctetStringAfterAttributes", SigForm::kOctetString, true},
                    FormCase{"TwoIntegersAfterAttributes", SigForm::kTwoIntegers, true}),
    [](const testing::TestParamInfo<FormCase>& info) { return std::string(info.param.name); });

Bytes RawSignature(const Bytes& der) {
    uint8_t* raw = nullptr;
    int raw_size = 0;
    const int result =
        ParsePKCS7Signature(nullptr, nullptr, der.data(), static_cast<int>(der.size()), &raw,
                            &raw_size, nullptr, nullptr);
    Bytes out = result == 0 ? Bytes(raw, raw + raw_size) : Bytes{};
    std::free(raw);
    return result == 0 ? out : Bytes{static_cast<uint8_t>(result & 0xFF)};
}

TEST_F(Sm2Verify, IntegersAreRightAlignedIntoRAndS) {
    Sm2SignedDataLayout layout = Layout("x", false);
    layout.r = Bytes(33, 0x11);
    layout.r[0] = 0x00;
    layout.s = Bytes(31, 0x22);
    Bytes expected(64, 0x11);
    expected[32] = 0x00;
    std::fill(expected.begin() + 33, expected.end(), 0x22);
    for (SigForm form : {SigForm::kOctetString, SigForm::kSequence, SigForm::kTwoIntegers}) {
        layout.form = form;
        EXPECT_EQ(RawSignature(BuildSm2SignedData(layout)), expected);
    }

    // A 27-byte r: refused in the integer forms, accepted inside the OCTET STRING when the whole
    // encoding is 66 to 72 bytes (2 + 29 + 35 = 66 here).
    layout.r = Bytes(27, 0x33);
    layout.s = Bytes(33, 0x44);
    layout.form = SigForm::kOctetString;
    Bytes short_r(64, 0x44);
    std::fill(short_r.begin(), short_r.begin() + 5, 0x00);
    std::fill(short_r.begin() + 5, short_r.begin() + 32, 0x33);
    EXPECT_EQ(RawSignature(BuildSm2SignedData(layout)), short_r);
    for (SigForm form : {SigForm::kSequence, SigForm::kTwoIntegers}) {
        layout.form = form;
        uint8_t* raw = nullptr;
        int raw_size = 0;
        const Bytes der = BuildSm2SignedData(layout);
        EXPECT_EQ(ParsePKCS7Signature(nullptr, nullptr, der.data(), static_cast<int>(der.size()),
                                      &raw, &raw_size, nullptr, nullptr),
                  kInvalidFormat);
        EXPECT_EQ(raw, nullptr);
    }
}

TEST(Sm2Q1, EncodingSizeAndShapeAreChecked) {
    struct Case {
        Bytes der;
        int result;
    };
    auto q1 = [](std::initializer_list<int> sizes) {
        Bytes content;
        for (int size : sizes)
            content = Cat({content, Integer(Bytes(static_cast<size_t>(size), 1))});
        return Tlv(0x30, content);
    };
    const Case cases[] = {
        {q1({30, 30}), 0},       // 66 bytes, the smallest accepted
        {q1({30, 29}), -1},      // 65 bytes
        {q1({33, 33}), 0},       // 72 bytes, the largest accepted
        {q1({33, 34}), -1},      // 73 bytes
        {q1({20, 20, 20}), -1},  // three elements
    };
    for (const Case& c : cases) {
        uint8_t* raw = nullptr;
        int raw_size = 0;
        EXPECT_EQ(Decode_SM2Q1(c.der.data(), &raw, static_cast<int>(c.der.size()), &raw_size),
                  c.result)
            << c.der.size();
        EXPECT_EQ(raw_size, c.result == 0 ? 64 : 0);
        std::free(raw);
    }
}

TEST_F(Sm2Verify, SignerCertificateIsChosenBySerialNumber) {
    Sm2SignedDataLayout layout = Layout("two certificates", false);
    layout.certificates = {CertDer(other_cert_), CertDer(cert_)};
    Bytes cert;
    EXPECT_EQ(Detached(BuildSm2SignedData(layout), "two certificates", &cert), 0);
    EXPECT_EQ(cert, CertDer(cert_));

    layout.signer_serial = {0x63};
    EXPECT_EQ(Detached(BuildSm2SignedData(layout), "two certificates"), -1);
}

TEST_F(Sm2Verify, StructureFaultsAreFormatErrors) {
    const Bytes good = BuildSm2SignedData(Layout("m", false));
    struct Case {
        const char* name;
        Bytes der;
        int result;
    };
    const Case cases[] = {
        {"NotDer", ToBytes("not a signature"), -1},
        {"RootWithOneChild", Tlv(0x30, Tlv(0x06, {0x2A})), kInvalidFormat},
        {"EmptyContentWrapper", Tlv(0x30, Cat({Tlv(0x06, {0x2A}), Tlv(0xA0, {})})), kInvalidFormat},
        {"ShortSignedData",
         Tlv(0x30,
             Cat({Tlv(0x06, {0x2A}), Tlv(0xA0, Tlv(0x30, Cat({Integer({1}), Integer({1})})))})),
         kInvalidFormat},
    };
    for (const Case& c : cases) EXPECT_EQ(Detached(c.der, "m"), c.result) << c.name;
    EXPECT_EQ(Detached(good, "m"), 0);
}

TEST_F(Sm2Verify, PublicKeyReadsTheSameFromPemAndDer) {
    const std::string pem = CertPem(cert_);
    const Bytes der = CertDer(cert_);
    Bytes coordinates[2][2];
    const Bytes inputs[2] = {ToBytes(pem), der};
    for (int i = 0; i < 2; ++i) {
        uint8_t* x = nullptr;
        uint8_t* y = nullptr;
        int x_size = 0;
        int y_size = 0;
        ASSERT_EQ(GetPublicKeyXYFromSM2Cert(&x, &x_size, inputs[i].data(),
                                            static_cast<int>(inputs[i].size()), &y, &y_size),
                  0);
        ASSERT_EQ(x_size, 32);
        ASSERT_EQ(y_size, 32);
        coordinates[i][0] = Bytes(x, x + 32);
        coordinates[i][1] = Bytes(y, y + 32);
        std::free(x);
        std::free(y);
    }
    EXPECT_EQ(coordinates[0][0], coordinates[1][0]);
    EXPECT_EQ(coordinates[0][1], coordinates[1][1]);
    uint8_t point[65];
    size_t point_size = 0;
    ASSERT_EQ(EVP_PKEY_get_octet_string_param(key_, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point,
                                              &point_size),
              1);
    EXPECT_EQ(Bytes(point + 1, point + 33), coordinates[0][0]);
    EXPECT_EQ(Bytes(point + 33, point + 65), coordinates[0][1]);

    uint8_t* x = nullptr;
    int x_size = 0;
    EXPECT_EQ(GetPublicKeyXYFromSM2Cert(&x, &x_size, der.data(), 0, nullptr, nullptr), -1);
    auto rsa_key = MakeRsaKey();
    auto rsa_cert = MakeCertificate(rsa_key.get(), rsa_key.get(), {});
    const Bytes rsa_der = CertDer(rsa_cert.get());
    EXPECT_EQ(GetPublicKeyXYFromSM2Cert(&x, &x_size, rsa_der.data(),
                                        static_cast<int>(rsa_der.size()), nullptr, nullptr),
              -1);
    EXPECT_EQ(x, nullptr);
}

TEST_F(Sm2Verify, RawSignatureMustBe64Bytes) {
    const uint8_t xy[32] = {};
    const uint8_t raw[65] = {};
    EXPECT_EQ(VerifySignature_Raw(xy, nullptr, 0, xy, nullptr, 64), 87);
    EXPECT_EQ(VerifySignature_Raw(xy, nullptr, 0, xy, raw, 63), 87);
    EXPECT_EQ(VerifySignature_Raw(xy, nullptr, 0, xy, raw, 65), 87);
}

}  // namespace
