#include "platform/runtime/WideString.h"

#include <cstdlib>
#include <cstring>

#include "common/Ascii.h"

size_t WcsLen(const char16_t* text) {
    if (text == nullptr) return 0;
    size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
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
