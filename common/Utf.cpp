#include "common/Utf.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Where SSE2 is missing, eight UTF-8 bytes or four UTF-16 units are tested at once: a word with
// none of these bits set is all ASCII and is copied unit for unit.
constexpr uint64_t kUtf8HighBits = 0x8080808080808080ull;
constexpr uint64_t kUtf16NonAsciiBits = 0xFF80FF80FF80FF80ull;

uint64_t LoadWord(const void* p) {
    uint64_t word;
    std::memcpy(&word, p, sizeof(word));
    return word;
}

// Copies the all-ASCII run at the start of `in` (up to `size` units) into `out`, sixteen units
// at a time, and returns how many units it took; the rest is left to the general loop. Every
// message text passes through both converters, and nearly all of it is ASCII.
size_t CopyAsciiRun(const uint8_t* in, size_t size, char16_t* out) {
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= size; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        if (_mm_movemask_epi8(bytes) != 0) break;  // a byte with its top bit set
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi8(bytes, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), _mm_unpackhi_epi8(bytes, zero));
    }
#endif
    for (; i + 8 <= size && (LoadWord(in + i) & kUtf8HighBits) == 0; i += 8)
        for (size_t k = 0; k < 8; ++k) out[i + k] = in[i + k];
    return i;
}

size_t CopyAsciiRun(const char16_t* in, size_t size, char* out) {
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i non_ascii = _mm_set1_epi16(static_cast<short>(0xFF80));
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= size; i += 16) {
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + 8));
        const __m128i bits = _mm_and_si128(_mm_or_si128(low, high), non_ascii);
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(bits, zero)) != 0xFFFF) break;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(low, high));
    }
#endif
    for (; i + 4 <= size && (LoadWord(in + i) & kUtf16NonAsciiBits) == 0; i += 4)
        for (size_t k = 0; k < 4; ++k) out[i + k] = static_cast<char>(in[i + k]);
    return i;
}

char16_t* PutUtf16(char16_t* out, char32_t cp) {
    if (cp < 0x10000) {
        *out++ = static_cast<char16_t>(cp);
    } else {
        cp -= 0x10000;
        *out++ = static_cast<char16_t>(0xD800 + (cp >> 10));
        *out++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    }
    return out;
}

char* PutUtf8(char* out, char32_t cp) {
    if (cp < 0x80) {
        *out++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
        *out++ = static_cast<char>(0xC0 | (cp >> 6));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (cp >> 12));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (cp >> 18));
        *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return out;
}

}  // namespace

size_t Utf8ToUtf16(std::string_view in, char16_t* out) {
    char16_t* const start = out;
    const auto* bytes = reinterpret_cast<const uint8_t*>(in.data());
    const size_t size = in.size();
    size_t i = 0;
    while (i < size) {
        const size_t ascii = CopyAsciiRun(bytes + i, size - i, out);
        out += ascii;
        i += ascii;
        if (i == size) break;
        const uint8_t b0 = bytes[i];
        if (b0 < 0x80) {
            *out++ = b0;
            ++i;
            continue;
        }
        size_t extra;
        char32_t cp;
        char32_t min;
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            extra = 1, cp = b0 & 0x1F, min = 0x80;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            extra = 2, cp = b0 & 0x0F, min = 0x800;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            extra = 3, cp = b0 & 0x07, min = 0x10000;
        } else {
            out = PutUtf16(out, kReplacement);
            ++i;
            continue;
        }
        size_t j = 1;
        for (; j <= extra && i + j < size; ++j) {
            const uint8_t b = bytes[i + j];
            if ((b & 0xC0) != 0x80) break;
            cp = (cp << 6) | (b & 0x3F);
        }
        if (j != extra + 1 || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            // Replace the maximal invalid prefix once and resume at the first byte not taken.
            cp = kReplacement;
        }
        out = PutUtf16(out, cp);
        i += j;
    }
    return static_cast<size_t>(out - start);
}

size_t Utf16ToUtf8(std::u16string_view in, char* out) {
    char* const start = out;
    const char16_t* units = in.data();
    const size_t size = in.size();
    size_t i = 0;
    while (i < size) {
        const size_t ascii = CopyAsciiRun(units + i, size - i, out);
        out += ascii;
        i += ascii;
        if (i == size) break;
        char32_t cp = units[i++];
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i < size && units[i] >= 0xDC00 && units[i] <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i] - 0xDC00);
                ++i;
            } else {
                cp = kReplacement;
            }
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            cp = kReplacement;
        }
        out = PutUtf8(out, cp);
    }
    return static_cast<size_t>(out - start);
}

std::u16string Utf8ToUtf16String(std::string_view in) {
    std::u16string out(Utf16CapacityFor(in.size()), u'\0');
    out.resize(Utf8ToUtf16(in, out.data()));
    return out;
}

std::string Utf16ToUtf8String(std::u16string_view in) {
    std::string out(Utf8CapacityFor(in.size()), '\0');
    out.resize(Utf16ToUtf8(in, out.data()));
    return out;
}
