// The platform's provider calls over a real SKF library: softskf, loaded with dlopen through the
// provider registry, with SM2 keys and certificates made by OpenSSL. Signatures are checked with
// OpenSSL's own SM2.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/ResultCodes.h"
#include "common/Trace.h"
#include "common/Utf.h"
#include "platform/crypt/SkfApi.h"
#include "platform/crypt/SkfProviders.h"
#include "platform/crypt/SystemCertPlatform.h"
#include "platform/runtime/LastError.h"
#include "platform/window/PinPrompt.h"
#include "tests/support/SoftToken.h"

namespace {

using soft_token::ContainerSpec;
using soft_token::KeyPair;

constexpr char kProvider[] = "Soft SM2 Token";
constexpr char kPin[] = "123456";
constexpr char kLabel[] = "Alice's SM2 key";

HRESULT LastCode() { return HRESULT_FROM_WIN32(GetLastError()); }

// Answers the PIN prompt from a script ("" = Cancel) and records what it was asked.
class ScriptedPrompt {
  public:
    explicit ScriptedPrompt(std::deque<std::string> answers) : answers_(std::move(answers)) {
        previous_ = SetPinPrompt([this](const PinPromptRequest& request, std::string* pin) {
            requests.push_back(request);
            if (answers_.empty() || answers_.front().empty()) return PinPromptResult::kCancelled;
            *pin = answers_.front();
            answers_.pop_front();
            return PinPromptResult::kOk;
        });
    }
    ~ScriptedPrompt() { SetPinPrompt(previous_); }
    ScriptedPrompt(const ScriptedPrompt&) = delete;
    ScriptedPrompt& operator=(const ScriptedPrompt&) = delete;

    std::vector<PinPromptRequest> requests;

