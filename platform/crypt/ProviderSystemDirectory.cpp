// The system folder of the provider registry, compiled into each executable on its own (see
// platform/CMakeLists.txt), so a test build of a command can point it at a folder of its own.
#include "platform/crypt/ProviderRegistry.h"

#ifndef TESSORA_PROVIDER_SYSTEM_DIR
#error "TESSORA_PROVIDER_SYSTEM_DIR names the system folder of the provider registry"
#endif

const char* ProviderSystemDirectory() { return TESSORA_PROVIDER_SYSTEM_DIR; }
