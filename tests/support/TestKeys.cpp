#include "tests/support/TestKeys.h"

#include <openssl/bn.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <ctime>
#include <stdexcept>

namespace {

using NamePtr = X509NamePtr;

// The default user identity of GM/T 0009 for SM2 signatures.
constexpr char kSm2DefaultId[] = "1234567812345678";

EvpPkeyPtr Checked(EVP_PKEY* key, const char* what) {
    if (key == nullptr) throw std::runtime_error(std::string("fixture key failed: ") + what);
    return EvpPkeyPtr(key);
}

}  // namespace

EvpPkeyPtr MakeRsaKey(int bits) { return Checked(EVP_RSA_gen(static_cast<unsigned>(bits)), "RSA"); }

EvpPkeyPtr MakeSm2Key() { return Checked(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"), "SM2"); }

namespace {

// "C=CN,O=Org+OU=Unit,CN=Signer" with backslash escapes, RDNs in encoded order.
NamePtr ParseName(const std::string& text) {
    NamePtr name(X509_NAME_new());
    std::string key, value;
    bool in_value = false, new_rdn = true;
    auto flush = [&](bool next_new_rdn) {
        if (!key.empty())
            X509_NAME_add_entry_by_txt(name.get(), key.c_str(), MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>(value.c_str()), -1,
                                       -1, new_rdn ? 0 : -1);
        key.clear();
        value.clear();
        in_value = false;
        new_rdn = next_new_rdn;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            (in_value ? value : key).push_back(text[++i]);
        } else if (c == '=' && !in_value) {
            in_value = true;
        } else if (c == ',') {
            flush(true);
        } else if (c == '+') {
            flush(false);
        } else {
            (in_value ? value : key).push_back(c);
        }
    }
    flush(true);
    return name;
}

// One validity bound: GeneralizedTime text, else seconds since 1970, else days from now.
void SetTime(ASN1_TIME* time, const std::string& text, int64_t unix_time, int days) {
    if (!text.empty())
        ASN1_TIME_set_string_X509(time, text.c_str());
    else if (unix_time != 0)
        ASN1_TIME_set(time, static_cast<time_t>(unix_time));
    else
        X509_gmtime_adj(time, days * 86400L);
}

}  // namespace

std::string EscapeNameValue(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == ',' || c == '+' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

X509Ptr MakeTestX509(EVP_PKEY* key, const TestCertificateSpec& spec) {
    X509Ptr x509(X509_new());
    X509_set_version(x509.get(), 2);
    if (!spec.serial_bytes.empty()) {
        ASN1_INTEGER* serial = X509_get_serialNumber(x509.get());
        BIGNUM* value = BN_bin2bn(spec.serial_bytes.data(),
                                  static_cast<int>(spec.serial_bytes.size()), nullptr);
        BN_to_ASN1_INTEGER(value, serial);
        BN_free(value);
    } else {
        ASN1_INTEGER_set(X509_get_serialNumber(x509.get()), spec.serial);
    }
    SetTime(X509_getm_notBefore(x509.get()), spec.not_before_time, spec.not_before_unix,
            spec.not_before_days);
    SetTime(X509_getm_notAfter(x509.get()), spec.not_after_time, spec.not_after_unix,
            spec.not_after_days);
    NamePtr subject = ParseName(spec.subject);
    NamePtr issuer = ParseName(spec.issuer.empty() ? spec.subject : spec.issuer);
    X509_set_subject_name(x509.get(), subject.get());
    X509_set_issuer_name(x509.get(), issuer.get());
    X509_set_pubkey(x509.get(), key);
    if (spec.key_usage != 0 || spec.key_usage_without_bits) {
        ASN1_BIT_STRING* bits = ASN1_BIT_STRING_new();
        for (int i = 0; i < 8; ++i)
            if (spec.key_usage & (0x80u >> i)) ASN1_BIT_STRING_set_bit(bits, i, 1);
        X509_add1_ext_i2d(x509.get(), NID_key_usage, bits, 1, X509V3_ADD_DEFAULT);
        ASN1_BIT_STRING_free(bits);
    }
    if (spec.subject_key_id) {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        X509_pubkey_digest(x509.get(), EVP_sha1(), digest, &length);
        ASN1_OCTET_STRING* id = ASN1_OCTET_STRING_new();
        ASN1_OCTET_STRING_set(id, digest, static_cast<int>(length));
        X509_add1_ext_i2d(x509.get(), NID_subject_key_identifier, id, 0, X509V3_ADD_DEFAULT);
        ASN1_OCTET_STRING_free(id);
    }
    EVP_PKEY* signer = spec.issuer_key != nullptr ? spec.issuer_key : key;
    const bool sm2 = EVP_PKEY_is_a(signer, "SM2") == 1;
    EvpMdCtxPtr md_ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pkey_ctx = nullptr;
    if (!md_ctx || EVP_DigestSignInit(md_ctx.get(), &pkey_ctx, sm2 ? EVP_sm3() : EVP_sha256(),
                                      nullptr, signer) != 1)
        return nullptr;
    if (sm2 && spec.sm2_default_id &&
        EVP_PKEY_CTX_set1_id(pkey_ctx, kSm2DefaultId, sizeof(kSm2DefaultId) - 1) != 1)
        return nullptr;
    if (X509_sign_ctx(x509.get(), md_ctx.get()) <= 0) return nullptr;
    return x509;
}

std::vector<uint8_t> MakeTestCertificate(EVP_PKEY* key, const TestCertificateSpec& spec) {
    X509Ptr x509 = MakeTestX509(key, spec);
    if (!x509) return {};
    const int n = i2d_X509(x509.get(), nullptr);
    std::vector<uint8_t> der(static_cast<size_t>(n));
    unsigned char* p = der.data();
    i2d_X509(x509.get(), &p);
    return der;
}
