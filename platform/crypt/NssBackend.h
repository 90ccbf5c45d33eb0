// The NSS store backend of the production platform (NssCertPlatform), made the first time the
// personal store or an NSS key is used. Whoever links the program chooses how it is reached:
//   - by default the host loads it from the module libtessora-nss.so (LoadSystemModule), so
//     that a process that never opens the store never maps NSS;
//   - an executable that links the object library tessora_nss_linked gets it linked in (tests and
//     tools that work with an NSS database in their own process).
#pragma once

#include <memory>
#include <string>

#include "platform/crypt/CertPlatform.h"

// The module's file name and its one entry point: `CertPlatform* TessoraMakeNssCertPlatform(const
// char* database_dir)`, a new NssCertPlatform that the caller owns.
inline constexpr char kNssModuleFileName[] = "libtessora-nss.so";
inline constexpr char kNssModuleEntry[] = "TessoraMakeNssCertPlatform";
using MakeNssCertPlatformFn = CertPlatform* (*)(const char* database_dir);

// A new NSS backend over database_dir (as NssCertPlatform takes it); null when the backend cannot
// be reached, with the loader's code in the last error (ERROR_MOD_NOT_FOUND when the module is
// missing, ERROR_BAD_EXE_FORMAT when it cannot be loaded, ERROR_PROC_NOT_FOUND without the entry).
std::unique_ptr<CertPlatform> MakeNssCertPlatform(const std::string& database_dir);