  private:
    std::deque<std::string> answers_;
    PinPromptCallback previous_;
};

struct SignResult {
    bool ok = false;
    HRESULT code = S_OK;  // the platform error of the first call that failed
    std::string failed_call;
    std::vector<uint8_t> signature;  // as CryptSignHashW returns it
};

class SkfProvidersTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(token_.ok());
        const KeyPair ca = soft_token::MakeKeyPair("C=CN,O=Tessora Test,CN=Test SM2 CA", 0x06, 1);
        signer_ = soft_token::MakeKeyPair("C=CN,O=Tessora Test,CN=Alice SM2", 0xC0, 0x1001, &ca);
        encrypter_ =
            soft_token::MakeKeyPair("C=CN,O=Tessora Test,CN=Alice SM2 Enc", 0x38, 0x1002, &ca);
        const auto [sign_key, sign_cert] = token_.WriteKeyPair("sign", signer_);
        const auto [enc_key, enc_cert] = token_.WriteKeyPair("enc", encrypter_);
        ContainerSpec both{"KEY1", "APP1", "CON1", 2, sign_key, sign_cert, enc_key, enc_cert};
        ContainerSpec sign_only{"KEY1", "APP1", "SIGNONLY", 2, sign_key, sign_cert, "", ""};
        config_ = soft_token::DeviceSection("KEY1", kLabel) +
                  soft_token::ApplicationSection("KEY1", "APP1", kPin) +
                  soft_token::ContainerSection(both) + soft_token::ContainerSection(sign_only);
        token_.state().Write(config_);
        token_.Register(kProvider, SOFTSKF_LIBRARY);
        setenv("SOFTSKF_STATE", token_.state().path().c_str(), 1);
        platform_ = std::make_unique<SystemCertPlatform>((token_.root() / "nssdb").string(),
                                                         token_.folders());
        previous_ = SetCertPlatform(platform_.get());
    }

    void TearDown() override {
        SetCertPlatform(previous_);
        platform_.reset();
        // Every load of the library was released again.
        EXPECT_EQ(token_.state().Loads(), token_.state().Unloads());
        unsetenv("SOFTSKF_STATE");
    }

    static HCRYPTPROV Acquire(const std::string& container, const std::string& provider = kProvider,
                              DWORD flags = 0) {
        HCRYPTPROV handle = 0;
        const std::u16string wide_container = Utf8ToUtf16String(container);
        const std::u16string wide_provider = Utf8ToUtf16String(provider);
        if (!CryptAcquireContextW(&handle, container.empty() ? nullptr : wide_container.c_str(),
                                  wide_provider.c_str(), PROV_RSA_FULL, flags))
            return 0;
        return handle;
    }

    // Container names in the order the calling code reads them: a size query with CRYPT_FIRST,
    // then CRYPT_FIRST and CRYPT_NEXT into one buffer of that size.
    static std::vector<std::string> Containers() {
        std::vector<std::string> names;
        const HCRYPTPROV provider = Acquire("", kProvider, CRYPT_VERIFYCONTEXT);
        EXPECT_NE(provider, 0u);
        DWORD size = 0;
        EXPECT_TRUE(CryptGetProvParam(provider, PP_ENUMCONTAINERS, nullptr, &size, CRYPT_FIRST));
        std::vector<BYTE> buffer(size + 1);
        for (DWORD flags = CRYPT_FIRST;; flags = CRYPT_NEXT) {
            DWORD length = size;
            if (!CryptGetProvParam(provider, PP_ENUMCONTAINERS, buffer.data(), &length, flags)) {
                EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
                break;
            }
            names.emplace_back(reinterpret_cast<const char*>(buffer.data()));
        }
        EXPECT_TRUE(CryptReleaseContext(provider, 0));
        return names;
    }

    // The certificate of one key of a container; empty with *code set when there is none.
    static std::vector<uint8_t> Certificate(const std::string& container, DWORD key_spec,
                                            HRESULT* code) {
        std::vector<uint8_t> der;
        *code = S_OK;
        const HCRYPTPROV provider = Acquire(container);
        HCRYPTKEY key = 0;
        DWORD size = 0;
        if (provider == 0 || !CryptGetUserKey(provider, key_spec, &key) ||
            !CryptGetKeyParam(key, KP_CERTIFICATE, nullptr, &size, 0)) {
            *code = LastCode();
        } else {
            der.resize(size);
            if (!CryptGetKeyParam(key, KP_CERTIFICATE, der.data(), &size, 0)) *code = LastCode();
        }
        if (key != 0) CryptDestroyKey(key);
        if (provider != 0) CryptReleaseContext(provider, 0);
        return der;
    }

    // The calling code's signing sequence over one container; `between` runs after hashing.
    static SignResult Sign(const std::string& container, const std::string& message,
                           DWORD key_spec = AT_SIGNATURE,
                           const std::function<void()>& between = nullptr) {
        SignResult result;
        HCRYPTHASH hash = 0;
        DWORD size = 0;
        std::vector<BYTE> digest(32);
        DWORD digest_size = 0;
        const HCRYPTPROV provider = Acquire(container);
        auto fail = [&](const char* call) {
            result.code = LastCode();
            result.failed_call = call;
        };
        if (provider == 0) {
            fail("CryptAcquireContextW");
        } else if (!CryptCreateHash(provider, CALG_SM3, 0, 0, &hash)) {
            fail("CryptCreateHash");
        } else if (!CryptHashData(hash, reinterpret_cast<const BYTE*>(message.data()),
                                  static_cast<DWORD>(message.size()), 0)) {
            fail("CryptHashData");
        } else if (!CryptGetHashParam(hash, HP_HASHVAL, nullptr, &digest_size, 0) ||
                   digest_size != 32 ||
                   !CryptGetHashParam(hash, HP_HASHVAL, digest.data(), &digest_size, 0)) {
            fail("CryptGetHashParam");
        } else {
            if (between) between();
            if (!CryptSignHashW(hash, key_spec, nullptr, 0, nullptr, &size)) {
                fail("CryptSignHashW(size)");
            } else {
                result.signature.resize(size);
                if (!CryptSignHashW(hash, key_spec, nullptr, 0, result.signature.data(), &size)) {
                    fail("CryptSignHashW");
                    result.signature.clear();
                } else {
                    result.ok = true;
                }
            }
        }
        if (hash != 0) {
            EXPECT_TRUE(CryptDestroyHash(hash));
        }
        if (provider != 0) {
            EXPECT_TRUE(CryptReleaseContext(provider, 0));
        }
        return result;
    }

    // r and s, each least significant byte first, back into big-endian r || s.
    static std::vector<uint8_t> BigEndian(const std::vector<uint8_t>& signature) {
        std::vector<uint8_t> out(signature.rbegin() + 32, signature.rend());
        out.insert(out.end(), signature.rbegin(), signature.rbegin() + 32);
        return out;
    }

    soft_token::SoftToken token_;
    KeyPair signer_;
    KeyPair encrypter_;
    std::string config_;
    std::unique_ptr<SystemCertPlatform> platform_;
    CertPlatform* previous_ = nullptr;
};

