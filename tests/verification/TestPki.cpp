#include "tests/verification/TestPki.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <stdlib.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace verify_test {

namespace {
constexpr char kDefaultId[] = "1234567812345678";

void Check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("fixture step failed: ") + what);
}
}  // namespace

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::string Base64(const Bytes& data) {
    std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data.data(),
                                  static_cast<int>(data.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

X509Ptr MakeCertificate(EVP_PKEY* subject_key, EVP_PKEY* issuer_key, const CertParams& params) {
    TestCertificateSpec certificate;
    certificate.subject = "CN=" + EscapeNameValue(params.common_name);
    certificate.issuer = "CN=Test Authority";
    certificate.issuer_key = issuer_key;
    certificate.serial = params.serial;
    certificate.not_before_time = params.not_before;
    certificate.not_after_time = params.not_after;
    certificate.subject_key_id = false;
    certificate.sm2_default_id = true;
    X509Ptr cert = MakeTestX509(subject_key, certificate);
    Check(cert != nullptr, "certificate");
    return cert;
}

Bytes CertDer(X509* cert) {
    const int n = i2d_X509(cert, nullptr);
    Bytes der(static_cast<size_t>(n));
    unsigned char* cursor = der.data();
    i2d_X509(cert, &cursor);
    return der;
}

namespace {
std::string BioText(BIO* bio) {
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<size_t>(n));
}
}  // namespace

std::string CertPem(X509* cert) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(bio.get(), cert);
    return BioText(bio.get());
}

std::string KeyPem(EVP_PKEY* key) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
    return BioText(bio.get());
}

Bytes Sm2SignDer(EVP_PKEY* key, const Bytes& message) {
    EvpMdCtxPtr md_ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pkey_ctx = nullptr;
    Check(EVP_DigestSignInit(md_ctx.get(), &pkey_ctx, EVP_sm3(), nullptr, key) == 1, "SignInit");
    Check(EVP_PKEY_CTX_set1_id(pkey_ctx, kDefaultId, 16) == 1, "set1_id");
    size_t size = 0;
    Check(EVP_DigestSign(md_ctx.get(), nullptr, &size, message.data(), message.size()) == 1,
          "DigestSign size");
    Bytes der(size);
    Check(EVP_DigestSign(md_ctx.get(), der.data(), &size, message.data(), message.size()) == 1,
          "DigestSign");
    der.resize(size);
    return der;
}

void SplitSignature(const Bytes& der, Bytes* r, Bytes* s) {
    // SEQUENCE (short form: at most 72 bytes) { INTEGER r, INTEGER s }
    size_t pos = 2;
    const size_t r_size = der[pos + 1];
    *r = Bytes(der.begin() + pos + 2, der.begin() + pos + 2 + r_size);
    pos += 2 + r_size;
    const size_t s_size = der[pos + 1];
    *s = Bytes(der.begin() + pos + 2, der.begin() + pos + 2 + s_size);
}

