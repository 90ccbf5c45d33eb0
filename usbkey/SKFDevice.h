// Enumerating, connecting and disconnecting SKF (GM/T 0016) devices through a loaded module.
#pragma once

#include <cstdint>

#include "platform/crypt/SkfApi.h"
#include "platform/runtime/Types.h"

struct SKFModule;

struct SKFDevice {
    SKFModule* pstSKFModule;  // holds one reference on the module
    char* pszDeviceName;      // owned copy
    DEVHANDLE hDev;
    DEVINFO* pstDevInfo;  // owned, kDevInfoBufferSize bytes; null without SKF_GetDevInfo
    int32_t nRefCount;
};

// The present devices' names joined by "|", as a new text the caller frees with free().
// Plain error numbers (87) for a bad module; result codes otherwise.
HRESULT SkEnumDevice(SKFModule* pstSKFModule, char** ppszNameList);

// Connects the named device if its state is present and reads its device information.
HRESULT SkConnectDevice(SKFDevice** ppstDevice, SKFModule* pstSKFModule, const char* pszDeviceName);

// Releases one reference; the last one disconnects, releases the module reference, frees the
// record and nulls the caller's pointer. A failed disconnect leaves the record as it is.
HRESULT SkDisconnectDevice(SKFDevice** ppstDevice);
