// SM2 signature verification (GM/T 0003.2 with the SM3 digest of GM/T 0004) of raw signatures and
// of SignedData structures, attached or detached, as DER bytes or Base64 text.
#pragma once

#include <cstdint>

// SM3(Z || message), Z from the default identity "1234567812345678" and the public key (X, Y),
// each 32 bytes; pbyDigest receives 32 bytes. 0 or kVerifyFailed.
int CalculateSM3Hash(const uint8_t* pbyY, uint8_t* pbyDigest, const uint8_t* pbyX,
                     const uint8_t* pbyMessage, int nMessageSize);

// 0 when r || s verifies; kVerifyFailed when not; 87 for a missing or non-64-byte signature.
int VerifySignature_Raw(const uint8_t* pbyY, const uint8_t* pbyMessage, int nMessageSize,
                        const uint8_t* pbyX, const uint8_t* pbyRawSignatureRS,
                        int nRawSignatureRSSize);

// On success the content and the certificate (DER or PEM as embedded) are handed out, malloc'ed.
int VerifySignature_DERPKCS7Attached(uint8_t** ppbySourceData, int* pnSourceDataSize,
                                     const uint8_t* pbyDER, int nDERSize, uint8_t** ppbyCert,
                                     int* pnCertSize);
int VerifySignature_DERPKCS7Detached(const uint8_t* pbySourceData, uint8_t** ppbyCert,
                                     const uint8_t* pbyDER, int nDERSize, int nSourceDataSize,
                                     int* pnCertSize);
int VerifySignature_PKCS7Attached(uint8_t** ppbyCert, int* pnCertSize, const char* pszBase64,
                                  int nBase64Size);
int VerifySignature_PKCS7Detached(const uint8_t* pbySourceData, uint8_t** ppbyCert,
                                  const char* pszBase64, int nBase64Size, int nSourceDataSize,
                                  int* pnCertSize);
