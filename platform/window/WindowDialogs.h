// The program's windows behind the seams that wait for them: the certificate selection dialog
// behind the dialog entry, and the PIN prompt behind the platform's PIN hook. The windows
// themselves (GTK, gcr, cairo, Pango, GdkPixbuf) live in the module libtessora-window.so, which is
// loaded the first time a window is really shown, so a host that shows none never maps the window
// system. The module holds only its own code and binds the rest to the executable that loads it.
#pragma once

#include <string>

#include "platform/window/CertificateDialogs.h"
#include "platform/window/PinPrompt.h"

inline constexpr char kWindowModuleFileName[] = "libtessora-window.so";
// The module's entry points: the selection dialog (a SelectCertificateDialogRunner) and the PIN
// prompt (a WindowPinPromptFn).
inline constexpr char kWindowModuleSelectEntry[] = "TessoraWindowSelectCertificate";
inline constexpr char kWindowModulePinEntry[] = "TessoraWindowPromptForPin";
using WindowPinPromptFn = PinPromptResult (*)(const PinPromptRequest* request, std::string* pin);
// Connects to the display the dialog would use: 1 and its name, or 0 without a usable display.
inline constexpr char kWindowModuleDisplayEntry[] = "TessoraWindowCheckDisplay";
using WindowCheckDisplayFn = int (*)(std::string* display);

// Installs the dialog runner and the PIN prompt that load the module on first use. When it cannot
// be loaded, the dialog is "not made" (modal result -1, the loader's code: ERROR_MOD_NOT_FOUND for
// a missing module) and the PIN prompt answers kCancelled; the next window tries again.
void InstallWindowSystemDialogs();

// Whether a window could be shown now: loads the module and connects to the display as a dialog
// would. True with the display's name; false with the reason (the module cannot be loaded, or no
// usable display).
bool CheckWindowDisplay(std::string* display, std::string* problem);