Bytes Tlv(uint8_t tag, const Bytes& content) {
    Bytes out{tag};
    const size_t n = content.size();
    if (n < 0x80) {
        out.push_back(static_cast<uint8_t>(n));
    } else if (n <= 0xFF) {
        out.insert(out.end(), {0x81, static_cast<uint8_t>(n)});
    } else if (n <= 0xFFFF) {
        out.insert(out.end(), {0x82, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
    } else {
        out.insert(out.end(), {0x83, static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8),
                               static_cast<uint8_t>(n)});
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes Integer(const Bytes& content) { return Tlv(0x02, content); }

namespace {
const Bytes kOidSm2SignedData = {0x06, 0x0A, 0x2A, 0x81, 0x1C, 0xCF,
                                 0x55, 0x06, 0x01, 0x04, 0x02, 0x02};
const Bytes kOidSm2Data = {0x06, 0x0A, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x06, 0x01, 0x04, 0x02, 0x01};
const Bytes kOidSm3 = {0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x83, 0x11};
const Bytes kOidSm2Sign = {0x06, 0x09, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D, 0x01};
const Bytes kOidContentTypeAttr = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                                   0xF7, 0x0D, 0x01, 0x09, 0x03};
}  // namespace

Bytes BuildSm2SignedData(const Sm2SignedDataLayout& layout) {
    const Bytes version = Integer({0x01});
    const Bytes sm3_alg = Tlv(0x30, kOidSm3);
    Bytes content_info = kOidSm2Data;
    if (layout.attached) content_info = Cat({content_info, Tlv(0xA0, Tlv(0x04, layout.content))});
    Bytes certificates;
    for (const auto& cert : layout.certificates) certificates = Cat({certificates, cert});

    Bytes signer_info = Cat(
        {version, Tlv(0x30, Cat({layout.signer_issuer, Integer(layout.signer_serial)})), sm3_alg});
    if (layout.authenticated_attributes)
        signer_info =
            Cat({signer_info,
                 Tlv(0xA0, Tlv(0x30, Cat({kOidContentTypeAttr, Tlv(0x31, kOidSm2Data)})))});
    signer_info = Cat({signer_info, Tlv(0x30, kOidSm2Sign)});
    const Bytes rs = Cat({Integer(layout.r), Integer(layout.s)});
    switch (layout.form) {
        case SigForm::kOctetString:
            signer_info = Cat({signer_info, Tlv(0x04, Tlv(0x30, rs))});
            break;
        case SigForm::kSequence:
            signer_info = Cat({signer_info, Tlv(0x30, rs)});
            break;
        case SigForm::kTwoIntegers:
            signer_info = Cat({signer_info, rs});
            break;
    }
    const Bytes signed_data =
        Tlv(0x30, Cat({version, Tlv(0x31, sm3_alg), Tlv(0x30, content_info),
                       Tlv(0xA0, certificates), Tlv(0x31, Tlv(0x30, signer_info))}));
    return Tlv(0x30, Cat({kOidSm2SignedData, Tlv(0xA0, signed_data)}));
}

Bytes SerialContent(X509* cert) {
    const ASN1_INTEGER* serial = X509_get0_serialNumber(cert);
    const int n = i2d_ASN1_INTEGER(serial, nullptr);
    Bytes der(static_cast<size_t>(n));
    unsigned char* cursor = der.data();
    i2d_ASN1_INTEGER(serial, &cursor);
    return Bytes(der.begin() + 2, der.end());  // short-form INTEGER
}

Bytes IssuerDer(X509* cert) {
    const X509_NAME* issuer = X509_get_issuer_name(cert);
    const unsigned char* der = nullptr;
    size_t size = 0;
    X509_NAME_get0_der(issuer, &der, &size);
    return Bytes(der, der + size);
}

Bytes MakeSm2SignedData(EVP_PKEY* key, X509* cert, const Bytes& content, bool attached) {
    Sm2SignedDataLayout layout;
    layout.content = content;
    layout.attached = attached;
    layout.certificates = {CertDer(cert)};
    layout.signer_serial = SerialContent(cert);
    layout.signer_issuer = IssuerDer(cert);
    SplitSignature(Sm2SignDer(key, content), &layout.r, &layout.s);
    return BuildSm2SignedData(layout);
}

Bytes CmsSign(const TempDir& dir, X509* cert, EVP_PKEY* key, const std::string& message,
              const std::string& digest, bool attached) {
    const auto cert_file = dir.Write("cms-signer.pem", CertPem(cert));
    const auto key_file = dir.Write("cms-key.pem", KeyPem(key));
    const auto message_file = dir.Write("cms-message.txt", message);
    const auto out = dir.path() / "cms-signature.der";
    const std::string command = "openssl cms -sign -binary -noattr -md " + digest +
                                (attached ? " -nodetach" : "") + " -in " + message_file.string() +
                                " -signer " + cert_file.string() + " -inkey " + key_file.string() +
                                " -outform DER -out " + out.string();
    std::string output;
    Check(Run(command, &output) == 0, ("openssl cms: " + output).c_str());
    return ToBytes(ReadFile(out));
}

}  // namespace verify_test
