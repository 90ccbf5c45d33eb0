// Where each browser looks for the host's native messaging manifest on Linux, what the manifest
// says, and how a registration is checked. Used by tessora-register and its tests.
//
// The browser starts the host itself when the extension calls connectNative with the host's name;
// it finds the executable through a JSON manifest named after the host, in a folder of its own per
// user and one for all users (Chrome's and Firefox's native messaging documentation).
#pragma once

#include <cjson/cJSON.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tessora::registration {

constexpr char kHostName[] = "org.tessora.host";
constexpr char kManifestFile[] = "org.tessora.host.json";
// The Chromium family names extensions by origin; the ID is fixed by the key in the extension's
// manifest, so every Chromium-family browser gives it the same one.
constexpr char kChromiumOrigin[] = "chrome-extension://ofkngopgnahpfnggkcmklkhddcljbnkp/";
// Firefox names extensions by their gecko id.
constexpr char kFirefoxExtension[] = "host@tessora.org";

struct JsonDeleter {
    void operator()(cJSON* json) const { cJSON_Delete(json); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

enum class Family { kChromium, kFirefox };
enum class Scope { kUser, kSystem };

struct Browser {
    const char* id;     // the name for --browser
    const char* label;  // the name people know
    Family family;
    // The per-user folder: under the user's configuration folder for the Chromium family (which
    // follows XDG_CONFIG_HOME as the profile does), under the home folder for Firefox.
    const char* user_dir;
    const char* system_dir;  // absolute
    // What a profile of this browser leaves behind, relative to the same base as user_dir.
    const char* profile_marker;
    std::vector<const char*> executables;  // looked for on PATH
};

const std::vector<Browser>& Browsers();
const Browser* FindBrowser(std::string_view id);

// Where this process reads and writes. `root` prefixes every system-wide path (a staging tree for
// a package); empty for the live system.
struct Environment {
    std::string home;
    std::string config_home;
    std::string path;  // the PATH list
    std::string root;
};
// False when there is no home folder to work in.
bool CurrentEnvironment(const std::string& root, Environment* environment, std::string* error);

std::string ManifestPath(const Browser& browser, Scope scope, const Environment& environment);

// Empty when the browser looks absent, else what shows it is there.
std::string InstalledEvidence(const Browser& browser, const Environment& environment);

// The manifest's text for a browser family, naming the host by its absolute path.
std::string ManifestText(Family family, const std::string& host_path);

enum class HostState { kUsable, kMissing, kNotExecutable };
// Whether `path` (inside `root`) is a regular file this user may execute.
HostState CheckHost(const std::string& root, const std::string& path);

struct ManifestReport {
    enum class State {
        kAbsent,
        kUnreadable,  // present but not a JSON object we can read
        kForeign,     // not ours: another name, or our extension is not allowed
        kPresent,
    } state = State::kAbsent;
    std::string host_path;  // kPresent: the manifest's "path"
    HostState host = HostState::kMissing;

    bool Works() const { return state == State::kPresent && host == HostState::kUsable; }
};
ManifestReport ReadManifest(const std::string& manifest_path, Family family,
                            const std::string& root);

// The manifest the browser takes: the per-user one when there is one (unless system_only), else
// the system-wide one; *path is its path, or the system-wide path when there is none.
ManifestReport TakenManifest(const Browser& browser, const Environment& environment,
                             bool system_only, std::string* path);

// Creates the missing folders of `path` (mode 0755) and replaces the file through a temporary one
// renamed over it, so a browser never reads half a manifest.
bool WriteManifest(const std::string& path, const std::string& text, std::string* error);
// Removes the file; a file that is not there is not an error.
bool RemoveManifest(const std::string& path, std::string* error);

}  // namespace tessora::registration
