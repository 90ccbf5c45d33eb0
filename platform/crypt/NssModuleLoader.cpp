// The default way to the NSS backend: the module beside the executable's installation.
#include "common/Trace.h"
#include "platform/crypt/NssBackend.h"
#include "platform/runtime/LastError.h"
#include "platform/runtime/SharedLibrary.h"

static constexpr char kUnit[] = "NssModuleLoader";

std::unique_ptr<CertPlatform> MakeNssCertPlatform(const std::string& database_dir) {
    TRACE_SCOPE();
    // Loaded once and never released: the backend's code runs for as long as the platform lives.
    static HMODULE s_hModule = nullptr;
    static MakeNssCertPlatformFn s_pfnMake = nullptr;
    std::unique_ptr<CertPlatform> pPlatform;
    DWORD dwError = ERROR_SUCCESS;

    if (s_pfnMake == nullptr) {
        if (s_hModule == nullptr) s_hModule = LoadSystemModule(kNssModuleFileName);
        if (s_hModule == nullptr) {
            dwError = GetLastError();
            FAILED_STEP_W(kUnit, "LoadSystemModule", HRESULT_FROM_WIN32(dwError),
                          "NULL == s_hModule");
            goto Exit;
        }
        s_pfnMake =
            reinterpret_cast<MakeNssCertPlatformFn>(GetProcAddress(s_hModule, kNssModuleEntry));
        if (s_pfnMake == nullptr) {
            dwError = GetLastError();
            FAILED_STEP_W(kUnit, "GetProcAddress", HRESULT_FROM_WIN32(dwError),
                          "NULL == s_pfnMake");
            goto Exit;
        }
    }
    OK_STEP_W(kUnit, "LoadSystemModule");
    pPlatform.reset(s_pfnMake(database_dir.c_str()));
    if (!pPlatform) dwError = ERROR_NOT_ENOUGH_MEMORY;

Exit:
    SetLastError(dwError);
    return pPlatform;
}
