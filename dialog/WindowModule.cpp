// The entry points of libtessora-window.so (WindowDialogs.h).
#include <type_traits>

#include "dialog/SelectCertificateDlg.h"
#include "platform/window/PinPromptWindow.h"
#include "platform/window/WindowDialogs.h"
#include "platform/window/WindowSystem.h"

extern "C" {

__attribute__((visibility("default"))) int TessoraWindowSelectCertificate(
    const SELECT_CERTIFICATE_DIALOG_PARAM* pParam, PCCERT_CONTEXT* ppSelectedCert,
    DWORD* pdwErrorCode) {
    return RunWindowSelectCertificateDialog(pParam, ppSelectedCert, pdwErrorCode);
}

__attribute__((visibility("default"))) PinPromptResult TessoraWindowPromptForPin(
    const PinPromptRequest* request, std::string* pin) {
    if (request == nullptr) return PinPromptResult::kCancelled;
    return ShowPinPromptWindow(*request, pin);
}

__attribute__((visibility("default"))) int TessoraWindowCheckDisplay(std::string* display) {
    const std::string name = window_system::ConnectedDisplayName();
    if (display != nullptr) *display = name;
    return name.empty() ? 0 : 1;
}

}  // extern "C"

static_assert(
    std::is_same_v<decltype(&TessoraWindowSelectCertificate), SelectCertificateDialogRunner>);
static_assert(std::is_same_v<decltype(&TessoraWindowPromptForPin), WindowPinPromptFn>);
static_assert(std::is_same_v<decltype(&TessoraWindowCheckDisplay), WindowCheckDisplayFn>);
