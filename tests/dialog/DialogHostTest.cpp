// The selection dialog and the PIN prompt through the real tessora-host, with a throwaway NSS
// database and a private X server: a person picks, cancels or closes, and types PINs.
#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "tests/dialog/DialogTestSupport.h"
#include "tests/support/HostSession.h"
#include "tests/support/NssFixture.h"

namespace {

using dialog_test::RunCommand;
using dialog_test::WithPerson;
using host_session::HostSession;
using host_session::Response;

constexpr int64_t kUserCanceled = static_cast<int32_t>(0xA0071002u);
constexpr int64_t kCertNotReady = static_cast<int32_t>(0xA0072001u);
constexpr int64_t kNoDialog = static_cast<int32_t>(0x8007057Eu);

dialog_test::PrivateDisplay* g_display = nullptr;

class DisplayEnvironment : public testing::Environment {
  public:
    void SetUp() override { g_display = new dialog_test::PrivateDisplay(1024, 768); }
    void TearDown() override {
        delete g_display;
        g_display = nullptr;
    }
};
const testing::Environment* const kDisplayEnvironment =
    testing::AddGlobalTestEnvironment(new DisplayEnvironment);

std::vector<std::string> HostEnvironment(const NssFixture& nss, bool with_display) {
    std::vector<std::string> env = {
        "HOME=" + nss.home(), "LANG=C",          "LC_ALL",
        "LC_MESSAGES",        "XDG_RUNTIME_DIR", "XDG_CACHE_HOME",
        "WAYLAND_DISPLAY",    "NO_AT_BRIDGE=1",  "GSETTINGS_BACKEND=memory"};
    env.push_back(with_display ? "DISPLAY=" + g_display->name() : "DISPLAY");
    return env;
}

// Three signing certificates of the fixture; the dialog lists them by common name.
const std::vector<std::string> kThreeCandidates = {"\"Alice#Bob#Dave\"", "\"\"", "\"\""};
const char* const kSortedNames[] = {"Alice Signer", "Bob NonRep", "Dave Multi"};

class DialogHostTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(g_display != nullptr && g_display->ok()) << "Xvfb did not start";
        ASSERT_TRUE(nss_.ok()) << "the test NSS database was not made";
    }
    NssFixture nss_;
};

struct PickCase {
    const char* name;
    std::string keys;  // xdotool key names, or "close-box"
    int64_t code;
    const char* chosen;  // the SubjectCN afterwards; null: no certificate is chosen
};

// ctest shows the case by its name.
void PrintTo(const PickCase& c, std::ostream* os) { *os << c.name; }

class DialogPickTest : public DialogHostTest, public testing::WithParamInterface<PickCase> {};

