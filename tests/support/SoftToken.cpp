#include "tests/support/SoftToken.h"

#include <openssl/bio.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <fstream>

namespace soft_token {

namespace {

constexpr char kDefaultSm2Id[] = "1234567812345678";

using BioPtr = std::unique_ptr<BIO, openssl_ptr::Deleter<BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, openssl_ptr::Deleter<X509_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, openssl_ptr::Deleter<EVP_PKEY_CTX_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, openssl_ptr::Deleter<EVP_MD_CTX_free>>;
using SigPtr = std::unique_ptr<ECDSA_SIG, openssl_ptr::Deleter<ECDSA_SIG_free>>;

}  // namespace

KeyPair MakeKeyPair(const std::string& subject, unsigned key_usage, long serial,
                    const KeyPair* issuer) {
    KeyPair pair;
    pair.key = MakeSm2Key();
    TestCertificateSpec spec;
    spec.subject = subject;
    spec.key_usage = key_usage;
    spec.serial = serial;
    pair.subject = subject;
    if (issuer != nullptr) {
        spec.issuer = issuer->subject;
        spec.issuer_key = issuer->key.get();
    }
    pair.certificate = MakeTestCertificate(pair.key.get(), spec);
    return pair;
}

std::string DeviceSection(const std::string& name, const std::string& label,
                          const std::string& extra) {
    return "[device]\nname = " + name + "\nserial = SN-" + name + "\nlabel = " + label + "\n" +
           extra;
}

std::string ApplicationSection(const std::string& device, const std::string& name,
                               const std::string& pin, int retries, bool locked) {
    return "[application]\ndevice = " + device + "\nname = " + name + "\npin = " + pin +
           "\nretries = " + std::to_string(retries) + "\nlocked = " + (locked ? "yes" : "no") +
           "\n";
}

std::string ContainerSection(const ContainerSpec& spec) {
    std::string text = "[container]\ndevice = " + spec.device +
                       "\napplication = " + spec.application + "\nname = " + spec.name +
                       "\ntype = " + std::to_string(spec.type) + "\n";
    const std::pair<const char*, const std::string*> files[] = {{"sign_key", &spec.sign_key},
                                                                {"sign_cert", &spec.sign_cert},
                                                                {"enc_key", &spec.enc_key},
                                                                {"enc_cert", &spec.enc_cert}};
    for (const auto& [key, value] : files) {
        if (!value->empty()) text += std::string(key) + " = " + *value + "\n";
    }
    return text;
}

SoftToken::SoftToken() : state_(dir_.path() / "state") {
    std::error_code ignored;
    std::filesystem::create_directories(root() / "system-providers.d", ignored);
}

ProviderFolders SoftToken::folders() const {
    return {(root() / "system-providers.d").string(), config_home() + "/tessora/providers.d"};
}

std::pair<std::string, std::string> SoftToken::WriteKeyPair(const std::string& name,
                                                            const KeyPair& pair) {
    const std::string key_file = name + ".pem";
    const std::string cert_file = name + ".der";
    BioPtr bio(BIO_new_file((root() / key_file).c_str(), "w"));
    if (bio)
        PEM_write_bio_PrivateKey(bio.get(), pair.key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    std::ofstream(root() / cert_file, std::ios::binary)
        .write(reinterpret_cast<const char*>(pair.certificate.data()),
               static_cast<std::streamsize>(pair.certificate.size()));
    return {key_file, cert_file};
}

void SoftToken::Register(const std::string& provider, const std::string& library,
                         const std::string& file) const {
    const std::string folder = folders().user;
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/" + file)
        << "name = " << provider << "\nlibrary = " << library << "\n";
}

bool VerifySm2(const std::vector<uint8_t>& certificate, const std::string& message,
               const std::vector<uint8_t>& r_then_s) {
    if (r_then_s.size() != 64) return false;
    const unsigned char* der = certificate.data();
    X509Ptr cert(d2i_X509(nullptr, &der, static_cast<long>(certificate.size())));
    if (!cert) return false;
    EVP_PKEY* key = X509_get0_pubkey(cert.get());
    // r and s as the DER SEQUENCE OpenSSL verifies (SEC 1, ECDSA-Sig-Value has the same form).
    SigPtr sig(ECDSA_SIG_new());
    BIGNUM* r = BN_bin2bn(r_then_s.data(), 32, nullptr);
    BIGNUM* s = BN_bin2bn(r_then_s.data() + 32, 32, nullptr);
    if (!ECDSA_SIG_set0(sig.get(), r, s)) {
        BN_free(r);
        BN_free(s);
        return false;
    }
    unsigned char* encoded = nullptr;
    const int encoded_size = i2d_ECDSA_SIG(sig.get(), &encoded);
    if (encoded_size <= 0) return false;
    std::unique_ptr<unsigned char, void (*)(unsigned char*)> encoded_owner(
        encoded, [](unsigned char* p) { OPENSSL_free(p); });

    MdCtxPtr md(EVP_MD_CTX_new());
    PkeyCtxPtr pctx(EVP_PKEY_CTX_new(key, nullptr));
    if (!md || !pctx ||
        EVP_PKEY_CTX_set1_id(pctx.get(), kDefaultSm2Id, sizeof kDefaultSm2Id - 1) != 1)
        return false;
    EVP_MD_CTX_set_pkey_ctx(md.get(), pctx.get());
    return EVP_DigestVerifyInit(md.get(), nullptr, EVP_sm3(), nullptr, key) == 1 &&
           EVP_DigestVerify(md.get(), encoded, static_cast<size_t>(encoded_size),
                            reinterpret_cast<const unsigned char*>(message.data()),
                            message.size()) == 1;
}

}  // namespace soft_token
