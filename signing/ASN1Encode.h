// The DER encoder: wraps content that is already in final form in one tag-length-value element
// (X.690, definite length in its shortest form). The element is a new malloc'ed buffer that the
// caller releases with free.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "platform/runtime/Types.h"

// Tags accepted: 0x02, 0x04, 0x06, 0x0C, 0x13, 0x16, 0x1E, 0x30, 0x31, 0x80, 0xA0; any other
// fails with E_FAIL, as does an empty value.
HRESULT ASN1Encode(BYTE bTag, const BYTE* pbValue, int32_t nValueLength, BYTE** ppbElement,
                   DWORD* pdwElementLength);
// The length field for a content of dwValueLength bytes (a new buffer of 1 to 5 bytes).
HRESULT CalculateASNValueLength(uint32_t dwValueLength, BYTE** ppbLengthOctets,
                                DWORD* pdwLengthOctetCount);

// One run of bytes of an element's content: an element already encoded, or literal bytes.
struct ASN1_PIECE {
    const BYTE* pbData;
    DWORD cbData;
};
// Encodes the pieces, concatenated in order, under one tag: the SEQUENCE or SET around elements
// that are already encoded. The same refusals as ASN1Encode (an empty total among them).
HRESULT ASN1EncodePieces(BYTE bTag, std::initializer_list<ASN1_PIECE> lstPieces, BYTE** ppbElement,
                         DWORD* pdwElementLength);
