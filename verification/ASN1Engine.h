// BER/DER parser over a caller's buffer: builds a tree of elements that point into the input and
// copy nothing. This engine limits the total number of elements of one parse (255).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

// One parsed element. Its first byte is at qwValueOffset - dwLengthFieldSize - 1 of pbData.
struct ASN1DecodeNode {
    const uint8_t* pbData = nullptr;  // the caller's input; must outlive the tree
    uint8_t bTag = 0;                 // first byte taken whole (no multi-byte tags)
    uint32_t dwLengthFieldSize = 0;   // 1, or 1 + n for the long form
    uint32_t dwValueLength = 0;       // 0xFFFFFFFF while indefinite
    uint64_t qwValueOffset = 0;
    uint32_t dwTotalLength =
        0;  // 1 + dwLengthFieldSize + dwValueLength; 0xFFFFFFFF while indefinite
    uint16_t bIndefinite = 0;
    uint32_t dwDataSize = 0;
    ASN1DecodeNode* pParent = nullptr;
    std::vector<std::unique_ptr<ASN1DecodeNode>> vetNodes;  // destroying a node frees its subtree
};

// 0 on success. VELK_I_ASN1_DECODE when the outermost header cannot be read (no tree then); -1
// for any later failure, in which case *ppRoot holds the partial tree for the caller to delete.
int DecodeASN1Memory(ASN1DecodeNode** ppRoot, const uint8_t* pbData, uint32_t dwDataSize);

// The content of a node when it lies wholly inside the input, else null. A primitive element's
// declared length is never checked by this engine, so readers of content go through here.
const uint8_t* ASN1NodeContent(const ASN1DecodeNode* pNode);
