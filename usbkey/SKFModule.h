// A loaded SKF (GM/T 0016) library: its entry points and a reference count shared with the
// devices connected through it, and the choice of the one present device.
#pragma once

#include <cstdint>

#include "platform/crypt/SkfApi.h"
#include "platform/runtime/SharedLibrary.h"
#include "platform/runtime/Types.h"

// One pointer per entry point, in table order; null when the library does not export the name.
struct SKFEntryPoints {
#define SKF_DECLARE_ENTRY_POINT(name, type) type name;
    SKF_ENTRY_POINT_LIST(SKF_DECLARE_ENTRY_POINT)
#undef SKF_DECLARE_ENTRY_POINT
};

struct SKFModule {
    char* pszLibPath;   // UTF-8, owned
    int32_t nRefCount;  // 1 after loading, +1 per connected device
    HMODULE hModule;
    SKFEntryPoints* pstEntryPoints;  // owned
};

struct SKFDevice;

// Loads the library at the full path and resolves all entry points; none is required yet.
HRESULT SKLoadModule(const char16_t* lpwLibPath, SKFModule** ppstSKFModule);

// Releases one reference; the last one unloads the library, frees the record and nulls the
// caller's pointer.
void SKFreeModule(SKFModule** ppstSKFModule);

// The single present device, connected, with its device information.
HRESULT SKGetDevice(SKFModule* pstSKFModule, SKFDevice** ppstDevice);
