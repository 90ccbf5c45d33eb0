// The second BER/DER parser: the same element rules as DecodeASN1Memory, but it limits the nesting
// depth (127 levels) instead of the element count and checks every definite length against its
// enclosing element, so a successful tree never points outside the input.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

struct ASN1DecodeNodeEx {
    const uint8_t* pbData = nullptr;  // the caller's input; must outlive the tree
    uint64_t qwValueOffset = 0;
    uint8_t bTag = 0;
    uint32_t dwLengthFieldSize = 0;
    uint32_t dwValueLength = 0;  // 0xFFFFFFFF while indefinite
    uint32_t dwTotalLength = 0;
    uint32_t dwLastPosition = 0;  // the input's last valid position (size - 1)
    uint16_t bIndefinite = 0;
    ASN1DecodeNodeEx* pParent = nullptr;
    std::vector<std::unique_ptr<ASN1DecodeNodeEx>> vetNodes;

    const uint8_t* Content() const { return pbData + qwValueOffset; }
    // The whole element, from its tag byte (dwTotalLength bytes).
    const uint8_t* Element() const { return pbData + qwValueOffset - dwLengthFieldSize - 1; }
};

// 0 or -1. An empty input is refused before anything is read. After a failure past the outermost
// header, *ppRoot holds the partial tree for the caller to delete.
int DecodeASN1MemoryEx(const uint8_t* pbData, uint32_t dwDataSize, ASN1DecodeNodeEx** ppRoot);
