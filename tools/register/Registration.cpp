#include "tools/register/Registration.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace tessora::registration {

namespace {

// Manifests are a few hundred bytes; anything far larger is not one of ours.
constexpr std::streamsize kMaxManifestBytes = 64 * 1024;

bool IsRegularFile(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string UserBase(const Browser& browser, const Environment& environment) {
    return browser.family == Family::kFirefox ? environment.home : environment.config_home;
}

bool HasString(const cJSON* array, const char* text) {
    if (!cJSON_IsArray(array)) return false;
    const cJSON* item = nullptr;
    cJSON_ArrayForEach(item, array) {
        if (cJSON_IsString(item) && std::strcmp(item->valuestring, text) == 0) return true;
    }
    return false;
}

// Creates the folders above `path` that do not exist yet. A created folder gets mode 0755 whatever
// the umask, since the browser reads it as the user, not as the one who installs.
bool MakeParents(const std::string& path, std::string* error) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string dir = path.substr(0, slash);
        if (mkdir(dir.c_str(), 0755) == 0) {
            chmod(dir.c_str(), 0755);
            continue;
        }
        struct stat info;
        if (errno != EEXIST || stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
            *error =
                "cannot create " + dir + ": " + std::strerror(errno == EEXIST ? ENOTDIR : errno);
            return false;
        }
    }
    return true;
}

}  // namespace

// The folders are the ones each browser documents (Chrome, Chromium, Microsoft Edge, Firefox).
// Brave, Vivaldi and Opera document none: their Linux builds read the system-wide folder of
// Google Chrome, and Opera also reads Chrome's per-user folder (docs/browser-registration.md).
const std::vector<Browser>& Browsers() {
    static const std::vector<Browser> browsers = {
        {"chrome",
         "Google Chrome",
         Family::kChromium,
         "google-chrome/NativeMessagingHosts",
         "/etc/opt/chrome/native-messaging-hosts",
         "google-chrome/Local State",
         {"google-chrome", "google-chrome-stable"}},
        {"chromium",
         "Chromium",
         Family::kChromium,
         "chromium/NativeMessagingHosts",
         "/etc/chromium/native-messaging-hosts",
         "chromium/Local State",
         {"chromium", "chromium-browser"}},
        {"edge",
         "Microsoft Edge",
         Family::kChromium,
         "microsoft-edge/NativeMessagingHosts",
         "/etc/opt/edge/native-messaging-hosts",
         "microsoft-edge/Local State",
         {"microsoft-edge", "microsoft-edge-stable"}},
        {"brave",
         "Brave",
         Family::kChromium,
         "BraveSoftware/Brave-Browser/NativeMessagingHosts",
         "/etc/opt/chrome/native-messaging-hosts",
         "BraveSoftware/Brave-Browser/Local State",
         {"brave-browser", "brave-browser-stable"}},
        {"vivaldi",
         "Vivaldi",
         Family::kChromium,
         "vivaldi/NativeMessagingHosts",
         "/etc/opt/chrome/native-messaging-hosts",
         "vivaldi/Local State",
         {"vivaldi", "vivaldi-stable"}},
        {"opera",
         "Opera",
         Family::kChromium,
         "google-chrome/NativeMessagingHosts",
         "/etc/opt/chrome/native-messaging-hosts",
         "opera/Local State",
         {"opera"}},
        {"firefox",
         "Firefox",
         Family::kFirefox,
         ".mozilla/native-messaging-hosts",
         "/usr/lib/mozilla/native-messaging-hosts",
         ".mozilla/firefox/profiles.ini",
         {"firefox", "firefox-esr"}},
    };
    return browsers;
}

const Browser* FindBrowser(std::string_view id) {
    for (const Browser& browser : Browsers()) {
        if (id == browser.id) return &browser;
    }
    return nullptr;
}

bool CurrentEnvironment(const std::string& root, Environment* environment, std::string* error) {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        environment->home = home;
    } else {
        const struct passwd* entry = getpwuid(getuid());
        if (entry == nullptr || entry->pw_dir == nullptr || entry->pw_dir[0] != '/') {
            *error = "no home folder: set HOME";
            return false;
        }
        environment->home = entry->pw_dir;
    }
    // The Chromium family keeps its profile, and the per-user manifests with it, under
    // XDG_CONFIG_HOME when that is an absolute path (the XDG base directory rules).
    const char* config = std::getenv("XDG_CONFIG_HOME");
    environment->config_home =
        (config != nullptr && config[0] == '/') ? config : environment->home + "/.config";
    const char* path = std::getenv("PATH");
    environment->path = path != nullptr ? path : "";
    environment->root = root;
    return true;
}

std::string ManifestPath(const Browser& browser, Scope scope, const Environment& environment) {
    if (scope == Scope::kSystem) {
        return environment.root + browser.system_dir + "/" + kManifestFile;
    }
    return UserBase(browser, environment) + "/" + browser.user_dir + "/" + kManifestFile;
}

std::string InstalledEvidence(const Browser& browser, const Environment& environment) {
    for (const char* name : browser.executables) {
        std::stringstream dirs(environment.path);
        for (std::string dir; std::getline(dirs, dir, ':');) {
            if (dir.empty() || dir[0] != '/') continue;  // never trust the working folder
            const std::string candidate = dir + "/" + name;
            if (IsRegularFile(candidate) && access(candidate.c_str(), X_OK) == 0) {
                return candidate;
            }
        }
    }
    const std::string marker = UserBase(browser, environment) + "/" + browser.profile_marker;
    if (IsRegularFile(marker)) return "a profile at " + marker;
    return std::string();
}

