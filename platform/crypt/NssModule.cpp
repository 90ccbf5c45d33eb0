// The entry point of libtessora-nss.so. The module holds only the NSS backend; everything else it
// calls (certificate contexts, stores, the last error, tracing, the PIN prompt) is the host's own,
// resolved from the executable, so no state is kept twice.
#include <new>
#include <type_traits>

#include "platform/crypt/NssBackend.h"
#include "platform/crypt/NssCertPlatform.h"

extern "C" __attribute__((visibility("default"))) CertPlatform* TessoraMakeNssCertPlatform(
    const char* database_dir) {
    static_assert(std::is_same_v<decltype(&TessoraMakeNssCertPlatform), MakeNssCertPlatformFn>);
    return new (std::nothrow) NssCertPlatform(database_dir != nullptr ? database_dir : "");
}
