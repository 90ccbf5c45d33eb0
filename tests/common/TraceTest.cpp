#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "common/Trace.h"
#include "platform/runtime/LastError.h"

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(Trace, EventsOfAnOffFlagFormatNothing) {
    trace::g_enable_flags.store(0);
    int evaluated = 0;
    auto touch = [&] { return ++evaluated; };
    TRACE_INFO("%d", touch());
    FAILED_STEP("Unit", "step", touch(), "reason");
    FAILED_STEP_W("Unit", "step", -1, (touch(), "reason"));
    EXPECT_EQ(0, evaluated);
}

TEST(Trace, FunctionNameDropsReturnTypeAndParameters) {
    EXPECT_EQ(
        "CCryptoAgent::SetSM2CSPList",
        trace::FunctionName("HRESULT CCryptoAgent::SetSM2CSPList(const char16_t*, short int*)"));
    EXPECT_EQ("ReadFromNativeMessaging",
              trace::FunctionName("int ReadFromNativeMessaging(char**, int, uint32_t*)"));
    EXPECT_EQ("Get", trace::FunctionName("const char* Get()"));
}

TEST(Trace, ControlFileSwitchesFlagsAndFileSinkAndKeepsLastError) {
    char dir_template[] = "/tmp/tessora-trace-test-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir_template));
    const std::string dir = dir_template;
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    ASSERT_EQ(0, system(("mkdir -p " + dir + "/tessora").c_str()));
    const std::string log = dir + "/trace.log";
    std::ofstream(dir + "/tessora/trace.conf") << "flags 0x5\nsink file " << log << "\n";

    trace::Start("common_tests");
    EXPECT_TRUE(trace::IsEnabled(trace::kFlagInfo));
    EXPECT_FALSE(trace::IsEnabled(trace::kFlagWideError));
    SetLastError(1234);
    OK_STEP("IOStream", "write");
    FAILED_STEP("IOStream", "New memory", -1, "!pbyWriteBuf");
    EXPECT_EQ(1234u, GetLastError());
    const std::string text = Slurp(log);
    EXPECT_NE(std::string::npos, text.find("[IOStream("));
    EXPECT_NE(std::string::npos, text.find("--OK\n"));
    EXPECT_NE(std::string::npos, text.find("--Failed:(0xffffffff) [Reason:!pbyWriteBuf]"));

    // Switched off from outside: the next refresh sees it.
    std::ofstream(dir + "/tessora/trace.conf") << "flags 0\nsink file " << log << "\n";
    trace::RefreshControl();
    EXPECT_FALSE(trace::IsEnabled(trace::kFlagInfo));
    trace::Stop();
    ASSERT_EQ(0, system(("rm -rf " + dir).c_str()));
}

}  // namespace