TEST_P(DialogPickTest, PersonPicksThroughTheHost) {
    const PickCase& c = GetParam();
    HostSession host(HostEnvironment(nss_, true));
    // A previous choice, made without a dialog (one candidate), that a cancel must forget.
    ASSERT_EQ(host.Call("SelectCertificate", {"\"Alice\"", "\"\"", "\"\""}).errorcode, 0);
    Response selected;
    WithPerson(
        [&] { selected = host.Call("SelectCertificate", kThreeCandidates); },
        [&](unsigned long window) {
            if (c.keys == "close-box") {
                RunCommand(std::string(TESSORA_SEND_DELETE_WINDOW) + " " + std::to_string(window));
            } else {
                RunCommand("xdotool key " + c.keys);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        });
    EXPECT_EQ(selected.errorcode, c.code);
    const Response cn = host.Call("GetSignCertInfo", {"\"SubjectCN\""});
    if (c.chosen != nullptr) {
        EXPECT_EQ(cn.errorcode, 0);
        EXPECT_EQ(cn.result, c.chosen);
    } else {
        EXPECT_EQ(cn.errorcode, kCertNotReady);
    }
    EXPECT_EQ(host.Finish(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, DialogPickTest,
    testing::Values(PickCase{"ReturnPicksTheFirst", "Return", 0, kSortedNames[0]},
                    PickCase{"TabTabDownReturnPicksTheSecond", "Tab Tab Down Return", 0,
                             kSortedNames[1]},
                    PickCase{"EscapeCancelsAndForgets", "Escape", kUserCanceled, nullptr},
                    PickCase{"CloseBoxCancelsAndForgets", "close-box", kUserCanceled, nullptr}),
    [](const testing::TestParamInfo<PickCase>& info) { return std::string(info.param.name); });

TEST_F(DialogHostTest, WithoutADisplayNoDialogIsMade) {
    HostSession host(HostEnvironment(nss_, false));
    EXPECT_EQ(host.Call("SelectCertificate", kThreeCandidates).errorcode, kNoDialog);
    EXPECT_EQ(host.Finish(), 0);
}

// A database whose keys need a login: signing asks for the PIN through the host's prompt.
class PinPromptHostTest : public testing::Test {
  protected:
    static void SetUpTestSuite() { nss_ = new NssFixture(kPassword); }
    static void TearDownTestSuite() {
        delete nss_;
        nss_ = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(g_display != nullptr && g_display->ok()) << "Xvfb did not start";
        ASSERT_TRUE(nss_->ok()) << "the test NSS database was not made";
    }
    // Signs with the one certificate that matches "Alice" while a person answers each prompt in
    // turn ("TYPE:text" types and presses Return, anything else is a key).
    Response SignAnswering(const std::vector<std::string>& answers, int* prompts) {
        HostSession host(HostEnvironment(*nss_, true));
        EXPECT_EQ(host.Call("SelectCertificate", {"\"Alice\"", "\"\"", "\"\""}).errorcode, 0);
        Response signed_data;
        *prompts = 0;
        WithPerson(
            [&] {
                signed_data = host.Call("SignMsgPKCS7", {"\"text\"", "\"SHA-256\"", "true"});
            },
            [&](unsigned long) {
                for (size_t i = 0; i < answers.size(); ++i) {
                    if (i > 0 && dialog_test::WaitForWindow(kPinCaption, 5) == 0) break;
                    ++*prompts;
                    if (answers[i].rfind("TYPE:", 0) == 0) {
                        RunCommand("xdotool type --delay 30 " + answers[i].substr(5));
                        RunCommand("xdotool key Return");
                    } else {
                        RunCommand("xdotool key " + answers[i]);
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(600));
                }
            },
            kPinCaption);
        EXPECT_EQ(host.Finish(), 0);
        return signed_data;
    }
    static constexpr char kPassword[] = "s3cret-PIN";
    static constexpr char kPinCaption[] = "PIN Required";
    static NssFixture* nss_;
};
NssFixture* PinPromptHostTest::nss_ = nullptr;

TEST_F(PinPromptHostTest, TheRightPinSigns) {
    int prompts = 0;
    const Response signed_data = SignAnswering({std::string("TYPE:") + kPassword}, &prompts);
    EXPECT_EQ(signed_data.errorcode, 0);
    EXPECT_FALSE(signed_data.result.empty());
    EXPECT_EQ(prompts, 1);
}

TEST_F(PinPromptHostTest, AWrongPinAsksAgain) {
    int prompts = 0;
    const Response signed_data =
        SignAnswering({"TYPE:wrong", std::string("TYPE:") + kPassword}, &prompts);
    EXPECT_EQ(prompts, 2);
    EXPECT_EQ(signed_data.errorcode, 0);
    EXPECT_FALSE(signed_data.result.empty());
}

TEST_F(PinPromptHostTest, CancelFailsSigningWithTheCancelCode) {
    int prompts = 0;
    const Response signed_data = SignAnswering({"Escape"}, &prompts);
    EXPECT_EQ(signed_data.errorcode, static_cast<int32_t>(0x800704C7u));  // ERROR_CANCELLED
    EXPECT_TRUE(signed_data.result.empty());
}

}  // namespace
