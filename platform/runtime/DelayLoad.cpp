// Binding of delay-loaded functions (the stubs made by DelayLoadStubs.cmake): the Linux stand-in
// for a delay-loaded library. The host executable calls libcrypto through such stubs, so that a
// host answering requests that never touch OpenSSL does not pay for loading it at start-up.
#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>

namespace {

// Writes the message on standard error (standard output carries the protocol) and ends the process
// as the dynamic loader does when a library the program needs is missing.
[[noreturn]] void FailBinding(const char* soname, const char* name, const char* reason) {
    for (const char* part : {"tessora: cannot bind ", name, " in ", soname, ": ", reason, "\n"})
        if (write(STDERR_FILENO, part, std::strlen(part)) < 0) break;
    _exit(127);
}

// The libraries bound so far. A handle is kept for the life of the process: the bound addresses
// point into the library, and OpenSSL cannot be unloaded while the process runs.
struct BoundLibrary {
    const char* soname = nullptr;
    void* handle = nullptr;
};
constexpr int kMaxLibraries = 4;
BoundLibrary g_libraries[kMaxLibraries];
std::mutex g_lock;

void* LibraryHandle(const char* soname, const char* name) {
    std::lock_guard<std::mutex> lock(g_lock);
    for (BoundLibrary& library : g_libraries) {
        if (library.soname == soname) return library.handle;
        if (library.soname != nullptr) continue;
        // Global, as a library the executable names at link time would be: libraries loaded later
        // (modules, USB-key libraries) see its symbols as before.
        void* handle = dlopen(soname, RTLD_NOW | RTLD_GLOBAL);
        if (handle == nullptr) FailBinding(soname, name, dlerror());
        library.soname = soname;
        library.handle = handle;
        return handle;
    }
    FailBinding(soname, name, "too many delay-loaded libraries");
}

}  // namespace

// Called by a stub's first call with the stub's slot and name; stores and returns the address.
extern "C" __attribute__((visibility("hidden"))) void* TessoraDelayLoadBind(const char* soname,
                                                                            void** slot,
                                                                            const char* name) {
    void* address = dlsym(LibraryHandle(soname, name), name);
    if (address == nullptr) FailBinding(soname, name, "the function is missing");
    std::atomic_ref<void*>(*slot).store(address, std::memory_order_release);
    return address;
}
