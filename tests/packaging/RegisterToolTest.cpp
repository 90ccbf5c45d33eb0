// tessora-register end to end: the real binary in a throwaway home (and a throwaway root for the
// system-wide folders), as a user runs it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/packaging/ManifestFields.h"
#include "tests/support/Shell.h"

#ifndef TESSORA_REGISTER_BINARY
#error "TESSORA_REGISTER_BINARY must name the tessora-register executable"
#endif

namespace {

namespace fs = std::filesystem;
using packaging_test::ParseManifest;
using test_shell::Quote;

constexpr char kOrigin[] = "chrome-extension://ofkngopgnahpfnggkcmklkhddcljbnkp/";
constexpr char kGeckoId[] = "host@tessora.org";

class RegisterTool : public testing::Test {
  protected:
    RegisterTool() {
        home_ = dir_.path() / "home";
        root_ = dir_.path() / "root";
        host_ = (dir_.path() / "bin" / "tessora-host").string();
        fs::create_directories(home_);
        MakeFile(host_, 0755);
    }

    static void MakeFile(const fs::path& path, mode_t mode) {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << "#!/bin/sh\n";
        chmod(path.c_str(), mode);
    }

    // A clean environment: only this home, no browser on PATH; `env` adds NAME=VALUE words.
    int Register(const std::string& args, std::string* output = nullptr,
                 const std::string& env = "") {
        std::string out;
        const int status =
            test_shell::Run("env -i HOME=" + Quote(home_.string()) + " PATH=/nonexistent " + env +
                                " " + TESSORA_REGISTER_BINARY " " + args,
                            &out);
        if (output != nullptr) *output = out;
        return status;
    }
    std::string HostOption() const { return " --host " + Quote(host_); }
    std::string RootOption() const { return " --system --root " + Quote(root_.string()); }

