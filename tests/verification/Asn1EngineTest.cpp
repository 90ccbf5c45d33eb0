// Both BER/DER engines on the same inputs: where they agree, where their limits and length checks
// differ, and that no input makes either read outside it (the tests run under ASan, and every
// input is copied into an allocation of exactly its size).
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <ostream>

#include "common/ResultCodes.h"
#include "tests/verification/TestPki.h"
#include "verification/ASN1Engine.h"
#include "verification/ASN1EngineEx.h"
#include "verification/PKCS7SignedDataOperations.h"

namespace {

using verify_test::Bytes;
using verify_test::Tlv;

struct Parsed {
    int memory_result = 0;
    int ex_result = 0;
    std::unique_ptr<ASN1DecodeNode> memory_root;
    std::unique_ptr<ASN1DecodeNodeEx> ex_root;
};

Parsed ParseBoth(const Bytes& input) {
    // Exactly sized, so a read past the end is a heap overflow that ASan reports.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[input.size() + (input.empty() ? 1 : 0)]);
    std::copy(input.begin(), input.end(), exact.get());
    Parsed parsed;
    ASN1DecodeNode* root = nullptr;
    parsed.memory_result =
        DecodeASN1Memory(&root, exact.get(), static_cast<uint32_t>(input.size()));
    parsed.memory_root.reset(root);
    ASN1DecodeNodeEx* root_ex = nullptr;
    parsed.ex_result =
        DecodeASN1MemoryEx(exact.get(), static_cast<uint32_t>(input.size()), &root_ex);
    parsed.ex_root.reset(root_ex);
    // The trees point into the buffer; the tests below only look at their numbers.
    return parsed;
}

struct EngineCase {
    const char* name;
    Bytes input;
    int memory_result;
    int ex_result;
};

// ctest shows the case by its name.
void PrintTo(const EngineCase& c, std::ostream* os) { *os << c.name; }

class EngineResults : public testing::TestWithParam<EngineCase> {};

TEST_P(EngineResults, BothEnginesGiveTheirResult) {
    const Parsed parsed = ParseBoth(GetParam().input);
    EXPECT_EQ(parsed.memory_result, GetParam().memory_result);
    EXPECT_EQ(parsed.ex_result, GetParam().ex_result);
}

Bytes Repeat(const Bytes& element, int count) {
    Bytes out;
    for (int i = 0; i < count; ++i) out.insert(out.end(), element.begin(), element.end());
    return out;
}

Bytes Nested(int levels) {
    Bytes inner = {0x05, 0x00};
    for (int i = 1; i < levels; ++i) inner = Tlv(0x30, inner);
    return inner;
}

const int kAsn1Decode = VELK_I_ASN1_DECODE;

INSTANTIATE_TEST_SUITE_P(
    Structures, EngineResults,
    testing::Values(
        EngineCase{"Sequence", {0x30, 0x03, 0x02, 0x01, 0x05}, 0, 0},
        EngineCase{"Indefinite", {0x30, 0x80, 0x02, 0x01, 0x05, 0x00, 0x00}, 0, 0},
        EngineCase{"TwoBytes", {0x05, 0x00}, kAsn1Decode, -1},
        EngineCase{"Empty", {}, kAsn1Decode, -1},
        EngineCase{"EndOfContentsRightAfterHeader", {0x30, 0x80, 0x00, 0x00}, -1, -1},
        EngineCase{"ChildPastParentEnd", {0x30, 0x02, 0x02, 0x01, 0x05}, 0, -1},
        EngineCase{"LongForm", {0x30, 0x81, 0x03, 0x02, 0x01, 0x05}, 0, 0},
        EngineCase{"LongFormLengthBytesCutOff", {0x30, 0x84, 0x00, 0x00}, kAsn1Decode, -1},
        EngineCase{"ConstructedClaimsTooMuch", {0x30, 0x03, 0x30, 0x05, 0x05}, -1, -1},
        EngineCase{"LastPrimitiveClaimsTooMuchShort", {0x30, 0x03, 0x04, 0x05, 0x01}, 0, -1},
        EngineCase{
            "LastPrimitiveClaimsTooMuchLong", {0x30, 0x05, 0x04, 0x82, 0xFF, 0xFF, 0x01}, 0, -1},
        EngineCase{"RootClaimsTooMuch", {0x30, 0x09, 0x02, 0x01, 0x05}, -1, -1},
        EngineCase{"PrimitiveRootClaimsTooMuch", {0x04, 0x09, 0x02, 0x01, 0x05}, 0, -1},
        EngineCase{"IndefiniteLeafWithoutEnd", {0x24, 0x80, 0x04, 0x80, 0x01, 0x02}, -1, -1},
        EngineCase{"IndefiniteLeaf", {0x30, 0x80, 0x04, 0x80, 0x01, 0x00, 0x00, 0x00, 0x00}, 0, 0},
        EngineCase{"HugeLengthInIndefinite",
                   {0x30, 0x80, 0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xF0, 0x00, 0x00},
                   -1,
                   -1},
        EngineCase{"PrimitiveContextTagParsedForChildren", {0x30, 0x03, 0x90, 0x01, 0x05}, -1, -1},
        EngineCase{"MaxElementCount", Tlv(0x30, Repeat({0x05, 0x00}, 254)), 0, 0},
        EngineCase{"OverElementCount", Tlv(0x30, Repeat({0x05, 0x00}, 255)), -1, 0},
        EngineCase{"MaxNesting", Nested(127), 0, 0}, EngineCase{"OverNesting", Nested(128), 0, -1}),
    [](const testing::TestParamInfo<EngineCase>& info) { return std::string(info.param.name); });

TEST(Asn1Engine, NodesRecordPositionsAndLengths) {
    const Parsed definite = ParseBoth({0x30, 0x03, 0x02, 0x01, 0x05});
    ASSERT_EQ(definite.memory_result, 0);
    const ASN1DecodeNode& root = *definite.memory_root;
    EXPECT_EQ(root.bTag, 0x30);
    EXPECT_EQ(root.dwValueLength, 3u);
    ASSERT_EQ(root.vetNodes.size(), 1u);
    const ASN1DecodeNode& child = *root.vetNodes[0];
    EXPECT_EQ(child.bTag, 0x02);
    EXPECT_EQ(child.qwValueOffset, 4u);
    EXPECT_EQ(child.dwValueLength, 1u);
    EXPECT_EQ(child.dwTotalLength, 3u);
    EXPECT_EQ(child.pParent, &root);
    ASSERT_EQ(definite.ex_root->vetNodes.size(), 1u);
    EXPECT_EQ(definite.ex_root->vetNodes[0]->qwValueOffset, 4u);
    EXPECT_EQ(definite.ex_root->vetNodes[0]->dwTotalLength, 3u);

    const Parsed indefinite = ParseBoth({0x30, 0x80, 0x02, 0x01, 0x05, 0x00, 0x00});
    for (auto [value, total, indef, children] :
         {std::tuple{indefinite.memory_root->dwValueLength, indefinite.memory_root->dwTotalLength,
                     indefinite.memory_root->bIndefinite, indefinite.memory_root->vetNodes.size()},
          std::tuple{indefinite.ex_root->dwValueLength, indefinite.ex_root->dwTotalLength,
                     indefinite.ex_root->bIndefinite, indefinite.ex_root->vetNodes.size()}}) {
        EXPECT_EQ(value, 5u);
        EXPECT_EQ(total, 7u);
        EXPECT_EQ(indef, 0);
        EXPECT_EQ(children, 1u);
    }

    // A constructed context tag holds children; 0x80 is a leaf.
    const Parsed context = ParseBoth({0xA1, 0x03, 0x80, 0x01, 0x05});
    ASSERT_EQ(context.memory_result, 0);
    ASSERT_EQ(context.memory_root->vetNodes.size(), 1u);
    EXPECT_EQ(context.memory_root->vetNodes[0]->bTag, 0x80);
    EXPECT_TRUE(context.memory_root->vetNodes[0]->vetNodes.empty());
}

TEST(Asn1Engine, FailureAfterTheHeaderHandsOutAPartialTree) {
    const Parsed parsed = ParseBoth({0x30, 0x06, 0x02, 0x01, 0x05, 0x30, 0x05, 0x05});
    EXPECT_EQ(parsed.memory_result, -1);
    EXPECT_EQ(parsed.ex_result, -1);
    ASSERT_NE(parsed.memory_root, nullptr);
    ASSERT_NE(parsed.ex_root, nullptr);
    EXPECT_EQ(parsed.memory_root->vetNodes.size(), 1u);
    EXPECT_EQ(parsed.ex_root->vetNodes.size(), 1u);
}

// The SignedData walk on top of the Ex engine reads contents; it must stay inside too.
void WalkSignedData(const Bytes& input) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[input.size() + (input.empty() ? 1 : 0)]);
    std::copy(input.begin(), input.end(), exact.get());
    uint8_t* cert = nullptr;
    uint8_t* raw = nullptr;
    uint8_t* content = nullptr;
    int sizes[3] = {};
    ParsePKCS7Signature(&cert, &sizes[0], exact.get(), static_cast<int>(input.size()), &raw,
                        &sizes[1], &content, &sizes[2]);
    std::free(cert);
    std::free(raw);
    std::free(content);
}

