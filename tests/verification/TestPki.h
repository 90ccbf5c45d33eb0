// Fixtures for the verification tests, made fresh by each test: SM2 and RSA keys and certificates
// from OpenSSL, a small DER writer for hand-built SignedData (GM/T 0010 layout), SM2 signatures
// with the default identity; the temporary folder is the shared one (tests/support/Shell.h).
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "common/OpenSslPtr.h"
#include "tests/support/Shell.h"
#include "tests/support/TestKeys.h"

namespace verify_test {

using Bytes = std::vector<uint8_t>;

Bytes ToBytes(const std::string& text);
std::string Base64(const Bytes& data);  // one line, padded

using test_shell::ReadFile;
using test_shell::Run;
using test_shell::TempDir;

using ::MakeRsaKey;
using ::MakeSm2Key;

struct CertParams {
    long serial = 1;
    std::string common_name = "Signer";
    std::string not_before = "20240101000000Z";  // GeneralizedTime text
    std::string not_after = "20340101000000Z";
};
// Signed by issuer_key (SM2 with SM3 and the default identity, or SHA-256 with RSA).
X509Ptr MakeCertificate(EVP_PKEY* subject_key, EVP_PKEY* issuer_key, const CertParams& params);
Bytes CertDer(X509* cert);
std::string CertPem(X509* cert);
std::string KeyPem(EVP_PKEY* key);

// SM2 signature over SM3(Z || message) with the default identity, as DER SEQUENCE { r, s }.
Bytes Sm2SignDer(EVP_PKEY* key, const Bytes& message);
// The two INTEGER contents of a DER SEQUENCE { r, s }.
void SplitSignature(const Bytes& der, Bytes* r, Bytes* s);

// DER writing.
Bytes Tlv(uint8_t tag, const Bytes& content);
Bytes Cat(std::initializer_list<Bytes> parts);
Bytes Integer(const Bytes& content);  // INTEGER with exactly this content

// How the signature value sits in the SignerInfo.
enum class SigForm { kOctetString, kSequence, kTwoIntegers };

struct Sm2SignedDataLayout {
    Bytes content;
    bool attached = false;
    std::vector<Bytes> certificates;  // DER, in order
    Bytes signer_serial;              // INTEGER content of issuerAndSerialNumber
    Bytes signer_issuer;              // DER Name
    SigForm form = SigForm::kOctetString;
    Bytes r, s;  // INTEGER contents
    bool authenticated_attributes = false;
};
Bytes BuildSm2SignedData(const Sm2SignedDataLayout& layout);
// An ordinary detached or attached SM2 SignedData: one certificate, signature over the content.
Bytes MakeSm2SignedData(EVP_PKEY* key, X509* cert, const Bytes& content, bool attached);

Bytes SerialContent(X509* cert);
Bytes IssuerDer(X509* cert);

// `openssl cms -sign -binary -noattr` over message with the given digest (sha1, sha256), attached
// or detached, as DER. The files it needs are written into dir.
Bytes CmsSign(const TempDir& dir, X509* cert, EVP_PKEY* key, const std::string& message,
              const std::string& digest, bool attached);

}  // namespace verify_test
