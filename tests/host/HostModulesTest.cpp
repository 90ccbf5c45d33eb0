// The modules the host loads on first use: a host that answered only requests without a store or a
// window maps neither NSS nor the window system, a host installed as bin/ + lib/tessora/ finds its
// modules, and a missing module gives a coded answer while the host serves on.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/HostSession.h"
#include "tests/support/NssFixture.h"
#include "tests/support/Shell.h"

#ifndef TESSORA_HOST_PATH
#error "TESSORA_HOST_PATH names the host binary under test"
#endif

namespace {

namespace fs = std::filesystem;
using host_session::HostSession;

constexpr char kWindowModule[] = "libtessora-window.so";
constexpr char kNssModule[] = "libtessora-nss.so";
// HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND) as the reply's signed errorcode.
constexpr char kModuleNotFound[] = "\"errorcode\":-2147024770,";
constexpr char kVersionReply[] =
    R"({"function":"GetVersion","errorcode":0,"result":"3.4.0.3","randomId":"v"})";

// The reply's text, or "(no frame)".
std::string Call(HostSession& host, const std::string& request) {
    const host_session::Response response = host.Call(request);
    return response.framed ? response.text : "(no frame)";
}

std::string GetVersion(HostSession& host) {
    return Call(host, R"({"function":"GetVersion","params":[],"randomId":"v"})");
}

std::string SelectCertificate(HostSession& host, const std::string& subject) {
    return Call(host, R"({"function":"SelectCertificate","params":[")" + subject +
                          R"(","",""],"randomId":"s"})");
}

// The shared objects mapped into a process, one path per line.
std::string MappedObjects(pid_t pid) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::ostringstream out;
    for (std::string line; std::getline(maps, line);)
        if (line.find(".so") != std::string::npos) out << line.substr(line.rfind(' ') + 1) << "\n";
    return out.str();
}

TEST(HostModules, GetVersionAndErrorTextMapNoWindowSystemAndNoNss) {
    HostSession host({"HOME=/nonexistent", "LANG=C", "LC_ALL"});
    ASSERT_TRUE(host.started());
    EXPECT_EQ(GetVersion(host), kVersionReply);
    EXPECT_NE(Call(host, R"({"function":"GetLastErrorDesc","params":[]})").find("\"errorcode\":0,"),
              std::string::npos);
    const std::string mapped = MappedObjects(host.pid());
    ASSERT_NE(mapped.find("libc.so"), std::string::npos) << mapped;
    std::vector<const char*> unwanted = {"libgtk-3", "libgdk-3", "libgcr",
                                         "libcairo", "libpango", "libgdk_pixbuf",
                                         "libnss3",  "libnspr4", "libtessora-"};
#ifdef TESSORA_DELAY_LOAD_CRYPTO
    unwanted.push_back("libcrypto");  // bound on the first call of one of its functions
#endif
    for (const char* library : unwanted)
        EXPECT_EQ(mapped.find(library), std::string::npos) << library << " is mapped:\n" << mapped;
    EXPECT_EQ(host.Finish(), 0);
}

// The host copied into an installed layout (bin/tessora-host, lib/tessora/), without the modules
// named; for each case the first request that needs a module and the request after it.
TEST(HostModules, InstalledLayoutFindsItsModulesAndAMissingOneFailsCleanly) {
    const NssFixture nss;
    ASSERT_TRUE(nss.ok()) << "the test NSS database was not made";
    const fs::path built_modules =
        fs::path(TESSORA_HOST_PATH).parent_path() / ".." / "lib" / "tessora";
    struct Case {
        const char* name;
        std::vector<const char*> removed;
        const char* subject;  // one candidate is taken at once, three open the dialog
        const char* expected;
    };
    const Case cases[] = {
        {"all modules", {}, "Alice", "\"errorcode\":0,"},
        {"no store module", {kNssModule}, "Alice", kModuleNotFound},
        {"no window module, one candidate", {kWindowModule}, "Alice", "\"errorcode\":0,"},
        {"no window module, the dialog", {kWindowModule}, "Alice#Bob#Dave", kModuleNotFound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const test_shell::TempDir root;
        fs::create_directories(root.path() / "bin");
        fs::create_directories(root.path() / "lib" / "tessora");
        fs::copy_file(TESSORA_HOST_PATH, root.path() / "bin" / "tessora-host");
        for (const char* module : {kWindowModule, kNssModule})
            fs::copy_file(built_modules / module, root.path() / "lib" / "tessora" / module);
        for (const char* module : c.removed) fs::remove(root.path() / "lib" / "tessora" / module);

        HostSession host({"HOME=" + nss.home(), "LANG=C", "LC_ALL", "DISPLAY", "WAYLAND_DISPLAY"},
                         (root.path() / "bin" / "tessora-host").string());
        ASSERT_TRUE(host.started());
        EXPECT_NE(SelectCertificate(host, c.subject).find(c.expected), std::string::npos);
        EXPECT_EQ(GetVersion(host), kVersionReply);
        EXPECT_EQ(host.Finish(), 0);
    }
}

}  // namespace
