// ASCII letter case and hexadecimal digits, the one copy every layer uses.
#pragma once

#include <cstddef>
#include <cstdint>

// A-Z fold to a-z; every other code unit (of any width) is left as it is.
template <typename Char>
constexpr Char FoldAsciiCase(Char c) {
    return (c >= Char('A') && c <= Char('Z')) ? static_cast<Char>(c - Char('A') + Char('a')) : c;
}

enum class HexCase { kLower, kUpper };

// The digit of the low four bits of `nibble`.
constexpr char HexDigit(unsigned nibble, HexCase letters = HexCase::kLower) {
    constexpr char kDigits[] = "0123456789abcdef0123456789ABCDEF";
    return kDigits[(nibble & 15) + (letters == HexCase::kUpper ? 16 : 0)];
}

// The value of a hexadecimal digit (0-9, a-f, A-F), or -1 for any other code unit.
template <typename Char>
constexpr int HexValue(Char c) {
    if (c >= Char('0') && c <= Char('9')) return static_cast<int>(c - Char('0'));
    if (c >= Char('a') && c <= Char('f')) return static_cast<int>(c - Char('a')) + 10;
    if (c >= Char('A') && c <= Char('F')) return static_cast<int>(c - Char('A')) + 10;
    return -1;
}

// Appends two digits per byte, most significant nibble first, no separators, to any string type.
template <typename String>
void AppendHex(String& out, const uint8_t* data, size_t size, HexCase letters = HexCase::kLower) {
    for (size_t i = 0; i < size; ++i) {
        out.push_back(static_cast<typename String::value_type>(HexDigit(data[i] >> 4, letters)));
        out.push_back(static_cast<typename String::value_type>(HexDigit(data[i], letters)));
    }
}
