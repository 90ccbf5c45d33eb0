// Reads a DER PKCS#7 SignedData (RFC 2315) with OpenSSL, which shares no code with the encoder
// under test, and verifies its signature. Kept apart from the platform headers, whose CryptoAPI
// names overlap OpenSSL's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace signing_test {

struct SignedDataFields {
    long version = -1;
    std::vector<std::string> digest_algorithms;  // dotted OIDs of digestAlgorithms
    std::vector<bool> digest_null_parameters;    // each with NULL parameters
    int certificates = 0;
    std::vector<uint8_t> first_certificate;  // DER
    bool has_crls = false;
    int signers = 0;
    long signer_version = -1;
    std::string signer_digest_algorithm;
    std::string signer_signature_algorithm;
    int signed_attributes = 0;
    int unsigned_attributes = 0;
    size_t encrypted_digest_size = 0;
    std::vector<uint8_t> signer_serial;  // most significant byte first
    std::optional<std::string> content;  // absent when detached
};

// Nullopt when the bytes are no SignedData.
std::optional<SignedDataFields> ReadSignedData(const std::vector<uint8_t>& der);

// Verifies the signature without checking the certificate chain (binary content, no line-end
// translation); `content` is the detached message or nullopt. The verified content on success.
std::optional<std::string> VerifySignedData(const std::vector<uint8_t>& der,
                                            const std::optional<std::string>& content);

}  // namespace signing_test
