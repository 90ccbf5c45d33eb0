// The certificate services sit above common.
#include "platform/crypt/CertServices.h"