// Every truncation and many single-byte corruptions of a real SignedData: whatever the result,
// no byte outside the input is read (ASan) and a successful Ex tree lies inside the input.
TEST(Asn1Engine, DamagedSignedDataNeverReadsOutside) {
    auto key = verify_test::MakeSm2Key();
    auto cert = verify_test::MakeCertificate(key.get(), key.get(), {});
    const Bytes der = verify_test::MakeSm2SignedData(key.get(), cert.get(),
                                                     verify_test::ToBytes("message"), true);
    for (size_t size = 0; size <= der.size(); ++size) {
        ParseBoth(Bytes(der.begin(), der.begin() + size));
        WalkSignedData(Bytes(der.begin(), der.begin() + size));
    }
    for (size_t pos = 0; pos < der.size(); ++pos) {
        for (uint8_t value : {0x00, 0x80, 0x84, 0xFF}) {
            Bytes damaged = der;
            damaged[pos] = value;
            const Parsed parsed = ParseBoth(damaged);
            WalkSignedData(damaged);
            if (parsed.ex_result != 0) continue;
            std::vector<const ASN1DecodeNodeEx*> pending = {parsed.ex_root.get()};
            while (!pending.empty()) {
                const ASN1DecodeNodeEx* node = pending.back();
                pending.pop_back();
                ASSERT_LE(node->qwValueOffset + node->dwValueLength, damaged.size()) << pos;
                for (const auto& child : node->vetNodes) pending.push_back(child.get());
            }
        }
    }
}

}  // namespace
