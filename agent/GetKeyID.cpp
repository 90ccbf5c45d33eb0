#include "agent/GetKeyID.h"

#include <cstdlib>
#include <cstring>

#include "agent/CryptoAgent.h"
#include "common/Conversions.h"
#include "common/ResultCodes.h"
#include "common/Trace.h"
#include "platform/crypt/SkfApi.h"
#include "platform/runtime/SystemDirectory.h"
#include "platform/runtime/WideString.h"
#include "usbkey/SKFDevice.h"
#include "usbkey/SKFModule.h"

static constexpr char kUnit[] = "CryptoAgent";
static constexpr char16_t lpwLibName[] = u"libVELK_UKEY_GMAPI.so";

HRESULT GetLibraryPath(char16_t** lpwLibPath) {
    TRACE_SCOPE();
    HRESULT hResult = S_OK;
    char16_t wszSystemDirectory[MAX_PATH] = {};
    char16_t* lpwPath = NULL;
    size_t nDirectoryLength = 0;
    const size_t nNameLength = WcsLen(lpwLibName);
    BOOL bResult = FALSE;

    if (NULL == lpwLibPath) {
        hResult = E_INVALIDARG;
        FAILED_STEP_W(kUnit, "lpwLibPath", hResult, "NULL == lpwLibPath");
        goto Exit;
    }
    *lpwLibPath = NULL;

    bResult = SHGetSpecialFolderPathW(NULL, wszSystemDirectory, CSIDL_SYSTEM, FALSE);
    if (bResult == FALSE) {
        hResult = HRESULT_INTERNAL_ERROR;
        FAILED_STEP_W(kUnit, "SHGetSpecialFolderPathW", hResult, "bResult == FALSE");
        goto Exit;
    }
    OK_STEP_W(kUnit, "SHGetSpecialFolderPathW");
    TRACE_INFO("GetLibraryPath: system directory %s", trace::Text(wszSystemDirectory).c_str());

    nDirectoryLength = WcsLen(wszSystemDirectory);
    lpwPath =
        static_cast<char16_t*>(std::calloc(nDirectoryLength + nNameLength + 2, sizeof(char16_t)));
    if (!lpwPath) {
        hResult = E_OUTOFMEMORY;
        FAILED_STEP_W(kUnit, "New buffer", hResult, "!lpwLibPath");
        goto Exit;
    }
    OK_STEP_W(kUnit, "New buffer");
    std::memcpy(lpwPath, wszSystemDirectory, nDirectoryLength * sizeof(char16_t));
    lpwPath[nDirectoryLength] = u'/';
    std::memcpy(lpwPath + nDirectoryLength + 1, lpwLibName, (nNameLength + 1) * sizeof(char16_t));
    TRACE_INFO("GetLibraryPath: %s", trace::Text(lpwPath).c_str());
    *lpwLibPath = lpwPath;

Exit:
    return hResult;
}

// The key type is accepted and not looked at: there is one kind of key.
HRESULT CCryptoAgent::GetKeyID(const char16_t* bstrKeyType, BSTR* pbstrKeyID) {
    PrepareOpenSsl();
    TRACE_SCOPE();
    HRESULT hResult = S_OK;
    char16_t* lpwLibPath = NULL;
    SKFModule* pstSKFModule = NULL;
    SKFDevice* pstDevice = NULL;
    char szSerialNumber[kDevInfoSerialSize + 1] = {};
    char16_t* lpwszKeyID = NULL;

    if (NULL != pbstrKeyID) *pbstrKeyID = NULL;
    TRACE_INFO("CCryptoAgent::GetKeyID: key type %s", trace::Text(bstrKeyType).c_str());

    hResult = GetLibraryPath(&lpwLibPath);
    if (FAILED(hResult)) {
        FAILED_STEP_W(kUnit, "GetLibraryPath", hResult, "FAILED(hResult)");
        goto Exit;
    }
    OK_STEP_W(kUnit, "GetLibraryPath");

    hResult = SKLoadModule(lpwLibPath, &pstSKFModule);
    if (FAILED(hResult)) {
        FAILED_STEP_W(kUnit, "SKLoadModule", hResult, "FAILED(hResult)");
        goto Exit;
    }
    OK_STEP_W(kUnit, "SKLoadModule");

    hResult = SKGetDevice(pstSKFModule, &pstDevice);
    if (S_OK != hResult) {
        hResult = RESULT_FROM_LAST_ERROR(hResult);
        FAILED_STEP_W(kUnit, "SKGetDevice", hResult, "S_OK != hResult");
        goto Exit;
    }
    OK_STEP_W(kUnit, "SKGetDevice");

    // A library without SKF_GetDevInfo connects the device but has no serial number to give.
    if (NULL == pstDevice->pstDevInfo) {
        hResult = VELK_E_SKF_FUNCTION_UNAVAILABLE;
        FAILED_STEP_W(kUnit, "Check DevInfo", hResult, "NULL == pstDevice->pstDevInfo");
        goto Exit;
    }
    OK_STEP_W(kUnit, "Check DevInfo");

    // SerialNumber is 32 bytes of text, terminated early by a zero byte or not at all.
    std::memcpy(szSerialNumber,
                reinterpret_cast<const BYTE*>(pstDevice->pstDevInfo) + kDevInfoSerialOffset,
                kDevInfoSerialSize);
    TRACE_INFO("CCryptoAgent::GetKeyID: serial number %s", szSerialNumber);

    hResult = UTF8ToUTF16(szSerialNumber, &lpwszKeyID, NULL);
    if (FAILED(hResult)) {
        FAILED_STEP_W(kUnit, "UTF8ToUTF16", hResult, "FAILED(hResult)");
        goto Exit;
    }
    OK_STEP_W(kUnit, "UTF8ToUTF16");

Exit:
    // The caller always receives a string: the serial number, or the empty text after a failure.
    if (NULL != pbstrKeyID) {
        *pbstrKeyID = SysAllocString(SUCCEEDED(hResult) && NULL != lpwszKeyID ? lpwszKeyID : u"");
    }
    std::free(lpwLibPath);
    std::free(lpwszKeyID);
    if (NULL != pstDevice) SkDisconnectDevice(&pstDevice);
    SKFreeModule(&pstSKFModule);
    m_hLastResult = hResult;
    return hResult;
}
