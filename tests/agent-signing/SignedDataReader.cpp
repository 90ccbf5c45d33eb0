#include "tests/agent-signing/SignedDataReader.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <algorithm>
#include <memory>

#include "common/OpenSslPtr.h"

namespace signing_test {
namespace {

using CmsFree = openssl_ptr::Deleter<CMS_ContentInfo_free>;
using Pkcs7Free = openssl_ptr::Deleter<PKCS7_free>;
using BnFree = openssl_ptr::Deleter<BN_free>;

std::string ObjectText(const ASN1_OBJECT* object) {
    char text[128] = {};
    OBJ_obj2txt(text, sizeof text, object, 1);
    return text;
}

// One DER element inside a buffer.
struct Element {
    uint8_t tag = 0;
    const uint8_t* begin = nullptr;  // the tag byte
    size_t size = 0;                 // the whole element
    const uint8_t* content = nullptr;
    size_t length = 0;
    std::vector<uint8_t> Bytes() const { return {begin, begin + size}; }
};

// The element at p, definite length only; nullopt when it does not fit before end.
std::optional<Element> ReadElement(const uint8_t* p, const uint8_t* end) {
    if (end - p < 2) return std::nullopt;
    Element element;
    element.tag = p[0];
    element.begin = p;
    size_t length = p[1];
    const uint8_t* q = p + 2;
    if ((length & 0x80) != 0) {
        const size_t count = length & 0x7F;
        if (count == 0 || count > 4 || static_cast<size_t>(end - q) < count) return std::nullopt;
        length = 0;
        for (size_t i = 0; i < count; ++i) length = (length << 8) | *q++;
    }
    if (static_cast<size_t>(end - q) < length) return std::nullopt;
    element.content = q;
    element.length = length;
    element.size = static_cast<size_t>(q - p) + length;
    return element;
}

// The elements inside a constructed element; empty when its content does not parse.
std::vector<Element> Children(const Element& parent) {
    std::vector<Element> children;
    const uint8_t* p = parent.content;
    const uint8_t* end = parent.content + parent.length;
    while (p < end) {
        const auto child = ReadElement(p, end);
        if (!child) return {};
        children.push_back(*child);
        p += child->size;
    }
    return children;
}

std::string OidText(const Element& element) {
    if (element.tag != 0x06) return {};
    const unsigned char* p = element.begin;
    std::unique_ptr<ASN1_OBJECT, openssl_ptr::Deleter<ASN1_OBJECT_free>> object(
        d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(element.size)));
    return object ? ObjectText(object.get()) : std::string();
}

long SmallInteger(const Element& element) {
    if (element.tag != 0x02 || element.length == 0 || element.length > 4) return -1;
    long value = 0;
    for (size_t i = 0; i < element.length; ++i) value = (value << 8) | element.content[i];
    return value;
}

}  // namespace

std::optional<Sm2SignedDataFields> ReadSm2SignedData(const std::vector<uint8_t>& der) {
    const uint8_t* end = der.data() + der.size();
    const auto outer = ReadElement(der.data(), end);
    if (!outer || outer->tag != 0x30 || outer->size != der.size()) return std::nullopt;
    const std::vector<Element> outer_fields = Children(*outer);
    if (outer_fields.size() != 2 || outer_fields[1].tag != 0xA0) return std::nullopt;
    const std::vector<Element> explicit_content = Children(outer_fields[1]);
    if (explicit_content.size() != 1 || explicit_content[0].tag != 0x30) return std::nullopt;

    Sm2SignedDataFields fields;
    fields.content_type = OidText(outer_fields[0]);
    // SignedData ::= SEQUENCE { version, digestAlgorithms, contentInfo, [0] certificates,
    // [1] crls, signerInfos }
    const std::vector<Element> sd = Children(explicit_content[0]);
    if (sd.size() < 4 || sd[1].tag != 0x31 || sd[2].tag != 0x30 || sd.back().tag != 0x31)
        return std::nullopt;
    fields.version = SmallInteger(sd[0]);
    for (const Element& algorithm : Children(sd[1]))
        fields.digest_algorithms.push_back(algorithm.Bytes());
    fields.inner_content_info = sd[2].Bytes();
    const std::vector<Element> inner = Children(sd[2]);
    if (inner.empty()) return std::nullopt;
    fields.inner_content_type = OidText(inner[0]);
    if (inner.size() > 1) {
        const std::vector<Element> wrapped = Children(inner[1]);
        if (inner[1].tag != 0xA0 || wrapped.size() != 1 || wrapped[0].tag != 0x04)
            return std::nullopt;
        fields.content =
            std::string(reinterpret_cast<const char*>(wrapped[0].content), wrapped[0].length);
    }
    for (size_t i = 3; i + 1 < sd.size(); ++i) {
        if (sd[i].tag == 0xA0) {
            // [0] IMPLICIT SET OF Certificate
            for (const Element& certificate : Children(sd[i]))
                fields.certificates.push_back(certificate.Bytes());
        } else if (sd[i].tag == 0xA1) {
            fields.has_crls = true;
        }
    }

    const std::vector<Element> signer_infos = Children(sd.back());
    fields.signers = static_cast<int>(signer_infos.size());
    if (signer_infos.empty()) return fields;
    // SignerInfo ::= SEQUENCE { version, issuerAndSerialNumber, digestAlgorithm,
    // digestEncryptionAlgorithm, encryptedDigest } when it carries no attributes
    const std::vector<Element> si = Children(signer_infos[0]);
    if (si.size() < 5 || si[1].tag != 0x30 || si[4].tag != 0x04) return std::nullopt;
    fields.signer_version = SmallInteger(si[0]);
    const std::vector<Element> issuer_and_serial = Children(si[1]);
    if (issuer_and_serial.size() != 2 || issuer_and_serial[1].tag != 0x02) return std::nullopt;
    fields.signer_issuer = issuer_and_serial[0].Bytes();
    fields.signer_serial.assign(issuer_and_serial[1].content,
                                issuer_and_serial[1].content + issuer_and_serial[1].length);
    fields.signer_digest_algorithm = si[2].Bytes();
    fields.signer_signature_algorithm = si[3].Bytes();
    fields.encrypted_digest = si[4].Bytes();
    fields.signature.assign(si[4].content, si[4].content + si[4].length);
    fields.signer_extra_fields = static_cast<int>(si.size()) - 5;
    return fields;
}

