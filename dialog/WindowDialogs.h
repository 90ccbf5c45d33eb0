// The program's windows behind the seams that wait for them: the certificate selection dialog
// behind the dialog entry, and the PIN prompt behind the platform's PIN hook. Neither starts the
// window system; that happens only when a window is really shown.
#pragma once

void InstallWindowSystemDialogs();
