#include "common/Utf.h"

#include <cstdint>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf16(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace

std::u16string Utf8ToUtf16String(std::string_view in) {
    std::u16string out;
    out.reserve(in.size());
    size_t i = 0;
    while (i < in.size()) {
        const uint8_t b0 = static_cast<uint8_t>(in[i]);
        if (b0 < 0x80) {
            out.push_back(b0);
            ++i;
            continue;
        }
        int extra;
        char32_t cp;
        char32_t min;
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            extra = 1, cp = b0 & 0x1F, min = 0x80;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            extra = 2, cp = b0 & 0x0F, min = 0x800;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            extra = 3, cp = b0 & 0x07, min = 0x10000;
        } else {
            AppendUtf16(out, kReplacement);
            ++i;
            continue;
        }
        size_t j = 1;
        for (; j <= static_cast<size_t>(extra) && i + j < in.size(); ++j) {
            const uint8_t b = static_cast<uint8_t>(in[i + j]);
            if ((b & 0xC0) != 0x80) break;
            cp = (cp << 6) | (b & 0x3F);
        }
        if (j != static_cast<size_t>(extra) + 1 || cp < min || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF)) {
            // Replace the maximal invalid prefix once and resume at the first byte not taken.
            AppendUtf16(out, kReplacement);
            i += j;
            continue;
        }
        AppendUtf16(out, cp);
        i += j;
    }
    return out;
}

std::string Utf16ToUtf8String(std::u16string_view in) {
    std::string out;
    out.reserve(in.size() * 3);
    for (size_t i = 0; i < in.size(); ++i) {
        char32_t cp = in[i];
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 1 < in.size() && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
                ++i;
            } else {
                cp = kReplacement;
            }
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            cp = kReplacement;
        }
        AppendUtf8(out, cp);
    }
    return out;
}
