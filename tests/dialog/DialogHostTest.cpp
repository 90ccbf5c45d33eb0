// The selection dialog and the PIN prompt through the real tessora-host, with a throwaway NSS
// database and a private X server: a person picks, cancels or closes, and types PINs.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
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

constexpr int64_t kNoAvailableCert = static_cast<int32_t>(0xA0071001u);
constexpr char kDialogCaption[] = "Windows Security";
// NSS's SQLite store waits out a busy database: each statement retries about 30 times with a
// one-second SQLite busy timeout before it fails, so a request that meets a locked file takes
// about 30 seconds (opening the database gives up after one). Bounded, but not shorter.
constexpr double kLockedAnswerSeconds = 60;
constexpr int64_t kNoKey = static_cast<int32_t>(0x8009000Du);    // NTE_NO_KEY
constexpr int64_t kNteFail = static_cast<int32_t>(0x80090020u);  // NTE_FAIL

dialog_test::PrivateDisplay* g_display = nullptr;

// Another process (python3's sqlite3) holding an exclusive lock on an SQLite file, as a second
// program writing the database would, until Release or the end of the scope.
class SqliteLock {
  public:
    SqliteLock(const std::string& database, const std::string& marker) {
        std::filesystem::remove(marker);
        const std::string script =
            "import pathlib, sqlite3, sys\n"
            "c = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
            "c.execute('BEGIN EXCLUSIVE')\n"
            "pathlib.Path(sys.argv[2]).touch()\n"
            "sys.stdin.read()\n";
        locker_ = popen(("exec python3 -c " + test_shell::Quote(script) + " " +
                         test_shell::Quote(database) + " " + test_shell::Quote(marker))
                            .c_str(),
                        "w");
        for (int i = 0; locker_ != nullptr && i < 100 && !held_; ++i) {
            held_ = std::filesystem::exists(marker);
            if (!held_) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    ~SqliteLock() { Release(); }
    SqliteLock(const SqliteLock&) = delete;
    SqliteLock& operator=(const SqliteLock&) = delete;

    bool held() const { return held_; }
    // Ends the locking process (its input closes) and waits for it.
    void Release() {
        if (locker_ != nullptr) pclose(locker_);
        locker_ = nullptr;
        held_ = false;
    }

  private:
    FILE* locker_ = nullptr;
    bool held_ = false;
};

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

// The browser going away (both pipes closed) while a window of the host waits for a person: the
// window closes as cancelled and the host ends by itself within seconds, as after any failed
// write of an answer: exit code 255, the low byte of the failure.
void ExpectHostEndsOnHangUp(HostSession& host, const std::string& caption) {
    ASSERT_NE(dialog_test::WaitForWindow(caption), 0u) << caption;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(host.HangUp(10 * 1000), 255) << caption << " (-1: the host did not end)";
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took.count(), 5.0) << caption;
    EXPECT_FALSE(dialog_test::WindowExists(caption)) << caption;
}

TEST_F(DialogHostTest, TheBrowserHangingUpClosesTheDialogAndEndsTheHost) {
    HostSession host(HostEnvironment(nss_, true));
    ASSERT_TRUE(host.Send("SelectCertificate", kThreeCandidates));
    ExpectHostEndsOnHangUp(host, kDialogCaption);
}

// A request waiting to be read while the dialog is open is no hang-up: the dialog stays.
TEST_F(DialogHostTest, ARequestWaitingWhileTheDialogIsOpenKeepsIt) {
    HostSession host(HostEnvironment(nss_, true));
    ASSERT_TRUE(host.Send("SelectCertificate", kThreeCandidates));
    ASSERT_TRUE(host.Send("GetVersion", {}));
    ASSERT_NE(dialog_test::WaitForWindow(kDialogCaption), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(dialog_test::WindowExists(kDialogCaption));
    RunCommand("xdotool key Return");
    EXPECT_EQ(host.Receive().errorcode, 0);
    EXPECT_EQ(host.Receive().result, "3.4.0.3");
    EXPECT_EQ(host.Finish(), 0);
}

// Another process holding an exclusive SQLite lock on a database file while the host chooses and
// signs: each request answers within a bounded time (a coded failure or, with the data already
// read, success), the host goes on serving, the files are unchanged, and the trace says why.
TEST_F(DialogHostTest, ADatabaseLockedByAnotherProcess) {
    const std::string runtime_dir = nss_.root() + "/runtime";
    const std::string trace_file = nss_.root() + "/host-trace.log";
    std::filesystem::create_directories(runtime_dir + "/tessora");
    std::ofstream(runtime_dir + "/tessora/trace.conf")
        << "flags 15\nsink file " << trace_file << "\n";
    std::vector<std::string> env = HostEnvironment(nss_, false);
    env.push_back("XDG_RUNTIME_DIR=" + runtime_dir);
    const auto before = nss_.Checksums();
    auto timed = [](HostSession& host, const std::string& function,
                    const std::vector<std::string>& params, double* seconds) {
        const auto start = std::chrono::steady_clock::now();
        const Response response = host.Call(function, params);
        *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return response;
    };
    const std::vector<std::string> alice = {"\"Alice\"", "\"\"", "\"\""};
    const std::vector<std::string> sign = {"\"text\"", "\"SHA-256\"", "true"};
    // The certificate database locked, the key is not found; the key database locked, the
    // token fails.
    const struct {
        const char* file;
        int64_t sign_code;
    } cases[] = {{"cert9.db", kNoKey}, {"key4.db", kNteFail}};
    for (const auto& [file, sign_code] : cases) {
        double seconds = 0;
        {
            // Locked from the start: NSS cannot open the database.
            HostSession host(env);
            SqliteLock lock(nss_.database_dir() + "/" + file, nss_.root() + "/locked");
            ASSERT_TRUE(lock.held()) << file;
            const Response selected = timed(host, "SelectCertificate", alice, &seconds);
            EXPECT_EQ(selected.errorcode, kNoAvailableCert) << file;
            EXPECT_LT(seconds, kLockedAnswerSeconds) << file;
            EXPECT_EQ(host.Call("GetVersion", {}).result, "3.4.0.3") << file;
            lock.Release();
            EXPECT_EQ(host.Call("SelectCertificate", alice).errorcode, 0) << file;
            EXPECT_EQ(host.Call("SignMsgPKCS7", sign).errorcode, 0) << file;
            EXPECT_EQ(host.Finish(), 0) << file;
        }
        {
            // Locked after the choice, while signing.
            HostSession host(env);
            ASSERT_EQ(host.Call("SelectCertificate", alice).errorcode, 0) << file;
            SqliteLock lock(nss_.database_dir() + "/" + file, nss_.root() + "/locked");
            ASSERT_TRUE(lock.held()) << file;
            const Response signed_data = timed(host, "SignMsgPKCS7", sign, &seconds);
            EXPECT_LT(seconds, kLockedAnswerSeconds) << file;
            EXPECT_EQ(signed_data.errorcode, sign_code) << file;
            EXPECT_EQ(host.Call("GetVersion", {}).result, "3.4.0.3") << file;
            lock.Release();
            EXPECT_EQ(host.Call("SignMsgPKCS7", sign).errorcode, 0) << file;
            EXPECT_EQ(host.Finish(), 0) << file;
        }
    }
    EXPECT_EQ(nss_.Checksums(), before);
    // Every failed NSS step says NSS's reason: two failed opens and two failed signatures.
    std::istringstream traced(test_shell::ReadFile(trace_file));
    int nss_failures = 0;
    for (std::string line; std::getline(traced, line);) {
        if (line.find("NssCertPlatform") == std::string::npos ||
            line.find("--Failed") == std::string::npos)
            continue;
        ++nss_failures;
        EXPECT_NE(line.find("SEC_ERROR_"), std::string::npos) << line;
    }
    EXPECT_GE(nss_failures, 4);
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

TEST_F(PinPromptHostTest, TheBrowserHangingUpClosesThePromptAndEndsTheHost) {
    HostSession host(HostEnvironment(*nss_, true));
    ASSERT_EQ(host.Call("SelectCertificate", {"\"Alice\"", "\"\"", "\"\""}).errorcode, 0);
    ASSERT_TRUE(host.Send("SignMsgPKCS7", {"\"text\"", "\"SHA-256\"", "true"}));
    ExpectHostEndsOnHangUp(host, kPinCaption);
}

TEST_F(PinPromptHostTest, CancelFailsSigningWithTheCancelCode) {
    int prompts = 0;
    const Response signed_data = SignAnswering({"Escape"}, &prompts);
    EXPECT_EQ(signed_data.errorcode, static_cast<int32_t>(0x800704C7u));  // ERROR_CANCELLED
    EXPECT_TRUE(signed_data.result.empty());
}

}  // namespace
