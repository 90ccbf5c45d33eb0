// What the verification routines share: the plain failure value (a parse, structure, key or
// signature step that failed without a more specific code; the agent turns it into
// NTE_BAD_SIGNATURE), handing out owned buffers, and the BER element rules of both parsers.
#pragma once

#include <cstdint>

constexpr int kVerifyFailed = -1;

// Passes an owned buffer to an optional out parameter; without one it stays for the tail to free.
inline void HandOut(uint8_t** ppbyOut, uint8_t*& pbyOwned) {
    if (ppbyOut == nullptr) return;
    *ppbyOut = pbyOwned;
    pbyOwned = nullptr;
}

// Tags 0x00-0x1F and 0x80-0x8F are leaves; every other tag byte is parsed for children.
inline bool IsASN1LeafTag(uint8_t bTag) { return bTag <= 0x1F || (bTag >= 0x80 && bTag <= 0x8F); }

// The end of an indefinite primitive: the first two consecutive zero bytes from qwFrom on, inside
// the input. Gives the content length including that pair, or false when there is none.
inline bool FindEndOfContents(const uint8_t* pbData, uint64_t qwSize, uint64_t qwFrom,
                              uint32_t* pdwValueLength) {
    for (uint64_t pos = qwFrom; pos + 1 < qwSize; ++pos) {
        if (pbData[pos] == 0 && pbData[pos + 1] == 0) {
            *pdwValueLength = static_cast<uint32_t>(pos + 2 - qwFrom);
            return true;
        }
    }
    return false;
}

// The end-of-contents test after a child of an indefinite element, at the node's content offset +
// qwOffset: -1 when the two bytes would pass the input, 0 when they are not both zero, 1 when they
// are (the node's lengths are then final: the content includes the pair).
template <typename Node>
int ResolveIndefiniteEnd(Node* pNode, uint64_t qwSize, uint64_t qwOffset) {
    const uint64_t qwEnd = pNode->qwValueOffset + qwOffset;
    if (qwEnd + 1 >= qwSize) return -1;
    if (pNode->pbData[qwEnd] != 0 || pNode->pbData[qwEnd + 1] != 0) return 0;
    pNode->dwValueLength = static_cast<uint32_t>(qwOffset + 2);
    pNode->dwTotalLength = pNode->dwLengthFieldSize + static_cast<uint32_t>(qwOffset) + 3;
    pNode->bIndefinite = 0;
    return 1;
}
