#include "verification/ASN1Engine.h"

#include "common/ResultCodes.h"
#include "common/Trace.h"
#include "verification/VerifyCommon.h"

static constexpr char kUnit[] = "ASN1Engine";

namespace {

// Every element of one parse counts against this, leaves included.
constexpr int kMaxParseCalls = 256;
constexpr uint64_t kNoBound = UINT64_MAX;

void PrintNode(const ASN1DecodeNode* pNode) {
    TRACE_INFO("[%s] node tag 0x%02x value length %u value offset %llu", kUnit, pNode->bTag,
               pNode->dwValueLength, static_cast<unsigned long long>(pNode->qwValueOffset));
}

// Reads the length field whose first byte is at qwPos (known to be inside the input).
int GetASN1ValueLength(ASN1DecodeNode* pNode, uint64_t qwPos) {
    const uint8_t bFirst = pNode->pbData[qwPos];
    if (bFirst < 0x80) {
        pNode->dwValueLength = bFirst;
        pNode->dwLengthFieldSize = 1;
    } else if (bFirst == 0x80) {
        pNode->dwValueLength = 0xFFFFFFFF;
        pNode->dwLengthFieldSize = 1;
        pNode->bIndefinite = 1;
    } else {
        const uint32_t n = bFirst & 0x7F;
        if (qwPos + n >= pNode->dwDataSize) {
            TRACE_ERROR("[%s] GetASN1ValueLength: %u length bytes at %llu pass the input of %u",
                        kUnit, n, static_cast<unsigned long long>(qwPos + 1), pNode->dwDataSize);
            return kVerifyFailed;
        }
        uint32_t dwLength = 0;  // with more than four bytes only the last four count
        for (uint32_t i = 1; i <= n; ++i) dwLength = (dwLength << 8) | pNode->pbData[qwPos + i];
        pNode->dwValueLength = dwLength;
        pNode->dwLengthFieldSize = n + 1;
    }
    pNode->qwValueOffset = qwPos + pNode->dwLengthFieldSize;
    pNode->dwTotalLength =
        pNode->bIndefinite ? 0xFFFFFFFF : 1 + pNode->dwLengthFieldSize + pNode->dwValueLength;
    return VELK_OK;
}

// Tag and first length byte must lie before qwBound and inside the input.
int ParseASN1TLV(ASN1DecodeNode* pNode, uint64_t qwPos, uint64_t qwBound) {
    if (qwPos + 1 >= qwBound || qwPos + 1 >= pNode->dwDataSize) {
        TRACE_ERROR("[%s] ParseASN1TLV: header at %llu passes bound %llu or input of %u", kUnit,
                    static_cast<unsigned long long>(qwPos),
                    static_cast<unsigned long long>(qwBound), pNode->dwDataSize);
        return kVerifyFailed;
    }
    pNode->bTag = pNode->pbData[qwPos];
    return GetASN1ValueLength(pNode, qwPos + 1);
}

// An indefinite primitive ends with the first pair of zero bytes of its content.
int GetInfiniteLength(ASN1DecodeNode* pNode) {
    if (!FindEndOfContents(pNode->pbData, pNode->dwDataSize, pNode->qwValueOffset,
                           &pNode->dwValueLength)) {
        TRACE_ERROR("[%s] GetInfiniteLength: no end-of-contents after %llu", kUnit,
                    static_cast<unsigned long long>(pNode->qwValueOffset));
        return kVerifyFailed;
    }
    pNode->dwTotalLength = pNode->dwLengthFieldSize + pNode->dwValueLength + 1;
    pNode->bIndefinite = 0;
    return VELK_OK;
}

int ParseNode(ASN1DecodeNode* pNode, int* pnCalls) {
    if (++*pnCalls >= kMaxParseCalls) {
        TRACE_ERROR("[%s] ParseNode: more than %d elements", kUnit, kMaxParseCalls - 1);
        return kVerifyFailed;
    }
    if (IsASN1LeafTag(pNode->bTag)) return pNode->bIndefinite ? GetInfiniteLength(pNode) : VELK_OK;
    if (!pNode->bIndefinite && pNode->dwValueLength == 0) return VELK_OK;

    uint64_t qwBound = kNoBound;
    if (!pNode->bIndefinite) {
        qwBound = pNode->qwValueOffset + pNode->dwValueLength;
        if (qwBound > pNode->dwDataSize) {
            TRACE_ERROR("[%s] ParseNode: content at %llu of %u bytes passes the input of %u", kUnit,
                        static_cast<unsigned long long>(pNode->qwValueOffset), pNode->dwValueLength,
                        pNode->dwDataSize);
            return kVerifyFailed;
        }
    }
    // 64 bits: a child's declared length may be anything up to 2^32 - 1.
    uint64_t qwOffset = 0;
    for (;;) {
        auto child = std::make_unique<ASN1DecodeNode>();
        child->pbData = pNode->pbData;
        child->dwDataSize = pNode->dwDataSize;
        child->pParent = pNode;
        if (ParseASN1TLV(child.get(), pNode->qwValueOffset + qwOffset, qwBound) != VELK_OK)
            return kVerifyFailed;
        PrintNode(child.get());
        const int nResult = ParseNode(child.get(), pnCalls);
        if (nResult != VELK_OK) return nResult;
        qwOffset += 1ULL + child->dwLengthFieldSize + child->dwValueLength;
        pNode->vetNodes.push_back(std::move(child));

        if (pNode->bIndefinite) {
            const int nEnd = ResolveIndefiniteEnd(pNode, pNode->dwDataSize, qwOffset);
            if (nEnd < 0) {
                TRACE_ERROR("[%s] ParseNode: end-of-contents test at %llu passes the input", kUnit,
                            static_cast<unsigned long long>(pNode->qwValueOffset + qwOffset));
                return kVerifyFailed;
            }
            if (nEnd > 0) return VELK_OK;
        } else if (qwOffset >= pNode->dwValueLength) {
            // The last child may reach past the declared end; this engine accepts that.
            return VELK_OK;
        }
    }
}

}  // namespace

int DecodeASN1Memory(ASN1DecodeNode** ppRoot, const uint8_t* pbData, uint32_t dwDataSize) {
    if (ppRoot == nullptr) return kVerifyFailed;
    *ppRoot = nullptr;
    if (pbData == nullptr || dwDataSize == 0) {
        TRACE_ERROR("[%s] DecodeASN1Memory: empty input", kUnit);
        return VELK_I_ASN1_DECODE;
    }
    auto root = std::make_unique<ASN1DecodeNode>();
    root->pbData = pbData;
    root->dwDataSize = dwDataSize;
    // The outermost header must lie before the input's last byte.
    if (ParseASN1TLV(root.get(), 0, dwDataSize - 1) != VELK_OK) return VELK_I_ASN1_DECODE;
    PrintNode(root.get());
    *ppRoot = root.release();
    int nCalls = 0;
    return ParseNode(*ppRoot, &nCalls);
}

const uint8_t* ASN1NodeContent(const ASN1DecodeNode* pNode) {
    if (pNode == nullptr || pNode->bIndefinite ||
        pNode->qwValueOffset + pNode->dwValueLength > pNode->dwDataSize)
        return nullptr;
    return pNode->pbData + pNode->qwValueOffset;
}
