#include "usbkey/SKFDevice.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/FreePtr.h"
#include "common/ResultCodes.h"
#include "common/Trace.h"
#include "usbkey/SKFModule.h"

static constexpr char kUnit[] = "SKFDevice";

namespace {

// Closes a device handle through the library that opened it (when it can).
struct DeviceDisconnector {
    PFN_SKF_DisConnectDev pfnDisConnectDev;
    void operator()(void* hDev) const {
        if (pfnDisConnectDev != NULL) pfnDisConnectDev(hDev);
    }
};
using ConnectedDevicePtr = std::unique_ptr<void, DeviceDisconnector>;

// The name argument of the SKF calls is declared writable (LPSTR); the libraries only read it.
LPSTR ToSkfText(const char* pszText) { return const_cast<char*>(pszText); }

}  // namespace

HRESULT SkEnumDevice(SKFModule* pstSKFModule, char** ppszNameList) {
    TRACE_SCOPE_A();
    HRESULT nResult = VELK_OK;
    ULONG ulResult = SAR_OK;
    UlongOut ulSize;
    size_t nBufferSize = 0;
    char* pszNameList = NULL;
    SKFEntryPoints* pstEntryPoints = NULL;

    if (NULL == pstSKFModule || NULL == pstSKFModule->pstEntryPoints) {
        nResult = ERROR_INVALID_PARAMETER;
        FAILED_STEP(kUnit, "Check Parameter(SKFModule)", nResult,
                    "NULL == pstSKFModule || NULL == pstSKFModule->pstEntryPoints");
        goto Exit;
    }
    OK_STEP(kUnit, "Check Parameter(SKFModule)");
    if (NULL == ppszNameList) {
        nResult = ERROR_INVALID_PARAMETER;
        FAILED_STEP(kUnit, "Check Parameter(ppszNameList)", nResult, "NULL == ppszNameList");
        goto Exit;
    }
    OK_STEP(kUnit, "Check Parameter(ppszNameList)");
    *ppszNameList = NULL;
    pstEntryPoints = pstSKFModule->pstEntryPoints;

    if (NULL == pstEntryPoints->SKF_EnumDev) {
        nResult = VELK_E_SKF_FUNCTION_UNAVAILABLE;
        FAILED_STEP(kUnit, "Check function(SKF_EnumDev)", nResult,
                    "NULL == pstEntryPoints->SKF_EnumDev");
        goto Exit;
    }
    OK_STEP(kUnit, "Check function(SKF_EnumDev)");

    ulResult = pstEntryPoints->SKF_EnumDev(TRUE, NULL, &ulSize.value);
    if (SAR_OK != ulResult) {
        nResult = RESULT_FROM_SAR(ulResult);
        FAILED_STEP(kUnit, "SKF_EnumDev(BufferSize)", nResult, "SAR_OK != ulResult");
        goto Exit;
    }
    OK_STEP(kUnit, "SKF_EnumDev(BufferSize)");
    TRACE_INFO("SkEnumDevice: name list of %u bytes", ulSize.value);
    if (ulSize.value <= 2) {
        nResult = VELK_E_SKF_DEVICE_UNAVAILABLE;
        FAILED_STEP(kUnit, "Check ulSize", nResult, "ulSize <= 2");
        goto Exit;
    }
    OK_STEP(kUnit, "Check ulSize");

    // One spare zero byte keeps the text terminated whatever the library writes.
    nBufferSize = static_cast<size_t>(ulSize.value) + 1;
    pszNameList = static_cast<char*>(std::calloc(nBufferSize, 1));
    if (!pszNameList) {
        nResult = -1;
        FAILED_STEP(kUnit, "New memory", nResult, "!pszNameList");
        goto Exit;
    }
    OK_STEP(kUnit, "New memory");

    ulSize.headroom = 0;
    ulResult = pstEntryPoints->SKF_EnumDev(TRUE, pszNameList, &ulSize.value);
    if (SAR_OK != ulResult) {
        nResult = RESULT_FROM_SAR(ulResult);
        FAILED_STEP(kUnit, "SKF_EnumDev(Name)", nResult, "SAR_OK != ulResult");
        goto Exit;
    }
    OK_STEP(kUnit, "SKF_EnumDev(Name)");
    if (ulSize.value <= 2) {
        nResult = VELK_E_SKF_DEVICE_UNAVAILABLE;
        FAILED_STEP(kUnit, "Check ulSize", nResult, "ulSize <= 2");
        goto Exit;
    }
    // A size beyond the buffer would make the checks below read past it.
    if (ulSize.value > nBufferSize) {
        nResult = VELK_E_SKF_DATA_FORMAT;
        FAILED_STEP(kUnit, "Check ulSize", nResult, "ulSize > nBufferSize");
        goto Exit;
    }
    OK_STEP(kUnit, "Check ulSize");

    if (0 != pszNameList[ulSize.value - 1] || 0 != pszNameList[ulSize.value - 2]) {
        nResult = VELK_E_SKF_DATA_FORMAT;
        FAILED_STEP(kUnit, "Check name list", nResult,
                    "0 != pszNameList[ulSize -1] || 0 != pszNameList[ulSize -2]");
        goto Exit;
    }
    OK_STEP(kUnit, "Check name list");

    // GM/T 0016 lists are "A\0B\0\0"; the caller gets "A|B".
    for (size_t i = 0; i < ulSize.value - 2; ++i) {
        if (0 == pszNameList[i]) pszNameList[i] = '|';
    }
    TRACE_INFO("SkEnumDevice: %s", pszNameList);
    *ppszNameList = pszNameList;
    pszNameList = NULL;

Exit:
    std::free(pszNameList);
    return nResult;
}

