#include "verification/ASN1EngineEx.h"

#include "common/ResultCodes.h"
#include "common/Trace.h"
#include "verification/VerifyCommon.h"

static constexpr char kUnit[] = "ASN1EngineEx";

namespace {

// Nesting depth, root = 1; the depth counter reaching this fails the parse.
constexpr int kMaxDepth = 128;

uint64_t InputSize(const ASN1DecodeNodeEx* pNode) { return uint64_t{pNode->dwLastPosition} + 1; }

// Reads the header at qwPos. Unlike the element-count engine, the long-form length bytes must lie
// before qwBound and a definite content must end no later than qwBound; every byte read must also
// be inside the input.
int ParseHeaderEx(ASN1DecodeNodeEx* pNode, uint64_t qwPos, uint64_t qwBound) {
    const uint64_t qwSize = InputSize(pNode);
    if (qwPos + 1 >= qwBound || qwPos + 1 >= qwSize) {
        TRACE_ERROR("[%s] header at %llu passes bound %llu or input of %llu", kUnit,
                    static_cast<unsigned long long>(qwPos),
                    static_cast<unsigned long long>(qwBound),
                    static_cast<unsigned long long>(qwSize));
        return kVerifyFailed;
    }
    pNode->bTag = pNode->pbData[qwPos];
    const uint8_t bFirst = pNode->pbData[qwPos + 1];
    if (bFirst < 0x80) {
        pNode->dwValueLength = bFirst;
        pNode->dwLengthFieldSize = 1;
    } else if (bFirst == 0x80) {
        pNode->dwValueLength = 0xFFFFFFFF;
        pNode->dwLengthFieldSize = 1;
        pNode->bIndefinite = 1;
    } else {
        const uint32_t n = bFirst & 0x7F;
        if (qwPos + 1 + n >= qwBound || qwPos + 1 + n >= qwSize) {
            TRACE_ERROR("[%s] %u length bytes at %llu pass bound %llu", kUnit, n,
                        static_cast<unsigned long long>(qwPos + 2),
                        static_cast<unsigned long long>(qwBound));
            return kVerifyFailed;
        }
        uint32_t dwLength = 0;  // with more than four bytes only the last four count
        for (uint32_t i = 0; i < n; ++i) dwLength = (dwLength << 8) | pNode->pbData[qwPos + 2 + i];
        pNode->dwValueLength = dwLength;
        pNode->dwLengthFieldSize = n + 1;
    }
    pNode->qwValueOffset = qwPos + 1 + pNode->dwLengthFieldSize;
    if (pNode->bIndefinite) {
        pNode->dwTotalLength = 0xFFFFFFFF;
        return VELK_OK;
    }
    if (pNode->qwValueOffset > qwBound ||
        pNode->dwValueLength > qwBound - pNode->qwValueOffset + 1) {
        TRACE_ERROR("[%s] content at %llu of %u bytes passes bound %llu", kUnit,
                    static_cast<unsigned long long>(pNode->qwValueOffset), pNode->dwValueLength,
                    static_cast<unsigned long long>(qwBound));
        return kVerifyFailed;
    }
    pNode->dwTotalLength = 1 + pNode->dwLengthFieldSize + pNode->dwValueLength;
    return VELK_OK;
}

int FindInfiniteLengthEx(ASN1DecodeNodeEx* pNode) {
    if (!FindEndOfContents(pNode->pbData, InputSize(pNode), pNode->qwValueOffset,
                           &pNode->dwValueLength)) {
        TRACE_ERROR("[%s] no end-of-contents after %llu", kUnit,
                    static_cast<unsigned long long>(pNode->qwValueOffset));
        return kVerifyFailed;
    }
    pNode->dwTotalLength = pNode->dwLengthFieldSize + pNode->dwValueLength + 1;
    pNode->bIndefinite = 0;
    return VELK_OK;
}

int ParseChildrenEx(ASN1DecodeNodeEx* pNode, int nDepth);

// The depth is counted on entry and given back on return, so siblings do not add up.
int ParseNodeEx(ASN1DecodeNodeEx* pNode, int nDepth) {
    if (nDepth >= kMaxDepth) {
        TRACE_ERROR("[%s] nesting deeper than %d levels", kUnit, kMaxDepth - 1);
        return kVerifyFailed;
    }
    if (IsASN1LeafTag(pNode->bTag))
        return pNode->bIndefinite ? FindInfiniteLengthEx(pNode) : VELK_OK;
    if (!pNode->bIndefinite && pNode->dwValueLength == 0) return VELK_OK;
    return ParseChildrenEx(pNode, nDepth);
}

int ParseChildrenEx(ASN1DecodeNodeEx* pNode, int nDepth) {
    const uint64_t qwBound =
        pNode->bIndefinite ? pNode->dwLastPosition : pNode->qwValueOffset + pNode->dwValueLength;
    uint64_t qwOffset = 0;
    for (;;) {
        auto child = std::make_unique<ASN1DecodeNodeEx>();
        child->pbData = pNode->pbData;
        child->dwLastPosition = pNode->dwLastPosition;
        child->pParent = pNode;
        if (ParseHeaderEx(child.get(), pNode->qwValueOffset + qwOffset, qwBound) != VELK_OK)
            return kVerifyFailed;
        const int nResult = ParseNodeEx(child.get(), nDepth + 1);
        if (nResult != VELK_OK) return nResult;
        qwOffset += 1ULL + child->dwLengthFieldSize + child->dwValueLength;
        pNode->vetNodes.push_back(std::move(child));

        if (pNode->bIndefinite) {
            const int nEnd = ResolveIndefiniteEnd(pNode, InputSize(pNode), qwOffset);
            if (nEnd < 0) {
                TRACE_ERROR("[%s] end-of-contents test at %llu passes the input", kUnit,
                            static_cast<unsigned long long>(pNode->qwValueOffset + qwOffset));
                return kVerifyFailed;
            }
            if (nEnd > 0) return VELK_OK;
            continue;
        }
        if (qwOffset > pNode->dwValueLength) {
            TRACE_ERROR("[%s] children end at %llu, past the content of %u bytes", kUnit,
                        static_cast<unsigned long long>(qwOffset), pNode->dwValueLength);
            return kVerifyFailed;
        }
        if (qwOffset == pNode->dwValueLength) return VELK_OK;
    }
}

}  // namespace

int DecodeASN1MemoryEx(const uint8_t* pbData, uint32_t dwDataSize, ASN1DecodeNodeEx** ppRoot) {
    if (ppRoot == nullptr) return kVerifyFailed;
    *ppRoot = nullptr;
    if (pbData == nullptr || dwDataSize == 0) {
        TRACE_ERROR("[%s] DecodeASN1MemoryEx: empty input", kUnit);
        return kVerifyFailed;
    }
    auto root = std::make_unique<ASN1DecodeNodeEx>();
    root->pbData = pbData;
    root->dwLastPosition = dwDataSize - 1;
    if (ParseHeaderEx(root.get(), 0, root->dwLastPosition) != VELK_OK) return kVerifyFailed;
    *ppRoot = root.release();
    return ParseNodeEx(*ppRoot, 1);
}
