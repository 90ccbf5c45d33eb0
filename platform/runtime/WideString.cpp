#include "platform/runtime/WideString.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

// The terminator search reads whole aligned blocks, possibly past the terminator (never past
// its page); AddressSanitizer would report those bytes, so its builds take the plain loop. GCC
// says so with __SANITIZE_ADDRESS__, clang through __has_feature.
#if defined(__SANITIZE_ADDRESS__)
#define TESSORA_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TESSORA_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SSE2__) && !defined(TESSORA_ADDRESS_SANITIZER)
#define TESSORA_WCSLEN_SSE2 1
#include <emmintrin.h>
#endif

#include "common/Ascii.h"

size_t WcsLen(const char16_t* text) {
    if (text == nullptr) return 0;
    size_t n = 0;
#if defined(TESSORA_WCSLEN_SSE2)
    // Message texts run to megabytes: look for the terminator eight units at a time. Loads are
    // aligned to 16 bytes, so none reaches into a page the text does not touch.
    while ((reinterpret_cast<uintptr_t>(text + n) & 15) != 0) {
        if (text[n] == 0) return n;
        ++n;
    }
    const __m128i zero = _mm_setzero_si128();
    for (;; n += 8) {
        const __m128i units = _mm_load_si128(reinterpret_cast<const __m128i*>(text + n));
        const int mask = _mm_movemask_epi8(_mm_cmpeq_epi16(units, zero));
        if (mask != 0) return n + static_cast<size_t>(__builtin_ctz(mask)) / 2;
    }
#else
    while (text[n] != 0) ++n;
    return n;
#endif
}

int WcsICmp(const char16_t* a, const char16_t* b) {
    for (;; ++a, ++b) {
        const char16_t ca = FoldAsciiCase(*a);
        const char16_t cb = FoldAsciiCase(*b);
        if (ca != cb) return ca < cb ? -1 : 1;
        if (ca == 0) return 0;
    }
}

const char16_t* StrStrIW(const char16_t* haystack, const char16_t* needle) {
    if (haystack == nullptr || needle == nullptr) return nullptr;
    if (*needle == 0) return haystack;
    for (; *haystack != 0; ++haystack) {
        size_t i = 0;
        while (needle[i] != 0 && haystack[i] != 0 &&
               FoldAsciiCase(haystack[i]) == FoldAsciiCase(needle[i]))
            ++i;
        if (needle[i] == 0) return haystack;
    }
    return nullptr;
}

BSTR SysAllocStringLen(const char16_t* text, size_t length) {
    auto* copy = static_cast<char16_t*>(std::calloc(length + 1, sizeof(char16_t)));
    if (copy == nullptr) return nullptr;
    if (text != nullptr && length != 0) std::memcpy(copy, text, length * sizeof(char16_t));
    return copy;
}

BSTR SysAllocString(const char16_t* text) {
    if (text == nullptr) return nullptr;
    return SysAllocStringLen(text, WcsLen(text));
}

void SysFreeString(BSTR text) { std::free(text); }