// The name form leads back to the three SKF names, whatever they hold, and never exceeds what
// the calling code's record can carry.
TEST(SkfContainerNameTest, RoundTripsAndStaysWithinTheRecord) {
    const struct {
        std::string device, application, container, encoded;
    } cases[] = {
        {"KEY1", "APP1", "CON1", "KEY1/APP1/CON1"},
        {"a/b", "100%", "x y", "a%2Fb/100%25/x y"},
        {"K\n", "A\x7f", "C", "K%0A/A%7F/C"},
        {"国密", "应用", "容器", "国密/应用/容器"},
        {"K", "A", "bad\xff\xfe", "K/A/bad%FF%FE"},
        {"K", "A", std::string(255, 'c'), "K/A/" + std::string(255, 'c')},
        {"K", "A", std::string(256, 'c'), ""},    // 260 characters: not listed
        {"K", "A", std::string(86, '/'), ""},     // short, but too long once escaped
        {"K", "A", std::string(86, '\xe5'), ""},  // invalid UTF-8: every byte escaped
    };
    for (const auto& c : cases) {
        const std::string encoded = EncodeSkfContainerName(c.device, c.application, c.container);
        EXPECT_EQ(encoded, c.encoded);
        if (encoded.empty()) continue;
        std::string device, application, container;
        ASSERT_TRUE(DecodeSkfContainerName(encoded, &device, &application, &container)) << encoded;
        EXPECT_EQ(device, c.device);
        EXPECT_EQ(application, c.application);
        EXPECT_EQ(container, c.container);
    }
    std::string device, application, container;
    for (const char* malformed : {"", "KEY1", "KEY1/APP1", "K/A/C/D", "K//C", "K/A/%4", "K/A/%zz"})
        EXPECT_FALSE(DecodeSkfContainerName(malformed, &device, &application, &container))
            << malformed;
}

TEST_F(SkfProvidersTest, ProvidersAreTheRegisteredOnes) {
    token_.Register("Broken Provider", (token_.root() / "missing.so").string(), "zz.conf");
    std::vector<std::u16string> names;
    for (DWORD index = 0;; ++index) {
        DWORD type = 0;
        DWORD size = 0;
        if (!CryptEnumProvidersW(index, nullptr, 0, &type, nullptr, &size)) {
            EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
            break;
        }
        std::u16string name(size / sizeof(char16_t), u'\0');
        ASSERT_TRUE(CryptEnumProvidersW(index, nullptr, 0, &type, name.data(), &size));
        EXPECT_EQ(type, PROV_RSA_FULL);
        names.push_back(name.c_str());
    }
    EXPECT_EQ(names, (std::vector<std::u16string>{u"Soft SM2 Token", u"Broken Provider"}));

    // An unknown provider is a missing one; a registered one whose library is missing fails
    // with the loader's error, as the USB-key library does.
    EXPECT_EQ(Acquire("", "No Such Provider", CRYPT_VERIFYCONTEXT), 0u);
    EXPECT_EQ(LastCode(), NTE_KEYSET_NOT_DEF);
    EXPECT_EQ(Acquire("", "Broken Provider", CRYPT_VERIFYCONTEXT), 0u);
    EXPECT_EQ(LastCode(), HRESULT_MOD_NOT_FOUND);
}

