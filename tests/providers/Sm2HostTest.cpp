// SM2 signing with a USB key, end to end through the real tessora-host: the soft token registered
// as a provider in a throwaway XDG_CONFIG_HOME, SetSM2CSPList, SelectCertificate, GetSignCertInfo
// and SignMsgPKCS7, with the host's own PIN prompt on a private X server (the token wants its PIN
// for every signature). Every signature is verified twice, independently: by tessora-verify, and
// by `openssl pkeyutl` over the content after the structure is taken apart.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/Conversions.h"
#include "tests/agent-signing/SignedDataReader.h"
#include "tests/dialog/DialogTestSupport.h"
#include "tests/support/HostSession.h"
#include "tests/support/Shell.h"
#include "tests/support/SoftToken.h"

namespace {

using host_session::Base64Bytes;
using host_session::HostSession;
using host_session::JsonString;
using host_session::Response;
using soft_token::ContainerSpec;
using soft_token::KeyPair;

constexpr char kProvider[] = "Soft SM2 Token";
constexpr char kPin[] = "314159";
constexpr char kLabel[] = "Alice's SM2 key";
constexpr char kPinCaption[] = "PIN Required";

constexpr int64_t kInvalidArg = static_cast<int32_t>(0x80070057u);
constexpr int64_t kNoAvailableCert = static_cast<int32_t>(0xA0071001u);
constexpr int64_t kNoDialog = static_cast<int32_t>(0x8007057Eu);
constexpr int64_t kBadKey = static_cast<int32_t>(0x80090003u);         // NTE_BAD_KEY
constexpr int64_t kCancelled = static_cast<int32_t>(0x800704C7u);      // ERROR_CANCELLED
constexpr int64_t kPinLocked = static_cast<int32_t>(0xAA000025u);      // SAR_PIN_LOCKED
constexpr int64_t kDeviceRemoved = static_cast<int32_t>(0xAA000023u);  // SAR_DEVICE_REMOVED
constexpr int64_t kSkfFail = static_cast<int32_t>(0xAA000001u);        // SAR_FAIL
constexpr int64_t kBadUid = static_cast<int32_t>(0x80090001u);         // NTE_BAD_UID

class Sm2HostTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(token_.ok());
        ASSERT_TRUE(dialog_test::ProgramDisplay().ok()) << "Xvfb did not start";
        ca_ = soft_token::MakeKeyPair("C=CN,O=Tessora Test,CN=Test SM2 CA", 0x06, 1);
        signer_ = soft_token::MakeKeyPair("C=CN,O=Tessora Test,CN=Alice SM2", 0xC0, 0x1001, &ca_);
        // An encryption certificate without a signing usage: SelectCertificate never offers it.
        encrypter_ =
            soft_token::MakeKeyPair("C=CN,O=Tessora Test,CN=Alice SM2 Enc", 0x30, 0x1002, &ca_);
        sign_files_ = token_.WriteKeyPair("sign", signer_);
        const auto enc_files = token_.WriteKeyPair("enc", encrypter_);
        WriteState(ContainerSection("CON1", sign_files_, enc_files));
        token_.Register(kProvider, SOFTSKF_LIBRARY);
    }

    void TearDown() override { EXPECT_EQ(token_.state().Loads(), token_.state().Unloads()); }

    static std::string ContainerSection(const std::string& name,
                                        const std::pair<std::string, std::string>& sign,
                                        const std::pair<std::string, std::string>& enc = {}) {
        return soft_token::ContainerSection(
            {"KEY1", "APP1", name, 2, sign.first, sign.second, enc.first, enc.second});
    }
    // Key KEY1 with application APP1 and the given containers.
    void WriteState(const std::string& containers, int retries = 6, bool locked = false) {
        token_.state().Write(soft_token::DeviceSection("KEY1", kLabel) +
                             soft_token::ApplicationSection("KEY1", "APP1", kPin, retries, locked) +
                             containers);
    }

    std::vector<std::string> Environment(const std::string& runtime_dir = "") const {
        return {"HOME=" + token_.root().string(),
                "XDG_CONFIG_HOME=" + token_.config_home(),
                "SOFTSKF_STATE=" + token_.state().path().string(),
                "DISPLAY=" + dialog_test::ProgramDisplay().name(),
                "LANG=C",
                "LC_ALL",
                "LC_MESSAGES",
                "TZ=UTC0",
                "XDG_CACHE_HOME",
                "WAYLAND_DISPLAY",
                "NO_AT_BRIDGE=1",
                "GSETTINGS_BACKEND=memory",
                runtime_dir.empty() ? "XDG_RUNTIME_DIR" : "XDG_RUNTIME_DIR=" + runtime_dir};
    }

    // SetSM2CSPList with our provider, then SelectCertificate with a subject filter.
    static Response Select(HostSession& host, const std::string& subject = "Alice",
                           const std::string& serial = "") {
        EXPECT_EQ(host.Call("SetSM2CSPList", {JsonString(kProvider)}).errorcode, 0);
        return host.Call("SelectCertificate", {JsonString(subject), "\"\"", JsonString(serial)});
    }

    // SignMsgPKCS7 while a person answers each PIN prompt in turn: a PIN is typed and confirmed,
    // "Escape" cancels. *prompts counts the prompts that came.
    static Response SignAnswering(HostSession& host, const std::string& message, bool attached,
                                  const std::vector<std::string>& answers, int* prompts) {
        Response signed_data;
        *prompts = 0;
        dialog_test::WithPerson(
            [&] {
                signed_data = host.Call("SignMsgPKCS7", {JsonString(message), "\"SHA-256\"",
                                                         attached ? "true" : "false"});
            },
            [&](unsigned long) {
                for (size_t i = 0; i < answers.size(); ++i) {
                    if (i > 0 && dialog_test::WaitForWindow(kPinCaption, 5) == 0) break;
                    ++*prompts;
                    if (answers[i] == "Escape") {
                        dialog_test::RunCommand("xdotool key Escape");
                    } else {
                        dialog_test::RunCommand("xdotool type --delay 30 " + answers[i]);
                        dialog_test::RunCommand("xdotool key Return");
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(600));
                }
            },
            kPinCaption);
        return signed_data;
    }

    // Verifies a SignMsgPKCS7 answer with tessora-verify and with openssl pkeyutl.
    void ExpectVerifies(const std::string& base64, const std::string& message, bool attached) {
        using test_shell::Quote;
        const std::filesystem::path dir = token_.root();
        const std::string sig_b64 = (dir / "sig.b64").string();
        const std::string msg = (dir / "msg.txt").string();
        std::ofstream(sig_b64) << base64;
        std::ofstream(msg, std::ios::binary) << message;
        std::string output;
        EXPECT_EQ(
            test_shell::Run(Quote(TESSORA_VERIFY_PATH) +
                                (attached ? " attached SM2 " + Quote(sig_b64)
                                          : " detached SM2 " + Quote(sig_b64) + " " + Quote(msg)),
                            &output),
            0)
            << output;

        const auto fields = signing_test::ReadSm2SignedData(Base64Bytes(base64));
        ASSERT_TRUE(fields.has_value());
        ASSERT_EQ(fields->certificates.size(), 1u);
        EXPECT_EQ(fields->certificates[0], signer_.certificate);
        ASSERT_EQ(fields->content.has_value(), attached);
        const std::string content = attached ? *fields->content : message;
        EXPECT_EQ(content, message);
        const std::string content_file = (dir / "content.bin").string();
        const std::string cert_file = (dir / "cert.der").string();
        const std::string sig_file = (dir / "sig.der").string();
        std::ofstream(content_file, std::ios::binary) << content;
        std::ofstream(cert_file, std::ios::binary)
            .write(reinterpret_cast<const char*>(signer_.certificate.data()),
                   static_cast<std::streamsize>(signer_.certificate.size()));
        std::ofstream(sig_file, std::ios::binary)
            .write(reinterpret_cast<const char*>(fields->signature.data()),
                   static_cast<std::streamsize>(fields->signature.size()));
        const std::string pub = (dir / "pub.pem").string();
        EXPECT_EQ(test_shell::Run("openssl x509 -inform DER -in " + Quote(cert_file) +
                                      " -pubkey -noout > " + Quote(pub) +
                                      " && openssl pkeyutl -verify -pubin -inkey " + Quote(pub) +
                                      " -rawin -digest sm3 -pkeyopt distid:1234567812345678 -in " +
                                      Quote(content_file) + " -sigfile " + Quote(sig_file),
                                  &output),
                  0)
            << output;
        EXPECT_NE(output.find("Signature Verified Successfully"), std::string::npos) << output;
    }

    soft_token::SoftToken token_;
    KeyPair ca_;
    KeyPair signer_;
    KeyPair encrypter_;
    std::pair<std::string, std::string> sign_files_;
};

