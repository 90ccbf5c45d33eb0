// tessora-doctor end to end: the real binary over a working setup of its own (an NSS database with
// keys, Chromium registered with the real tessora-register, a private X server) and over each
// fault a user meets. Every problem must come with a command that, run as printed, mends it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/dialog/DialogTestSupport.h"
#include "tests/support/NssFixture.h"
#include "tests/support/Shell.h"

namespace {

namespace fs = std::filesystem;
using test_shell::Quote;

// Everything the doctor looks at, in one temporary folder.
class DoctorSetup {
  public:
    explicit DoctorSetup(const NssFixture& database) {
        fs::create_directories(home().parent_path());
        fs::copy(database.home(), home(), fs::copy_options::recursive);
        fs::create_directories(config() / "chromium");
        std::ofstream(config() / "chromium" / "Local State") << "{}";
        fs::create_directories(dir_.path() / "run");
        display_ = "DISPLAY=" + dialog_test::ProgramDisplay().name();
    }

    fs::path home() const { return dir_.path() / "home"; }
    fs::path config() const { return dir_.path() / "config"; }
    fs::path database() const { return home() / ".pki" / "nssdb"; }
    void set_display(const std::string& assignment) { display_ = assignment; }

    // A command as the user would run it in this setup: this HOME, configuration and runtime
    // folder, the project's tools on PATH, nothing else of the person running the tests.
    int Run(const std::string& command, std::string* output) const {
        const std::string env =
            "env -u WAYLAND_DISPLAY -u DISPLAY -u XDG_CACHE_HOME -u SOFTSKF_STATE " + display_ +
            " HOME=" + Quote(home().string()) + " XDG_CONFIG_HOME=" + Quote(config().string()) +
            " XDG_RUNTIME_DIR=" + Quote((dir_.path() / "run").string()) +
            " PATH=" + Quote(std::string(TESSORA_TOOL_PATH) + ":/usr/bin:/bin");
        return test_shell::Run(env + " sh -c " + Quote(command), output);
    }
    int Doctor(std::string* output) const { return Run(TESSORA_DOCTOR_PATH, output); }

  private:
    test_shell::TempDir dir_;
    std::string display_;
};

// The line holding `text`, and the one after it; empty when there is none.
std::pair<std::string, std::string> LineWith(const std::string& output, const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].find(text) != std::string::npos)
            return {lines[i], i + 1 < lines.size() ? lines[i + 1] : std::string()};
    return {};
}

struct DoctorCase {
    const char* name;
    void (*fault)(DoctorSetup&);
    std::string verdict;    // the start of the line, verdict word and all
    std::string fix;        // the command of the line after it; empty: no fix line
    bool fix_mends = true;  // running the command makes the verdict line go away
};

// ctest shows the case by its name.
void PrintTo(const DoctorCase& c, std::ostream* os) { *os << c.name; }

class DoctorTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        database_ = std::make_unique<NssFixture>();
        ASSERT_TRUE(database_->ok());
    }
    static void TearDownTestSuite() { database_.reset(); }

    void SetUp() override {
        setup_ = std::make_unique<DoctorSetup>(*database_);
        std::string output;
        // Every browser found (Chromium by its profile, others on PATH) is registered.
        ASSERT_EQ(setup_->Run(std::string("tessora-register install --host ") + TESSORA_HOST_PATH,
                              &output),
                  0)
            << output;
    }

    static std::unique_ptr<NssFixture> database_;
    std::unique_ptr<DoctorSetup> setup_;
};
std::unique_ptr<NssFixture> DoctorTest::database_;

// Paths inside the setup are only known at run time: "@DB@" stands for the database folder.
std::string Expand(std::string text, const DoctorSetup& setup) {
    const std::string database = setup.database().string();
    for (size_t at; (at = text.find("@DB@")) != std::string::npos;) text.replace(at, 4, database);
    return text;
}

TEST_F(DoctorTest, GoodSetupIsAllOkWithNotesWhereNothingIsNeeded) {
    std::string output;
    EXPECT_EQ(setup_->Doctor(&output), 0) << output;
    for (const char* line :
         {"OK       NSS database @DB@: readable, 7 certificates with a private key (9 in all); "
          "tokens: NSS Certificate DB",
          "OK       Chromium: registered (", "NOTE     SM2 providers: none registered",
          "NOTE     USB-key library ", "OK       Display: :", "OK       Tracing: off ("}) {
        const std::string expected = Expand(line, *setup_);
        EXPECT_EQ(LineWith(output, expected).first.rfind(expected, 0), 0u) << output;
    }
    EXPECT_EQ(output.find("PROBLEM"), std::string::npos) << output;
}

