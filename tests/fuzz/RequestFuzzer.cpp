// Request texts through the real dispatcher and agent, as the host's message loop hands them over:
// each line of the input is one request, answered by one response that must be a JSON object with
// a numeric "errorcode". A fresh agent serves each input (at most kMaxRequests lines), so requests
// that build on each other (SetSM2CSPList, SelectCertificate, SignMsgPKCS7) are reached while no
// state outlives the input.
//
// Built three times (FUZZ_REQUEST_SETUP): without a certificate database; with a database of one
// certificate and its RSA key (NSS, made once per process in a temporary HOME); with the software
// SM2 token registered as a provider, its application logged in, so SM2 signing completes without
// a PIN. No dialog opens: no dialog runner and no PIN prompt are installed, and there is no
// display.
#include <cjson/cJSON.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "agent/CryptoAgent.h"
#include "host/TessoraHost.h"
#include "tests/fuzz/FuzzSupport.h"

#define FUZZ_SETUP_NONE 0
#define FUZZ_SETUP_NSS 1
#define FUZZ_SETUP_SM2 2

#if FUZZ_REQUEST_SETUP == FUZZ_SETUP_NSS
#include "tests/support/NssFixture.h"
#elif FUZZ_REQUEST_SETUP == FUZZ_SETUP_SM2
#include "tests/support/SoftToken.h"
#endif

namespace {

constexpr size_t kMaxRequests = 4;

#if FUZZ_REQUEST_SETUP == FUZZ_SETUP_NSS
// make-nssdb.sh's database less every certificate but "sign" (C=CN, O=ACME Corp, CN=Alice Signer).
void PrepareOneCertificateDatabase() {
    static NssFixture fixture;
    FUZZ_REQUIRE(fixture.ok());
    for (const char* name :
         {"nonrep", "encrypt", "multi", "nocn", "expired", "sm2signed", "ca", "sm2ca"}) {
        const std::string command = "certutil -D -d " +
                                    test_shell::Quote("sql:" + fixture.database_dir()) + " -n " +
                                    name + " >/dev/null 2>&1";
        FUZZ_REQUIRE(std::system(command.c_str()) == 0);
    }
    fuzz_support::PrepareEnvironment(fixture.home());
}
#elif FUZZ_REQUEST_SETUP == FUZZ_SETUP_SM2
// Key KEY1, application APP1 (logged in), container CON1 with a signing and an encryption pair
// issued by a throwaway CA, registered as the provider "Soft SM2 Token".
void PrepareSoftToken() {
    static soft_token::SoftToken token;
    FUZZ_REQUIRE(token.ok());
    const auto ca = soft_token::MakeKeyPair("C=CN,O=Tessora Fuzz,CN=Fuzz SM2 CA", 0x06, 1);
    const auto signer =
        soft_token::MakeKeyPair("C=CN,O=Tessora Fuzz,CN=Alice SM2", 0xC0, 0x1001, &ca);
    const auto encrypter =
        soft_token::MakeKeyPair("C=CN,O=Tessora Fuzz,CN=Alice SM2 Enc", 0x30, 0x1002, &ca);
    const auto sign = token.WriteKeyPair("sign", signer);
    const auto enc = token.WriteKeyPair("enc", encrypter);
    token.state().Write(soft_token::DeviceSection("KEY1", "Fuzz key") +
                        soft_token::ApplicationSection("KEY1", "APP1", "314159") +
                        "logged_in = yes\n" +
                        soft_token::ContainerSection({"KEY1", "APP1", "CON1", 2, sign.first,
                                                      sign.second, enc.first, enc.second}));
    token.Register("Soft SM2 Token", SOFTSKF_LIBRARY);
    fuzz_support::PrepareEnvironment(token.root().string());
    setenv("XDG_CONFIG_HOME", token.config_home().c_str(), 1);
    setenv("SOFTSKF_STATE", token.state().path().c_str(), 1);
    // One load for the whole run: the provider code loads and unloads the library per request,
    // and each real load would append an event line to the state file.
    static void* keep_loaded = dlopen(SOFTSKF_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    FUZZ_REQUIRE(keep_loaded != nullptr);
}
#endif

void RespondAndCheck(const std::string& request) {
    char* response = nullptr;
    FUZZ_REQUIRE(ParseAndRespondRequest(request.c_str(), &response) == 0);
    FUZZ_REQUIRE(response != nullptr);
    // For reading a reproducer: TESSORA_FUZZ_SHOW=1 prints each request and its response.
    static const bool show = std::getenv("TESSORA_FUZZ_SHOW") != nullptr;
    if (show) std::fprintf(stderr, "request:  %s\nresponse: %s\n", request.c_str(), response);
    cJSON* json = cJSON_Parse(response);
    FUZZ_REQUIRE(cJSON_IsObject(json));
    FUZZ_REQUIRE(cJSON_IsNumber(cJSON_GetObjectItemCaseSensitive(json, "errorcode")));
    cJSON_Delete(json);
    std::free(response);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
#if FUZZ_REQUEST_SETUP == FUZZ_SETUP_NSS
    PrepareOneCertificateDatabase();
#elif FUZZ_REQUEST_SETUP == FUZZ_SETUP_SM2
    PrepareSoftToken();
#else
    fuzz_support::PrepareEnvironment();
#endif
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto agent = std::make_unique<CCryptoAgent>();
    g_pobjCryptoAgent = agent.get();
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    for (size_t count = 0; count < kMaxRequests && !rest.empty(); ++count) {
        const size_t end = rest.find('\n');
        // A request is a NUL-terminated text, as ReadFromNativeMessaging hands it over.
        RespondAndCheck(std::string(rest.substr(0, end)).c_str());
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    // Destroying the agent releases the chosen certificate and shuts NSS down.
    g_pobjCryptoAgent = nullptr;
    agent.reset();
    return 0;
}
