// softskf as a software SM2 token, loaded with dlopen as a vendor's SKF library is: its
// signatures must be standard (checked with OpenSSL's own SM2 and the default identity of
// GM/T 0009), and its PIN, login, size queries, injected failures and key removal must behave as
// the USB keys the platform code is written against.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/pem.h>
#include <stdlib.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "common/OpenSslPtr.h"
#include "platform/crypt/SkfApi.h"
#include "platform/crypt/SkfLibrary.h"
#include "platform/runtime/SharedLibrary.h"
#include "tests/fixtures/softskf/SoftSkfTesting.h"
#include "tests/support/Shell.h"
#include "tests/support/SoftToken.h"

namespace {

using soft_token::ApplicationSection;
using soft_token::ContainerSection;
using soft_token::DeviceSection;
using soft_token::VerifySm2;
using softskf_testing::Failure;

using Bytes = std::vector<uint8_t>;

constexpr char kDefaultId[] = "1234567812345678";
constexpr char kPin[] = "123456";

// The entry points the tests call, resolved from one load of the library: those the SM2
// providers use, and the one-shot digest.
#define SOFT_TOKEN_FUNCTIONS(X)      \
    SKF_PROVIDER_ENTRY_POINT_LIST(X) \
    X(SKF_Digest, PFN_SKF_Digest)

struct Token {
    SharedLibraryPtr library;
#define SOFT_TOKEN_MEMBER(name, type) type name = nullptr;
    SOFT_TOKEN_FUNCTIONS(SOFT_TOKEN_MEMBER)
#undef SOFT_TOKEN_MEMBER

