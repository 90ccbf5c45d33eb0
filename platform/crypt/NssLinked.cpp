// The NSS backend linked into the executable (object library tessora_nss_linked): it takes the
// place of the module loader, whose definition the linker then never pulls in.
#include "platform/crypt/NssBackend.h"
#include "platform/crypt/NssCertPlatform.h"

std::unique_ptr<CertPlatform> MakeNssCertPlatform(const std::string& database_dir) {
    return std::make_unique<NssCertPlatform>(database_dir);
}