// Only the ECC containers of present devices are listed, in every application; each listed name
// opens its container again.
TEST_F(SkfProvidersTest, ContainersAreTheEccContainersOfPresentDevices) {
    const auto [key, cert] = token_.WriteKeyPair("sign", signer_);
    auto container = [&](const std::string& device, const std::string& app, const std::string& name,
                         int type) {
        return soft_token::ContainerSection({device, app, name, type, key, cert, "", ""});
    };
    token_.state().Write(
        config_ + soft_token::ApplicationSection("KEY1", "APP2", kPin) +
        container("KEY1", "APP1", "RSA", 1) + container("KEY1", "APP1", "EMPTY", 0) +
        container("KEY1", "APP2", "a/b%c", 2) + soft_token::DeviceSection("KEY2", "Second key") +
        soft_token::ApplicationSection("KEY2", "APPX", kPin) +
        container("KEY2", "APPX", "CON3", 2) +
        soft_token::DeviceSection("GONE", "Pulled out", "state = 0\n") +
        soft_token::ApplicationSection("GONE", "APPG", kPin) +
        container("GONE", "APPG", "CONG", 2));
    std::vector<std::string> names = Containers();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"KEY1/APP1/CON1", "KEY1/APP1/SIGNONLY",
                                               "KEY1/APP2/a%2Fb%25c", "KEY2/APPX/CON3"}));
    for (const std::string& name : names) {
        HRESULT code = S_OK;
        EXPECT_FALSE(Certificate(name, AT_SIGNATURE, &code).empty()) << name;
        EXPECT_EQ(code, S_OK) << name;
    }

    token_.state().Write("");  // no key plugged in: no containers, and no failure
    EXPECT_TRUE(Containers().empty());
}

TEST_F(SkfProvidersTest, KeySpecsAreTheSigningAndEncryptionCertificates) {
    const struct {
        const char* container;
        DWORD key_spec;
        const std::vector<uint8_t>* expected;  // null: no key
    } cases[] = {
        {"KEY1/APP1/CON1", AT_SIGNATURE, &signer_.certificate},
        {"KEY1/APP1/CON1", AT_KEYEXCHANGE, &encrypter_.certificate},
        {"KEY1/APP1/SIGNONLY", AT_SIGNATURE, &signer_.certificate},
        {"KEY1/APP1/SIGNONLY", AT_KEYEXCHANGE, nullptr},
    };
    for (const auto& c : cases) {
        HRESULT code = S_OK;
        const std::vector<uint8_t> der = Certificate(c.container, c.key_spec, &code);
        if (c.expected != nullptr) {
            EXPECT_EQ(code, S_OK) << c.container << " " << c.key_spec;
            EXPECT_EQ(der, *c.expected) << c.container << " " << c.key_spec;
        } else {
            EXPECT_EQ(code, NTE_NO_KEY) << c.container << " " << c.key_spec;
        }
    }
    // Names that are not of the form, or name nothing, open no container.
    for (const char* bad : {"CON1", "KEY1/APP1/NONE", "NOKEY/APP1/CON1"}) {
        EXPECT_EQ(Acquire(bad), 0u) << bad;
        EXPECT_TRUE(FAILED(LastCode())) << bad;
    }
}

