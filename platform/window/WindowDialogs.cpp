#include "platform/window/WindowDialogs.h"

#include "common/Trace.h"
#include "platform/runtime/LastError.h"
#include "platform/runtime/SharedLibrary.h"

static constexpr char kUnit[] = "WindowDialogs";

namespace {

struct WindowModule {
    SelectCertificateDialogRunner pfnSelectCertificate = nullptr;
    WindowPinPromptFn pfnPromptForPin = nullptr;
    WindowCheckDisplayFn pfnCheckDisplay = nullptr;
};

// The module's entry points, loaded on the first call; null with the loader's code in the last
// error when it cannot be loaded. Never released: a window may be open whenever it is called.
const WindowModule* GetWindowModule() {
    TRACE_SCOPE();
    static HMODULE s_hModule = nullptr;
    static WindowModule s_stModule;
    const WindowModule* pModule = nullptr;
    DWORD dwError = ERROR_SUCCESS;

    if (s_stModule.pfnPromptForPin != nullptr) return &s_stModule;
    if (s_hModule == nullptr) s_hModule = LoadSystemModule(kWindowModuleFileName);
    if (s_hModule == nullptr) {
        dwError = GetLastError();
        FAILED_STEP_W(kUnit, "LoadSystemModule", HRESULT_FROM_WIN32(dwError), "NULL == s_hModule");
        goto Exit;
    }
    s_stModule.pfnSelectCertificate = reinterpret_cast<SelectCertificateDialogRunner>(
        GetProcAddress(s_hModule, kWindowModuleSelectEntry));
    s_stModule.pfnPromptForPin =
        reinterpret_cast<WindowPinPromptFn>(GetProcAddress(s_hModule, kWindowModulePinEntry));
    s_stModule.pfnCheckDisplay = reinterpret_cast<WindowCheckDisplayFn>(
        GetProcAddress(s_hModule, kWindowModuleDisplayEntry));
    if (s_stModule.pfnSelectCertificate == nullptr || s_stModule.pfnPromptForPin == nullptr ||
        s_stModule.pfnCheckDisplay == nullptr) {
        s_stModule = WindowModule();
        dwError = ERROR_PROC_NOT_FOUND;
        FAILED_STEP_W(kUnit, "GetProcAddress", HRESULT_FROM_WIN32(dwError), "entry missing");
        goto Exit;
    }
    OK_STEP_W(kUnit, "LoadSystemModule");
    pModule = &s_stModule;

Exit:
    SetLastError(dwError);
    return pModule;
}

int RunModuleSelectCertificateDialog(const SELECT_CERTIFICATE_DIALOG_PARAM* pParam,
                                     PCCERT_CONTEXT* ppSelectedCert, DWORD* pdwErrorCode) {
    const WindowModule* pModule = GetWindowModule();
    if (pModule == nullptr) {
        *pdwErrorCode = GetLastError();
        return -1;
    }
    return pModule->pfnSelectCertificate(pParam, ppSelectedCert, pdwErrorCode);
}

PinPromptResult PromptForPinThroughModule(const PinPromptRequest& request, std::string* pin) {
    const WindowModule* pModule = GetWindowModule();
    if (pModule == nullptr) return PinPromptResult::kCancelled;
    return pModule->pfnPromptForPin(&request, pin);
}

}  // namespace

void InstallWindowSystemDialogs() {
    SetSelectCertificateDialogRunner(RunModuleSelectCertificateDialog);
    SetPinPrompt(PromptForPinThroughModule);
}

bool CheckWindowDisplay(std::string* display, std::string* problem) {
    const WindowModule* pModule = GetWindowModule();
    if (pModule == nullptr) {
        const DWORD dwError = GetLastError();
        if (problem != nullptr)
            *problem = std::string(kWindowModuleFileName) +
                       (dwError == ERROR_MOD_NOT_FOUND ? " is missing" : " cannot be loaded");
        return false;
    }
    if (pModule->pfnCheckDisplay(display) == 0) {
        if (problem != nullptr) *problem = "no display could be opened";
        return false;
    }
    return true;
}
