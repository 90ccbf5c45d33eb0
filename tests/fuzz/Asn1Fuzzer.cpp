// Both BER/DER parsers over the same bytes, and the DER encoder's output read back.
//   - DecodeASN1Memory: any tree it leaves is deleted; ASN1NodeContent never points outside.
//   - DecodeASN1MemoryEx: a tree it accepts lies wholly inside the input.
//   - ASN1Encode (first byte the tag, the rest the value): an element it makes is one definite
//     TLV that the second parser reads back with the same tag and content (X.690, 8.1).
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/ResultCodes.h"
#include "signing/ASN1Encode.h"
#include "tests/fuzz/FuzzSupport.h"
#include "verification/ASN1Engine.h"
#include "verification/ASN1EngineEx.h"

namespace {

void CheckTree(const ASN1DecodeNode* node, const uint8_t* data, size_t size) {
    const uint8_t* content = ASN1NodeContent(node);
    if (content != nullptr) {
        FUZZ_REQUIRE(content >= data && content + node->dwValueLength <= data + size);
    }
    for (const auto& child : node->vetNodes) CheckTree(child.get(), data, size);
}

void CheckTreeEx(const ASN1DecodeNodeEx* node, size_t size) {
    if (!node->bIndefinite) {
        FUZZ_REQUIRE(node->qwValueOffset + node->dwValueLength <= size);
        FUZZ_REQUIRE(node->qwValueOffset >= node->dwLengthFieldSize + 1u);
    }
    for (const auto& child : node->vetNodes) CheckTreeEx(child.get(), size);
}

void RoundTrip(const uint8_t* data, size_t size) {
    if (size < 2) return;
    BYTE* element = nullptr;
    DWORD element_length = 0;
    const HRESULT result =
        ASN1Encode(data[0], data + 1, static_cast<int32_t>(size - 1), &element, &element_length);
    std::unique_ptr<BYTE, decltype(&std::free)> owner(element, &std::free);
    if (result != S_OK) return;
    FUZZ_REQUIRE(element != nullptr && element_length > size);
    ASN1DecodeNodeEx* root = nullptr;
    const int parsed = DecodeASN1MemoryEx(element, element_length, &root);
    std::unique_ptr<ASN1DecodeNodeEx> tree(root);
    // Constructed tags hold elements of their own, which arbitrary bytes need not be.
    if (data[0] == 0x30 || data[0] == 0x31 || data[0] == 0xA0) return;
    FUZZ_REQUIRE(parsed == 0 && tree != nullptr);
    FUZZ_REQUIRE(tree->bTag == data[0]);
    FUZZ_REQUIRE(tree->dwValueLength == size - 1);
    FUZZ_REQUIRE(tree->dwTotalLength == element_length);
    FUZZ_REQUIRE(std::memcmp(tree->Content(), data + 1, size - 1) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint32_t length = static_cast<uint32_t>(size);

    ASN1DecodeNode* root = nullptr;
    DecodeASN1Memory(&root, data, length);
    std::unique_ptr<ASN1DecodeNode> tree(root);
    if (tree) CheckTree(tree.get(), data, size);

    ASN1DecodeNodeEx* root_ex = nullptr;
    const int parsed = DecodeASN1MemoryEx(data, length, &root_ex);
    std::unique_ptr<ASN1DecodeNodeEx> tree_ex(root_ex);
    if (parsed == 0) {
        FUZZ_REQUIRE(tree_ex != nullptr);
        CheckTreeEx(tree_ex.get(), size);
    }

    RoundTrip(data, size);
    return 0;
}
