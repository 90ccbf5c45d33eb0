// The gateway to the dynamic loader (dlopen, dlsym, dlclose): the one place that turns loader
// failures into the platform error numbers the calling code reads through GetLastError().
#pragma once

#include <memory>

#include "platform/runtime/Types.h"

struct SharedLibrary;  // an open library; the pointer is the dlopen handle
using HMODULE = SharedLibrary*;

// Loads the library at pszPath (UTF-8) with RTLD_NOW | RTLD_LOCAL, so that every undefined symbol
// is bound now and nothing leaks into the global namespace. On failure returns null and sets the
// last error: ERROR_MOD_NOT_FOUND (126) when no file exists at the path, ERROR_BAD_EXE_FORMAT
// (193) when a file exists but cannot be loaded (not a shared object, wrong architecture, an
// unresolved symbol or a missing dependency).
HMODULE LoadSharedLibrary(const char* pszPath);

// The address of an exported function; null (last error ERROR_PROC_NOT_FOUND, 127) when the
// library does not export the name.
void* GetProcAddress(HMODULE hModule, const char* pszName);

// Loads one of the system's own modules (such as "libtessora-window.so") from the folder its
// installation keeps them in: <folder of this executable>/../lib/tessora, which is
// /usr/lib/tessora for /usr/bin/tessora-host and <build>/lib/tessora for <build>/host/tessora-host.
// The executable is found through /proc/self/exe, never through PATH or the working directory.
// Callers keep a module loaded until the process ends, since objects it made may outlive any
// caller. Null and the last error as LoadSharedLibrary on failure.
HMODULE LoadSystemModule(const char* pszFileName);

// Releases one load of the library; FALSE for a null handle or when the loader refuses.
BOOL FreeLibrary(HMODULE hModule);

// The owned form for glue code and tests: the library is released when the owner goes.
struct SharedLibraryCloser {
    void operator()(HMODULE hModule) const { FreeLibrary(hModule); }
};
using SharedLibraryPtr = std::unique_ptr<SharedLibrary, SharedLibraryCloser>;