class DoctorFaultTest : public DoctorTest, public testing::WithParamInterface<DoctorCase> {};

TEST_P(DoctorFaultTest, NamesTheFaultAndTheCommandThatMendsIt) {
    const DoctorCase& c = GetParam();
    const std::string verdict = Expand(c.verdict, *setup_), fix = Expand(c.fix, *setup_);
    c.fault(*setup_);
    const auto before = DirectoryChecksums(setup_->database().string());
    std::string output;
    const int status = setup_->Doctor(&output);
    EXPECT_EQ(DirectoryChecksums(setup_->database().string()), before);  // the doctor only reads

    const auto [line, next] = LineWith(output, verdict);
    ASSERT_EQ(line.rfind(verdict, 0), 0u) << output;
    EXPECT_EQ(status, verdict.rfind("PROBLEM", 0) == 0 ? 1 : 0) << output;
    if (fix.empty()) return;
    EXPECT_EQ(next, std::string(9, ' ') + "fix: " + fix) << output;
    if (!c.fix_mends) return;
    ASSERT_EQ(setup_->Run(fix, &output), 0) << output;
    setup_->Doctor(&output);
    EXPECT_EQ(LineWith(output, verdict).first, "") << output;
}

void RemoveDatabase(DoctorSetup& setup) { fs::remove_all(setup.home() / ".pki"); }

void CorruptCertificateFile(DoctorSetup& setup) {
    std::ofstream(setup.database() / "cert9.db", std::ios::trunc) << std::string(4096, 'Z');
}

void EmptyDatabase(DoctorSetup& setup) {
    fs::remove_all(setup.database());
    fs::create_directories(setup.database());
    std::string output;
    setup.Run("certutil -N -d " + Quote("sql:" + setup.database().string()) + " --empty-password",
              &output);
}

void UnregisterChromium(DoctorSetup& setup) {
    fs::remove(setup.config() / "chromium" / "NativeMessagingHosts" / "org.tessora.host.json");
}

void RegisterBrokenProvider(DoctorSetup& setup) {
    fs::create_directories(setup.config() / "tessora" / "providers.d");
    std::ofstream(setup.config() / "tessora" / "providers.d" / "broken.conf")
        << "name = Broken Key\nlibrary = /nonexistent/libbroken_skf.so\n";
}

void NoDisplay(DoctorSetup& setup) { setup.set_display(""); }

void UnreachableDisplay(DoctorSetup& setup) { setup.set_display("DISPLAY=:4999"); }

void TraceToFile(DoctorSetup& setup) {
    std::string output;
    setup.Run("tessora-trace on error,info && tessora-trace sink /tmp/doctor-test.log", &output);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DoctorFaultTest,
    testing::Values(
        DoctorCase{"MissingDatabase", RemoveDatabase,
                   "PROBLEM  NSS database @DB@: missing (@DB@/cert9.db: No such file or directory)",
                   "mkdir -p @DB@ && certutil -N -d sql:@DB@ --empty-password"},
        DoctorCase{"CorruptDatabase", CorruptCertificateFile,
                   "PROBLEM  NSS database @DB@: cannot be opened (SEC_ERROR_BAD_DATABASE: ",
                   "mv @DB@ @DB@.broken && mkdir -p @DB@ && certutil -N -d sql:@DB@ "
                   "--empty-password"},
        DoctorCase{"DatabaseWithoutKeys", EmptyDatabase,
                   "PROBLEM  NSS database @DB@: readable, but no certificate with a private key",
                   "pk12util -d sql:@DB@ -i YOUR-CERTIFICATE.p12", false},
        DoctorCase{"UnregisteredBrowser", UnregisterChromium,
                   "PROBLEM  Chromium: not registered (no manifest)",
                   "tessora-register install --browser chromium --host " TESSORA_HOST_PATH},
        DoctorCase{"BrokenProvider", RegisterBrokenProvider,
                   "PROBLEM  SM2 provider \"Broken Key\": /nonexistent/libbroken_skf.so is missing",
                   "tessora-providers remove 'Broken Key'"},
        DoctorCase{"NoDisplay", NoDisplay,
                   "PROBLEM  Display: neither DISPLAY nor WAYLAND_DISPLAY is set",
                   "export DISPLAY=:0", false},
        DoctorCase{"UnreachableDisplay", UnreachableDisplay,
                   "PROBLEM  Display: DISPLAY=:4999: no display could be opened",
                   "export DISPLAY=:0", false},
        DoctorCase{"TraceOn", TraceToFile,
                   "NOTE     Tracing: on, flags 0x5, into /tmp/doctor-test.log", "", false}),
    [](const testing::TestParamInfo<DoctorCase>& info) { return std::string(info.param.name); });

}  // namespace
