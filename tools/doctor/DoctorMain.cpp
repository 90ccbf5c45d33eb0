// tessora-doctor: looks at everything the host needs on this machine and says, one line per
// check, whether it is in order (OK), stops signing (PROBLEM) or is worth knowing (NOTE). Every
// problem is followed by the one command that mends it. It only reads: no database, manifest,
// provider file or trace setting is changed.
//
//   tessora-doctor
//
// Exit status: 0 when no check found a problem, 1 otherwise, 2 usage.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "agent/GetKeyID.h"
#include "common/FreePtr.h"
#include "common/ResultCodes.h"
#include "common/Trace.h"
#include "common/Utf.h"
#include "platform/crypt/NssCertPlatform.h"
#include "platform/crypt/ProviderRegistry.h"
#include "platform/crypt/SkfLibrary.h"
#include "platform/window/WindowDialogs.h"
#include "tools/register/Registration.h"

namespace {

namespace registration = tessora::registration;

// The commands this doctor prints register the installed host, unless it was built for another.
#ifndef TESSORA_DOCTOR_HOST_OPTION
#define TESSORA_DOCTOR_HOST_OPTION ""
#endif

constexpr int kExitProblem = 1;
constexpr int kExitUsage = 2;

enum class Verdict { kOk, kProblem, kNote };

class Report {
  public:
    void Line(Verdict verdict, const std::string& text, const std::string& fix = std::string()) {
        const char* word = verdict == Verdict::kOk        ? "OK"
                           : verdict == Verdict::kProblem ? "PROBLEM"
                                                          : "NOTE";
        std::printf("%-8s %s\n", word, text.c_str());
        if (!fix.empty()) std::printf("%-8s fix: %s\n", "", fix.c_str());
        if (verdict == Verdict::kProblem) problems_ = true;
    }
    bool problems() const { return problems_; }

  private:
    bool problems_ = false;
};

// One word for sh: the commands are printed to be pasted.
std::string Quote(const std::string& word) {
    if (word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                               "/._-+:=,@%") == std::string::npos &&
        !word.empty())
        return word;
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string Joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : ", ") + word;
    return text;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

std::string Code(HRESULT code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(code));
    return text;
}

void CheckNssDatabase(Report& report) {
    NssCertPlatform platform;
    const NssDatabaseState state = platform.DescribeDatabase();
    const std::string where = "NSS database " + (state.path.empty() ? "?" : state.path);
    const std::string database = Quote("sql:" + state.path);
    const std::string create = "certutil -N -d " + database + " --empty-password";
    if (!state.opened && !Exists(state.path + "/cert9.db") && !Exists(state.path + "/key4.db")) {
        report.Line(Verdict::kProblem, where + ": missing (" + state.error + ")",
                    "mkdir -p " + Quote(state.path) + " && " + create);
    } else if (!state.opened) {
        report.Line(Verdict::kProblem, where + ": cannot be opened (" + state.error + ")",
                    "mv " + Quote(state.path) + " " + Quote(state.path + ".broken") +
                        " && mkdir -p " + Quote(state.path) + " && " + create);
    } else if (state.certificates_with_key == 0) {
        report.Line(Verdict::kProblem,
                    where + ": readable, but no certificate with a private key (" +
                        std::to_string(state.certificates) +
                        " certificates; tokens: " + Joined(state.tokens) + ")",
                    "pk12util -d " + database + " -i YOUR-CERTIFICATE.p12");
    } else {
        report.Line(Verdict::kOk,
                    where + ": readable, " + std::to_string(state.certificates_with_key) +
                        " certificates with a private key (" + std::to_string(state.certificates) +
                        " in all); tokens: " + Joined(state.tokens));
    }
}

void CheckBrowsers(Report& report) {
    registration::Environment environment;
    std::string error;
    if (!registration::CurrentEnvironment("", &environment, &error)) {
        report.Line(Verdict::kProblem, "Browsers: " + error, "export HOME=/home/$(id -un)");
        return;
    }
    bool any = false;
    for (const registration::Browser& browser : registration::Browsers()) {
        const std::string evidence = registration::InstalledEvidence(browser, environment);
        if (evidence.empty()) continue;
        any = true;
        std::string path;
        const registration::ManifestReport manifest =
            registration::TakenManifest(browser, environment, false, &path);
        const std::string label = std::string(browser.label) + ": ";
        const std::string fix = std::string("tessora-register install --browser ") + browser.id +
                                TESSORA_DOCTOR_HOST_OPTION;
        using State = registration::ManifestReport::State;
        if (manifest.Works()) {
            report.Line(Verdict::kOk,
                        label + "registered (" + path + ", host " + manifest.host_path + ")");
        } else if (manifest.state == State::kAbsent) {
            report.Line(Verdict::kProblem, label + "not registered (no manifest)", fix);
        } else if (manifest.state == State::kPresent) {
            report.Line(
                Verdict::kProblem,
                label + "registered, but its host " + manifest.host_path +
                    (manifest.host == registration::HostState::kMissing ? " is missing"
                                                                        : " is not executable") +
                    " (" + path + ")",
                fix);
        } else {
            report.Line(Verdict::kProblem,
                        label + "the manifest " + path +
                            (manifest.state == State::kUnreadable
                                 ? " is not readable JSON"
                                 : " does not let the Tessora extension start the host"),
                        fix);
        }
    }
    if (!any)
        report.Line(Verdict::kNote,
                    "Browsers: none found (no profile and no browser on PATH); register one by "
                    "name with tessora-register install --browser NAME");
}

