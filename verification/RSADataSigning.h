// RSA PKCS#7 SignedData verification (RFC 2315) with the certificate inside the structure; the
// signer's chain is deliberately not verified.
#pragma once

#include <cstdint>

// 0, kVerifyFailed, NTE_BAD_SIGNATURE, or the code of Base64DecodeEx. Outputs are malloc'ed and
// written only on success; in the DER forms a null output skips the step that makes it.
int RSA_VerifyDataSignature_DERPKCS7Detached(uint8_t** ppbyCert, int* pnCertSize,
                                             const uint8_t* pbyDER, int nDERSize,
                                             const uint8_t* pbySourceData, int nSourceDataSize);
int RSA_VerifyDataSignature_PKCS7Detached(const char* pszBase64, uint8_t** ppbyCert,
                                          const uint8_t* pbySourceData, int nSourceDataSize,
                                          int* pnCertSize);
int RSA_VerifyDataSignature_DERPKCS7Attached(uint8_t** ppbySourceData, uint8_t** ppbyCert,
                                             const uint8_t* pbyDER, int nDERSize,
                                             int* pnSourceDataSize, int* pnCertSize);
int RSA_VerifyDataSignature_PKCS7Attached(const char* pszBase64, int* pnCertSize,
                                          uint8_t** ppbyCert);
