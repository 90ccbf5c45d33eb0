// Basic types shared by every layer: result codes, flags and text.
#pragma once

#include <cstddef>
#include <cstdint>

using HRESULT = int32_t;       // result code, HRESULT layout; 0 is success, negative is failure
using VARIANT_BOOL = int16_t;  // -1 true, 0 false
using BOOL = int32_t;
using DWORD = uint32_t;
using BYTE = uint8_t;
using WCHAR = char16_t;  // UTF-16 code unit; wchar_t is 32-bit on Linux and never used for text
using LPWSTR = char16_t*;
using LPCWSTR = const char16_t*;

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;
// Macros, as GLib and the SKF headers spell them, so the definitions never collide.
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

inline constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
inline constexpr bool FAILED(HRESULT hr) { return hr < 0; }