void CheckProviders(Report& report) {
    const ProviderRegistry registry = ReadProviderRegistry(DefaultProviderFolders());
    if (registry.entries.empty() && registry.skipped.empty())
        report.Line(Verdict::kNote,
                    "SM2 providers: none registered (needed only to sign with USB keys)");
    for (const ProviderEntry& entry : registry.entries) {
        HRESULT error = S_OK;
        const std::string label = "SM2 provider \"" + entry.name + "\": " + entry.library;
        const std::string remove = "tessora-providers remove " + Quote(entry.name) +
                                   (entry.scope == ProviderScope::kSystem ? " --system" : "");
        if (SkfLibrary::Load(entry.library, &error) != nullptr)
            report.Line(Verdict::kOk, label + " loads");
        else if (!Exists(entry.library))
            report.Line(Verdict::kProblem, label + " is missing (" + entry.file + ")", remove);
        else
            report.Line(Verdict::kProblem,
                        label + " does not load (" + Code(error) + ", " + entry.file + ")", remove);
    }
    for (const SkippedProviderFile& skipped : registry.skipped)
        report.Line(Verdict::kProblem,
                    "SM2 provider file " + skipped.file + " is skipped: " + skipped.reason,
                    "rm " + Quote(skipped.file));
}

void CheckUsbKeyLibrary(Report& report) {
    char16_t* raw_path = nullptr;
    if (FAILED(GetLibraryPath(&raw_path))) {
        report.Line(Verdict::kProblem, "USB-key library: no path in the system library folder");
        return;
    }
    const FreePtr<char16_t> owned(raw_path);
    const std::string path = Utf16ToUtf8String(raw_path);
    if (!Exists(path)) {
        report.Line(Verdict::kNote, "USB-key library " + path +
                                        ": not installed (needed only to read a USB key's "
                                        "serial number)");
        return;
    }
    HRESULT error = S_OK;
    const std::unique_ptr<SkfLibrary> library = SkfLibrary::Load(path, &error);
    if (!library) {
        report.Line(Verdict::kProblem,
                    "USB-key library " + path + ": does not load (" + Code(error) +
                        "); install the libraries it lacks, which this lists",
                    "ldd " + Quote(path) + " | grep 'not found'");
        return;
    }
    std::vector<std::string> devices;
    const ULONG status = library->EnumDevices(&devices);
    if (status != 0)
        report.Line(Verdict::kNote, "USB-key library " + path +
                                        ": loads, but cannot list the keys (SAR " +
                                        Code(static_cast<HRESULT>(status)) +
                                        "); unplug the key and plug it in again");
    else if (devices.empty())
        report.Line(Verdict::kNote, "USB-key library " + path + ": loads; no USB key plugged in");
    else
        report.Line(Verdict::kOk,
                    "USB-key library " + path + ": loads; keys present: " + Joined(devices));
}

void CheckDisplay(Report& report) {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const bool named = (x11 != nullptr && *x11 != 0) || (wayland != nullptr && *wayland != 0);
    if (!named) {
        report.Line(Verdict::kProblem,
                    "Display: neither DISPLAY nor WAYLAND_DISPLAY is set, so no dialog can be "
                    "shown (run tessora-doctor in the desktop session the browser runs in)",
                    "export DISPLAY=:0");
        return;
    }
    std::string display;
    std::string problem;
    std::string named_as;
    for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != 0)
            named_as += (named_as.empty() ? "" : " ") + std::string(variable) + "=" + value;
    }
    if (CheckWindowDisplay(&display, &problem))
        report.Line(Verdict::kOk, "Display: " + display + " (the dialog can be shown)");
    else
        report.Line(Verdict::kProblem, "Display: " + named_as + ": " + problem,
                    "export DISPLAY=:0");
}

void CheckTrace(Report& report) {
    const std::string control = trace::ControlFilePath();
    const trace::ControlSettings settings = trace::ReadControlFile(control);
    if (settings.flags == 0) {
        report.Line(Verdict::kOk, "Tracing: off (" + control + ")");
        return;
    }
    char flags[16];
    std::snprintf(flags, sizeof flags, "0x%X", settings.flags);
    report.Line(Verdict::kNote, std::string("Tracing: on, flags ") + flags + ", into " +
                                    (settings.sink_file.empty() ? std::string("the system log")
                                                                : settings.sink_file) +
                                    " (" + control + "); tessora-trace off switches it off");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        std::fprintf(stderr,
                     "usage: %s\n"
                     "  checks the NSS database, the browsers' registration, the SM2 providers, "
                     "the USB-key library,\n  the display and the trace settings\n",
                     argv[0]);
        return kExitUsage;
    }
    Report report;
    CheckNssDatabase(report);
    CheckBrowsers(report);
    CheckProviders(report);
    CheckUsbKeyLibrary(report);
    CheckDisplay(report);
    CheckTrace(report);
    return report.problems() ? kExitProblem : 0;
}
