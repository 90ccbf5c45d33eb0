// The host sits above the agent.
#include "host/TessoraHost.h"
