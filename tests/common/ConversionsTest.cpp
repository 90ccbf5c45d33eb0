#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "common/Conversions.h"
#include "common/ResultCodes.h"
#include "platform/runtime/WideString.h"

namespace {

std::string Hex(const uint8_t* p, uint32_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (uint32_t i = 0; i < n; ++i) {
        out += kDigits[p[i] >> 4];
        out += kDigits[p[i] & 15];
    }
    return out;
}

TEST(Utf, RoundTripsAndReplacesInvalidSequences) {
    struct Case {
        std::string utf8;
        std::u16string utf16;
    } cases[] = {
        {"", u""},
        {"abc", u"abc"},
        {"\xE4\xB8\xAD", u"中"},
        {"\xF0\x9F\x98\x80", u"\U0001F600"},
        {"a\xFF"
         "b",
         u"a\uFFFDb"},                  // byte that never starts a sequence
        {"\xE4\xB8", u"\uFFFD"},        // truncated at the end
        {"\xC0\xAF", u"\uFFFD\uFFFD"},  // overlong lead byte, then a stray continuation
        {"\xED\xA0\x80", u"\uFFFD"},    // an encoded surrogate
    };
    for (const Case& c : cases) {
        char16_t* wide = nullptr;
        uint32_t count = 99;
        ASSERT_EQ(S_OK, UTF8ToUTF16(c.utf8.c_str(), &wide, &count)) << c.utf8;
        EXPECT_EQ(c.utf16, std::u16string(wide)) << c.utf8;
        EXPECT_EQ(c.utf16.size(), count);
        std::free(wide);
    }
    // A lone surrogate in UTF-16 becomes U+FFFD in UTF-8.
    const char16_t lone[] = {u'x', 0xD800, 0};
    char* narrow = nullptr;
    uint32_t bytes = 0;
    ASSERT_EQ(S_OK, UTF16ToUTF8(lone, &narrow, &bytes));
    EXPECT_STREQ("x\xEF\xBF\xBD", narrow);
    EXPECT_EQ(4u, bytes);
    std::free(narrow);

    char16_t* wide = nullptr;
    uint32_t count = 0;
    EXPECT_EQ(E_POINTER, UTF8ToUTF16(nullptr, &wide, &count));
    EXPECT_EQ(E_POINTER, UTF16ToUTF8(nullptr, &narrow, &bytes));
}

// The converters copy ASCII in blocks (sixteen units with SSE2, then words of eight UTF-8 bytes or
// four UTF-16 units). Each probe is placed after ASCII runs of every length up to two blocks and
// before runs of up to one block and a word, so it meets every block and word edge: a pair or a
// sequence split across them, a truncated sequence or a lone surrogate at the very end, an
// invalid byte right after a copied block.
TEST(Utf, AsciiRunsMeetOtherTextAtEveryWordEdge) {
    struct Utf8Probe {
        std::string utf8;
        std::u16string utf16;
    } utf8_probes[] = {
        {"\xC3\xA9", u"\u00E9"},
        {"\xE4\xB8\xAD", u"\u4E2D"},
        {"\xF0\x9F\x98\x80", u"\U0001F600"},
        {"\x7F\x80", u"\x7F\uFFFD"},  // the last ASCII byte, then a stray continuation byte
        {"\xFF", u"\uFFFD"},
        {"\xE4\xB8", u"\uFFFD"},  // truncated by the end or by the ASCII that follows
        {"\xF0\x9F\x98", u"\uFFFD"},
        {"\xED\xA0\x80", u"\uFFFD"},  // an encoded surrogate
    };
    struct Utf16Probe {
        std::u16string utf16;
        std::string utf8;
    } utf16_probes[] = {
        {u"\u0080", "\xC2\x80"},
        {u"\u0100", "\xC4\x80"},      // no bit of 0x80 set, yet not ASCII
        {u"\u4100", "\xE4\x84\x80"},  // low byte zero
        {u"\U0001F600", "\xF0\x9F\x98\x80"},
        {std::u16string(1, char16_t(0xD800)), "\xEF\xBF\xBD"},  // lone high surrogate
        {std::u16string(1, char16_t(0xDC00)), "\xEF\xBF\xBD"},  // lone low surrogate
        {std::u16string{char16_t(0xDC00), char16_t(0xD800)}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    const std::string letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJ";
    size_t before = 0, after = 0;
    // Converts `in` with the C interface and compares text and count with `expected`.
    const auto expect = [&](const auto& in, const auto& expected, auto convert) {
        using Text = std::decay_t<decltype(expected)>;
        typename Text::value_type* out = nullptr;
        uint32_t count = 0;
        ASSERT_EQ(S_OK, convert(in.c_str(), &out, &count));
        EXPECT_EQ(expected, Text(out)) << before << " ASCII before, " << after << " after";
        EXPECT_EQ(expected.size(), count);
        std::free(out);
    };
    for (before = 0; before <= 33; ++before) {
        for (after = 0; after <= 25; ++after) {
            const std::string head = letters.substr(0, before);
            const std::string tail = letters.substr(0, after);
            const std::u16string head16(head.begin(), head.end());
            const std::u16string tail16(tail.begin(), tail.end());
            for (const Utf8Probe& p : utf8_probes)
                expect(head + p.utf8 + tail, head16 + p.utf16 + tail16, UTF8ToUTF16);
            for (const Utf16Probe& p : utf16_probes)
                expect(head16 + p.utf16 + tail16, head + p.utf8 + tail, UTF16ToUTF8);
        }
    }
}

// WcsLen looks for the terminator in aligned blocks of eight units: every length from every
// alignment within a block.
TEST(WideText, WcsLenFindsTheTerminatorFromEveryAlignment) {
    alignas(16) char16_t buffer[64];
    for (size_t start = 0; start < 8; ++start) {
        for (size_t length = 0; length + start < 63; ++length) {
            std::fill(std::begin(buffer), std::end(buffer), u'x');
            buffer[start + length] = 0;
            EXPECT_EQ(length, WcsLen(buffer + start)) << "start " << start;
        }
    }
    EXPECT_EQ(0u, WcsLen(nullptr));
}

TEST(Hex, BinaryToStringHonoursOnlyReverseFlagOne) {
    const uint8_t bytes[] = {0x01, 0xAB};
    struct Case {
        int reverse;
        std::u16string text;
    } cases[] = {{0, u"01ab"}, {1, u"ab01"}, {2, u"01ab"}};
    for (const Case& c : cases) {
        char16_t* text = nullptr;
        ASSERT_EQ(S_OK, ConvertBinaryDataToString(&text, 2, bytes, c.reverse));
        EXPECT_EQ(c.text, std::u16string(text));
        std::free(text);
    }
    char16_t* empty = nullptr;
    ASSERT_EQ(S_OK, ConvertBinaryDataToString(&empty, 0, bytes, 1));
    EXPECT_EQ(u"", std::u16string(empty));
    std::free(empty);
}

TEST(Hex, StringToBinaryReversesPairsAndRejectsNonDigits) {
    struct Case {
        const char16_t* text;
        HRESULT result;
        std::string bytes;  // hex of the bytes produced
    } cases[] = {
        {u"01AB", S_OK, "ab01"},      {u"01A", S_OK, "01"},        {u"", S_OK, ""},
        {u"00a1b2", S_OK, "b2a100"},  {u"01G0", E_INVALIDARG, ""}, {u"0x01", E_INVALIDARG, ""},
        {u"01 AB", E_INVALIDARG, ""}, {nullptr, E_INVALIDARG, ""},
    };
    for (const Case& c : cases) {
        uint32_t count = 77;
        uint8_t* bytes = nullptr;
        ASSERT_EQ(c.result, ConvertStringToBinaryData(&count, c.text, &bytes));
        if (c.result == S_OK) {
            EXPECT_EQ(c.bytes, Hex(bytes, count));
            // Four spare zero bytes follow the value, so a filter comparison may read them.
            for (int i = 0; i < 4; ++i) EXPECT_EQ(0, bytes[count + i]);
        } else {
            EXPECT_EQ(nullptr, bytes);
        }
        std::free(bytes);
    }
}

std::string Encode(const std::string& data, uint32_t flags) {
    char* text = nullptr;
    uint32_t count = 0;
    EXPECT_EQ(S_OK, Base64EncodeEx(flags, &text, reinterpret_cast<const uint8_t*>(data.data()),
                                   static_cast<uint32_t>(data.size()), &count));
    std::string out(text, count);
    EXPECT_EQ(std::strlen(text), count);
    std::free(text);
    return out;
}

TEST(Base64, EncodesPaddingAndLineBreaks) {
    std::string line;  // 57 bytes of "x" make one full line of 76 characters
    for (int i = 0; i < 19; ++i) line += "eHh4";
    struct Case {
        std::string data;
        uint32_t flags;
        std::string text;
    } cases[] = {
        {"abc", 0, "YWJj"},
        {"ab", 0, "YWI="},
        {"ab", kBase64NoPad, "YWI"},
        {"a", 0, "YQ=="},
        {"", 0, ""},
        {std::string(57, 'x'), 0, line + "\r\n"},
        {std::string(58, 'x'), 0, line + "\r\neA=="},
        {std::string(58, 'x'), kBase64NoCrLf, line + "eA=="},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.text, Encode(c.data, c.flags)) << c.data.size() << " bytes, flags " << c.flags;
}

// The encoder against OpenSSL's over every length around the padding and line edges: without
// line breaks the texts are equal, with them OpenSSL's text has CR LF after the 76 characters of
// every complete 57 bytes.
TEST(Base64, EncodesLikeOpenSslAtEveryLength) {
    std::string data;
    for (size_t size = 0; size <= 240; ++size) {
        std::string expected(4 * ((size + 2) / 3) + 1, '\0');
        expected.resize(static_cast<size_t>(EVP_EncodeBlock(
            reinterpret_cast<unsigned char*>(expected.data()),
            reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(size))));
        EXPECT_EQ(expected, Encode(data, kBase64NoCrLf)) << size << " bytes";
        std::string broken;
        for (size_t line = 0; line * 76 < expected.size(); ++line) {
            broken += expected.substr(line * 76, 76);
            if ((line + 1) * 57 <= size) broken += "\r\n";
        }
        EXPECT_EQ(broken, Encode(data, 0)) << size << " bytes";
        data += static_cast<char>(size * 151 + 7);  // every byte value turns up
    }
}

TEST(Base64, DecodeSkipsNoiseAndStopsAtNulBetweenGroups) {
    struct Case {
        std::string text;
        std::string bytes;
    } cases[] = {
        {"YW Jj\r\n", "abc"},
        {"YWI", "ab"},
        {"====", ""},
        {"YQ", "a"},
        {"Y", ""},
        {std::string("YWJj\0YWJj", 9), "abc"},  // NUL where a group begins ends the text
        {std::string("YW\0Jj", 5), "abc"},      // inside a group it is skipped
    };
    for (const Case& c : cases) {
        uint8_t* bytes = nullptr;
        uint32_t count = 0;
        ASSERT_EQ(S_OK, Base64DecodeEx(&bytes, &count, c.text.data(),
                                       static_cast<int32_t>(c.text.size())));
        EXPECT_EQ(c.bytes, std::string(reinterpret_cast<char*>(bytes), count));
        std::free(bytes);
    }
}

TEST(Base64, DecodeFormsRefuseEmptyLengthWithTheirOwnCodes) {
    uint8_t* bytes = nullptr;
    uint32_t count = 0;
    EXPECT_EQ(E_FAIL, Base64DecodeEx(0, &bytes, "YWJj", &count));
    EXPECT_EQ(VELK_E_BASE64_DECODE, Base64DecodeEx(&bytes, &count, "YWJj", 0));
    EXPECT_EQ(nullptr, bytes);
    ASSERT_EQ(S_OK, Base64DecodeEx(4, &bytes, "YWJj", &count));
    EXPECT_EQ("abc", std::string(reinterpret_cast<char*>(bytes), count));
    std::free(bytes);
}

TEST(Split, DoubleBarsEndAtAnEmptyPiece) {
    struct Case {
        const char16_t* text;
        std::vector<std::u16string> pieces;
    } cases[] = {
        {u"A||B||C", {u"A", u"B", u"C"}},
        {u"A||||B", {u"A"}},
        {u"||A", {}},
        {u"A||", {u"A"}},
        {u"", {}},
        {nullptr, {}},
    };
    for (const Case& c : cases) {
        std::vector<std::u16string> pieces;
        SplitStrings(c.text, pieces);
        EXPECT_EQ(c.pieces, pieces);
    }
}

TEST(Split, SingleBarSkipsEmptyPieces) {
    struct Case {
        const char* text;
        std::vector<std::string> pieces;
    } cases[] = {
        {"|a||b|", {"a", "b"}}, {"KEY1", {"KEY1"}}, {"KEY1|KEY2", {"KEY1", "KEY2"}}, {"", {}},
        {nullptr, {}},          {"|", {}},
    };
    for (const Case& c : cases) {
        std::vector<char*> pieces;
        ASSERT_EQ(0, SplitString(c.text, "|", pieces));
        std::vector<std::string> got(pieces.begin(), pieces.end());
        EXPECT_EQ(c.pieces, got);
        FreeStringList(pieces);
    }
    std::vector<char*> pieces;
    EXPECT_EQ(-1, SplitString("a|b", nullptr, pieces));
    EXPECT_TRUE(pieces.empty());
}

}  // namespace
