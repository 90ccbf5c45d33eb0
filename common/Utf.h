// UTF-8 <-> UTF-16 transcoding without tracing or allocation policy. An invalid sequence (a stray
// continuation byte, a truncated or overlong sequence, a surrogate encoded in UTF-8, a lone
// surrogate in UTF-16) becomes U+FFFD; transcoding never fails.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Output room that is always enough, in code units: a UTF-8 byte yields at most one UTF-16 unit
// (a four-byte sequence yields two), and a UTF-16 unit at most three UTF-8 bytes (a surrogate
// pair yields four). Neither counts a terminator.
constexpr size_t Utf16CapacityFor(size_t utf8_bytes) { return utf8_bytes; }
constexpr size_t Utf8CapacityFor(size_t utf16_units) { return 3 * utf16_units; }

// Transcode `in` into `out`, which has room for the capacity above; return the units written.
// One pass, no allocation, no terminator.
size_t Utf8ToUtf16(std::string_view in, char16_t* out);
size_t Utf16ToUtf8(std::u16string_view in, char* out);

std::u16string Utf8ToUtf16String(std::string_view utf8);
std::string Utf16ToUtf8String(std::u16string_view utf16);