std::string ManifestText(Family family, const std::string& host_path) {
    JsonPtr manifest(cJSON_CreateObject());
    if (manifest == nullptr) return std::string();
    cJSON* allowed = nullptr;
    const bool built =
        cJSON_AddStringToObject(manifest.get(), "name", kHostName) != nullptr &&
        cJSON_AddStringToObject(manifest.get(), "description", "Tessora signing host") != nullptr &&
        cJSON_AddStringToObject(manifest.get(), "path", host_path.c_str()) != nullptr &&
        cJSON_AddStringToObject(manifest.get(), "type", "stdio") != nullptr &&
        (allowed = cJSON_AddArrayToObject(manifest.get(), family == Family::kFirefox
                                                              ? "allowed_extensions"
                                                              : "allowed_origins")) != nullptr &&
        cJSON_AddItemToArray(
            allowed,
            cJSON_CreateString(family == Family::kFirefox ? kFirefoxExtension : kChromiumOrigin));
    if (!built) return std::string();
    char* printed = cJSON_Print(manifest.get());
    if (printed == nullptr) return std::string();
    std::string text = std::string(printed) + "\n";
    cJSON_free(printed);
    return text;
}

HostState CheckHost(const std::string& root, const std::string& path) {
    const std::string full = root + path;
    struct stat info;
    if (stat(full.c_str(), &info) != 0) return HostState::kMissing;
    if (!S_ISREG(info.st_mode) || access(full.c_str(), X_OK) != 0) {
        return HostState::kNotExecutable;
    }
    return HostState::kUsable;
}

ManifestReport ReadManifest(const std::string& manifest_path, Family family,
                            const std::string& root) {
    ManifestReport report;
    std::ifstream in(manifest_path, std::ios::binary);
    if (!in) {
        struct stat info;
        if (stat(manifest_path.c_str(), &info) == 0)
            report.state = ManifestReport::State::kUnreadable;
        return report;
    }
    std::string text(kMaxManifestBytes + 1, '\0');
    in.read(text.data(), kMaxManifestBytes + 1);
    text.resize(static_cast<size_t>(in.gcount()));
    report.state = ManifestReport::State::kUnreadable;
    if (in.bad() || text.size() > static_cast<size_t>(kMaxManifestBytes)) return report;

    JsonPtr manifest(cJSON_ParseWithLength(text.data(), text.size()));
    if (!cJSON_IsObject(manifest.get())) return report;
    const cJSON* name = cJSON_GetObjectItemCaseSensitive(manifest.get(), "name");
    const cJSON* type = cJSON_GetObjectItemCaseSensitive(manifest.get(), "type");
    const cJSON* path = cJSON_GetObjectItemCaseSensitive(manifest.get(), "path");
    const cJSON* allowed = cJSON_GetObjectItemCaseSensitive(
        manifest.get(), family == Family::kFirefox ? "allowed_extensions" : "allowed_origins");
    const bool ours =
        cJSON_IsString(name) && std::strcmp(name->valuestring, kHostName) == 0 &&
        cJSON_IsString(type) && std::strcmp(type->valuestring, "stdio") == 0 &&
        cJSON_IsString(path) && path->valuestring[0] == '/' &&
        HasString(allowed, family == Family::kFirefox ? kFirefoxExtension : kChromiumOrigin);
    if (!ours) {
        report.state = ManifestReport::State::kForeign;
        return report;
    }
    report.state = ManifestReport::State::kPresent;
    report.host_path = path->valuestring;
    report.host = CheckHost(root, report.host_path);
    return report;
}

ManifestReport TakenManifest(const Browser& browser, const Environment& environment,
                             bool system_only, std::string* path) {
    std::vector<Scope> scopes = {Scope::kSystem};
    if (!system_only) scopes.insert(scopes.begin(), Scope::kUser);
    ManifestReport report;
    for (const Scope scope : scopes) {
        *path = ManifestPath(browser, scope, environment);
        report = ReadManifest(*path, browser.family, environment.root);
        if (report.state != ManifestReport::State::kAbsent) break;
    }
    return report;
}

bool WriteManifest(const std::string& path, const std::string& text, std::string* error) {
    if (!MakeParents(path, error)) return false;
    const std::string temporary = path + ".tmp." + std::to_string(getpid());
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    bool written = fchmod(fd, 0644) == 0;  // readable by every user whatever the umask
    for (size_t done = 0; written && done < text.size();) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        written = n > 0;
        if (written) done += static_cast<size_t>(n);
    }
    int failure = written ? 0 : errno;
    if (close(fd) != 0 && written) {
        written = false;
        failure = errno;
    }
    if (written && rename(temporary.c_str(), path.c_str()) != 0) {
        written = false;
        failure = errno;
    }
    if (!written) {
        *error = "cannot write " + path + ": " + std::strerror(failure);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool RemoveManifest(const std::string& path, std::string* error) {
    if (unlink(path.c_str()) == 0 || errno == ENOENT) return true;
    *error = "cannot remove " + path + ": " + std::strerror(errno);
    return false;
}

}  // namespace tessora::registration