// The device handle and the blocks stay owned here until the record is handed out: a handle
// that is not handed out (SKF_GetDevInfo or an allocation failed) is disconnected again rather
// than left open in the library.
HRESULT SkConnectDevice(SKFDevice** ppstDevice, SKFModule* pstSKFModule,
                        const char* pszDeviceName) {
    TRACE_SCOPE_A();
    HRESULT nResult = VELK_OK;
    ULONG ulResult = SAR_OK;
    UlongOut ulDevState;
    DEVHANDLE hConnected = NULL;
    SKFEntryPoints* pstEntryPoints = NULL;

    if (NULL == pstSKFModule || NULL == pstSKFModule->pstEntryPoints) {
        nResult = ERROR_INVALID_PARAMETER;
        FAILED_STEP(kUnit, "Check Parameter(SKFModule)", nResult,
                    "NULL == pstSKFModule || NULL == pstSKFModule->pstEntryPoints");
        return nResult;
    }
    OK_STEP(kUnit, "Check Parameter(SKFModule)");
    if (NULL == ppstDevice || NULL == pszDeviceName) {
        nResult = ERROR_INVALID_PARAMETER;
        FAILED_STEP(kUnit, "Check Parameter(Device)", nResult,
                    "NULL == ppstDevice || NULL == pszDeviceName");
        return nResult;
    }
    OK_STEP(kUnit, "Check Parameter(Device)");
    *ppstDevice = NULL;
    pstEntryPoints = pstSKFModule->pstEntryPoints;

    if (NULL == pstEntryPoints->SKF_GetDevState || NULL == pstEntryPoints->SKF_ConnectDev) {
        nResult = VELK_E_SKF_FUNCTION_UNAVAILABLE;
        FAILED_STEP(kUnit, "Check Parameter(Lib)", nResult,
                    "NULL == pstEntryPoints->SKF_GetDevState || NULL == "
                    "pstEntryPoints->SKF_ConnectDev");
        return nResult;
    }
    OK_STEP(kUnit, "Check Parameter(Lib)");

    ulResult = pstEntryPoints->SKF_GetDevState(ToSkfText(pszDeviceName), &ulDevState.value);
    if (SAR_OK != ulResult) {
        nResult = RESULT_FROM_SAR(ulResult);
        FAILED_STEP(kUnit, "SKF_GetDevState", nResult, "SAR_OK != nResult");
        return nResult;
    }
    OK_STEP(kUnit, "SKF_GetDevState");
    if (DEV_PRESENT_STATE != ulDevState.value) {
        nResult = VELK_E_SKF_DEVICE_UNAVAILABLE;
        FAILED_STEP(kUnit, "Check Device state", nResult, "DEV_PRESENT_STATE != ulDevState");
        return nResult;
    }
    OK_STEP(kUnit, "Check Device state");

    ulResult = pstEntryPoints->SKF_ConnectDev(ToSkfText(pszDeviceName), &hConnected);
    if (SAR_OK != ulResult) {
        nResult = RESULT_FROM_SAR(ulResult);
        FAILED_STEP(kUnit, "SKF_ConnectDev", nResult, "SAR_OK != nResult");
        return nResult;
    }
    OK_STEP(kUnit, "SKF_ConnectDev");
    ConnectedDevicePtr hDev(hConnected, DeviceDisconnector{pstEntryPoints->SKF_DisConnectDev});

    FreePtr<DEVINFO> pstDevInfo;
    if (NULL != pstEntryPoints->SKF_GetDevInfo) {
        pstDevInfo = ZeroedBlock<DEVINFO>(kDevInfoBufferSize);
        if (!pstDevInfo) {
            nResult = -1;
            FAILED_STEP(kUnit, "New memory", nResult, "!pstDevInfo");
            return nResult;
        }
        OK_STEP(kUnit, "New memory");
        ulResult = pstEntryPoints->SKF_GetDevInfo(hDev.get(), pstDevInfo.get());
        if (SAR_OK != ulResult) {
            nResult = RESULT_FROM_SAR(ulResult);
            FAILED_STEP(kUnit, "SKF_GetDevInfo", nResult, "SAR_OK != nResult");
            return nResult;
        }
        OK_STEP(kUnit, "SKF_GetDevInfo");
    }

    auto pstDevice = ZeroedBlock<SKFDevice>();
    if (!pstDevice) {
        nResult = -1;
        FAILED_STEP(kUnit, "New memory", nResult, "!pstDevice");
        return nResult;
    }
    FreePtr<char> pszName(strdup(pszDeviceName));
    if (!pszName) {
        nResult = -1;
        FAILED_STEP(kUnit, "New memory", nResult, "!pstDevice->pszDeviceName");
        return nResult;
    }
    OK_STEP(kUnit, "New memory");
    pstDevice->pstSKFModule = pstSKFModule;
    pstDevice->pszDeviceName = pszName.release();
    pstDevice->hDev = hDev.release();
    pstDevice->pstDevInfo = pstDevInfo.release();
    pstDevice->nRefCount = 1;
    pstSKFModule->nRefCount++;
    TRACE_INFO("SkConnectDevice: %s connected, module reference count %d", pszDeviceName,
               pstSKFModule->nRefCount);
    *ppstDevice = pstDevice.release();
    return VELK_OK;
}

