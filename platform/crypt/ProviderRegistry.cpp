#include "platform/crypt/ProviderRegistry.h"

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "common/Trace.h"
#include "common/Utf.h"

namespace {

constexpr char kBlanks[] = " \t\r\v\f";
constexpr char kConfSuffix[] = ".conf";
// A provider name travels in a record of 260 UTF-16 units with its terminator.
constexpr size_t kMaxNameUnits = 259;

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) return std::string();
    const size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

std::vector<std::string> ProviderFiles(const std::string& folder) {
    std::vector<std::string> names;
    if (folder.empty()) return names;
    DirPtr dir(opendir(folder.c_str()));
    if (!dir) {
        TRACE_INFO("ProviderRegistry: no folder %s", folder.c_str());
        return names;
    }
    while (const dirent* entry = readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (EndsWith(name, kConfSuffix)) names.push_back(name);
    }
    std::sort(names.begin(), names.end());  // std::string compares bytes as unsigned char
    for (std::string& name : names) name = folder + "/" + name;
    return names;
}

std::string ReadProviderFile(const std::string& path, ProviderEntry* entry) {
    entry->file = path;
    std::error_code error;
    if (!std::filesystem::exists(path, error)) return "cannot be read (a dangling link?)";
    if (!std::filesystem::is_regular_file(path, error)) return "is not a regular file";
    std::ifstream in(path, std::ios::binary);
    if (!in) return "cannot be read";
    std::stringstream content;
    content << in.rdbuf();  // an empty file reads as nothing and then lacks name=
    if (in.bad()) return "cannot be read";
    std::string line;
    bool has_name = false;
    bool has_library = false;
    while (std::getline(content, line)) {
        const std::string trimmed = Trim(line);
        if (trimmed.empty() || trimmed[0] == '#') continue;
        const size_t equals = trimmed.find('=');
        if (equals == std::string::npos) continue;  // not a key line: ignored like a comment
        const std::string key = Trim(trimmed.substr(0, equals));
        const std::string value = Trim(trimmed.substr(equals + 1));
        if (key == "name") {
            entry->name = value;
            has_name = !value.empty();
        } else if (key == "library") {
            entry->library = value;
            has_library = !value.empty();
        }
    }
    if (!has_name) return "lacks name=";
    if (!has_library) return "lacks library=";
    if (entry->library[0] != '/') return "library= is not an absolute path";
    return ProviderNameProblem(entry->name);
}

std::string ProviderNameProblem(const std::string& name) {
    if (name.empty()) return "the name is empty";
    if (Trim(name) != name) return "the name starts or ends with a blank";
    const std::u16string wide = Utf8ToUtf16String(name);
    if (Utf16ToUtf8String(wide) != name) return "the name is not valid UTF-8";
    if (wide.size() > kMaxNameUnits) return "the name is longer than 259 characters";
    if (name.find_first_of("\r\n") != std::string::npos) return "the name holds a line break";
    if (name.find("||") != std::string::npos) return "the name holds \"||\"";
    return std::string();
}

ProviderFolders DefaultProviderFolders() {
    ProviderFolders folders;
    folders.system = ProviderSystemDirectory();
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    // A relative XDG_CONFIG_HOME is invalid (the XDG base directory rules) and is ignored.
    if (config != nullptr && config[0] == '/') {
        folders.user = std::string(config) + "/tessora/providers.d";
    } else if (home != nullptr && home[0] != 0) {
        folders.user = std::string(home) + "/.config/tessora/providers.d";
    }
    return folders;
}

ProviderRegistry ReadProviderRegistry(const ProviderFolders& folders) {
    ProviderRegistry registry;
    const struct {
        const std::string& folder;
        ProviderScope scope;
    } scopes[] = {{folders.system, ProviderScope::kSystem}, {folders.user, ProviderScope::kUser}};
    for (const auto& scope : scopes) {
        for (const std::string& path : ProviderFiles(scope.folder)) {
            ProviderEntry entry;
            entry.scope = scope.scope;
            std::string reason = ReadProviderFile(path, &entry);
            auto same_name =
                std::find_if(registry.entries.begin(), registry.entries.end(),
                             [&](const ProviderEntry& other) { return other.name == entry.name; });
            if (reason.empty() && same_name != registry.entries.end()) {
                if (same_name->scope == entry.scope) {
                    // Within one folder the first file in byte order keeps the name.
                    reason = "the name is already registered by " + same_name->file;
                } else {
                    TRACE_INFO("ProviderRegistry: %s replaces %s", entry.file.c_str(),
                               same_name->file.c_str());
                    *same_name = entry;
                    continue;
                }
            }
            if (!reason.empty()) {
                TRACE_ERROR("ProviderRegistry: %s skipped: %s", entry.file.c_str(), reason.c_str());
                registry.skipped.push_back({entry.file, reason});
                continue;
            }
            registry.entries.push_back(std::move(entry));
        }
    }
    return registry;
}
