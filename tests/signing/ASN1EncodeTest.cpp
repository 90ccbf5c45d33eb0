#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ostream>
#include <vector>

#include "common/ResultCodes.h"
#include "signing/ASN1Encode.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Element {
    HRESULT result = 0;
    Bytes bytes;
};

Element Encode(BYTE tag, const Bytes& value) {
    BYTE* pbElement = nullptr;
    DWORD cbElement = 0;
    Element out;
    out.result =
        ASN1Encode(tag, value.data(), static_cast<int32_t>(value.size()), &pbElement, &cbElement);
    if (pbElement != nullptr) out.bytes.assign(pbElement, pbElement + cbElement);
    std::free(pbElement);
    return out;
}

struct LengthCase {
    uint32_t length;
    Bytes field;
};
void PrintTo(const LengthCase& c, std::ostream* os) { *os << "length " << c.length; }

class LengthFieldTest : public testing::TestWithParam<LengthCase> {};

TEST_P(LengthFieldTest, IsTheShortestDefiniteForm) {
    BYTE* pbOctets = nullptr;
    DWORD cbOctets = 0;
    ASSERT_EQ(CalculateASNValueLength(GetParam().length, &pbOctets, &cbOctets), S_OK);
    EXPECT_EQ(Bytes(pbOctets, pbOctets + cbOctets), GetParam().field);
    std::free(pbOctets);
}

INSTANTIATE_TEST_SUITE_P(Boundaries, LengthFieldTest,
                         testing::Values(LengthCase{1, {0x01}}, LengthCase{127, {0x7F}},
                                         LengthCase{128, {0x81, 0x80}},
                                         LengthCase{255, {0x81, 0xFF}},
                                         LengthCase{256, {0x82, 0x01, 0x00}},
                                         LengthCase{65535, {0x82, 0xFF, 0xFF}},
                                         LengthCase{65536, {0x83, 0x01, 0x00, 0x00}},
                                         LengthCase{16777216, {0x84, 0x01, 0x00, 0x00, 0x00}},
                                         LengthCase{0xFFFFFFFFu, {0x84, 0xFF, 0xFF, 0xFF, 0xFF}}));

TEST(ASN1EncodeTest, WrapsContentUnchanged) {
    const Element sequence = Encode(0x30, {0x02, 0x01, 0x01});
    EXPECT_EQ(sequence.result, S_OK);
    EXPECT_EQ(sequence.bytes, (Bytes{0x30, 0x03, 0x02, 0x01, 0x01}));

    Bytes certificate(1200);
    for (size_t i = 0; i < certificate.size(); ++i) certificate[i] = static_cast<uint8_t>(i);
    const Element wrapped = Encode(0xA0, certificate);
    ASSERT_EQ(wrapped.result, S_OK);
    ASSERT_EQ(wrapped.bytes.size(), 1204u);
    EXPECT_EQ(Bytes(wrapped.bytes.begin(), wrapped.bytes.begin() + 4),
              (Bytes{0xA0, 0x82, 0x04, 0xB0}));
    EXPECT_EQ(Bytes(wrapped.bytes.begin() + 4, wrapped.bytes.end()), certificate);
}

TEST(ASN1EncodeTest, AcceptsExactlyTheTableOfTags) {
    const Bytes accepted = {0x02, 0x04, 0x06, 0x0C, 0x13, 0x16, 0x1E, 0x30, 0x31, 0x80, 0xA0};
    for (int tag = 0; tag < 256; ++tag) {
        const bool expected = std::find(accepted.begin(), accepted.end(),
                                        static_cast<uint8_t>(tag)) != accepted.end();
        const Element element = Encode(static_cast<BYTE>(tag), {0x00});
        EXPECT_EQ(element.result, expected ? S_OK : E_FAIL) << "tag " << tag;
        EXPECT_EQ(element.bytes.empty(), !expected) << "tag " << tag;
    }
}

TEST(ASN1EncodeTest, RefusesEmptyContentForEveryTag) {
    for (BYTE tag : {0x02, 0x04, 0x30, 0x31, 0xA0}) {
        BYTE* pbElement = reinterpret_cast<BYTE*>(1);
        DWORD cbElement = 0;
        EXPECT_EQ(ASN1Encode(tag, nullptr, 0, &pbElement, &cbElement), E_FAIL);
        EXPECT_EQ(pbElement, nullptr);
    }
}

}  // namespace
