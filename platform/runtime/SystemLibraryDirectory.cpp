// Compiled once into every executable, each time with the directory that executable was built
// for (a quoted string in TESSORA_SYSTEM_LIBDIR).
#include "platform/runtime/SystemDirectory.h"

#ifndef TESSORA_SYSTEM_LIBDIR
#error "TESSORA_SYSTEM_LIBDIR must name the system library directory"
#endif

const char* SystemLibraryDirectory() { return TESSORA_SYSTEM_LIBDIR; }