bool VerifySm2Signature(const std::vector<uint8_t>& certificate, const std::string& message,
                        const std::vector<uint8_t>& signature) {
    static constexpr char kDefaultId[] = "1234567812345678";
    const unsigned char* p = certificate.data();
    X509Ptr x509(d2i_X509(nullptr, &p, static_cast<long>(certificate.size())));
    if (!x509) return false;
    EVP_PKEY* key = X509_get0_pubkey(x509.get());
    EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pkey_ctx = nullptr;
    return key != nullptr && ctx != nullptr &&
           EVP_DigestVerifyInit(ctx.get(), &pkey_ctx, EVP_sm3(), nullptr, key) == 1 &&
           EVP_PKEY_CTX_set1_id(pkey_ctx, kDefaultId, sizeof kDefaultId - 1) == 1 &&
           EVP_DigestVerify(ctx.get(), signature.data(), signature.size(),
                            reinterpret_cast<const unsigned char*>(message.data()),
                            message.size()) == 1;
}

std::optional<SignedDataFields> ReadSignedData(const std::vector<uint8_t>& der) {
    const unsigned char* p = der.data();
    std::unique_ptr<PKCS7, Pkcs7Free> p7(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
    if (p7 == nullptr || OBJ_obj2nid(p7->type) != NID_pkcs7_signed) return std::nullopt;
    const PKCS7_SIGNED* sd = p7->d.sign;
    SignedDataFields fields;
    fields.version = ASN1_INTEGER_get(sd->version);
    for (int i = 0; i < sk_X509_ALGOR_num(sd->md_algs); ++i) {
        const X509_ALGOR* alg = sk_X509_ALGOR_value(sd->md_algs, i);
        fields.digest_algorithms.push_back(ObjectText(alg->algorithm));
        fields.digest_null_parameters.push_back(alg->parameter != nullptr &&
                                                alg->parameter->type == V_ASN1_NULL);
    }
    fields.certificates = sk_X509_num(sd->cert);
    if (fields.certificates > 0) {
        unsigned char* cert = nullptr;
        const int len = i2d_X509(sk_X509_value(sd->cert, 0), &cert);
        if (len > 0) fields.first_certificate.assign(cert, cert + len);
        OPENSSL_free(cert);
    }
    fields.has_crls = sk_X509_CRL_num(sd->crl) > 0;
    fields.signers = sk_PKCS7_SIGNER_INFO_num(sd->signer_info);
    if (fields.signers > 0) {
        const PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(sd->signer_info, 0);
        fields.signer_version = ASN1_INTEGER_get(si->version);
        fields.signer_digest_algorithm = ObjectText(si->digest_alg->algorithm);
        fields.signer_signature_algorithm = ObjectText(si->digest_enc_alg->algorithm);
        // An absent attribute set reads as no stack at all (-1).
        fields.signed_attributes = std::max(0, sk_X509_ATTRIBUTE_num(si->auth_attr));
        fields.unsigned_attributes = std::max(0, sk_X509_ATTRIBUTE_num(si->unauth_attr));
        fields.encrypted_digest_size = static_cast<size_t>(ASN1_STRING_length(si->enc_digest));
        std::unique_ptr<BIGNUM, BnFree> serial(
            ASN1_INTEGER_to_BN(si->issuer_and_serial->serial, nullptr));
        if (serial != nullptr) {
            fields.signer_serial.resize(static_cast<size_t>(BN_num_bytes(serial.get())));
            BN_bn2bin(serial.get(), fields.signer_serial.data());
        }
    }
    const ASN1_OCTET_STRING* data = sd->contents->d.data;
    if (data != nullptr)
        fields.content = std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(data)),
                                     static_cast<size_t>(ASN1_STRING_length(data)));
    return fields;
}

std::optional<std::string> VerifySignedData(const std::vector<uint8_t>& der,
                                            const std::optional<std::string>& content) {
    BioPtr in(BIO_new_mem_buf(der.data(), static_cast<int>(der.size())));
    std::unique_ptr<CMS_ContentInfo, CmsFree> cms(d2i_CMS_bio(in.get(), nullptr));
    if (cms == nullptr) return std::nullopt;
    BioPtr detached(content ? BIO_new_mem_buf(content->data(), static_cast<int>(content->size()))
                            : nullptr);
    BioPtr out(BIO_new(BIO_s_mem()));
    if (CMS_verify(cms.get(), nullptr, nullptr, detached.get(), out.get(),
                   CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY) != 1)
        return std::nullopt;
    char* verified = nullptr;
    const long length = BIO_get_mem_data(out.get(), &verified);
    return std::string(verified, static_cast<size_t>(length));
}

}  // namespace signing_test
