// The path of the USB-key library that GetKeyID loads.
#pragma once

#include "platform/runtime/Types.h"

// The library's full path in the system library directory, as a new wide text the caller frees
// with free().
HRESULT GetLibraryPath(char16_t** lpwLibPath);