TEST_F(Sm2HostTest, ChoosesDescribesAndSignsAttachedAndDetached) {
    HostSession host(Environment());
    const Response selected = Select(host);
    ASSERT_EQ(selected.errorcode, 0) << selected.text;
    EXPECT_TRUE(selected.bool_result);
    const struct {
        const char* type;
        std::string expected;
    } properties[] = {
        {"SubjectCN", "Alice SM2"},
        {"CSPName", kProvider},
        {"CertType", "SM2"},
        {"SerialNumber", "1001"},
    };
    for (const auto& p : properties) {
        const Response r = host.Call("GetSignCertInfo", {JsonString(p.type)});
        EXPECT_EQ(r.errorcode, 0) << p.type;
        EXPECT_EQ(r.result, p.expected) << p.type;
    }

    const std::string message = "SM2 签名 over UTF-8 text";
    for (const bool attached : {true, false}) {
        int prompts = 0;
        const Response signed_data = SignAnswering(host, message, attached, {kPin}, &prompts);
        ASSERT_EQ(signed_data.errorcode, 0) << signed_data.text;
        EXPECT_EQ(prompts, 1);
        ExpectVerifies(signed_data.result, message, attached);
    }
    EXPECT_EQ(host.Finish(), 0);
}

// What SelectCertificate makes of the providers and their containers. No PIN is asked here.
TEST_F(Sm2HostTest, ContainerCertificatesOnOffer) {
    token_.Register("Microsoft SM2 CSP", SOFTSKF_LIBRARY, "ms.conf");
    token_.Register("microsoft sm2 csp", SOFTSKF_LIBRARY, "ms-lower.conf");
    const auto both = ContainerSection("CON1", sign_files_, token_.WriteKeyPair("enc", encrypter_));

    // A certificate issued by an RSA CA, and an encryption certificate that may sign.
    const KeyPair rsa_ca{"C=CN,O=Tessora Test,CN=RSA CA", MakeRsaKey(), {}};
    KeyPair rsa_signed = soft_token::MakeKeyPair("C=CN,CN=Alice RSA-signed", 0xC0, 0x2001);
    TestCertificateSpec spec;
    spec.subject = rsa_signed.subject;
    spec.issuer = rsa_ca.subject;
    spec.issuer_key = rsa_ca.key.get();
    spec.key_usage = 0xC0;
    spec.serial = 0x2001;
    rsa_signed.certificate = MakeTestCertificate(rsa_signed.key.get(), spec);
    const KeyPair signing_enc =
        soft_token::MakeKeyPair("C=CN,O=Tessora Test,CN=Alice SM2 Enc", 0xE0, 0x1002, &ca_);

    const struct {
        const char* title;
        std::string containers;
        std::string list;
        int64_t set_code;
        std::string subject;
        std::string serial;
        int64_t select_code;
        std::string chosen_serial;
    } cases[] = {
        {"one certificate", both, kProvider, 0, "Alice", "", 0, "1001"},
        {"unknown providers contribute nothing", both, std::string("Nope||") + kProvider, 0,
         "Alice", "", 0, "1001"},
        {"names with Microsoft are skipped", both, "Microsoft SM2 CSP", 0, "Alice", "",
         kNoAvailableCert, ""},
        {"only with that capital M", both, "microsoft sm2 csp", 0, "Alice", "", 0, "1001"},
        {"an empty list is refused and searches nothing", both, "", kInvalidArg, "Alice", "",
         kNoAvailableCert, ""},
        {"an RSA-signed certificate is never offered",
         ContainerSection("RSA", token_.WriteKeyPair("rsa", rsa_signed)), kProvider, 0, "Alice", "",
         kNoAvailableCert, ""},
        // Two candidates make a dialog, which this host (no display) cannot show.
        {"one certificate in two containers",
         ContainerSection("CON1", sign_files_) + ContainerSection("CON2", sign_files_), kProvider,
         0, "Alice", "", kNoDialog, ""},
        {"an encryption certificate that may sign is a second candidate",
         ContainerSection("CON1", sign_files_, token_.WriteKeyPair("signenc", signing_enc)),
         kProvider, 0, "Alice", "", kNoDialog, ""},
        {"which the serial number picks",
         ContainerSection("CON1", sign_files_, token_.WriteKeyPair("signenc", signing_enc)),
         kProvider, 0, "", "1002", 0, "1002"},
    };
    for (const auto& c : cases) {
        WriteState(c.containers);
        std::vector<std::string> env = Environment();
        env.push_back("DISPLAY");  // no dialog
        HostSession host(env);
        EXPECT_EQ(host.Call("SetSM2CSPList", {JsonString(c.list)}).errorcode, c.set_code)
            << c.title;
        const Response selected =
            host.Call("SelectCertificate", {JsonString(c.subject), "\"\"", JsonString(c.serial)});
        EXPECT_EQ(selected.errorcode, c.select_code) << c.title << "\n" << selected.text;
        if (c.select_code == 0) {
            EXPECT_EQ(host.Call("GetSignCertInfo", {"\"SerialNumber\""}).result, c.chosen_serial)
                << c.title;
        }
        EXPECT_EQ(host.Finish(), 0) << c.title;
    }
}

