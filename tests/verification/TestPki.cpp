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

TempDir::TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tessora-verify-XXXXXX").string();
    Check(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempDir::Write(const std::string& name, const std::string& content) const {
    const auto file = path_ / name;
    std::ofstream(file, std::ios::binary) << content;
    return file;
}

std::filesystem::path TempDir::Write(const std::string& name, const Bytes& content) const {
    return Write(name, std::string(content.begin(), content.end()));
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

EvpPkeyPtr MakeSm2Key() {
    EvpPkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
    Check(key != nullptr, "SM2 key");
    return key;
}

EvpPkeyPtr MakeRsaKey() {
    EvpPkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{2048}));
    Check(key != nullptr, "RSA key");
    return key;
}

X509Ptr MakeCertificate(EVP_PKEY* subject_key, EVP_PKEY* issuer_key, const CertParams& params) {
    X509Ptr cert(X509_new());
    Check(cert && X509_set_version(cert.get(), 2) == 1, "X509_new");
    Check(ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), params.serial) == 1, "serial");
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(params.common_name.c_str()),
                               -1, -1, 0);
    X509_NAME* issuer = X509_get_issuer_name(cert.get());
    X509_NAME_add_entry_by_txt(issuer, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>("Test Authority"), -1, -1, 0);
    Check(
        ASN1_TIME_set_string_X509(X509_getm_notBefore(cert.get()), params.not_before.c_str()) == 1,
        "notBefore");
    Check(ASN1_TIME_set_string_X509(X509_getm_notAfter(cert.get()), params.not_after.c_str()) == 1,
          "notAfter");
    Check(X509_set_pubkey(cert.get(), subject_key) == 1, "pubkey");
    EvpMdCtxPtr md_ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pkey_ctx = nullptr;
    const bool sm2 = EVP_PKEY_is_a(issuer_key, "SM2");
    Check(EVP_DigestSignInit(md_ctx.get(), &pkey_ctx, sm2 ? EVP_sm3() : EVP_sha256(), nullptr,
                             issuer_key) == 1,
          "DigestSignInit");
    if (sm2) Check(EVP_PKEY_CTX_set1_id(pkey_ctx, kDefaultId, 16) == 1, "set1_id");
    Check(X509_sign_ctx(cert.get(), md_ctx.get()) > 0, "X509_sign_ctx");
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

int Run(const std::string& command, std::string* output) {
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return -1;
    std::string text;
    std::array<char, 4096> buffer;
    size_t n = 0;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) text.append(buffer.data(), n);
    const int status = pclose(pipe);
    if (output != nullptr) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace verify_test
