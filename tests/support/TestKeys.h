// Test keys and certificates made with OpenSSL in memory (no files): the one factory of the
// tests.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/OpenSslPtr.h"

// A fixture failure (no key) throws std::runtime_error.
EvpPkeyPtr MakeRsaKey(int bits = 2048);
EvpPkeyPtr MakeSm2Key();
// A self-signed certificate (or one signed by issuer_key under the name issuer) over key. Names
// are written "C=CN,O=Org,CN=Signer": RDNs in encoded order, "+" joins the attributes of one
// multi-valued RDN, a backslash escapes the next character ("O=ACME\\, Inc."). Key usage is the
// first byte of the bit string (0 = no extension). Validity in days from now unless exact bounds
// are given. An SM2 issuer key signs with SM3 (1.2.156.10197.1.501), an RSA one with SHA-256.
struct TestCertificateSpec {
    std::string subject = "CN=Test";
    std::string issuer;              // empty = the subject (self-signed)
    EVP_PKEY* issuer_key = nullptr;  // null = the certificate's own key
    unsigned key_usage = 0;
    bool key_usage_without_bits = false;  // a key-usage extension whose bit string is empty
    long serial = 1;
    std::vector<uint8_t> serial_bytes;  // INTEGER content, big-endian; overrides serial if set
    int not_before_days = -1;
    int not_after_days = 365;
    int64_t not_before_unix = 0;  // exact bounds (seconds since 1970, UTC) when non-zero
    int64_t not_after_unix = 0;
    std::string not_before_time;  // exact bounds as GeneralizedTime text ("20240101000000Z"),
    std::string not_after_time;   // before the two above when set
    bool subject_key_id = true;
    bool sm2_default_id = false;  // an SM2 issuer signs with the GM/T 0009 default identity set
};
// An attribute value as the name texts above take it: ',', '+' and '\' escaped.
std::string EscapeNameValue(const std::string& value);
// Null (or no bytes) when OpenSSL fails.
X509Ptr MakeTestX509(EVP_PKEY* key, const TestCertificateSpec& spec);
std::vector<uint8_t> MakeTestCertificate(EVP_PKEY* key, const TestCertificateSpec& spec);
