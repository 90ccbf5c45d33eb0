#include "signing/ASN1Encode.h"

#include <cstdlib>
#include <cstring>

#include "common/ResultCodes.h"
#include "common/Trace.h"

static constexpr char kUnit[] = "ASN1Encode";

namespace {

bool IsSupportedTag(BYTE bTag) {
    switch (bTag) {
        case 0x02:  // INTEGER
        case 0x04:  // OCTET STRING
        case 0x06:  // OBJECT IDENTIFIER
        case 0x0C:  // UTF8String
        case 0x13:  // PrintableString
        case 0x16:  // IA5String
        case 0x1E:  // BMPString
        case 0x30:  // SEQUENCE
        case 0x31:  // SET
        case 0x80:  // [0] primitive
        case 0xA0:  // [0] constructed
            return true;
        default:
            return false;
    }
}

}  // namespace

HRESULT CalculateASNValueLength(uint32_t dwValueLength, BYTE** ppbLengthOctets,
                                DWORD* pdwLengthOctetCount) {
    TRACE_SCOPE();
    HRESULT hResult = VELK_OK;
    BYTE* pbOctets = nullptr;
    DWORD dwCount = 0;

    if (NULL == ppbLengthOctets || NULL == pdwLengthOctetCount) {
        hResult = E_INVALIDARG;
        FAILED_STEP_W(kUnit, "Check parameters", hResult, "NULL == ppbLengthOctets");
        goto Exit;
    }
    if (0 == dwValueLength) {
        // No element with empty content is ever built.
        TRACE_INFO("Value length is 0");
        hResult = E_FAIL;
        goto Exit;
    }
    // Short form up to 127; otherwise 0x80 | k and k big-endian bytes, k as small as possible.
    if (dwValueLength < 0x80) {
        dwCount = 1;
    } else {
        DWORD dwBytes = 0;
        for (uint32_t dwRest = dwValueLength; 0 != dwRest; dwRest >>= 8) ++dwBytes;
        dwCount = 1 + dwBytes;
    }
    pbOctets = static_cast<BYTE*>(std::calloc(dwCount, 1));
    if (NULL == pbOctets) {
        hResult = E_OUTOFMEMORY;
        FAILED_STEP_W(kUnit, "New Memory", hResult, "NULL == pbOctets");
        goto Exit;
    }
    if (1 == dwCount) {
        pbOctets[0] = static_cast<BYTE>(dwValueLength);
    } else {
        pbOctets[0] = static_cast<BYTE>(0x80 | (dwCount - 1));
        for (DWORD i = 1; i < dwCount; ++i)
            pbOctets[i] = static_cast<BYTE>(dwValueLength >> (8 * (dwCount - 1 - i)));
    }
    *ppbLengthOctets = pbOctets;
    *pdwLengthOctetCount = dwCount;
    pbOctets = nullptr;

Exit:
    std::free(pbOctets);
    return hResult;
}

namespace {

// The element of the checked arguments: tag, length octets and the pieces in order, in one new
// buffer. A signed message is one of the pieces, and this way it is copied once.
HRESULT WriteElement(BYTE bTag, std::initializer_list<ASN1_PIECE> lstPieces, size_t nValueLength,
                     BYTE** ppbElement, DWORD* pdwElementLength) {
    HRESULT hResult = VELK_OK;
    BYTE* pbLength = nullptr;
    DWORD dwLengthCount = 0;
    BYTE* pbElement = nullptr;
    size_t nOffset = 0;

    *ppbElement = nullptr;
    if (!IsSupportedTag(bTag)) {
        hResult = E_FAIL;
        TRACE_ERROR("ASN1Encode: tag 0x%02x is not supported", bTag);
        goto Exit;
    }
    TRACE_INFO("ASN1Encode: tag 0x%02x, %zu bytes", bTag, nValueLength);

    hResult =
        CalculateASNValueLength(static_cast<uint32_t>(nValueLength), &pbLength, &dwLengthCount);
    if (FAILED(hResult)) {
        TRACE_ERROR("ASN1Encode: CalculateASNValueLength failed (0x%08x)", hResult);
        goto Exit;
    }
    pbElement = static_cast<BYTE*>(std::malloc(1 + dwLengthCount + nValueLength));
    if (NULL == pbElement) {
        hResult = E_OUTOFMEMORY;
        FAILED_STEP_W(kUnit, "New Memory", hResult, "NULL == pbElement");
        goto Exit;
    }
    pbElement[0] = bTag;
    std::memcpy(pbElement + 1, pbLength, dwLengthCount);
    nOffset = 1 + dwLengthCount;
    for (const ASN1_PIECE& stPiece : lstPieces) {
        if (stPiece.cbData != 0) std::memcpy(pbElement + nOffset, stPiece.pbData, stPiece.cbData);
        nOffset += stPiece.cbData;
    }
    *ppbElement = pbElement;
    *pdwElementLength = static_cast<DWORD>(nOffset);
    pbElement = nullptr;

Exit:
    std::free(pbLength);
    std::free(pbElement);
    return hResult;
}

}  // namespace

HRESULT ASN1Encode(BYTE bTag, const BYTE* pbValue, int32_t nValueLength, BYTE** ppbElement,
                   DWORD* pdwElementLength) {
    TRACE_SCOPE();
    if (NULL == ppbElement || NULL == pdwElementLength || nValueLength < 0 ||
        (nValueLength > 0 && NULL == pbValue)) {
        FAILED_STEP_W(kUnit, "Check parameters", E_INVALIDARG, "NULL == pbValue");
        return E_INVALIDARG;
    }
    return WriteElement(bTag, {{pbValue, static_cast<DWORD>(nValueLength)}},
                        static_cast<size_t>(nValueLength), ppbElement, pdwElementLength);
}

HRESULT ASN1EncodePieces(BYTE bTag, std::initializer_list<ASN1_PIECE> lstPieces, BYTE** ppbElement,
                         DWORD* pdwElementLength) {
    size_t nValueLength = 0;

    if (NULL == ppbElement || NULL == pdwElementLength) {
        FAILED_STEP_W(kUnit, "Check parameters", E_INVALIDARG, "NULL == ppbElement");
        return E_INVALIDARG;
    }
    for (const ASN1_PIECE& stPiece : lstPieces) nValueLength += stPiece.cbData;
    if (nValueLength > static_cast<size_t>(INT32_MAX)) {
        FAILED_STEP(kUnit, "New Memory", E_OUTOFMEMORY, "nValueLength > INT32_MAX");
        return E_OUTOFMEMORY;
    }
    return WriteElement(bTag, lstPieces, nValueLength, ppbElement, pdwElementLength);
}
