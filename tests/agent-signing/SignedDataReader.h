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

// An SM2 SignedData of GM/T 0010 (the RFC 2315 shape under 1.2.156.10197.6.1.4.2.x), taken
// apart by a small DER walker of the test's own: OpenSSL's PKCS#7 code does not know these content
// types. Elements are kept as their DER so that a test can compare them byte for byte.
struct Sm2SignedDataFields {
    std::string content_type;  // outer ContentInfo, dotted
    long version = -1;
    std::vector<std::vector<uint8_t>> digest_algorithms;  // each AlgorithmIdentifier
    std::vector<uint8_t> inner_content_info;              // the whole inner ContentInfo
    std::string inner_content_type;
    std::optional<std::string> content;  // absent when detached
    std::vector<std::vector<uint8_t>> certificates;
    bool has_crls = false;
    int signers = 0;
    long signer_version = -1;
    std::vector<uint8_t> signer_issuer;               // Name
    std::vector<uint8_t> signer_serial;               // INTEGER content bytes as encoded
    std::vector<uint8_t> signer_digest_algorithm;     // AlgorithmIdentifier
    std::vector<uint8_t> signer_signature_algorithm;  // AlgorithmIdentifier
    std::vector<uint8_t> encrypted_digest;            // the whole OCTET STRING element
    std::vector<uint8_t> signature;                   // its content: SEQUENCE { r, s }
    int signer_extra_fields = 0;                      // attributes or anything else
};

// Nullopt when the bytes are not shaped as such a SignedData.
std::optional<Sm2SignedDataFields> ReadSm2SignedData(const std::vector<uint8_t>& der);

// OpenSSL's SM2 verification with SM3 and the default identity "1234567812345678" of a DER
// SEQUENCE { r, s } over the message, with the public key of the certificate (DER). OpenSSL
// encodes the parsed signature again and refuses one that differs, so a non-minimal INTEGER
// fails here.
bool VerifySm2Signature(const std::vector<uint8_t>& certificate, const std::string& message,
                        const std::vector<uint8_t>& signature);

}  // namespace signing_test
