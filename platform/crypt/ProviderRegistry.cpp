#include "platform/crypt/ProviderRegistry.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>

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

// An open file descriptor, closed when it goes out of scope.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() {
        if (m_fd >= 0) close(m_fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }

  private:
    int m_fd;
};

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

// The whole of a regular file, or the reason it cannot be had. POSIX calls rather than streams: the
// host carries no stream or locale machinery for one small file.
static std::string ReadRegularFile(const std::string& path, std::string* content) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) return "cannot be read (a dangling link?)";
    if (!S_ISREG(status.st_mode)) return "is not a regular file";
    FileDescriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return "cannot be read";
    char buffer[4096];
    for (;;) {
        const ssize_t count = read(fd.get(), buffer, sizeof buffer);
        if (count == 0) return std::string();
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return "cannot be read";
        content->append(buffer, static_cast<size_t>(count));
    }
}

std::string ReadProviderFile(const std::string& path, ProviderEntry* entry) {
    entry->file = path;
    std::string content;  // an empty file reads as nothing and then lacks name=
    const std::string problem = ReadRegularFile(path, &content);
    if (!problem.empty()) return problem;
    bool has_name = false;
    bool has_library = false;
    for (size_t start = 0; start < content.size();) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        const std::string trimmed = Trim(content.substr(start, end - start));
        start = end + 1;
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
