// The text conversions and the list splitters, each checked against what it promises:
//   - UTF-8 <-> UTF-16 never fails on content, stays inside its stated capacity, and gives valid
//     UTF-8 back unchanged;
//   - Base64 and hexadecimal give the bytes back; decoding arbitrary text never reads or writes
//     outside its buffers;
//   - the "||" splitter (SM2 provider lists), the "#" filter splitter and the separator splitter
//     give pieces that are really in the text and never contain their separator.
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "certificates/CertificateFilters.h"
#include "common/Conversions.h"
#include "common/ResultCodes.h"
#include "common/Utf.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

void CheckUtf(std::string_view bytes) {
    std::u16string wide(Utf16CapacityFor(bytes.size()), u'\0');
    wide.resize(Utf8ToUtf16(bytes, wide.data()));
    FUZZ_REQUIRE(wide == Utf8ToUtf16String(bytes));
    std::string narrow(Utf8CapacityFor(wide.size()), '\0');
    narrow.resize(Utf16ToUtf8(wide, narrow.data()));
    // Once cleaned, the text is valid UTF-8 and survives another round unchanged.
    FUZZ_REQUIRE(Utf16ToUtf8String(Utf8ToUtf16String(narrow)) == narrow);

    // The same bytes read as UTF-16 units (lone surrogates included).
    std::u16string units(bytes.size() / 2, u'\0');
    if (!units.empty()) std::memcpy(units.data(), bytes.data(), units.size() * 2);
    const std::string from_units = Utf16ToUtf8String(units);
    FUZZ_REQUIRE(from_units.size() <= Utf8CapacityFor(units.size()));

    // The allocating forms, on the NUL-terminated prefix.
    const std::string text(bytes.substr(0, bytes.find('\0')));
    char16_t* converted = nullptr;
    uint32_t units_count = 0;
    FUZZ_REQUIRE(UTF8ToUTF16(text.c_str(), &converted, &units_count) == S_OK);
    char* back = nullptr;
    uint32_t back_count = 0;
    FUZZ_REQUIRE(UTF16ToUTF8(converted, &back, &back_count) == S_OK);
    FUZZ_REQUIRE(std::strlen(back) == back_count);
    std::free(back);
    std::free(converted);
}

void CheckBase64(std::string_view bytes) {
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    for (uint32_t flags : {0u, kBase64NoPad, kBase64NoCrLf, kBase64NoPad | kBase64NoCrLf}) {
        char* text = nullptr;
        uint32_t text_count = 0;
        if (Base64EncodeEx(flags, &text, data, static_cast<uint32_t>(bytes.size()), &text_count) !=
            S_OK) {
            std::free(text);
            continue;
        }
        uint8_t* decoded = nullptr;
        uint32_t decoded_count = 0;
        if (!bytes.empty()) {
            FUZZ_REQUIRE(Base64DecodeEx(&decoded, &decoded_count, text,
                                        static_cast<int32_t>(text_count)) == S_OK);
            FUZZ_REQUIRE(decoded_count == bytes.size());
            FUZZ_REQUIRE(std::memcmp(decoded, data, bytes.size()) == 0);
        }
        std::free(decoded);
        std::free(text);
    }
    // Arbitrary text, in both decoder forms.
    uint8_t* decoded = nullptr;
    uint32_t decoded_count = 0;
    Base64DecodeEx(static_cast<int32_t>(bytes.size()), &decoded, bytes.data(), &decoded_count);
    std::free(decoded);
    decoded = nullptr;
    Base64DecodeEx(&decoded, &decoded_count, bytes.data(), static_cast<int32_t>(bytes.size()));
    std::free(decoded);
}

void CheckHex(std::string_view bytes) {
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    char16_t* hex = nullptr;
    if (!bytes.empty() &&
        ConvertBinaryDataToString(&hex, static_cast<uint32_t>(bytes.size()), data, 1) == S_OK) {
        FUZZ_REQUIRE(std::u16string_view(hex).size() == 2 * bytes.size());
        uint8_t* back = nullptr;
        uint32_t count = 0;
        FUZZ_REQUIRE(ConvertStringToBinaryData(&count, hex, &back) == S_OK);
        FUZZ_REQUIRE(count == bytes.size() && std::memcmp(back, data, count) == 0);
        std::free(back);
    }
    std::free(hex);
    // Arbitrary text as hexadecimal.
    const std::u16string text = Utf8ToUtf16String(bytes.substr(0, bytes.find('\0')));
    uint8_t* parsed = nullptr;
    uint32_t count = 0;
    ConvertStringToBinaryData(&count, text.c_str(), &parsed);
    std::free(parsed);
}

void CheckSplitters(std::string_view bytes) {
    const std::string text(bytes.substr(0, bytes.find('\0')));
    const std::u16string wide = Utf8ToUtf16String(text);

    std::vector<std::u16string> providers;
    SplitStrings(wide.c_str(), providers);
    for (const auto& piece : providers) {
        FUZZ_REQUIRE(!piece.empty() && piece.find(u"||") == std::u16string::npos);
        FUZZ_REQUIRE(wide.find(piece) != std::u16string::npos);
    }

    std::vector<std::u16string> filters;
    ParseFilters(wide.c_str(), filters);
    FUZZ_REQUIRE(!filters.empty());
    for (const auto& piece : filters) FUZZ_REQUIRE(piece.find(u'#') == std::u16string::npos);

    // The first byte (when there is one) is the separator, as the device list uses "|".
    const std::string separator = text.empty() ? std::string("|") : text.substr(0, 1);
    std::vector<char*> pieces;
    FUZZ_REQUIRE(SplitString(text.c_str(), separator.c_str(), pieces) == 0);
    for (char* piece : pieces) {
        FUZZ_REQUIRE(*piece != 0 && std::strstr(piece, separator.c_str()) == nullptr);
        FUZZ_REQUIRE(text.find(piece) != std::string::npos);
    }
    FreeStringList(pieces);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    CheckUtf(bytes);
    CheckBase64(bytes);
    CheckHex(bytes);
    CheckSplitters(bytes);
    return 0;
}
