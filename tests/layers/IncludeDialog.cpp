// The dialog is no part of USB-key access.
#include "dialog/SelectCertificateDlg.h"