    test_shell::TempDir dir_;
    fs::path home_;
    fs::path root_;
    std::string host_;
};

struct BrowserCase {
    const char* name;
    const char* user_folder;    // below HOME
    const char* system_folder;  // below the root
    bool firefox;
};

const BrowserCase kBrowsers[] = {
    {"chrome", ".config/google-chrome/NativeMessagingHosts",
     "etc/opt/chrome/native-messaging-hosts", false},
    {"chromium", ".config/chromium/NativeMessagingHosts", "etc/chromium/native-messaging-hosts",
     false},
    {"edge", ".config/microsoft-edge/NativeMessagingHosts", "etc/opt/edge/native-messaging-hosts",
     false},
    {"brave", ".config/BraveSoftware/Brave-Browser/NativeMessagingHosts",
     "etc/opt/chrome/native-messaging-hosts", false},
    {"vivaldi", ".config/vivaldi/NativeMessagingHosts", "etc/opt/chrome/native-messaging-hosts",
     false},
    {"opera", ".config/google-chrome/NativeMessagingHosts", "etc/opt/chrome/native-messaging-hosts",
     false},
    {"firefox", ".mozilla/native-messaging-hosts", "usr/lib/mozilla/native-messaging-hosts", true},
};

void PrintTo(const BrowserCase& c, std::ostream* os) { *os << c.name; }

class EachBrowser : public RegisterTool, public testing::WithParamInterface<BrowserCase> {};

TEST_P(EachBrowser, InstallStatusUninstallPerUserAndSystemWide) {
    const BrowserCase& c = GetParam();
    struct Scope {
        fs::path manifest;
        std::string options;
    };
    const Scope scopes[] = {
        {home_ / c.user_folder / "org.tessora.host.json", ""},
        {root_ / c.system_folder / "org.tessora.host.json", RootOption()},
    };
    const std::string browser = std::string(" --browser ") + c.name;
    for (const Scope& scope : scopes) {
        SCOPED_TRACE(scope.manifest.string());
        std::string output;
        ASSERT_EQ(Register("install" + browser + scope.options + HostOption(), &output), 0)
            << output;
        const auto manifest = ParseManifest(test_shell::ReadFile(scope.manifest));
        ASSERT_TRUE(manifest.parsed);
        EXPECT_EQ(manifest.name, "org.tessora.host");
        EXPECT_EQ(manifest.path, host_);
        EXPECT_EQ(manifest.type, "stdio");
        const std::vector<std::string> none;
        EXPECT_EQ(manifest.allowed_origins, c.firefox ? none : std::vector<std::string>{kOrigin});
        EXPECT_EQ(manifest.allowed_extensions,
                  c.firefox ? std::vector<std::string>{kGeckoId} : none);
        struct stat info;
        ASSERT_EQ(stat(scope.manifest.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0644u);

        // With --root the host is looked for below the root, where this one is not.
        const std::string host_line = scope.options.empty() ? "host " + host_ + " (executable)"
                                                            : "host " + host_ + " (missing)";
        EXPECT_EQ(Register("status" + browser + scope.options, &output),
                  scope.options.empty() ? 0 : 3);
        EXPECT_NE(output.find(scope.manifest.string() + ": " + host_line), std::string::npos)
            << output;

        ASSERT_EQ(Register("uninstall" + browser + scope.options, &output), 0) << output;
        EXPECT_FALSE(fs::exists(scope.manifest));
        EXPECT_EQ(Register("status" + browser + scope.options, &output), 3);
        EXPECT_NE(output.find(scope.manifest.string() + ": no manifest"), std::string::npos)
            << output;
    }
}

INSTANTIATE_TEST_SUITE_P(Browsers, EachBrowser, testing::ValuesIn(kBrowsers),
                         [](const testing::TestParamInfo<BrowserCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(RegisterTool, ExitStatusTellsUsageFailureAndMissingRegistration) {
    MakeFile(dir_.path() / "plain", 0644);
    struct Case {
        std::string args;
        int status;
        const char* expected;  // text the output must hold
    };
    const Case cases[] = {
        {"", 2, "usage: tessora-register"},
        {"register --browser chrome", 2, "usage:"},
        {"install --browser netscape", 2, "unknown browser 'netscape'"},
        {"install --browser", 2, "usage:"},
        {"uninstall --browser chrome" + HostOption(), 2, "usage:"},
        {"status --root " + Quote(root_.string()), 2, "usage:"},
        {"install" + HostOption(), 1, "no browser found"},
        {"install --browser chrome --host " + Quote((dir_.path() / "none").string()), 1,
         "does not exist"},
        {"install --browser chrome --host " + Quote((dir_.path() / "plain").string()), 1,
         "is not executable"},
        {"install --browser chrome --host " + Quote(dir_.str() + "/bad\xff"), 1, "not UTF-8"},
        {"uninstall --browser chrome", 0, ""},
        {"status --browser chrome", 3, "Google Chrome: not found"},
        {"status", 3, "Firefox: not found"},
    };
    for (const Case& c : cases) {
        std::string output;
        EXPECT_EQ(Register(c.args, &output), c.status) << c.args << "\n" << output;
        EXPECT_NE(output.find(c.expected), std::string::npos) << c.args << "\n" << output;
    }
}

TEST_F(RegisterTool, StatusReportsABrokenRegistration) {
    const fs::path manifest = home_ / ".config/chromium/NativeMessagingHosts/org.tessora.host.json";
    ASSERT_EQ(Register("install --browser chromium" + HostOption()), 0);

    struct Case {
        const char* what;
        std::function<void()> breakage;
        const char* expected;
    };
    const Case cases[] = {
        {"host removed", [&] { fs::remove(host_); }, "(missing)"},
        {"host not executable", [&] { MakeFile(host_, 0644); }, "(not executable)"},
        {"not JSON", [&] { std::ofstream(manifest) << "{\"name\": "; }, "not readable JSON"},
        {"another extension",
         [&] {
             std::ofstream(manifest)
                 << R"({"name":"org.tessora.host","path":"/bin/sh",)"
                 << R"("type":"stdio","allowed_origins":["chrome-extension://x/"]})";
         },
         "does not let the Tessora extension start"},
    };
    for (const Case& c : cases) {
        MakeFile(host_, 0755);
        ASSERT_EQ(Register("install --browser chromium" + HostOption()), 0);
        c.breakage();
        std::string output;
        EXPECT_EQ(Register("status --browser chromium", &output), 3) << c.what;
        EXPECT_NE(output.find(c.expected), std::string::npos) << c.what << "\n" << output;
    }
}

// Without --browser, install registers the browsers this user has (a profile they left, with
// XDG_CONFIG_HOME moving the Chromium family's), and status judges only those.
TEST_F(RegisterTool, DefaultsToTheBrowsersFound) {
    const fs::path config = dir_.path() / "config";
    MakeFile(config / "vivaldi/Local State", 0644);
    MakeFile(home_ / ".mozilla/firefox/profiles.ini", 0644);
    const std::string xdg = "XDG_CONFIG_HOME=" + Quote(config.string());

    std::string output;
    ASSERT_EQ(Register("install" + HostOption(), &output, xdg), 0) << output;
    EXPECT_TRUE(fs::exists(config / "vivaldi/NativeMessagingHosts/org.tessora.host.json"));
    EXPECT_TRUE(fs::exists(home_ / ".mozilla/native-messaging-hosts/org.tessora.host.json"));
    EXPECT_FALSE(fs::exists(config / "google-chrome")) << output;
    EXPECT_FALSE(fs::exists(home_ / ".config")) << output;

    EXPECT_EQ(Register("status", &output, xdg), 0) << output;
    EXPECT_NE(output.find("Vivaldi: installed (a profile at " + config.string()), std::string::npos)
        << output;
}

// Opera reads Google Chrome's per-user manifest: unregistering one browser leaves the other
// registered while it is installed.
TEST_F(RegisterTool, SharedManifestStaysForTheOtherInstalledBrowser) {
    const fs::path manifest =
        home_ / ".config/google-chrome/NativeMessagingHosts/org.tessora.host.json";
    ASSERT_EQ(Register("install --browser chrome" + HostOption()), 0);
    MakeFile(home_ / ".config/opera/Local State", 0644);

    std::string output;
    EXPECT_EQ(Register("uninstall --browser chrome", &output), 0);
    EXPECT_TRUE(fs::exists(manifest)) << output;
    EXPECT_NE(output.find("which Opera reads too"), std::string::npos) << output;
    EXPECT_EQ(Register("status --browser opera"), 0);

    EXPECT_EQ(Register("uninstall --browser chrome --browser opera", &output), 0);
    EXPECT_FALSE(fs::exists(manifest)) << output;
}

// The manifest is JSON: quotes, backslashes and non-ASCII letters of the host's path survive.
TEST_F(RegisterTool, HostPathIsWrittenAsJsonText) {
    const std::string odd = dir_.str() + "/we \"ird\\ 签名/tessora-host";
    MakeFile(odd, 0755);
    ASSERT_EQ(Register("install --browser firefox --host " + Quote(odd)), 0);
    const auto manifest = ParseManifest(
        test_shell::ReadFile(home_ / ".mozilla/native-messaging-hosts/org.tessora.host.json"));
    EXPECT_EQ(manifest.path, odd);
    EXPECT_EQ(Register("status --browser firefox"), 0);
}

}  // namespace
