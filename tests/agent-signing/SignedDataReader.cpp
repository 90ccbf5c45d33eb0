#include "tests/agent-signing/SignedDataReader.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
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

}  // namespace

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