HRESULT SkDisconnectDevice(SKFDevice** ppstDevice) {
    TRACE_SCOPE_A();
    HRESULT nResult = VELK_OK;
    ULONG ulResult = SAR_OK;
    SKFDevice* pstDevice = NULL == ppstDevice ? NULL : *ppstDevice;
    SKFEntryPoints* pstEntryPoints = NULL;

    if (NULL == pstDevice || NULL == pstDevice->pstSKFModule) {
        nResult = ERROR_INVALID_PARAMETER;
        FAILED_STEP(kUnit, "Check Parameter(SKFModule)", nResult,
                    "NULL == pstDevice || NULL == pstDevice->pstSKFModule");
        goto Exit;
    }
    OK_STEP(kUnit, "Check Parameter(SKFModule)");
    if (pstDevice->nRefCount >= 2) {
        pstDevice->nRefCount--;
        goto Exit;
    }

    pstEntryPoints = pstDevice->pstSKFModule->pstEntryPoints;
    if (NULL == pstEntryPoints || NULL == pstEntryPoints->SKF_DisConnectDev) {
        nResult = VELK_E_SKF_FUNCTION_UNAVAILABLE;
        FAILED_STEP(kUnit, "Check function(DisconnectDev)", nResult,
                    "NULL == pstEntryPoints || NULL == pstEntryPoints->SKF_DisConnectDev");
    } else {
        OK_STEP(kUnit, "Check function(DisconnectDev)");
        ulResult = pstEntryPoints->SKF_DisConnectDev(pstDevice->hDev);
        if (SAR_OK != ulResult) {
            nResult = RESULT_FROM_SAR(ulResult);
            FAILED_STEP(kUnit, "SKF_DisConnectDev", nResult, "SAR_OK != nResult");
        } else {
            OK_STEP(kUnit, "SKF_DisConnectDev");
        }
    }

    // The last reference is released even when the library could not close its handle (a key
    // pulled out reports SAR_DEVICE_REMOVED here): the handle is of no further use, and keeping
    // the record would keep the library loaded for the rest of the process.
    SKFreeModule(&pstDevice->pstSKFModule);
    pstDevice->nRefCount = 0;
    std::free(pstDevice->pszDeviceName);
    std::free(pstDevice->pstDevInfo);
    std::free(pstDevice);
    *ppstDevice = NULL;

Exit:
    return nResult;
}
