// The content type of a PKCS#7 structure given as Base64 text, used by the agent's two
// verification operations to choose between the RSA and the SM2 verifier.
#pragma once

#include <cstdint>

#include "platform/runtime/Types.h"

// Decided by the contentType object identifier: RFC 2315 signedData / envelopedData and their
// GM/T 0010 counterparts.
constexpr int RSA_SIGNED_DATA = 1;
constexpr int SM2_SIGNED_DATA = 2;
constexpr int RSA_ENVELOPED_DATA = 3;
constexpr int SM2_ENVELOPED_DATA = 4;

// 0 with the type; E_INVALIDARG for no text, the Base64 decoder's failure code, or
// HRESULT_INVALID_DATA (0x8007000D) when the bytes are not a structure the check understands.
// The type is 0 unless the result is 0.
HRESULT GetPKCS7Type(const char* pszBase64PKCS7, uint32_t dwBase64PKCS7Size, int* pnType);