// The encryption key cannot sign in SKF: choosing its certificate ends in NTE_BAD_KEY, and the
// token is never asked for a PIN or a signature.
TEST_F(Sm2HostTest, AnEncryptionCertificateDoesNotSign) {
    const KeyPair signing_enc =
        soft_token::MakeKeyPair("C=CN,O=Tessora Test,CN=Alice SM2 Enc", 0xE0, 0x1002, &ca_);
    WriteState(ContainerSection("CON1", sign_files_, token_.WriteKeyPair("signenc", signing_enc)) +
               softskf_testing::LogCalls());
    HostSession host(Environment());
    ASSERT_EQ(Select(host, "", "1002").errorcode, 0);
    const Response signed_data =
        host.Call("SignMsgPKCS7", {"\"text\"", "\"SHA-256\"", "true"});  // no prompt may come
    EXPECT_EQ(signed_data.errorcode, kBadKey);
    EXPECT_TRUE(signed_data.result.empty());
    EXPECT_FALSE(token_.state().WasCalled("SKF_VerifyPIN"));
    EXPECT_FALSE(token_.state().WasCalled("SKF_ECCSignData"));
    EXPECT_EQ(host.Finish(), 0);
}

// The host's PIN prompt for the token: a wrong PIN asks again, Cancel and a locked application
// end with their codes. The PIN never reaches the trace.
TEST_F(Sm2HostTest, PinPrompt) {
    const struct {
        const char* title;
        std::vector<std::string> answers;
        int retries;
        bool locked;
        int64_t code;
        int prompts;
    } cases[] = {
        {"wrong then right", {"271828", kPin}, 6, false, 0, 2},
        {"cancel", {"Escape"}, 6, false, kCancelled, 1},
        {"wrong until locked", {"271828", "271829"}, 2, false, kPinLocked, 2},
    };
    const std::string runtime_dir = (token_.root() / "runtime").string();
    const std::string trace_file = (token_.root() / "host-trace.log").string();
    std::filesystem::create_directories(runtime_dir + "/tessora");
    std::ofstream(runtime_dir + "/tessora/trace.conf")
        << "flags 15\nsink file " << trace_file << "\n";
    for (const auto& c : cases) {
        std::filesystem::remove(token_.state().path());  // a fresh retry counter
        WriteState(ContainerSection("CON1", sign_files_), c.retries, c.locked);
        HostSession host(Environment(runtime_dir));
        ASSERT_EQ(Select(host).errorcode, 0) << c.title;
        int prompts = 0;
        const Response signed_data = SignAnswering(host, "text", true, c.answers, &prompts);
        EXPECT_EQ(signed_data.errorcode, c.code) << c.title;
        EXPECT_EQ(prompts, c.prompts) << c.title;
        if (c.code == 0) ExpectVerifies(signed_data.result, "text", true);
        EXPECT_EQ(host.Finish(), 0) << c.title;
    }

    // A locked application refuses at once, without a prompt.
    WriteState(ContainerSection("CON1", sign_files_), 6, true);
    HostSession host(Environment(runtime_dir));
    ASSERT_EQ(Select(host).errorcode, 0);
    EXPECT_EQ(host.Call("SignMsgPKCS7", {"\"text\"", "\"SHA-256\"", "true"}).errorcode, kPinLocked);
    EXPECT_EQ(host.Finish(), 0);

    const std::string traced = test_shell::ReadFile(trace_file);
    EXPECT_NE(traced.find("SKF_VerifyPIN"), std::string::npos);
    for (const char* pin : {kPin, "271828", "271829"})
        EXPECT_EQ(traced.find(pin), std::string::npos) << pin;
}

