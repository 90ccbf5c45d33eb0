// The agent sits above the certificate code.
#include "agent/CryptoAgent.h"
