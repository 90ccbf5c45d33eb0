// tessora-providers, run as a command in a throwaway folder: its own XDG_CONFIG_HOME for the user
// folder, and (in this test build) a system folder relative to the working directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/Shell.h"
#include "tests/support/SoftToken.h"

namespace {

namespace fs = std::filesystem;

struct ToolRun {
    int status = -1;
    std::string output;  // standard output and standard error
};

class ProvidersToolTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(token_.ok()); }

    ToolRun Tool(const std::string& args) {
        using test_shell::Quote;
        ToolRun run;
        run.status = test_shell::Run("cd " + Quote(token_.root().string()) +
                                         " && XDG_CONFIG_HOME=" + Quote(token_.config_home()) +
                                         " HOME=" + Quote(token_.root().string()) +
                                         " SOFTSKF_STATE=" + Quote(token_.state().path().string()) +
                                         " " + Quote(TESSORA_PROVIDERS_PATH) + " " + args,
                                     &run.output);
        return run;
    }

    static std::string Read(const fs::path& path) { return test_shell::ReadFile(path); }

    std::string UserFolder() const { return token_.folders().user; }
    // The system folder this build of the command uses, relative to its working directory.
    fs::path SystemFolder() const { return token_.root() / TEST_PROVIDER_SYSTEM_DIR; }

    soft_token::SoftToken token_;
};

TEST_F(ProvidersToolTest, AddListAndRemoveInTheUserFolder) {
    fs::create_symlink(SOFTSKF_LIBRARY, token_.root() / "token.so");
    ToolRun run = Tool("add 'Soft SM2 Token' token.so");  // relative to the working directory
    ASSERT_EQ(run.status, 0) << run.output;
    ASSERT_EQ(fs::directory_iterator(UserFolder()) == fs::directory_iterator(), false);
    const fs::path file = fs::directory_iterator(UserFolder())->path();
    EXPECT_EQ(file.extension(), ".conf");
    const std::string absolute = (token_.root() / "token.so").string();
    EXPECT_NE(Read(file).find("library = " + absolute + "\n"), std::string::npos) << Read(file);

    run = Tool("list");
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.output.find("Soft SM2 Token\n  library:    " + absolute), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("registered: user (" + file.string() + ")"), std::string::npos);
    EXPECT_NE(run.output.find("loads:      yes"), std::string::npos);

    // The same name again updates its file; a library that is no SKF library still registers,
    // with a warning.
    run = Tool("add 'Soft SM2 Token' /bin/true");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("warning: the library does not load (0x800700C1)"), std::string::npos)
        << run.output;
    EXPECT_NE(Read(file).find("library = /bin/true\n"), std::string::npos);
    EXPECT_NE(Tool("list").output.find("loads:      no (0x800700C1)"), std::string::npos);

    EXPECT_EQ(Tool("remove 'Soft SM2 Token'").status, 0);
    EXPECT_FALSE(fs::exists(file));
    EXPECT_NE(Tool("list").output.find("No SM2 provider is registered."), std::string::npos);
    EXPECT_EQ(Tool("remove 'Soft SM2 Token'").status, 1);
}

