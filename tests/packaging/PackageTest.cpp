// The Debian package as a user gets it: its control data and file list, and its programs run from
// a throwaway root it was extracted into.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/packaging/ManifestFields.h"
#include "tests/support/Shell.h"
#include "tools/nmclient/HostPipe.h"

#if !defined(TESSORA_DEB_DIR) || !defined(TESSORA_SOURCE_DIR) || !defined(TESSORA_VERSION)
#error "TESSORA_DEB_DIR, TESSORA_SOURCE_DIR and TESSORA_VERSION must be defined"
#endif

namespace {

namespace fs = std::filesystem;
using test_shell::Quote;

constexpr int kTimeoutMs = 60000;

// The system-wide manifests, one per folder the browsers read.
const char* const kManifests[] = {
    "/etc/opt/chrome/native-messaging-hosts/org.tessora.host.json",
    "/etc/chromium/native-messaging-hosts/org.tessora.host.json",
    "/etc/opt/edge/native-messaging-hosts/org.tessora.host.json",
    "/usr/lib/mozilla/native-messaging-hosts/org.tessora.host.json",
};

class Package : public testing::Test {
  protected:
    void SetUp() override {
        for (const auto& entry : fs::directory_iterator(TESSORA_DEB_DIR)) {
            if (entry.path().extension() == ".deb") deb_ = entry.path().string();
        }
        ASSERT_FALSE(deb_.empty()) << "no package in " TESSORA_DEB_DIR;
    }

    // dpkg-deb ARGS PACKAGE [MEMBER]
    std::string Dpkg(const std::string& args, const std::string& member = "") const {
        std::string output;
        EXPECT_EQ(test_shell::Run("dpkg-deb " + args + " " + Quote(deb_) + " " + member, &output),
                  0)
            << output;
        return output;
    }
    void Extract() { ASSERT_EQ(test_shell::Run("dpkg-deb -x " + Quote(deb_) + " " + root()), 0); }
    std::string root() const { return Quote(dir_.str()); }

    std::string deb_;
    test_shell::TempDir dir_;
};

TEST_F(Package, ControlNamesThePackageItsLibrariesAndConffiles) {
    const std::string control = Dpkg("--field");
    EXPECT_NE(control.find("Package: tessora\n"), std::string::npos) << control;
    EXPECT_NE(control.find("Version: " TESSORA_VERSION "\n"), std::string::npos) << control;
    const size_t depends = control.find("Depends: ");
    ASSERT_NE(depends, std::string::npos) << control;
    const std::string line = control.substr(depends, control.find('\n', depends) - depends);
    for (const char* library : {"libnss3", "libssl3", "libcjson1", "libgtk-3-0", "libgcr-ui-3-1"}) {
        EXPECT_NE(line.find(library), std::string::npos) << library << "\n" << line;
    }
    // dpkg keeps these on remove and deletes them on purge.
    EXPECT_EQ(Dpkg("--info", "conffiles"),
              "/etc/chromium/native-messaging-hosts/org.tessora.host.json\n"
              "/etc/opt/chrome/native-messaging-hosts/org.tessora.host.json\n"
              "/etc/opt/edge/native-messaging-hosts/org.tessora.host.json\n");
}

TEST_F(Package, HoldsTheProgramsTheExtensionAndEveryManifest) {
    const std::string contents = Dpkg("--contents");
    std::vector<std::string> expected = {"./usr/bin/tessora-host",
                                         "./usr/bin/tessora-register",
                                         "./usr/bin/tessora-verify",
                                         "./usr/bin/tessora-trace",
                                         "./usr/bin/tessora-nmclient",
                                         "./usr/bin/tessora-doctor",
                                         "./usr/lib/tessora/libtessora-window.so",
                                         "./usr/lib/tessora/libtessora-nss.so"};
    for (const char* manifest : kManifests) expected.push_back("." + std::string(manifest));
    if (fs::exists(TESSORA_SOURCE_DIR "/browser/extension/manifest.json")) {
        expected.push_back("./usr/share/tessora/extension/manifest.json");
    }
    if (fs::exists(TESSORA_SOURCE_DIR "/browser/extension/manifest.firefox.json")) {
        expected.push_back("./usr/share/tessora/extension-firefox/manifest.json");
    }
    if (fs::exists(TESSORA_SOURCE_DIR "/browser/tessora.js")) {
        expected.push_back("./usr/share/tessora/tessora.js");
    }
    for (const std::string& path : expected) {
        EXPECT_NE(contents.find(" " + path + "\n"), std::string::npos) << path << "\n" << contents;
    }
}

TEST_F(Package, ExtractedHostAnswersGetVersion) {
    Extract();
    tessora::HostPipe host;
    ASSERT_TRUE(host.Start(dir_.str() + "/usr/bin/tessora-host",
                           {"HOME=/nonexistent", "XDG_RUNTIME_DIR=/nonexistent", "XDG_CACHE_HOME",
                            "DISPLAY", "WAYLAND_DISPLAY", "LC_ALL=C.UTF-8"}));
    std::string response;
    ASSERT_TRUE(
        host.WriteFrame(R"({"function":"GetVersion","params":[],"randomId":"v"})", kTimeoutMs));
    ASSERT_EQ(host.ReadFrame(&response, kTimeoutMs), tessora::HostPipe::ReadStatus::kFrame);
    EXPECT_NE(response.find(R"("result":"3.4.0.3")"), std::string::npos) << response;
    EXPECT_EQ(host.Finish(kTimeoutMs), 0) << host.errors();
}

// The packaged manifests name the installed host, which the extracted tree holds; the extracted
// command registers the host beside it when none is named.
TEST_F(Package, ExtractedRegisterSeesThePackagedManifests) {
    Extract();
    const std::string tool = dir_.str() + "/usr/bin/tessora-register";
    std::string output;
    EXPECT_EQ(
        test_shell::Run(Quote(tool) + " status --system --browser all --root " + root(), &output),
        0)
        << output;
    for (const char* manifest : kManifests) {
        EXPECT_NE(output.find(dir_.str() + manifest + ": host /usr/bin/tessora-host (executable)"),
                  std::string::npos)
            << manifest << "\n"
            << output;
        const auto fields =
            packaging_test::ParseManifest(test_shell::ReadFile(dir_.str() + manifest));
        EXPECT_EQ(fields.path, "/usr/bin/tessora-host") << manifest;
    }

    fs::create_directories(dir_.path() / "home");
    ASSERT_EQ(test_shell::Run("env -i HOME=" + Quote(dir_.str() + "/home") + " " + Quote(tool) +
                                  " install --browser chromium",
                              &output),
              0)
        << output;
    const auto fields = packaging_test::ParseManifest(test_shell::ReadFile(
        dir_.path() / "home/.config/chromium/NativeMessagingHosts/org.tessora.host.json"));
    EXPECT_EQ(fields.path, dir_.str() + "/usr/bin/tessora-host");
}

}  // namespace