// A key pulled out between SelectCertificate and SignMsgPKCS7: a coded answer, and the host goes
// on serving; plugged in again, it signs.
TEST_F(Sm2HostTest, KeyPulledOutBeforeSigning) {
    HostSession host(Environment());
    ASSERT_EQ(Select(host).errorcode, 0);
    token_.state().Write(soft_token::ApplicationSection("KEY1", "APP1", kPin));  // no device
    const Response failed = host.Call("SignMsgPKCS7", {"\"text\"", "\"SHA-256\"", "true"});
    EXPECT_LT(failed.errorcode, 0) << failed.text;
    EXPECT_TRUE(failed.result.empty());
    EXPECT_EQ(host.Call("GetVersion", {}).result, "3.4.0.3");

    WriteState(ContainerSection("CON1", sign_files_));
    int prompts = 0;
    const Response signed_data = SignAnswering(host, "again", false, {kPin}, &prompts);
    ASSERT_EQ(signed_data.errorcode, 0) << signed_data.text;
    ExpectVerifies(signed_data.result, "again", false);
    EXPECT_EQ(host.Finish(), 0);
}

// The key pulled out mid-signature: the digest is made and the PIN prompt is open when the key
// goes. The login finds it gone and the signature ends with SAR_DEVICE_REMOVED under the SKF rule,
// at once; the host answers the next request, and with the key back (and its PIN again: pulling
// it out ended the login) it signs.
TEST_F(Sm2HostTest, KeyPulledOutMidSignature) {
    WriteState(ContainerSection("CON1", sign_files_) + softskf_testing::LogCalls());
    HostSession host(Environment());
    ASSERT_EQ(Select(host).errorcode, 0);
    Response failed;
    dialog_test::WithPerson(
        [&] {
            failed = host.Call("SignMsgPKCS7", {"\"text\"", "\"SHA-256\"", "true"});
        },
        [&](unsigned long) {
            token_.state().Write(soft_token::ApplicationSection("KEY1", "APP1", kPin) +
                                 softskf_testing::LogCalls());
            dialog_test::RunCommand(std::string("xdotool type --delay 30 ") + kPin);
            dialog_test::RunCommand("xdotool key Return");
            std::this_thread::sleep_for(std::chrono::milliseconds(600));
        },
        kPinCaption);
    EXPECT_TRUE(token_.state().WasCalled("SKF_DigestFinal"));
    EXPECT_EQ(failed.errorcode, kDeviceRemoved) << failed.text;
    EXPECT_TRUE(failed.result.empty());
    EXPECT_EQ(host.Call("GetVersion", {}).result, "3.4.0.3");

    WriteState(ContainerSection("CON1", sign_files_));
    int prompts = 0;
    const Response signed_data = SignAnswering(host, "again", true, {kPin}, &prompts);
    ASSERT_EQ(signed_data.errorcode, 0) << signed_data.text;
    EXPECT_EQ(prompts, 1);
    ExpectVerifies(signed_data.result, "again", true);
    EXPECT_EQ(host.Finish(), 0);
    EXPECT_EQ(token_.state().UnloadsWithOpenHandles(), 0);
}

