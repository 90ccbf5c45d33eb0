// The DER encoder: wraps content that is already in final form in one tag-length-value element
// (X.690, definite length in its shortest form). The element is a new malloc'ed buffer that the
// caller releases with free.
#pragma once

#include <cstdint>

#include "common/Types.h"

// Tags accepted: 0x02, 0x04, 0x06, 0x0C, 0x13, 0x16, 0x1E, 0x30, 0x31, 0x80, 0xA0; any other
// fails with E_FAIL, as does an empty value.
HRESULT ASN1Encode(BYTE bTag, const BYTE* pbValue, int32_t nValueLength, BYTE** ppbElement,
                   DWORD* pdwElementLength);
// The length field for a content of dwValueLength bytes (a new buffer of 1 to 5 bytes).
HRESULT CalculateASNValueLength(uint32_t dwValueLength, BYTE** ppbLengthOctets,
                                DWORD* pdwLengthOctetCount);
