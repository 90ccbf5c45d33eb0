#include "common/Conversions.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/Ascii.h"
#include "common/ResultCodes.h"
#include "common/Trace.h"
#include "common/Utf.h"
#include "platform/runtime/WideString.h"

namespace {

constexpr char kBase64Unit[] = "Base64Utility";
constexpr char kMiscUnit[] = "Misc";
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The Base64 characters of every 12-bit value, two to an entry: the encoder looks up a pair of
// characters at a time.
struct Base64Pairs {
    char text[4096][2];
};
constexpr Base64Pairs MakeBase64Pairs() {
    Base64Pairs pairs{};
    for (int v = 0; v < 4096; ++v) {
        pairs.text[v][0] = kAlphabet[v >> 6];
        pairs.text[v][1] = kAlphabet[v & 63];
    }
    return pairs;
}
constexpr Base64Pairs kBase64Pairs = MakeBase64Pairs();

int DecodeChar(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

// Both converters size the buffer for the worst case (Utf8CapacityFor, Utf16CapacityFor) and
// transcode into it in one pass: one allocation, no measuring pass. malloc, not calloc: every
// unit up to the terminator is written, and pages of a large buffer that the text does not reach
// are never touched.
HRESULT UTF16ToUTF8(const char16_t* lpwszSrc, char** ppszDest, uint32_t* pdwByteCount) {
    if (lpwszSrc == nullptr) return E_POINTER;
    const std::u16string_view source(lpwszSrc, WcsLen(lpwszSrc));
    char* buffer = nullptr;
    if (source.size() < (SIZE_MAX - 1) / 3)
        buffer = static_cast<char*>(std::malloc(Utf8CapacityFor(source.size()) + 1));
    if (buffer == nullptr) {
        TRACE_ERROR("UTF16ToUTF8: New Memory (0x%08x)", static_cast<unsigned>(E_OUTOFMEMORY));
        return E_OUTOFMEMORY;
    }
    const size_t byte_count = Utf16ToUtf8(source, buffer);
    buffer[byte_count] = 0;
    if (ppszDest != nullptr)
        *ppszDest = buffer;
    else
        std::free(buffer);
    if (pdwByteCount != nullptr) *pdwByteCount = static_cast<uint32_t>(byte_count);
    return S_OK;
}

HRESULT UTF8ToUTF16(const char* pszSrc, char16_t** ppwszDest, uint32_t* pdwCharCount) {
    if (pszSrc == nullptr) return E_POINTER;
    const std::string_view source(pszSrc);
    TRACE_INFO("UTF8ToUTF16: input %s, %zu bytes", pszSrc, source.size());
    char16_t* buffer = nullptr;
    if (source.size() < SIZE_MAX / sizeof(char16_t) - 1) {
        buffer = static_cast<char16_t*>(
            std::malloc((Utf16CapacityFor(source.size()) + 1) * sizeof(char16_t)));
    }
    if (buffer == nullptr) {
        TRACE_ERROR("UTF8ToUTF16: New Memory (0x%08x)", static_cast<unsigned>(E_OUTOFMEMORY));
        return E_OUTOFMEMORY;
    }
    const size_t char_count = Utf8ToUtf16(source, buffer);
    buffer[char_count] = 0;
    TRACE_INFO("UTF8ToUTF16: %zu characters needed", char_count + 1);
    TRACE_INFO("UTF8ToUTF16: converted %s", trace::Text(buffer).c_str());
    if (ppwszDest != nullptr)
        *ppwszDest = buffer;
    else
        std::free(buffer);
    if (pdwCharCount != nullptr) *pdwCharCount = static_cast<uint32_t>(char_count);
    return S_OK;
}

char* CopyText(const char* text) {
    const size_t length = text != nullptr ? std::strlen(text) : 0;
    auto* copy = static_cast<char*>(std::malloc(length + 1));
    if (copy == nullptr) return nullptr;
    if (length != 0) std::memcpy(copy, text, length);
    copy[length] = 0;
    return copy;
}

char16_t* CopyText(const char16_t* text) {
    const size_t length = WcsLen(text);
    auto* copy = static_cast<char16_t*>(std::malloc((length + 1) * sizeof(char16_t)));
    if (copy == nullptr) return nullptr;
    if (length != 0) std::memcpy(copy, text, length * sizeof(char16_t));
    copy[length] = 0;
    return copy;
}

HRESULT ConvertBinaryDataToString(char16_t** ppwszText, uint32_t dwCount, const uint8_t* pbData,
                                  int nReverse) {
    auto* text =
        static_cast<char16_t*>(std::calloc(2 * static_cast<size_t>(dwCount) + 1, sizeof(char16_t)));
    if (text == nullptr) {
        TRACE_ERROR("ConvertBinaryDataToString: Dispatch memory failed. (0x%08x)",
                    static_cast<unsigned>(E_OUTOFMEMORY));
        return E_OUTOFMEMORY;
    }
    for (uint32_t i = 0; i < dwCount; ++i) {
        const uint8_t b = pbData[nReverse == 1 ? dwCount - 1 - i : i];
        text[2 * i] = static_cast<char16_t>(HexDigit(b >> 4));
        text[2 * i + 1] = static_cast<char16_t>(HexDigit(b));
    }
    if (ppwszText != nullptr)
        *ppwszText = text;
    else
        std::free(text);
    return S_OK;
}

HRESULT ConvertStringToBinaryData(uint32_t* pdwCount, const char16_t* lpwszHex, uint8_t** ppbData) {
    if (lpwszHex == nullptr) {
        TRACE_ERROR("ConvertStringToBinaryData: null text (0x%08x)",
                    static_cast<unsigned>(E_INVALIDARG));
        return E_INVALIDARG;
    }
    const size_t length = WcsLen(lpwszHex);
    for (size_t i = 0; i < length; ++i) {
        if (HexValue(lpwszHex[i]) < 0) {
            TRACE_ERROR("ConvertStringToBinaryData: not hexadecimal: %s",
                        trace::Text(lpwszHex).c_str());
            return E_INVALIDARG;
        }
    }
    const size_t size = length / 2;  // a final unpaired digit is ignored
    auto* bytes = static_cast<uint8_t*>(std::calloc(size + 4, 1));
    if (bytes == nullptr) {
        TRACE_ERROR("ConvertStringToBinaryData: Dispatch memory failed. (0x%08x)",
                    static_cast<unsigned>(E_OUTOFMEMORY));
        return E_OUTOFMEMORY;
    }
    for (size_t i = 0; i < size; ++i) {
        const size_t pos = 2 * (size - 1 - i);
        bytes[i] = static_cast<uint8_t>(HexValue(lpwszHex[pos]) << 4 | HexValue(lpwszHex[pos + 1]));
    }
    if (pdwCount != nullptr) *pdwCount = static_cast<uint32_t>(size);
    if (ppbData != nullptr)
        *ppbData = bytes;
    else
        std::free(bytes);
    return S_OK;
}

uint32_t Base64EncodeGetRequiredLength(uint32_t dwCount, uint32_t dwFlags, bool* pbRefused) {
    const uint64_t times4 = static_cast<uint64_t>(dwCount) * 4;
    if (pbRefused != nullptr) *pbRefused = times4 >= (1ull << 31);
    if (times4 >= (1ull << 31)) return 0;
    uint64_t n = times4 / 3;
    if ((dwFlags & kBase64NoPad) == 0) n += dwCount % 3;
    const uint64_t unrounded = n;
    if (n % 76 != 0 && n % 4 != 0) n += 4 - n % 4;
    if ((dwFlags & kBase64NoCrLf) == 0) n += 2 * (unrounded / 76) + 2;
    return static_cast<uint32_t>(n);
}

bool Base64Encode(const uint8_t* pbData, uint32_t dwCount, char* pszOut, uint32_t* pdwOutLength,
                  uint32_t dwFlags) {
    if (pbData == nullptr || pszOut == nullptr || pdwOutLength == nullptr) return false;
    bool refused = false;
    const uint32_t required = Base64EncodeGetRequiredLength(dwCount, dwFlags, &refused);
    if (refused || *pdwOutLength < required) return false;
    const bool line_breaks = (dwFlags & kBase64NoCrLf) == 0;
    uint32_t out = 0;
    uint32_t groups_in_line = 0;
    uint32_t i = 0;
    for (; i + 3 <= dwCount; i += 3) {
        const uint32_t v = (pbData[i] << 16) | (pbData[i + 1] << 8) | pbData[i + 2];
        std::memcpy(pszOut + out, kBase64Pairs.text[v >> 12], 2);
        std::memcpy(pszOut + out + 2, kBase64Pairs.text[v & 0xFFF], 2);
        out += 4;
        if (line_breaks && ++groups_in_line == 19) {
            pszOut[out++] = '\r';
            pszOut[out++] = '\n';
            groups_in_line = 0;
        }
    }
    const uint32_t rest = dwCount - i;
    if (rest != 0) {
        uint32_t v = pbData[i] << 16;
        if (rest == 2) v |= pbData[i + 1] << 8;
        pszOut[out++] = kAlphabet[(v >> 18) & 63];
        pszOut[out++] = kAlphabet[(v >> 12) & 63];
        if (rest == 2) pszOut[out++] = kAlphabet[(v >> 6) & 63];
        if ((dwFlags & kBase64NoPad) == 0) {
            pszOut[out++] = '=';
            if (rest == 1) pszOut[out++] = '=';
        }
    }
    *pdwOutLength = out;
    return true;
}

bool Base64Decode(const char* pszText, int32_t nTextLength, uint8_t* pbOut,
                  uint32_t* pdwOutLength) {
    if (pdwOutLength == nullptr) return false;
    const uint32_t capacity = pbOut != nullptr ? *pdwOutLength : 0;
    uint32_t written = 0;
    bool overflow = false;
    uint32_t group = 0;
    int in_group = 0;
    auto put = [&](uint8_t b) {
        if (written < capacity)
            pbOut[written] = b;
        else
            overflow = true;
        ++written;
    };
    for (int32_t i = 0; pszText != nullptr && i < nTextLength; ++i) {
        const unsigned char c = static_cast<unsigned char>(pszText[i]);
        if (c == 0 && in_group == 0) break;  // a NUL where a group would begin ends the text
        const int v = DecodeChar(c);
        if (v < 0) continue;
        group = (group << 6) | static_cast<uint32_t>(v);
        if (++in_group == 4) {
            put(static_cast<uint8_t>(group >> 16));
            put(static_cast<uint8_t>(group >> 8));
            put(static_cast<uint8_t>(group));
            group = 0;
            in_group = 0;
        }
    }
    if (in_group >= 2) {
        group <<= 6 * (4 - in_group);
        put(static_cast<uint8_t>(group >> 16));
        if (in_group == 3) put(static_cast<uint8_t>(group >> 8));
    }
    *pdwOutLength = written;
    return !overflow;
}

HRESULT Base64EncodeEx(uint32_t dwFlags, char** ppszText, const uint8_t* pbData, uint32_t dwCount,
                       uint32_t* pdwTextCount) {
    bool refused = false;
    uint32_t required = Base64EncodeGetRequiredLength(dwCount, dwFlags, &refused);
    // A length the encoder refuses cannot be produced: report it as the memory failure it is
    // rather than success without text.
    if (refused) {
        TRACE_ERROR("Base64EncodeEx: New Memory (0x%08x)", static_cast<unsigned>(E_OUTOFMEMORY));
        return E_OUTOFMEMORY;
    }
    // malloc, not calloc: the encoder writes every character and the terminator goes after the
    // last one, so zeroing the text first would only be one more pass over it.
    auto* text = static_cast<char*>(std::malloc(static_cast<size_t>(required) + 1));
    if (text == nullptr) {
        TRACE_ERROR("Base64EncodeEx: New Memory (0x%08x)", static_cast<unsigned>(E_OUTOFMEMORY));
        return E_OUTOFMEMORY;
    }
    static const uint8_t kEmpty = 0;
    uint32_t produced = required;
    if (!Base64Encode(pbData != nullptr ? pbData : &kEmpty, dwCount, text, &produced, dwFlags)) {
        TRACE_ERROR("Base64EncodeEx: Base64Encode failed");
        std::free(text);
        if (ppszText != nullptr) *ppszText = nullptr;
        if (pdwTextCount != nullptr) *pdwTextCount = required;
        return E_OUTOFMEMORY;
    }
    text[produced] = 0;
    TRACE_INFO("Base64EncodeEx: %u characters", produced);
    if (ppszText != nullptr)
        *ppszText = text;
    else
        std::free(text);
    if (pdwTextCount != nullptr) *pdwTextCount = produced;
    return S_OK;
}

HRESULT Base64DecodeEx(int32_t nTextLength, uint8_t** ppbData, const char* pszText,
                       uint32_t* pdwCount) {
    if (nTextLength <= 0) {
        TRACE_ERROR("Base64DecodeEx: length %d", nTextLength);
        return E_FAIL;
    }
    auto* bytes = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(nTextLength), 1));
    if (bytes == nullptr) return E_OUTOFMEMORY;
    uint32_t count = static_cast<uint32_t>(nTextLength);
    if (!Base64Decode(pszText, nTextLength, bytes, &count)) {
        TRACE_ERROR("Base64DecodeEx: Base64Decode failed");
        std::free(bytes);
        bytes = nullptr;
    }
    TRACE_INFO("Base64DecodeEx: %u bytes", count);
    if (ppbData != nullptr)
        *ppbData = bytes;
    else
        std::free(bytes);
    if (pdwCount != nullptr) *pdwCount = count;
    return S_OK;
}

