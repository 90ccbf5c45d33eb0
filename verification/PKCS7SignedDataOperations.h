// Takes an SM2 SignedData (GM/T 0010, shaped as RFC 2315 SignedData) apart into the signer's
// certificate, the raw signature r || s and the attached content.
#pragma once

#include <cstdint>

// 64 bytes: r then s, 32 bytes each, big-endian.
constexpr int SM2_RAW_RS_SIZE = 64;

// 0, kVerifyFailed (parse), VELK_E_INVALID_PKCS7_FORMAT (structure) or the code of Decode_SM2Q1.
// Outputs are malloc'ed and written only on success; the certificate and content may be null
// with size 0 (no certificate matched, content detached).
int ParsePKCS7Signature(uint8_t** ppbyCert, int* pnCertSize, const uint8_t* pbyDER, int nDERSize,
                        uint8_t** ppbyRawSignature, int* pnRawSignatureSize,
                        uint8_t** ppbySourceData, int* pnSourceDataSize);

// SEQUENCE { INTEGER r, INTEGER s } (66 to 72 bytes) to the 64-byte r || s; 0 or kVerifyFailed.
int Decode_SM2Q1(const uint8_t* pbyDER, uint8_t** ppbyRawSignature, int nDERSize,
                 int* pnRawSignatureSize);