// A mebibyte goes to the token in pieces of at most 16384 bytes, and the signature over
// SM3(Z || M) verifies with OpenSSL against the signing certificate.
TEST_F(SkfProvidersTest, SignsAMebibyteInPiecesAndOpensslVerifies) {
    token_.state().Write(config_ + softskf_testing::LogCalls());
    ScriptedPrompt prompt({kPin});
    std::string message(1 << 20, '\0');
    for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<char>(i * 7 + i / 251);

    const SignResult result = Sign("KEY1/APP1/CON1", message);
    ASSERT_TRUE(result.ok) << result.failed_call << std::hex << " 0x" << result.code;
    ASSERT_EQ(result.signature.size(), 64u);
    EXPECT_TRUE(soft_token::VerifySm2(signer_.certificate, message, BigEndian(result.signature)));
    EXPECT_FALSE(
        soft_token::VerifySm2(signer_.certificate, message + "x", BigEndian(result.signature)));

    size_t total = 0;
    size_t pieces = 0;
    for (const std::string& line : token_.state().Events("call")) {
        std::istringstream fields(line);
        std::string event, function;
        size_t length = 0;
        fields >> event >> function >> length;
        if (function != "SKF_DigestUpdate") continue;
        EXPECT_LE(length, 16384u);
        total += length;
        ++pieces;
    }
    EXPECT_EQ(total, message.size());
    EXPECT_EQ(pieces, message.size() / 16384);
    EXPECT_EQ(prompt.requests.size(), 1u);
}

// SKF signs with the signing key only: the encryption key is refused before the token is asked.
TEST_F(SkfProvidersTest, KeyExchangeCannotSign) {
    token_.state().Write(config_ + softskf_testing::LogCalls());
    ScriptedPrompt prompt({kPin});
    const SignResult result = Sign("KEY1/APP1/CON1", "text", AT_KEYEXCHANGE);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.failed_call, "CryptSignHashW(size)");
    EXPECT_EQ(result.code, NTE_BAD_KEY);
    EXPECT_FALSE(token_.state().WasCalled("SKF_ECCSignData"));
    EXPECT_TRUE(prompt.requests.empty());
}

// A failing SKF call ends the platform call that made it with the SAR mapped by the SKF rule.
TEST_F(SkfProvidersTest, SarCodesMapByTheSkfRule) {
    const struct {
        const char* function;
        const char* sar;
        const char* failed_call;
        HRESULT code;
    } cases[] = {
        {"SKF_ConnectDev", "0x0A000023", "CryptAcquireContextW", result_detail::Code(0xAA000023u)},
        {"SKF_OpenApplication", "0x0A00002E", "CryptAcquireContextW",
         result_detail::Code(0xAA00002Eu)},
        {"SKF_OpenContainer", "0x0A000001", "CryptAcquireContextW",
         result_detail::Code(0xAA000001u)},
        {"SKF_ExportPublicKey", "0x0A00001B", "CryptCreateHash", result_detail::Code(0xAA00001Bu)},
        {"SKF_DigestInit", "0x0A000014", "CryptCreateHash", result_detail::Code(0xAA000014u)},
        {"SKF_DigestUpdate", "0x0A000006", "CryptHashData", result_detail::Code(0xAA000006u)},
        {"SKF_DigestFinal", "0x0A000020", "CryptGetHashParam", result_detail::Code(0xAA000020u)},
        // Bits outside 0x0F0000FF are dropped by the rule.
        {"SKF_ECCSignData", "0x0B001234", "CryptSignHashW", result_detail::Code(0xAB000034u)},
    };
    for (const auto& c : cases) {
        token_.state().Write(config_ + softskf_testing::Failure(c.function, c.sar));
        ScriptedPrompt prompt({kPin});
        const SignResult result = Sign("KEY1/APP1/CON1", "text");
        EXPECT_FALSE(result.ok) << c.function;
        EXPECT_EQ(result.failed_call, c.failed_call) << c.function;
        EXPECT_EQ(result.code, c.code) << c.function;
    }
    token_.state().Write(config_ + softskf_testing::Failure("SKF_EnumDev", "0x0A000002"));
    const HCRYPTPROV provider = Acquire("", kProvider, CRYPT_VERIFYCONTEXT);
    DWORD size = 0;
    EXPECT_FALSE(CryptGetProvParam(provider, PP_ENUMCONTAINERS, nullptr, &size, CRYPT_FIRST));
    EXPECT_EQ(LastCode(), result_detail::Code(0xAA000002u));
    EXPECT_TRUE(CryptReleaseContext(provider, 0));
}

