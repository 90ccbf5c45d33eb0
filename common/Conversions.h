// Text, hexadecimal and Base64 conversions and the two list splitters. Every function allocates
// its output with malloc; the caller releases it with free (string lists: FreeStringList).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/runtime/Types.h"

// Counts exclude the terminating NUL. Invalid sequences become U+FFFD; conversion never fails
// on content. Null input: E_POINTER. No memory: E_OUTOFMEMORY.
HRESULT UTF16ToUTF8(const char16_t* lpwszSrc, char** ppszDest, uint32_t* pdwByteCount);
HRESULT UTF8ToUTF16(const char* pszSrc, char16_t** ppwszDest, uint32_t* pdwCharCount);

// A new NUL-terminated copy of `text` (a null text copies as the empty text); null when there
// is no memory.
char* CopyText(const char* text);
char16_t* CopyText(const char16_t* text);

// Two lower-case hex digits per byte, no separators; nReverse == 1 writes the last byte first.
HRESULT ConvertBinaryDataToString(char16_t** ppwszText, uint32_t dwCount, const uint8_t* pbData,
                                  int nReverse);
// Hex text to bytes, the last digit pair becoming byte 0; the output buffer has 4 spare zero
// bytes. A character outside 0-9, a-f, A-F (or a null text): E_INVALIDARG.
HRESULT ConvertStringToBinaryData(uint32_t* pdwCount, const char16_t* lpwszHex, uint8_t** ppbData);

// Base64 (RFC 4648 alphabet). Flag bits: 1 = no "=" padding, 2 = no CR LF line breaks.
constexpr uint32_t kBase64NoPad = 1;
constexpr uint32_t kBase64NoCrLf = 2;
HRESULT Base64EncodeEx(uint32_t dwFlags, char** ppszText, const uint8_t* pbData, uint32_t dwCount,
                       uint32_t* pdwTextCount);
// The agent's form: E_FAIL for a length <= 0; undecodable text leaves *ppbData null.
HRESULT Base64DecodeEx(int32_t nTextLength, uint8_t** ppbData, const char* pszText,
                       uint32_t* pdwCount);
// The Base64Utility form: VELK_E_BASE64_DECODE for a length <= 0 or undecodable text.
HRESULT Base64DecodeEx(uint8_t** ppbData, uint32_t* pdwCount, const char* pszText,
                       int32_t nTextLength);

// Building blocks of the two forms above, exposed for tests.
uint32_t Base64EncodeGetRequiredLength(uint32_t dwCount, uint32_t dwFlags, bool* pbRefused);
bool Base64Encode(const uint8_t* pbData, uint32_t dwCount, char* pszOut, uint32_t* pdwOutLength,
                  uint32_t dwFlags);
bool Base64Decode(const char* pszText, int32_t nTextLength, uint8_t* pbOut, uint32_t* pdwOutLength);

// Splits at "||"; an empty piece ends the list (A||||B gives only A).
void SplitStrings(const char16_t* lpwszText, std::vector<std::u16string>& vtrList);
// Splits at pszSplit, skipping empty pieces; 0, or -1 for a null separator or no memory. The
// pieces are malloc'ed; release them with FreeStringList.
int SplitString(const char* pszStr, const char* pszSplit, std::vector<char*>& vtrList);
void FreeStringList(std::vector<char*>& vtrList);
