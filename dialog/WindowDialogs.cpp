#include "dialog/WindowDialogs.h"

#include "dialog/CertificateDialogs.h"
#include "dialog/PinPromptWindow.h"
#include "dialog/SelectCertificateDlg.h"

void InstallWindowSystemDialogs() {
    SetSelectCertificateDialogRunner(RunWindowSelectCertificateDialog);
    RegisterPinPromptWindow();
}
