// Stand-ins for the module handle and the string resources: the host's texts (the string table in
// English and Simplified Chinese, the dialog texts) are compiled into the binary.
#pragma once

#include <cstdint>

#include "platform/runtime/Types.h"

struct ResourceModule;
using HINSTANCE = const ResourceModule*;

// The process's resource module; set by the host at start-up from GetModuleHandleW(nullptr).
extern HINSTANCE g_hInstance;

// A null name gives the compiled-in resources of the running program (never null in practice).
HINSTANCE GetModuleHandleW(const char16_t* lpModuleName);

// The user's interface language: 2052 when the first of LC_ALL, LC_MESSAGES and LANG that is set
// and non-empty starts with "zh", otherwise 1033.
uint16_t GetUserDefaultUILanguage();

// Copies string `uID` of the module in the user's language into lpBuffer (at most cchBufferMax - 1
// characters, always NUL-terminated) and returns the characters copied; 0 when there is no such
// string (last error ERROR_RESOURCE_NAME_NOT_FOUND, 1814).
int LoadStringW(HINSTANCE hInstance, uint32_t uID, char16_t* lpBuffer, int cchBufferMax);
int LoadStringW(HINSTANCE hInstance, uint32_t uID, uint16_t wLanguage, char16_t* lpBuffer,
                int cchBufferMax);

// Our own short text for a platform code (no customer bit), in the user's language; 0 characters
// when we have none. Code 0 is "The operation completed successfully.".
int FormatMessageW(uint32_t dwMessageId, char16_t* lpBuffer, int nSize);