// Every SKF call of the SM2 path failing in turn (SAR_FAIL): in SelectCertificate (SetSM2CSPList
// calls no SKF function) or in SignMsgPKCS7, each gives its code or falls back as listed, leaves
// no handle open in the library, and the host answers the next request. The calls come from the
// soft token's log of a clean run, so a call the path gains without a row here fails the test.
TEST_F(Sm2HostTest, EverySkfCallOfThePathFailingInTurn) {
    enum Stage { kSelect, kSign };
    // 0: the answer stands (a label, a list entry or a close that failed is traced, nothing more).
    const std::map<std::pair<Stage, std::string>, int64_t> expected = {
        // A device, application or container that cannot be listed or opened is left out.
        {{kSelect, "SKF_EnumDev"}, kNoAvailableCert},
        {{kSelect, "SKF_ConnectDev"}, kNoAvailableCert},
        {{kSelect, "SKF_GetDevInfo"}, 0},  // only the PIN prompt's label
        {{kSelect, "SKF_EnumApplication"}, kNoAvailableCert},
        {{kSelect, "SKF_OpenApplication"}, kNoAvailableCert},
        {{kSelect, "SKF_EnumContainer"}, kNoAvailableCert},
        {{kSelect, "SKF_OpenContainer"}, kNoAvailableCert},
        {{kSelect, "SKF_GetContainerType"}, kNoAvailableCert},
        {{kSelect, "SKF_ExportCertificate"}, kNoAvailableCert},
        {{kSelect, "SKF_CloseContainer"}, 0},
        {{kSelect, "SKF_CloseApplication"}, 0},
        {{kSelect, "SKF_DisConnectDev"}, 0},
        // A container that does not open leaves no provider: the signature fails at the first
        // use of it (the library's reason is in the trace).
        {{kSign, "SKF_ConnectDev"}, kBadUid},
        {{kSign, "SKF_GetDevInfo"}, 0},
        {{kSign, "SKF_OpenApplication"}, kBadUid},
        {{kSign, "SKF_OpenContainer"}, kBadUid},
        {{kSign, "SKF_GetContainerType"}, kBadUid},
        // Later, signing stops at the call that failed, with its SAR under the SKF rule.
        {{kSign, "SKF_ExportPublicKey"}, kSkfFail},
        {{kSign, "SKF_DigestInit"}, kSkfFail},
        {{kSign, "SKF_DigestUpdate"}, kSkfFail},
        {{kSign, "SKF_DigestFinal"}, kSkfFail},
        {{kSign, "SKF_ECCSignData"}, kSkfFail},
        {{kSign, "SKF_VerifyPIN"}, kSkfFail},
        {{kSign, "SKF_CloseHandle"}, 0},
        {{kSign, "SKF_CloseContainer"}, 0},
        {{kSign, "SKF_CloseApplication"}, 0},
        {{kSign, "SKF_DisConnectDev"}, 0},
    };
    const std::string containers = ContainerSection("CON1", sign_files_);
    // The functions called since the first `skip` calls of the log.
    auto functions_called = [&](size_t skip) {
        std::set<std::string> called;
        const std::vector<std::string> calls = token_.state().Events("call");
        for (size_t i = skip; i < calls.size(); ++i) {
            std::istringstream words(calls[i]);
            std::string event, function;
            words >> event >> function;
            called.insert(function);
        }
        return called;
    };
    // Signs, answering the PIN prompt when the application wants a login.
    auto sign = [&](HostSession& host, bool logged_in) {
        if (logged_in) return host.Call("SignMsgPKCS7", {"\"text\"", "\"SHA-256\"", "true"});
        int prompts = 0;
        return SignAnswering(host, "text", true, {kPin}, &prompts);
    };
    // The application's login state: logged in from the start, or asking for the PIN.
    auto state = [&](bool logged_in, const std::string& extra) {
        return soft_token::DeviceSection("KEY1", kLabel) +
               soft_token::ApplicationSection("KEY1", "APP1", kPin) +
               (logged_in ? "logged_in = yes\n" : "") + containers + extra;
    };

    // The clean run: which function each request calls.
    std::set<std::pair<Stage, std::string>> path;
    {
        token_.state().Write(state(false, softskf_testing::LogCalls()));
        HostSession host(Environment());
        ASSERT_EQ(Select(host).errorcode, 0);
        for (const std::string& f : functions_called(0)) path.insert({kSelect, f});
        const size_t selecting = token_.state().Events("call").size();
        ASSERT_EQ(sign(host, false).errorcode, 0);
        for (const std::string& f : functions_called(selecting)) path.insert({kSign, f});
        EXPECT_EQ(host.Finish(), 0);
    }
    for (const auto& step : path) EXPECT_EQ(expected.count(step), 1u) << step.second;

    for (const auto& [step, code] : expected) {
        const auto& [stage, function] = step;
        const std::string title = (stage == kSelect ? "select: " : "sign: ") + function;
        EXPECT_EQ(path.count(step), 1u) << title << " is not called";
        // Only SKF_VerifyPIN needs a login to happen.
        const bool logged_in = function != "SKF_VerifyPIN";
        const std::string failure = softskf_testing::Failure(function, "0x0A000001");
        std::filesystem::remove(token_.state().path());
        token_.state().Write(state(logged_in, stage == kSelect ? failure : ""));
        HostSession host(Environment());
        const Response selected = Select(host);
        if (stage == kSelect) {
            EXPECT_EQ(selected.errorcode, code) << title << "\n" << selected.text;
        } else {
            ASSERT_EQ(selected.errorcode, 0) << title;
            token_.state().Write(state(logged_in, failure));
        }
        if (stage == kSign || code == 0) {
            const Response signed_data = sign(host, logged_in);
            EXPECT_EQ(signed_data.errorcode, stage == kSign ? code : 0) << title << "\n"
                                                                        << signed_data.text;
            if (signed_data.errorcode == 0) ExpectVerifies(signed_data.result, "text", true);
        }
        EXPECT_EQ(host.Call("GetVersion", {}).result, "3.4.0.3") << title;
        EXPECT_EQ(host.Finish(), 0) << title;
        EXPECT_EQ(token_.state().Loads(), token_.state().Unloads()) << title;
        EXPECT_EQ(token_.state().UnloadsWithOpenHandles(), 0) << title;
    }
}

}  // namespace
