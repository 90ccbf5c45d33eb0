// The SM2 public key of a certificate given as PEM text or DER bytes.
#pragma once

#include <cstdint>

// X and Y, 32 bytes each, big-endian, in new malloc'ed buffers; 0 or kVerifyFailed.
int GetPublicKeyXYFromSM2Cert(uint8_t** ppbyX, int* pnXSize, const uint8_t* pbyCert, int nCertSize,
                              uint8_t** ppbyY, int* pnYSize);