// A key pulled out between hashing and signing: a coded failure, every handle still released.
TEST_F(SkfProvidersTest, KeyPulledOutMidCallGivesItsCode) {
    ScriptedPrompt prompt({kPin});
    const SignResult result = Sign("KEY1/APP1/CON1", "text", AT_SIGNATURE, [&] {
        token_.state().Write(soft_token::ApplicationSection("KEY1", "APP1", kPin));
    });
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.failed_call, "CryptSignHashW");
    EXPECT_EQ(result.code, RESULT_FROM_SAR(SAR_DEVICE_REMOVED));
    EXPECT_GE(token_.state().Loads(), 1);
}

// The user PIN, asked when the token wants a login: the device's label, the retries left after a
// wrong PIN, Cancel, and a locked application. The PIN never reaches the trace.
TEST_F(SkfProvidersTest, PinFlow) {
    const struct {
        const char* title;
        std::deque<std::string> answers;  // "" = Cancel
        int retries;
        bool locked;
        HRESULT code;
        size_t prompts;
    } cases[] = {
        {"right", {kPin}, 6, false, S_OK, 1},
        {"wrong then right", {"000000", kPin}, 6, false, S_OK, 2},
        {"cancel", {""}, 6, false, HRESULT_CANCELLED, 1},
        {"wrong then cancel", {"000000", ""}, 6, false, HRESULT_CANCELLED, 2},
        // A locked application refuses to sign at once: nobody is asked for a PIN.
        {"locked", {kPin}, 6, true, RESULT_FROM_SAR(SAR_PIN_LOCKED), 0},
        {"wrong until locked",
         {"000001", "000002", kPin},
         2,
         false,
         RESULT_FROM_SAR(SAR_PIN_LOCKED),
         2},
    };
    // Everything traced goes to a file of this test.
    const std::string trace_file = (token_.root() / "trace.log").string();
    const std::string runtime_dir = (token_.root() / "runtime").string();
    std::filesystem::create_directories(runtime_dir + "/tessora");
    std::ofstream(runtime_dir + "/tessora/trace.conf")
        << "flags 15\nsink file " << trace_file << "\n";
    setenv("XDG_RUNTIME_DIR", runtime_dir.c_str(), 1);
    trace::Start("skf_provider_tests");

    for (const auto& c : cases) {
        const std::string state_file = token_.state().path().string();
        std::filesystem::remove(state_file);  // a fresh retry counter for each case
        token_.state().Write(
            soft_token::DeviceSection("KEY1", kLabel) +
            soft_token::ApplicationSection("KEY1", "APP1", kPin, c.retries, c.locked) +
            config_.substr(config_.find("[container]")));
        ScriptedPrompt prompt(c.answers);
        const SignResult result = Sign("KEY1/APP1/CON1", "text");
        EXPECT_EQ(result.ok, c.code == S_OK) << c.title;
        EXPECT_EQ(result.code, c.code) << c.title;
        ASSERT_EQ(prompt.requests.size(), c.prompts) << c.title;
        if (c.prompts > 0) {
            EXPECT_EQ(prompt.requests[0].token_name, kLabel) << c.title;
            EXPECT_FALSE(prompt.requests[0].previous_attempt_failed) << c.title;
        }
        if (c.prompts > 1) {
            EXPECT_TRUE(prompt.requests[1].previous_attempt_failed) << c.title;
            EXPECT_EQ(prompt.requests[1].retries_left, c.retries - 1) << c.title;
        }
        if (result.ok) {
            EXPECT_TRUE(
                soft_token::VerifySm2(signer_.certificate, "text", BigEndian(result.signature)))
                << c.title;
        }
    }
    trace::Stop();
    unsetenv("XDG_RUNTIME_DIR");
    std::ifstream in(trace_file);
    const std::string traced((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
    EXPECT_NE(traced.find("SKF_VerifyPIN"), std::string::npos);
    for (const char* pin : {kPin, "000000", "000001", "000002"})
        EXPECT_EQ(traced.find(pin), std::string::npos) << pin;
}

}  // namespace
