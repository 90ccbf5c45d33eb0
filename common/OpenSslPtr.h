// Owners for OpenSSL handles, one alias per handle type, so every path releases what it took.
#pragma once

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

#include "common/FreePtr.h"

namespace openssl_ptr {
template <auto Free>
struct Deleter {
    template <typename T>
    void operator()(T* handle) const {
        Free(handle);
    }
};
struct X509StackDeleter {
    // The stack only: PKCS7_get0_signers does not hand out references to its certificates.
    void operator()(STACK_OF(X509) * stack) const { sk_X509_free(stack); }
};
struct OpenSslFreeDeleter {
    void operator()(void* p) const { OPENSSL_free(p); }
};
}  // namespace openssl_ptr

using BioPtr = std::unique_ptr<BIO, openssl_ptr::Deleter<BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, openssl_ptr::Deleter<X509_free>>;
using X509NamePtr = std::unique_ptr<X509_NAME, openssl_ptr::Deleter<X509_NAME_free>>;
using Asn1BitStringPtr =
    std::unique_ptr<ASN1_BIT_STRING, openssl_ptr::Deleter<ASN1_BIT_STRING_free>>;
using Asn1OctetStringPtr =
    std::unique_ptr<ASN1_OCTET_STRING, openssl_ptr::Deleter<ASN1_OCTET_STRING_free>>;
using Asn1TypePtr = std::unique_ptr<ASN1_TYPE, openssl_ptr::Deleter<ASN1_TYPE_free>>;
using GeneralNamesPtr = std::unique_ptr<GENERAL_NAMES, openssl_ptr::Deleter<GENERAL_NAMES_free>>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, openssl_ptr::Deleter<PKCS7_free>>;
using X509StackPtr = std::unique_ptr<STACK_OF(X509), openssl_ptr::X509StackDeleter>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, openssl_ptr::Deleter<EVP_PKEY_free>>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, openssl_ptr::Deleter<EVP_PKEY_CTX_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, openssl_ptr::Deleter<EVP_MD_CTX_free>>;
using EcGroupPtr = std::unique_ptr<EC_GROUP, openssl_ptr::Deleter<EC_GROUP_free>>;
using EcPointPtr = std::unique_ptr<EC_POINT, openssl_ptr::Deleter<EC_POINT_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, openssl_ptr::Deleter<BN_free>>;
using EcdsaSigPtr = std::unique_ptr<ECDSA_SIG, openssl_ptr::Deleter<ECDSA_SIG_free>>;
using ParamBldPtr = std::unique_ptr<OSSL_PARAM_BLD, openssl_ptr::Deleter<OSSL_PARAM_BLD_free>>;
using ParamPtr = std::unique_ptr<OSSL_PARAM, openssl_ptr::Deleter<OSSL_PARAM_free>>;
// Bytes that OpenSSL allocated for us (i2d_* with a null output).
using OpenSslBytesPtr = std::unique_ptr<unsigned char, openssl_ptr::OpenSslFreeDeleter>;