    explicit Token(const char* path) : library(LoadSharedLibrary(path)) {
#define SOFT_TOKEN_RESOLVE(name, type) \
    if (library) name = reinterpret_cast<type>(GetProcAddress(library.get(), #name));
        SOFT_TOKEN_FUNCTIONS(SOFT_TOKEN_RESOLVE)
#undef SOFT_TOKEN_RESOLVE
    }
};

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

void WriteFile(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

std::string CertificatePem(const Bytes& der) {
    const unsigned char* cursor = der.data();
    X509Ptr x509(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
    BioPtr bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(bio.get(), x509.get());
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(length));
}

// The public point of a key, in the right-aligned form of an ECCPUBLICKEYBLOB.
Bytes PublicPoint(EVP_PKEY* key) {
    Bytes point(128, 0);
    for (const auto& [name, offset] :
         {std::pair{OSSL_PKEY_PARAM_EC_PUB_X, 32}, std::pair{OSSL_PKEY_PARAM_EC_PUB_Y, 96}}) {
        BIGNUM* raw = nullptr;
        EVP_PKEY_get_bn_param(key, name, &raw);
        BignumPtr value(raw);
        BN_bn2binpad(value.get(), point.data() + offset, 32);
    }
    return point;
}

// What the token signed, in the r || s form the verifier takes.
Bytes RThenS(const ECCSIGNATUREBLOB& blob) {
    Bytes r_then_s(64);
    std::memcpy(r_then_s.data(), blob.r + 32, 32);
    std::memcpy(r_then_s.data() + 32, blob.s + 32, 32);
    return r_then_s;
}

class SoftTokenTest : public ::testing::Test {
  protected:
    SoftTokenTest() {
        setenv("SOFTSKF_STATE", state_.path().c_str(), 1);
        signer_ =
            soft_token::MakeKeyPair("CN=Signer", 0xC0, 1);  // digitalSignature, nonRepudiation
        encipherer_ = soft_token::MakeKeyPair("CN=Signer", 0x30, 2);  // key/dataEncipherment
        files_.WriteKeyPair("sign", signer_);
        files_.WriteKeyPair("enc", encipherer_);
        // The signing certificate once more, in PEM: the token hands out DER either way.
        WriteFile(files_.root() / "sign.crt", ToBytes(CertificatePem(signer_.certificate)));
    }
    ~SoftTokenTest() override { unsetenv("SOFTSKF_STATE"); }

    static std::string KeyWithContainer(int retries = 6, bool locked = false) {
        soft_token::ContainerSpec container;
        container.sign_key = "sign.pem";
        container.sign_cert = "sign.crt";
        container.enc_key = "enc.pem";
        container.enc_cert = "enc.der";
        return DeviceSection("KEY1", "Alice's SM2 key") +
               ApplicationSection("KEY1", "APP1", kPin, retries, locked) +
               ContainerSection(container);
    }

    // Connects to the device and opens the application and the container.
    void Open(Token& token, std::string device = "KEY1", std::string app = "APP1",
              std::string container = "CON1") {
        ASSERT_TRUE(token.library);
        ASSERT_EQ(token.SKF_ConnectDev(device.data(), &device_), SAR_OK);
        ASSERT_EQ(token.SKF_OpenApplication(device_, app.data(), &app_), SAR_OK);
        ASSERT_EQ(token.SKF_OpenContainer(app_, container.data(), &container_), SAR_OK);
    }
    void Close(Token& token) {
        EXPECT_EQ(token.SKF_CloseContainer(container_), SAR_OK);
        EXPECT_EQ(token.SKF_CloseApplication(app_), SAR_OK);
        EXPECT_EQ(token.SKF_DisConnectDev(device_), SAR_OK);
    }
    ULONG VerifyPin(Token& token, const char* pin, ULONG* retries) {
        return token.SKF_VerifyPIN(app_, USER_TYPE, const_cast<char*>(pin), retries);
    }
    // e = SM3(Z||M) by the token, for the signing key, the message fed in pieces.
    ULONG DigestForSigning(Token& token, const Bytes& message, size_t piece, Bytes& e) {
        ECCPUBLICKEYBLOB key{};
        ULONG length = sizeof(key);
        HANDLE hash = nullptr;
        ULONG sar =
            token.SKF_ExportPublicKey(container_, TRUE, reinterpret_cast<BYTE*>(&key), &length);
        if (sar == SAR_OK) {
            sar = token.SKF_DigestInit(device_, SGD_SM3, &key,
                                       reinterpret_cast<BYTE*>(const_cast<char*>(kDefaultId)),
                                       std::strlen(kDefaultId), &hash);
        }
        for (size_t at = 0; sar == SAR_OK && at < message.size(); at += piece) {
            const size_t size = std::min(piece, message.size() - at);
            sar = token.SKF_DigestUpdate(hash, const_cast<uint8_t*>(message.data()) + at,
                                         static_cast<ULONG>(size));
        }
        e.assign(32, 0);
        length = 32;
        if (sar == SAR_OK) sar = token.SKF_DigestFinal(hash, e.data(), &length);
        if (hash != nullptr) token.SKF_CloseHandle(hash);
        return sar;
    }

    soft_token::SoftToken files_;
    softskf_testing::StateFile& state_ = files_.state();
    soft_token::KeyPair signer_;
    soft_token::KeyPair encipherer_;
    DEVHANDLE device_ = nullptr;
    HAPPLICATION app_ = nullptr;
    HCONTAINER container_ = nullptr;
};

TEST_F(SoftTokenTest, SignatureOverZAndMessageVerifiesWithOpenSslSm2) {
    state_.Write(KeyWithContainer() + softskf_testing::LogCalls());
    {
        Token token(SOFTSKF_LIBRARY);
        Open(token);
        ULONG retries = 0;
        ASSERT_EQ(VerifyPin(token, kPin, &retries), SAR_OK);
        Bytes large(40000);
        for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<uint8_t>(i * 7);
        for (const Bytes& message : {Bytes{}, ToBytes("abc"), large}) {
            SCOPED_TRACE(message.size());
            Bytes e;
            ASSERT_EQ(DigestForSigning(token, message, 16384, e), SAR_OK);
            ECCSIGNATUREBLOB blob{};
            ASSERT_EQ(token.SKF_ECCSignData(container_, e.data(), 32, &blob), SAR_OK);
            const std::string text(message.begin(), message.end());
            EXPECT_TRUE(VerifySm2(signer_.certificate, text, RThenS(blob)));
            // Signed with the signing key only; the encryption key is not the signer.
            EXPECT_FALSE(VerifySm2(encipherer_.certificate, text, RThenS(blob)));
            EXPECT_EQ(Bytes(blob.r, blob.r + 32), Bytes(32, 0));  // right-aligned
        }
        // The pieces reach the token as they were handed over, and the log shows their sizes.
        const auto updates = state_.Events("call SKF_DigestUpdate");
        ASSERT_EQ(updates.size(), 4u);  // "abc", then 16384 + 16384 + 7232
        EXPECT_EQ(updates[1], "@call SKF_DigestUpdate 16384");
        EXPECT_EQ(updates[3], "@call SKF_DigestUpdate 7232");

        // Without an identity the digest is plain SM3, one-shot or not.
        HANDLE hash = nullptr;
        ASSERT_EQ(token.SKF_DigestInit(device_, SGD_SM3, nullptr, nullptr, 0, &hash), SAR_OK);
        Bytes plain(32);
        ULONG length = 0;
        ASSERT_EQ(token.SKF_Digest(hash, const_cast<BYTE*>(reinterpret_cast<const BYTE*>("abc")), 3,
                                   nullptr, &length),
                  SAR_OK);
        ASSERT_EQ(length, 32u);
        ASSERT_EQ(token.SKF_Digest(hash, const_cast<BYTE*>(reinterpret_cast<const BYTE*>("abc")), 3,
                                   plain.data(), &length),
                  SAR_OK);
        EXPECT_EQ(token.SKF_CloseHandle(hash), SAR_OK);
        Bytes expected(32);
        EVP_Digest("abc", 3, expected.data(), nullptr, EVP_sm3(), nullptr);
        EXPECT_EQ(plain, expected);
        Close(token);
    }
    EXPECT_EQ(state_.Loads(), 1);
    EXPECT_EQ(state_.Unloads(), 1);
    EXPECT_EQ(state_.UnloadsWithOpenHandles(), 0);
}

TEST_F(SoftTokenTest, PinCounterPersistsAcrossLoadsAndLocksAtZero) {
    state_.Write(KeyWithContainer(3));
    struct Step {
        const char* pin;
        ULONG sar;
        ULONG retries;
        bool reload;  // unload and load the library before this step
    } steps[] = {
        {"000000", SAR_PIN_INCORRECT, 2, false},
        {"000000", SAR_PIN_INCORRECT, 1, true},  // the counter survives the unload
        {kPin, SAR_OK, 3, false},                // and a right PIN resets it
        {"000000", SAR_PIN_INCORRECT, 2, false},
        {"000000", SAR_PIN_INCORRECT, 1, true},
        {"000000", SAR_PIN_LOCKED, 0, false},  // the last try locks
        {kPin, SAR_PIN_LOCKED, 0, false},      // for good, the right PIN too
        {kPin, SAR_PIN_LOCKED, 0, true},
    };
    auto token = std::make_unique<Token>(SOFTSKF_LIBRARY);
    Open(*token);
    for (const Step& step : steps) {
        SCOPED_TRACE(testing::Message() << step.pin << " after " << state_.Events("retries").size()
                                        << " counter events");
        if (step.reload) {
            Close(*token);
            token.reset();  // unloaded before the next load, or dlopen would keep it mapped
            token = std::make_unique<Token>(SOFTSKF_LIBRARY);
            Open(*token);
        }
        ULONG retries = 99;
        EXPECT_EQ(VerifyPin(*token, step.pin, &retries), step.sar);
        EXPECT_EQ(retries, step.retries);
    }
    Close(*token);
    token.reset();
    EXPECT_EQ(state_.Loads(), 4);  // the first load and three reloads
    EXPECT_EQ(state_.Unloads(), 4);

    // A key configured locked answers so from the start.
    state_.Write(KeyWithContainer(3, true));
    Token locked(SOFTSKF_LIBRARY);
    Open(locked);
    ULONG retries = 99;
    EXPECT_EQ(VerifyPin(locked, kPin, &retries), SAR_PIN_LOCKED);
    Close(locked);
}

TEST_F(SoftTokenTest, SigningNeedsTheUserLoggedInOnThisLoad) {
    state_.Write(KeyWithContainer());
    Bytes e(32, 0x5A);
    ECCSIGNATUREBLOB blob{};
    ULONG retries = 0;
    {
        Token token(SOFTSKF_LIBRARY);
        Open(token);
        EXPECT_EQ(token.SKF_ECCSignData(container_, e.data(), 32, &blob), SAR_USER_NOT_LOGGED_IN);
        ASSERT_EQ(VerifyPin(token, kPin, &retries), SAR_OK);
        EXPECT_EQ(token.SKF_ECCSignData(container_, e.data(), 32, &blob), SAR_OK);
        EXPECT_EQ(token.SKF_ECCSignData(container_, e.data(), 31, &blob), SAR_INVALIDPARAMERR);
        // A wrong PIN ends the login.
        EXPECT_EQ(VerifyPin(token, "000000", &retries), SAR_PIN_INCORRECT);
        EXPECT_EQ(token.SKF_ECCSignData(container_, e.data(), 32, &blob), SAR_USER_NOT_LOGGED_IN);
        ASSERT_EQ(VerifyPin(token, kPin, &retries), SAR_OK);
        Close(token);
    }
    // The login lives as long as the library stays loaded.
    Token token(SOFTSKF_LIBRARY);
    Open(token);
    EXPECT_EQ(token.SKF_ECCSignData(container_, e.data(), 32, &blob), SAR_USER_NOT_LOGGED_IN);
    Close(token);
}

TEST_F(SoftTokenTest, VariableOutputsAnswerTheTwoCallSizeQuery) {
    soft_token::ContainerSpec empty_container;
    empty_container.application = "APP2";
    empty_container.name = "EMPTY";
    state_.Write(KeyWithContainer() + ApplicationSection("KEY1", "APP2", kPin) +
                 ContainerSection(empty_container));
    Token token(SOFTSKF_LIBRARY);
    Open(token);
    std::vector<uint8_t> info(kDevInfoBufferSize);
    ASSERT_EQ(token.SKF_GetDevInfo(device_, reinterpret_cast<DEVINFO*>(info.data())), SAR_OK);
    EXPECT_STREQ(reinterpret_cast<const char*>(info.data() + offsetof(DEVINFO, Label)),
                 "Alice's SM2 key");
    HANDLE hash = nullptr;
    ASSERT_EQ(token.SKF_DigestInit(device_, SGD_SM3, nullptr, nullptr, 0, &hash), SAR_OK);
    HAPPLICATION app2 = nullptr;
    ASSERT_EQ(token.SKF_OpenApplication(device_, const_cast<char*>("APP2"), &app2), SAR_OK);
    const Bytes sign_point = PublicPoint(signer_.key.get());
    const Bytes enc_point = PublicPoint(encipherer_.key.get());
    Bytes sm3_of_nothing(32);
    EVP_Digest("", 0, sm3_of_nothing.data(), nullptr, EVP_sm3(), nullptr);

    using Call = std::function<ULONG(BYTE*, ULONG*)>;
    struct Case {
        const char* name;
        Call call;
        Bytes expected;  // for public keys: the 128 bytes after BitLen
    } cases[] = {
        {"applications",
         [&](BYTE* out, ULONG* size) {
             return token.SKF_EnumApplication(device_, reinterpret_cast<char*>(out), size);
         },
         Bytes{'A', 'P', 'P', '1', 0, 'A', 'P', 'P', '2', 0, 0}},
        {"containers",
         [&](BYTE* out, ULONG* size) {
             return token.SKF_EnumContainer(app2, reinterpret_cast<char*>(out), size);
         },
         Bytes{'E', 'M', 'P', 'T', 'Y', 0, 0}},
        {"signing certificate",
         [&](BYTE* out, ULONG* size) {
             return token.SKF_ExportCertificate(container_, TRUE, out, size);
         },
         signer_.certificate},
        {"encryption certificate",
         [&](BYTE* out, ULONG* size) {
             return token.SKF_ExportCertificate(container_, FALSE, out, size);
         },
         encipherer_.certificate},
        {"signing public key",
         [&](BYTE* out, ULONG* size) {
             return token.SKF_ExportPublicKey(container_, TRUE, out, size);
         },
         sign_point},
        {"encryption public key",
         [&](BYTE* out, ULONG* size) {
             return token.SKF_ExportPublicKey(container_, FALSE, out, size);
         },
         enc_point},
        {"digest", [&](BYTE* out, ULONG* size) { return token.SKF_DigestFinal(hash, out, size); },
         sm3_of_nothing},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool public_key = c.expected.size() == 128;
        ULONG size = 0;
        ASSERT_EQ(c.call(nullptr, &size), SAR_OK);
        ASSERT_EQ(size, c.expected.size() + (public_key ? 4 : 0));
        Bytes out(size + 8, 0xEE);
        ULONG short_size = size - 1;
        EXPECT_EQ(c.call(out.data(), &short_size), SAR_BUFFER_TOO_SMALL);
        EXPECT_EQ(short_size, size);
        ULONG full_size = size + 8;
        ASSERT_EQ(c.call(out.data(), &full_size), SAR_OK);
        ASSERT_EQ(full_size, size);
        out.resize(size);
        if (public_key) {
            EXPECT_EQ(out[0], 0u);  // BitLen 256, little-endian
            EXPECT_EQ(out[1], 1u);
            out.erase(out.begin(), out.begin() + 4);
        }
        EXPECT_EQ(out, c.expected);
    }

    // A container without keys or certificates says which is missing.
    HCONTAINER empty = nullptr;
    ASSERT_EQ(token.SKF_OpenContainer(app2, const_cast<char*>("EMPTY"), &empty), SAR_OK);
    ULONG size = 0;
    EXPECT_EQ(token.SKF_ExportCertificate(empty, TRUE, nullptr, &size), SAR_CERTNOTFOUNTERR);
    EXPECT_EQ(token.SKF_ExportPublicKey(empty, FALSE, nullptr, &size), SAR_KEYNOTFOUNTERR);
    EXPECT_EQ(token.SKF_CloseContainer(empty), SAR_OK);
    EXPECT_EQ(token.SKF_CloseApplication(app2), SAR_OK);
    EXPECT_EQ(token.SKF_CloseHandle(hash), SAR_OK);
    Close(token);
}

TEST_F(SoftTokenTest, EveryEntryPointFailsWithTheInjectedSar) {
    auto token_owner = std::make_unique<Token>(SOFTSKF_LIBRARY);
    Token& token = *token_owner;
    state_.Write(KeyWithContainer());
    Open(token);
    ULONG retries = 0;
    ASSERT_EQ(VerifyPin(token, kPin, &retries), SAR_OK);
    HANDLE hash = nullptr;
    ASSERT_EQ(token.SKF_DigestInit(device_, SGD_SM3, nullptr, nullptr, 0, &hash), SAR_OK);
    Bytes buffer(4096);
    ECCSIGNATUREBLOB blob{};
    DEVHANDLE extra_device = nullptr;
    HAPPLICATION extra_app = nullptr;
    HCONTAINER extra_container = nullptr;
    HANDLE extra_hash = nullptr;
    ULONG value = 0;
    auto size = [&] { return value = static_cast<ULONG>(buffer.size()), &value; };
    struct Case {
        const char* function;
        std::function<ULONG()> call;
    } cases[] = {
        {"SKF_ConnectDev",
         [&] { return token.SKF_ConnectDev(const_cast<char*>("KEY1"), &extra_device); }},
        {"SKF_GetDevInfo",
         [&] { return token.SKF_GetDevInfo(device_, reinterpret_cast<DEVINFO*>(buffer.data())); }},
        {"SKF_EnumApplication",
         [&] {
             return token.SKF_EnumApplication(device_, reinterpret_cast<char*>(buffer.data()),
                                              size());
         }},
        {"SKF_OpenApplication",
         [&] { return token.SKF_OpenApplication(device_, const_cast<char*>("APP1"), &extra_app); }},
        {"SKF_VerifyPIN", [&] { return VerifyPin(token, kPin, &retries); }},
        {"SKF_EnumContainer",
         [&] {
             return token.SKF_EnumContainer(app_, reinterpret_cast<char*>(buffer.data()), size());
         }},
        {"SKF_OpenContainer",
         [&] {
             return token.SKF_OpenContainer(app_, const_cast<char*>("CON1"), &extra_container);
         }},
        {"SKF_GetContainerType", [&] { return token.SKF_GetContainerType(container_, &value); }},
        {"SKF_ExportCertificate",
         [&] { return token.SKF_ExportCertificate(container_, TRUE, buffer.data(), size()); }},
        {"SKF_ExportPublicKey",
         [&] { return token.SKF_ExportPublicKey(container_, TRUE, buffer.data(), size()); }},
        {"SKF_DigestInit",
         [&] { return token.SKF_DigestInit(device_, SGD_SM3, nullptr, nullptr, 0, &extra_hash); }},
        {"SKF_DigestUpdate", [&] { return token.SKF_DigestUpdate(hash, buffer.data(), 16); }},
        {"SKF_DigestFinal", [&] { return token.SKF_DigestFinal(hash, buffer.data(), size()); }},
        {"SKF_Digest",
         [&] { return token.SKF_Digest(hash, buffer.data(), 16, buffer.data(), size()); }},
        {"SKF_ECCSignData",
         [&] { return token.SKF_ECCSignData(container_, buffer.data(), 32, &blob); }},
        // Closing fails as told, and the handle is gone all the same.
        {"SKF_CloseHandle", [&] { return token.SKF_CloseHandle(hash); }},
        {"SKF_CloseContainer", [&] { return token.SKF_CloseContainer(container_); }},
        {"SKF_CloseApplication", [&] { return token.SKF_CloseApplication(app_); }},
        {"SKF_DisConnectDev", [&] { return token.SKF_DisConnectDev(device_); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.function);
        // A SAR none of these calls would answer by itself.
        state_.Write(KeyWithContainer() + Failure(c.function, "0x0A00000F"));
        EXPECT_EQ(c.call(), 0x0A00000Fu);
    }
    // No call above handed out a handle while failing.
    EXPECT_EQ(extra_device, nullptr);
    EXPECT_EQ(extra_app, nullptr);
    EXPECT_EQ(extra_container, nullptr);
    EXPECT_EQ(extra_hash, nullptr);
    token_owner.reset();
    EXPECT_EQ(state_.UnloadsWithOpenHandles(), 0);
}

TEST_F(SoftTokenTest, PulledOutKeyFailsEveryHandleAndForgetsItsLogin) {
    {
        state_.Write(KeyWithContainer());
        Token token(SOFTSKF_LIBRARY);
        Open(token);
        ULONG retries = 0;
        ASSERT_EQ(VerifyPin(token, kPin, &retries), SAR_OK);
        HANDLE hash = nullptr;
        ASSERT_EQ(token.SKF_DigestInit(device_, SGD_SM3, nullptr, nullptr, 0, &hash), SAR_OK);
        Bytes e(32, 1);
        ECCSIGNATUREBLOB blob{};
        ULONG size = 0;
        for (const std::string& removed :
             {std::string(), DeviceSection("KEY1", "Alice's SM2 key", "state = 0\n")}) {
            SCOPED_TRACE(removed.empty() ? "section gone" : "state 0");
            state_.Write(removed);
            EXPECT_EQ(token.SKF_EnumApplication(device_, nullptr, &size), SAR_DEVICE_REMOVED);
            EXPECT_EQ(token.SKF_EnumContainer(app_, nullptr, &size), SAR_DEVICE_REMOVED);
            EXPECT_EQ(token.SKF_ExportCertificate(container_, TRUE, nullptr, &size),
                      SAR_DEVICE_REMOVED);
            EXPECT_EQ(token.SKF_DigestUpdate(hash, e.data(), 32), SAR_DEVICE_REMOVED);
            EXPECT_EQ(token.SKF_ECCSignData(container_, e.data(), 32, &blob), SAR_DEVICE_REMOVED);
        }
        // Plugged in again, the key wants the PIN anew.
        state_.Write(KeyWithContainer());
        EXPECT_EQ(token.SKF_ECCSignData(container_, e.data(), 32, &blob), SAR_USER_NOT_LOGGED_IN);
        // Handles of a removed key still close, so nothing is left open.
        state_.Write("");
        EXPECT_EQ(token.SKF_CloseHandle(hash), SAR_OK);
        Close(token);
    }
    EXPECT_EQ(state_.UnloadsWithOpenHandles(), 0);
}

// As a web developer sets it up: `tessora-softtoken init`, after which the library finds its
// state in their configuration folder without SOFTSKF_STATE, and signs with the new certificate.
TEST_F(SoftTokenTest, DevelopmentTokenSetUpByItsCommandSigns) {
    unsetenv("SOFTSKF_STATE");
    test_shell::TempDir config;
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    const std::string saved_config = saved != nullptr ? saved : "";
    setenv("XDG_CONFIG_HOME", config.str().c_str(), 1);
    const std::string init = test_shell::Quote(SOFTTOKEN_COMMAND) + " init --pin 2468";
    std::string output;
    ASSERT_EQ(test_shell::Run(init, &output), 0) << output;
    const std::string library = std::filesystem::canonical(SOFTTOKEN_LIBRARY).string();
    EXPECT_NE(output.find("tessora-providers add 'Tessora software token' " + library),
              std::string::npos)
        << output;
    EXPECT_NE(test_shell::Run(init, &output), 0) << "a second init would destroy the keys";

    const std::filesystem::path folder = config.path() / "tessora" / "softtoken";
    EXPECT_EQ(test_shell::Run("openssl verify -vfyopt distid:1234567812345678 -CAfile " +
                                  test_shell::Quote((folder / "ca.crt").string()) + " " +
                                  test_shell::Quote((folder / "sign.crt").string()) + " " +
                                  test_shell::Quote((folder / "enc.crt").string()),
                              &output),
              0)
        << output;
    {
        Token token(SOFTTOKEN_LIBRARY);
        ASSERT_TRUE(token.library);
        char names[64] = {};
        ULONG size = sizeof(names);
        ASSERT_EQ(token.SKF_EnumDev(TRUE, names, &size), SAR_OK);
        EXPECT_EQ(std::string(names, size), std::string("SOFTTOKEN\0\0", 11));
        Open(token, "SOFTTOKEN", "TESSORA", "DEVELOPER");
        ULONG retries = 0;
        ASSERT_EQ(VerifyPin(token, "2468", &retries), SAR_OK);
        Bytes certificate(4096);
        size = static_cast<ULONG>(certificate.size());
        ASSERT_EQ(token.SKF_ExportCertificate(container_, TRUE, certificate.data(), &size), SAR_OK);
        certificate.resize(size);
        const Bytes message = ToBytes("<p>SM2 without hardware</p>");
        Bytes e;
        ASSERT_EQ(DigestForSigning(token, message, 16384, e), SAR_OK);
        ECCSIGNATUREBLOB blob{};
        ASSERT_EQ(token.SKF_ECCSignData(container_, e.data(), 32, &blob), SAR_OK);
        EXPECT_TRUE(
            VerifySm2(certificate, std::string(message.begin(), message.end()), RThenS(blob)));
        Close(token);
    }
    // It keeps no load records in its user's file, which would only grow.
    EXPECT_EQ(test_shell::ReadFile(folder / "state").find("@load"), std::string::npos);
    if (saved != nullptr) {
        setenv("XDG_CONFIG_HOME", saved_config.c_str(), 1);
    } else {
        unsetenv("XDG_CONFIG_HOME");
    }
}

}  // namespace
