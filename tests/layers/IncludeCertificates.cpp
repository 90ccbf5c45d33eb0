// The certificate code sits above the platform.
#include "certificates/CertificateInfo.h"