HRESULT Base64DecodeEx(uint8_t** ppbData, uint32_t* pdwCount, const char* pszText,
                       int32_t nTextLength) {
    const int32_t nDecodeDataSize = nTextLength;
    if (nDecodeDataSize <= 0) {
        FAILED_STEP(kBase64Unit, "Base64DecodeGetRequiredLength", VELK_E_BASE64_DECODE,
                    "nDecodeDataSize <= 0");
        return VELK_E_BASE64_DECODE;
    }
    OK_STEP(kBase64Unit, "Base64DecodeGetRequiredLength");
    auto* pDecodedData =
        static_cast<uint8_t*>(std::calloc(static_cast<size_t>(nDecodeDataSize), 1));
    if (pDecodedData == nullptr) {
        FAILED_STEP(kBase64Unit, "New memory", -1, "!pDecodedData");
        return -1;
    }
    uint32_t count = static_cast<uint32_t>(nDecodeDataSize);
    const bool bSuccess = Base64Decode(pszText, nTextLength, pDecodedData, &count);
    if (false == bSuccess) {
        FAILED_STEP(kBase64Unit, "Base64Decode", VELK_E_BASE64_DECODE, "false == bSuccess");
        std::free(pDecodedData);
        return VELK_E_BASE64_DECODE;
    }
    OK_STEP(kBase64Unit, "Base64Decode");
    if (ppbData != nullptr)
        *ppbData = pDecodedData;
    else
        std::free(pDecodedData);
    if (pdwCount != nullptr) *pdwCount = count;
    return S_OK;
}