TEST_F(ProvidersToolTest, SystemEntriesAndTheUserEntryThatReplacesOne) {
    ASSERT_EQ(Tool(std::string("add Token --system ") + SOFTSKF_LIBRARY).status, 0);
    ASSERT_EQ(fs::directory_iterator(SystemFolder()) == fs::directory_iterator(), false);
    EXPECT_NE(Tool("list").output.find(std::string("registered: system (") +
                                       TEST_PROVIDER_SYSTEM_DIR + "/Token.conf)"),
              std::string::npos);

    ASSERT_EQ(Tool("add Token /bin/true").status, 0);
    ToolRun run = Tool("list");
    EXPECT_NE(run.output.find("Token\n  library:    /bin/true\n  registered: user"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(run.output.find("registered: system"), std::string::npos) << run.output;

    EXPECT_EQ(Tool("remove Token").status, 0);
    EXPECT_NE(Tool("list").output.find("registered: system"), std::string::npos);
    run = Tool("remove Token");  // only the system entry is left
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("use --system"), std::string::npos) << run.output;
    EXPECT_EQ(Tool("remove --system Token").status, 0);
    EXPECT_TRUE(fs::is_empty(SystemFolder()));
}

TEST_F(ProvidersToolTest, RefusesWhatCannotWork) {
    const struct {
        std::string args;
        int status;
        const char* says;
    } cases[] = {
        {"", 2, "usage:"},
        {"frob", 2, "usage:"},
        {"add OnlyName", 2, "usage:"},
        {"list --system", 2, "usage:"},
        {"add 'A||B' /bin/true", 2, "\"||\""},
        {"add ' Padded' /bin/true", 2, "blank"},
        {"add Missing ./no-such-library.so", 1, "no library at"},
        {"check Unknown", 1, "is not registered"},
    };
    for (const auto& c : cases) {
        const ToolRun run = Tool(c.args);
        EXPECT_EQ(run.status, c.status) << c.args << "\n" << run.output;
        EXPECT_NE(run.output.find(c.says), std::string::npos) << c.args << "\n" << run.output;
    }
    EXPECT_FALSE(fs::exists(UserFolder() + "/A__B.conf"));
}

// check walks the token as it is, shows SAR codes where a call fails, and never logs in or signs.
TEST_F(ProvidersToolTest, CheckShowsTheTokenWithoutAPin) {
    const soft_token::KeyPair signer =
        soft_token::MakeKeyPair("C=CN,O=Tessora Test,CN=Alice SM2", 0xC0, 0x1001);
    const soft_token::KeyPair encrypter =
        soft_token::MakeKeyPair("C=CN,O=Tessora Test,CN=Alice SM2 Enc", 0x30, 0x1002);
    const auto [sign_key, sign_cert] = token_.WriteKeyPair("sign", signer);
    const auto [enc_key, enc_cert] = token_.WriteKeyPair("enc", encrypter);
    const std::string config =
        soft_token::DeviceSection("KEY1", "Alice's SM2 key") +
        soft_token::ApplicationSection("KEY1", "APP1", "123456") +
        soft_token::ContainerSection(
            {"KEY1", "APP1", "CON1", 2, sign_key, sign_cert, enc_key, enc_cert}) +
        soft_token::ContainerSection({"KEY1", "APP1", "OLD", 1, "", "", "", ""}) +
        softskf_testing::LogCalls();
    token_.state().Write(config);
    token_.Register("Soft SM2 Token", SOFTSKF_LIBRARY);

    ToolRun run = Tool("check 'Soft SM2 Token'");
    EXPECT_EQ(run.status, 0) << run.output;
    for (const char* expected :
         {"device KEY1", "label: Alice's SM2 key", "serial number: SN-KEY1", "application APP1",
          "ECC container CON1", "key container: KEY1/APP1/CON1",
          "signing certificate:", "subject:   CN=Alice SM2,O=Tessora Test,C=CN", "serial:    1001",
          "key usage: digitalSignature, nonRepudiation",
          "encryption certificate:", "subject:   CN=Alice SM2 Enc,O=Tessora Test,C=CN",
          "key usage: keyEncipherment, dataEncipherment", "container OLD: RSA"}) {
        EXPECT_NE(run.output.find(expected), std::string::npos) << expected << "\n" << run.output;
    }
    for (const char* never : {"SKF_VerifyPIN", "SKF_ECCSignData", "SKF_DigestInit"})
        EXPECT_FALSE(token_.state().WasCalled(never)) << never;

    token_.state().Write(config + softskf_testing::Failure("SKF_EnumApplication", "0x0A000023"));
    run = Tool("check 'Soft SM2 Token'");
    EXPECT_NE(run.output.find("SKF_EnumApplication failed: SAR_DEVICE_REMOVED (0x0A000023)"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(token_.state().Loads(), token_.state().Unloads());
}

}  // namespace
