// The registry of SM2 providers: SKF (GM/T 0016) libraries registered under a provider name, one
// "*.conf" file per provider in a system folder and a user folder:
//
//   # comment
//   name = Example SM2 Key
//   library = /usr/lib/x86_64-linux-gnu/libexample_skf.so
//
// Blank lines and lines starting with '#' are ignored, blanks around '=' and at line ends are
// trimmed. The providers are the system files, then the user files, each folder in byte order of
// the file names; a user entry whose name equals a system entry takes the system entry's place. A
// file that cannot be read, lacks a key, or names a relative library path is skipped (traced and
// reported), never fatal. A folder that does not exist holds no providers.
#pragma once

#include <string>
#include <vector>

struct ProviderFolders {
    std::string system;  // may be empty: no system folder
    std::string user;    // may be empty: no user folder
};

enum class ProviderScope { kSystem, kUser };

struct ProviderEntry {
    std::string name;     // UTF-8
    std::string library;  // absolute path
    std::string file;     // the .conf file it came from
    ProviderScope scope = ProviderScope::kSystem;
};

// A file that was not taken, and why (for `tessora-providers list`).
struct SkippedProviderFile {
    std::string file;
    std::string reason;
};

struct ProviderRegistry {
    std::vector<ProviderEntry> entries;  // in enumeration order
    std::vector<SkippedProviderFile> skipped;
};

// The system folder this executable was built with (/etc/tessora/providers.d unless a test build
// chose another) and the user's folder, ${XDG_CONFIG_HOME:-$HOME/.config}/tessora/providers.d.
ProviderFolders DefaultProviderFolders();
// The system folder compiled into this executable (platform/crypt/ProviderSystemDirectory.cpp).
const char* ProviderSystemDirectory();

ProviderRegistry ReadProviderRegistry(const ProviderFolders& folders);

// The paths of a folder's .conf files in byte order of their names; none without the folder.
std::vector<std::string> ProviderFiles(const std::string& folder);
// Reads one .conf file into *entry (name, library, file); returns why it cannot be used, or the
// empty text. entry->name is filled whenever the file names one.
std::string ReadProviderFile(const std::string& path, ProviderEntry* entry);

// Why a provider name cannot be registered, or empty when it can: it must be non-empty valid UTF-8
// of at most 259 UTF-16 units, without line breaks and without "||" (the separator of provider
// lists).
std::string ProviderNameProblem(const std::string& name);
