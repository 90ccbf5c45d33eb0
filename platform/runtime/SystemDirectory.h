// The system library directory, where the USB-key library is looked for. It is fixed when an
// executable is built (the CMake cache variable TESSORA_SYSTEM_LIBDIR); nothing at run time can
// change it.
#pragma once

#include "platform/runtime/Types.h"

#ifndef MAX_PATH
#define MAX_PATH 260
#endif
#ifndef CSIDL_SYSTEM
#define CSIDL_SYSTEM 0x0025
#endif

// Defined once per executable by one of the tessora_sysdir_* libraries (usbkey/CMakeLists.txt).
const char* SystemLibraryDirectory();

// Copies the folder's path into lpszPath (MAX_PATH characters, NUL-terminated). Only
// CSIDL_SYSTEM is known; FALSE for any other folder, a null buffer or a path that does not fit.
// The owner window and fCreate are accepted and not used.
BOOL SHGetSpecialFolderPathW(void* hwndOwner, char16_t* lpszPath, int csidl, BOOL fCreate);
