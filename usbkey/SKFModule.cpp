#include "usbkey/SKFModule.h"

#include <cstdlib>
#include <vector>

#include "common/Conversions.h"
#include "common/FreePtr.h"
#include "common/ResultCodes.h"
#include "common/Trace.h"
#include "platform/runtime/LastError.h"
#include "platform/runtime/WideString.h"
#include "usbkey/SKFDevice.h"

static constexpr char kUnit[] = "SKFModule";

// The library handle and the blocks stay owned here until the record is handed out, so every
// early return releases what was made.
HRESULT SKLoadModule(const char16_t* lpwLibPath, SKFModule** ppstSKFModule) {
    TRACE_SCOPE();
    HRESULT hResult = S_OK;
    char* pszUtf8Path = NULL;

    if (NULL == lpwLibPath || 0 == WcsLen(lpwLibPath)) {
        hResult = E_INVALIDARG;
        FAILED_STEP_W(kUnit, "lpwLibPath", hResult,
                      "NULL == lpwLibPath || 0 == (INT)wcslen(lpwLibPath)");
        return hResult;
    }
    OK_STEP_W(kUnit, "lpwLibPath");
    if (NULL == ppstSKFModule) {
        hResult = E_INVALIDARG;
        FAILED_STEP_W(kUnit, "ppstSKFModule", hResult, "NULL == ppstSKFModule");
        return hResult;
    }
    OK_STEP_W(kUnit, "ppstSKFModule");
    *ppstSKFModule = NULL;

    hResult = UTF16ToUTF8(lpwLibPath, &pszUtf8Path, NULL);
    FreePtr<char> pszLibPath(pszUtf8Path);
    if (FAILED(hResult)) {
        FAILED_STEP_W(kUnit, "UTF16ToUTF8", hResult, "FAILED(hResult)");
        return hResult;
    }
    OK_STEP_W(kUnit, "UTF16ToUTF8");
    TRACE_INFO("SKLoadModule: %s", pszLibPath.get());

    SharedLibraryPtr hModule(LoadSharedLibrary(pszLibPath.get()));
    if (!hModule) {
        hResult = RESULT_FROM_LAST_ERROR(GetLastError());
        FAILED_STEP_W(kUnit, "LoadLibraryW", hResult, "NULL == hMoudle");
        return hResult;
    }
    OK_STEP_W(kUnit, "LoadLibraryW");

    auto pstEntryPoints = ZeroedBlock<SKFEntryPoints>();
    if (!pstEntryPoints) {
        hResult = E_OUTOFMEMORY;
        FAILED_STEP_W(kUnit, "New buffer", hResult, "!pstEntryPoints");
        return hResult;
    }
    OK_STEP_W(kUnit, "New buffer");
    // Every name is looked up now; whether an entry point is required is decided by its caller.
#define SKF_RESOLVE_ENTRY_POINT(name, type)                                              \
    pstEntryPoints->name = reinterpret_cast<type>(GetProcAddress(hModule.get(), #name)); \
    if (NULL == pstEntryPoints->name) TRACE_INFO("SKLoadModule: %s is not exported", #name);
    SKF_ENTRY_POINT_LIST(SKF_RESOLVE_ENTRY_POINT)
#undef SKF_RESOLVE_ENTRY_POINT

    auto pstSKFModule = ZeroedBlock<SKFModule>();
    if (!pstSKFModule) {
        hResult = E_OUTOFMEMORY;
        FAILED_STEP_W(kUnit, "New buffer", hResult, "!pstSKFModule");
        return hResult;
    }
    OK_STEP_W(kUnit, "New buffer");
    pstSKFModule->pszLibPath = pszLibPath.release();
    pstSKFModule->nRefCount = 1;
    pstSKFModule->hModule = hModule.release();
    pstSKFModule->pstEntryPoints = pstEntryPoints.release();
    *ppstSKFModule = pstSKFModule.release();
    return S_OK;
}

void SKFreeModule(SKFModule** ppstSKFModule) {
    TRACE_SCOPE();
    SKFModule* pstSKFModule = NULL;

    if (NULL == ppstSKFModule || NULL == *ppstSKFModule || NULL == (*ppstSKFModule)->hModule) {
        return;
    }
    pstSKFModule = *ppstSKFModule;
    TRACE_INFO("SKFreeModule: %s, reference count %d",
               trace::Text(pstSKFModule->pszLibPath).c_str(), pstSKFModule->nRefCount);
    if (pstSKFModule->nRefCount >= 2) {
        pstSKFModule->nRefCount--;
        return;
    }
    std::free(pstSKFModule->pstEntryPoints);
    pstSKFModule->pstEntryPoints = NULL;
    std::free(pstSKFModule->pszLibPath);
    pstSKFModule->pszLibPath = NULL;
    FreeLibrary(pstSKFModule->hModule);
    pstSKFModule->hModule = NULL;
    pstSKFModule->nRefCount = 0;
    std::free(pstSKFModule);
    *ppstSKFModule = NULL;
}

HRESULT SKGetDevice(SKFModule* pstSKFModule, SKFDevice** ppstDevice) {
    TRACE_SCOPE();
    HRESULT hResult = S_OK;
    HRESULT nResult = VELK_OK;
    char* pszNameList = NULL;
    std::vector<char*> vtrDeviceNameSet;
    SKFDevice* pstDevice = NULL;

    if (NULL == pstSKFModule) {
        hResult = E_INVALIDARG;
        FAILED_STEP_W(kUnit, "pstSKFModule", hResult, "NULL == pstSKFModule");
        goto Exit;
    }
    OK_STEP_W(kUnit, "pstSKFModule");
    if (NULL == ppstDevice) {
        hResult = E_INVALIDARG;
        FAILED_STEP_W(kUnit, "ppstDevice", hResult, "NULL == ppstDevice");
        goto Exit;
    }
    OK_STEP_W(kUnit, "ppstDevice");
    *ppstDevice = NULL;

    nResult = SkEnumDevice(pstSKFModule, &pszNameList);
    if (VELK_OK != nResult) {
        hResult = RESULT_FROM_LAST_ERROR(nResult);
        FAILED_STEP_W(kUnit, "SkEnumDevice", hResult, "VELK_OK != nResult");
        goto Exit;
    }
    OK_STEP_W(kUnit, "SkEnumDevice");

    nResult = SplitString(pszNameList, "|", vtrDeviceNameSet);
    if (VELK_OK != nResult) {
        hResult = RESULT_FROM_LAST_ERROR(nResult);
        FAILED_STEP_W(kUnit, "SplitString", hResult, "VELK_OK != nResult");
        goto Exit;
    }
    OK_STEP_W(kUnit, "SplitString");

    if (0 == vtrDeviceNameSet.size()) {
        hResult = HRESULT_TOO_MANY_OPEN_FILES;
        FAILED_STEP_W(kUnit, "Check Device count(0)", hResult, "0 == vtrDeviceNameSet.size()");
        goto Exit;
    }
    if (1 != vtrDeviceNameSet.size()) {
        hResult = VELK_E_DEVICE_NOT_UNIQUE;
        FAILED_STEP_W(kUnit, "Check Device count(0)", hResult, "1 != vtrDeviceNameSet.size()");
        goto Exit;
    }
    OK_STEP_W(kUnit, "Check Device count(0)");

    nResult = SkConnectDevice(&pstDevice, pstSKFModule, vtrDeviceNameSet[0]);
    if (VELK_OK != nResult) {
        hResult = RESULT_FROM_LAST_ERROR(nResult);
        FAILED_STEP_W(kUnit, "SkConnectDevice", hResult, "VELK_OK != nResult");
        goto Exit;
    }
    OK_STEP_W(kUnit, "SkConnectDevice");
    *ppstDevice = pstDevice;
    pstDevice = NULL;

Exit:
    std::free(pszNameList);
    FreeStringList(vtrDeviceNameSet);
    if (NULL != pstDevice) SkDisconnectDevice(&pstDevice);
    return hResult;
}