void SplitStrings(const char16_t* lpwszText, std::vector<std::u16string>& vtrList) {
    if (lpwszText == nullptr) return;
    std::u16string_view rest(lpwszText);
    for (;;) {
        const size_t sep = rest.find(u"||");
        const std::u16string_view piece = rest.substr(0, sep);
        if (piece.empty()) return;
        TRACE_INFO("SplitStrings: %s", Utf16ToUtf8String(piece).c_str());
        vtrList.emplace_back(piece);
        if (sep == std::u16string_view::npos) return;
        rest.remove_prefix(sep + 2);
    }
}

int SplitString(const char* pszStr, const char* pszSplit, std::vector<char*>& vtrList) {
    if (nullptr == pszSplit || *pszSplit == 0) {
        FAILED_STEP(kMiscUnit, "Check parameter(split)", -1, "NULL == pszSplit");
        return -1;
    }
    OK_STEP(kMiscUnit, "Check parameter(split)");
    if (pszStr == nullptr || *pszStr == 0) return 0;
    char* pszCopy = strdup(pszStr);
    if (nullptr == pszCopy) {
        FAILED_STEP(kMiscUnit, "strdup(pszStr)", -1, "NULL == pszCopy");
        return -1;
    }
    OK_STEP(kMiscUnit, "strdup(pszStr)");
    int nResult = 0;
    const size_t sep_length = std::strlen(pszSplit);
    char* cursor = pszCopy;
    for (;;) {
        char* hit = std::strstr(cursor, pszSplit);
        if (hit != nullptr) *hit = 0;
        if (*cursor != 0) {
            char* piece = strdup(cursor);
            if (piece == nullptr) {
                nResult = -1;
                break;
            }
            vtrList.push_back(piece);
        }
        if (hit == nullptr) break;
        cursor = hit + sep_length;
    }
    std::free(pszCopy);
    return nResult;
}

void FreeStringList(std::vector<char*>& vtrList) {
    for (char* piece : vtrList) std::free(piece);
    vtrList.clear();
}
