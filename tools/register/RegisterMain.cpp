// tessora-register: registers tessora-host with the browsers, per user or for all users, by
// writing the native messaging manifest each browser reads (see Registration.h).
//
//   tessora-register install   [--system] [--browser NAME]... [--host PATH] [--root DIR]
//   tessora-register uninstall [--system] [--browser NAME]... [--root DIR]
//   tessora-register status    [--system] [--browser NAME]... [--root DIR]
//
// Exit status: 0 done (status: every browser asked about can start the host), 1 a manifest could
// not be written or removed, or the host is not usable, 2 usage, 3 status found a browser that
// cannot start the host.
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "common/Utf.h"
#include "tools/register/Registration.h"

namespace {

using namespace tessora::registration;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNotRegistered = 3;

int Usage() {
    std::fprintf(
        stderr,
        "usage: tessora-register install|uninstall|status [--system] [--browser NAME]...\n"
        "                        [--host PATH] [--root DIR]\n"
        "  --system       the folders every user's browser reads (needs root) instead of\n"
        "                 your own; status shows both unless --system is given\n"
        "  --browser NAME chrome, chromium, edge, brave, vivaldi, opera, firefox or all;\n"
        "                 without it: install the browsers found, uninstall and status all\n"
        "  --host PATH    install: the host to register (default: the tessora-host next to\n"
        "                 this command, else %s)\n"
        "  --root DIR     with --system: work below DIR instead of / (for packaging); the\n"
        "                 host is then not checked at install\n",
        TESSORA_INSTALLED_HOST);
    return kExitUsage;
}

struct Options {
    std::string command;
    bool system = false;
    bool named = false;  // browsers were named with --browser
    std::vector<const Browser*> browsers;
    std::string host;
    std::string root;
};

void AddBrowser(Options* options, const Browser* browser) {
    for (const Browser* known : options->browsers) {
        if (known == browser) return;
    }
    options->browsers.push_back(browser);
}

bool ParseOptions(int argc, char** argv, Options* options) {
    if (argc < 2) return false;
    options->command = argv[1];
    if (options->command != "install" && options->command != "uninstall" &&
        options->command != "status") {
        return false;
    }
    for (int i = 2; i < argc; ++i) {
        const std::string option = argv[i];
        const bool has_value = i + 1 < argc;
        if (option == "--system") {
            options->system = true;
        } else if (option == "--browser" && has_value) {
            const std::string name = argv[++i];
            options->named = true;
            if (name == "all") {
                for (const Browser& browser : Browsers()) AddBrowser(options, &browser);
            } else if (const Browser* browser = FindBrowser(name)) {
                AddBrowser(options, browser);
            } else {
                std::fprintf(stderr, "tessora-register: unknown browser '%s'\n", name.c_str());
                return false;
            }
        } else if (option == "--host" && has_value && options->command == "install") {
            options->host = argv[++i];
        } else if (option == "--root" && has_value) {
            options->root = argv[++i];
        } else {
            return false;
        }
    }
    if (!options->root.empty()) {
        // Without a trailing slash, so that root + "/etc/..." is a path below it.
        options->root = std::filesystem::absolute(options->root).lexically_normal().string();
        while (options->root.size() > 1 && options->root.back() == '/') options->root.pop_back();
        if (!options->system || options->root == "/") return false;
    }
    return true;
}

std::string Labels(const std::vector<const Browser*>& browsers) {
    std::string text;
    for (const Browser* browser : browsers)
        text += (text.empty() ? "" : ", ") + std::string(browser->label);
    return text;
}

// Browsers that share one manifest file (Opera reads Chrome's folders) are handled once per file.
struct ManifestFile {
    std::string path;
    Family family;
    std::vector<const Browser*> selected;  // the browsers of this run that read it
};

std::vector<ManifestFile> FilesOf(const std::vector<const Browser*>& browsers, Scope scope,
                                  const Environment& environment) {
    std::vector<ManifestFile> files;
    for (const Browser* browser : browsers) {
        const std::string path = ManifestPath(*browser, scope, environment);
        bool found = false;
        for (ManifestFile& file : files) {
            if (file.path == path) {
                file.selected.push_back(browser);
                found = true;
            }
        }
        if (!found) files.push_back({path, browser->family, {browser}});
    }
    return files;
}

std::string ExecutableDir() {
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return std::string();
    return std::filesystem::path(std::string(buffer, static_cast<size_t>(n)))
        .parent_path()
        .string();
}

// The host named with --host (made absolute), else the one next to this command, else the
// installed one.
std::string ChooseHost(const std::string& given) {
    if (!given.empty()) return std::filesystem::absolute(given).lexically_normal().string();
    const std::string beside = ExecutableDir() + "/tessora-host";
    if (CheckHost("", beside) == HostState::kUsable) return beside;
    return TESSORA_INSTALLED_HOST;
}

int Install(const Options& options, const Environment& environment) {
    const std::string host = ChooseHost(options.host);
    // The manifest is UTF-8 JSON: a path that is not UTF-8 cannot be written into it faithfully.
    if (Utf16ToUtf8String(Utf8ToUtf16String(host)) != host) {
        std::fprintf(stderr, "tessora-register: the host path is not UTF-8: %s\n", host.c_str());
        return kExitFailed;
    }
    if (options.root.empty()) {
        const HostState state = CheckHost("", host);
        if (state != HostState::kUsable) {
            std::fprintf(stderr, "tessora-register: %s %s; name the host with --host\n",
                         host.c_str(),
                         state == HostState::kMissing ? "does not exist" : "is not executable");
            return kExitFailed;
        }
    }
    int status = 0;
    for (const ManifestFile& file :
         FilesOf(options.browsers, options.system ? Scope::kSystem : Scope::kUser, environment)) {
        const std::string text = ManifestText(file.family, host);
        std::string error = "out of memory";
        if (text.empty() || !WriteManifest(file.path, text, &error)) {
            std::fprintf(stderr, "tessora-register: %s\n", error.c_str());
            status = kExitFailed;
            continue;
        }
        std::printf("%s: wrote %s\n", Labels(file.selected).c_str(), file.path.c_str());
    }
    return status;
}

int Uninstall(const Options& options, const Environment& environment) {
    const Scope scope = options.system ? Scope::kSystem : Scope::kUser;
    int status = 0;
    for (const ManifestFile& file : FilesOf(options.browsers, scope, environment)) {
        // A file that another installed browser reads too stays, unless that browser is being
        // unregistered as well: unregistering Opera must not unregister Google Chrome.
        std::vector<const Browser*> others;
        for (const Browser& browser : Browsers()) {
            bool selected = false;
            for (const Browser* chosen : file.selected) selected = selected || chosen == &browser;
            if (!selected && ManifestPath(browser, scope, environment) == file.path &&
                !InstalledEvidence(browser, environment).empty()) {
                others.push_back(&browser);
            }
        }
        if (!others.empty()) {
            std::printf("%s: kept %s, which %s reads too\n", Labels(file.selected).c_str(),
                        file.path.c_str(), Labels(others).c_str());
            continue;
        }
        if (access(file.path.c_str(), F_OK) != 0) continue;
        std::string error;
        if (!RemoveManifest(file.path, &error)) {
            std::fprintf(stderr, "tessora-register: %s\n", error.c_str());
            status = kExitFailed;
            continue;
        }
        std::printf("%s: removed %s\n", Labels(file.selected).c_str(), file.path.c_str());
    }
    return status;
}

std::string Describe(const ManifestReport& report) {
    switch (report.state) {
        case ManifestReport::State::kAbsent:
            return "no manifest";
        case ManifestReport::State::kUnreadable:
            return "a manifest that is not readable JSON";
        case ManifestReport::State::kForeign:
            return "a manifest that does not let the Tessora extension start " +
                   std::string(kHostName);
        case ManifestReport::State::kPresent:
            break;
    }
    const char* host = report.host == HostState::kUsable    ? "executable"
                       : report.host == HostState::kMissing ? "missing"
                                                            : "not executable";
    return "host " + report.host_path + " (" + host + ")";
}

int Status(const Options& options, const Environment& environment) {
    std::vector<Scope> scopes = {Scope::kSystem};
    if (!options.system) scopes.insert(scopes.begin(), Scope::kUser);
    int checked = 0;
    int working = 0;
    for (const Browser* browser : options.browsers) {
        const std::string evidence = InstalledEvidence(*browser, environment);
        std::printf("%s: %s\n", browser->label,
                    evidence.empty() ? "not found" : ("installed (" + evidence + ")").c_str());
        for (const Scope scope : scopes) {
            const std::string path = ManifestPath(*browser, scope, environment);
            const ManifestReport report = ReadManifest(path, browser->family, environment.root);
            std::printf("  %-12s %s: %s\n",
                        scope == Scope::kUser ? "per user:" : "system-wide:", path.c_str(),
                        Describe(report).c_str());
        }
        std::string taken_path;
        const bool works =
            TakenManifest(*browser, environment, options.system, &taken_path).Works();
        if (options.named || !evidence.empty()) {
            ++checked;
            if (works) ++working;
        }
    }
    return checked > 0 && working == checked ? 0 : kExitNotRegistered;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) return Usage();
    Environment environment;
    std::string error;
    if (!CurrentEnvironment(options.root, &environment, &error)) {
        std::fprintf(stderr, "tessora-register: %s\n", error.c_str());
        return kExitFailed;
    }
    if (!options.named) {
        for (const Browser& browser : Browsers()) {
            if (options.command != "install" || !InstalledEvidence(browser, environment).empty()) {
                options.browsers.push_back(&browser);
            }
        }
        if (options.browsers.empty()) {
            std::fprintf(stderr,
                         "tessora-register: no browser found; name one with --browser "
                         "(chrome, chromium, edge, brave, vivaldi, opera, firefox or all)\n");
            return kExitFailed;
        }
    }
    if (options.command == "install") return Install(options, environment);
    if (options.command == "uninstall") return Uninstall(options, environment);
    return Status(options, environment);
}
