// The agent's GetKeyID in this process, for what the host's answer hides: the out text is always
// a string (empty after a failure) and the call records its result.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "agent/CryptoAgent.h"
#include "common/Utf.h"
#include "tests/fixtures/softskf/SoftSkfTesting.h"

namespace {

namespace fs = std::filesystem;

struct AgentCase {
    const char* label;
    const char* library;  // installed as the USB-key library; null: none
    uint32_t code;
    const char* key_id;
};

void PrintTo(const AgentCase& c, std::ostream* os) { *os << c.label; }

class GetKeyIdAgentTest : public ::testing::TestWithParam<AgentCase> {
  protected:
    GetKeyIdAgentTest() : state_(dir_.path() / "state"), previous_(fs::current_path()) {
        setenv("SOFTSKF_STATE", state_.path().c_str(), 1);
        // This executable's system library directory is relative to the working folder.
        fs::current_path(dir_.path());
    }
    ~GetKeyIdAgentTest() override {
        fs::current_path(previous_);
        unsetenv("SOFTSKF_STATE");
    }

    softskf_testing::TempDir dir_;
    softskf_testing::StateFile state_;
    fs::path previous_;
};

TEST_P(GetKeyIdAgentTest, AlwaysHandsOutAStringAndRecordsTheResult) {
    const AgentCase& c = GetParam();
    state_.Write(softskf_testing::Device("KEY1", "4A31000123"));
    if (c.library != nullptr) {
        fs::create_directories(TEST_SYSTEM_LIBDIR);
        fs::copy_file(c.library, fs::path(TEST_SYSTEM_LIBDIR) / "libVELK_UKEY_GMAPI.so");
    }

    CCryptoAgent agent;
    BStr key_id;
    EXPECT_EQ(static_cast<uint32_t>(agent.GetKeyID(u"", key_id.Receive())), c.code);
    EXPECT_EQ(static_cast<uint32_t>(agent.m_hLastResult), c.code);
    ASSERT_FALSE(key_id.IsNull());
    EXPECT_EQ(Utf16ToUtf8String(key_id.View()), c.key_id);
    EXPECT_EQ(state_.Unloads(), state_.Loads());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GetKeyIdAgentTest,
    ::testing::Values(AgentCase{"OneKey", SOFTSKF_LIBRARY, 0, "4A31000123"},
                      AgentCase{"LibraryAbsent", nullptr, 0x8007007E, ""},
                      AgentCase{"GetDevInfoMissing", SOFTSKF_NO_GETDEVINFO_LIBRARY, 0xA0074003,
                                ""}),
    [](const ::testing::TestParamInfo<AgentCase>& info) { return info.param.label; });

}  // namespace
