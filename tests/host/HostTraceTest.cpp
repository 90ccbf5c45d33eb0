// Tracing switched from outside while one host runs: tessora-trace turns the flags and a file
// sink on, the step lines of the host's units appear in the file, and after "off" nothing more
// is added. Standard output carries only frames, standard error nothing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/HostSession.h"
#include "tests/support/NssFixture.h"
#include "tests/support/Shell.h"

namespace {

namespace fs = std::filesystem;

using test_shell::ReadFile;
using test_shell::TempDir;

// Runs tessora-trace with the test's control-file location; its own output is not ours to check.
int Trace(const fs::path& runtime_dir, const std::string& arguments) {
    const std::string command = "XDG_RUNTIME_DIR='" + runtime_dir.string() + "' '" +
                                TESSORA_TRACE_PATH + "' " + arguments + " >/dev/null 2>&1";
    return std::system(command.c_str());
}

TEST(HostTrace, FlagsAndFileSinkSwitchWhileTheHostRuns) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const fs::path log = dir.path() / "host.log";
    tessora::HostPipe host;
    std::vector<std::string> env = host_session::LanguageEnvironment("C.UTF-8");
    env.push_back("XDG_RUNTIME_DIR=" + dir.path().string());
    ASSERT_TRUE(host.Start(TESSORA_HOST_PATH, env));
    const auto exchange = [&host](const std::string& request) {
        std::string response;
        EXPECT_TRUE(host.WriteFrame(request, host_session::kTimeoutMs));
        EXPECT_EQ(host.ReadFrame(&response, host_session::kTimeoutMs),
                  tessora::HostPipe::ReadStatus::kFrame);
        return response;
    };
    const std::string get_version = R"({"function":"GetVersion","params":[]})";
    const std::string version = R"({"function":"GetVersion","errorcode":0,"result":"3.4.0.3"})";

    EXPECT_EQ(exchange(get_version), version);
    EXPECT_FALSE(fs::exists(log));

    ASSERT_EQ(Trace(dir.path(), "sink '" + log.string() + "'"), 0);
    ASSERT_EQ(Trace(dir.path(), "on 0xF"), 0);
    EXPECT_EQ(exchange(get_version), version);
    // A handler failure and a parameter-type failure put the failed step lines of both units.
    EXPECT_EQ(exchange(R"({"function":"GetSignCertInfo","params":[5]})"),
              R"({"function":"GetSignCertInfo","errorcode":-1610141180,"result":false})");

    ASSERT_EQ(Trace(dir.path(), "off"), 0);
    // The host sees "off" when this request arrives; every line before it is in the file now.
    EXPECT_EQ(exchange(get_version), version);
    const std::string traced = ReadFile(log);
    for (const char* expected : {"[IOStream(", "--OK", "[nmMessageSigning(", "[JSONUtility(",
                                 "[TessoraHost(", "(MsgHandleProc -- ReadFromNativeMessaging)",
                                 "nmGetSignCertInfo", "[Reason:cJSON_String != pJSONItem->type]"}) {
        EXPECT_NE(traced.find(expected), std::string::npos) << expected << "\n" << traced;
    }
    EXPECT_EQ(exchange("not json"), R"({"function":"", "errorcode":-2146893779, "result":false})");
    EXPECT_EQ(host.Finish(host_session::kTimeoutMs), 0);
    EXPECT_EQ(ReadFile(log).size(), traced.size()) << "traced after off";
    EXPECT_EQ(host.output(), "");  // every byte was part of a frame
    EXPECT_EQ(host.errors(), "");
}

// A database NSS cannot open answers the page as an empty store always did (0xA0071001, no
// available certificate), while the trace says why in NSS's own words; the files stay as they were.
TEST(HostTrace, BrokenNssDatabaseIsTracedWithNssOwnErrorAndLeftAsItWas) {
    struct Fault {
        const char* file;  // replaced by garbage
        const char* traced;
    };
    const NssFixture database;
    ASSERT_TRUE(database.ok());
    for (const Fault& fault : {Fault{"cert9.db", "SEC_ERROR_BAD_DATABASE: "},
                               Fault{"key4.db", "SEC_ERROR_BAD_DATABASE: "}}) {
        TempDir dir;
        const fs::path home = dir.path() / "home";
        fs::copy(database.home(), home, fs::copy_options::recursive);
        const fs::path nssdb = home / ".pki" / "nssdb";
        dir.Write("home/.pki/nssdb/" + std::string(fault.file), std::string(8192, 'Z'));
        const auto before = DirectoryChecksums(nssdb.string());
        const fs::path log = dir.path() / "host.log";
        ASSERT_EQ(Trace(dir.path(), "sink '" + log.string() + "'"), 0);
        ASSERT_EQ(Trace(dir.path(), "on error"), 0);

        std::vector<std::string> env = host_session::LanguageEnvironment("C.UTF-8");
        env.push_back("HOME=" + home.string());
        env.push_back("XDG_RUNTIME_DIR=" + dir.path().string());
        host_session::HostSession host(env);
        const host_session::Response response =
            host.Call(R"({"function":"SelectCertificate","params":["","",""]})");
        EXPECT_EQ(response.errorcode, static_cast<int32_t>(0xA0071001u)) << response.text;
        EXPECT_EQ(host.Finish(), 0);

        const std::string traced = ReadFile(log);
        EXPECT_NE(traced.find("NSS_InitContext"), std::string::npos) << traced;
        EXPECT_NE(traced.find(fault.traced), std::string::npos) << traced;
        EXPECT_EQ(DirectoryChecksums(nssdb.string()), before) << fault.file;
    }
}

}  // namespace
