// The answers of an SKF (GM/T 0016) library: fuzzskf (tests/fuzz/skf) answers every call from the
// input, and the first byte chooses the caller:
//   0  GetKeyID: the USB-key loader finds the one present device and reads its DEVINFO serial;
//   1  the SM2 provider calls: containers listed, each container's certificates exported, its
//      SM3 hash made and signed, as the certificate code walks a provider;
//   2  the agent: SetSM2CSPList, SelectCertificate and SignMsgPKCS7 over the provider, so fuzzed
//      certificates and signatures reach the selection and the SignedData assembly.
// Whatever the library answers, the callers end with every handle it gave them closed.
#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "agent/CryptoAgent.h"
#include "common/Utf.h"
#include "platform/crypt/SkfProviders.h"
#include "platform/runtime/WideString.h"
#include "tests/fuzz/FuzzSupport.h"
#include "tests/support/Shell.h"

namespace {

constexpr char16_t kProvider[] = u"Fuzz SM2 Key";
constexpr DWORD kMaxContainers = 4;

using SetAnswersFn = void (*)(const uint8_t*, size_t);
using OpenHandlesFn = long (*)();
SetAnswersFn g_set_answers = nullptr;
OpenHandlesFn g_open_handles = nullptr;

// For reading a reproducer: TESSORA_FUZZ_SHOW=1 prints how far each caller came.
void Show(const char* step, long value) {
    static const bool show = std::getenv("TESSORA_FUZZ_SHOW") != nullptr;
    if (show) std::fprintf(stderr, "%s: %ld (0x%lx)\n", step, value, value & 0xFFFFFFFFul);
}

const ProviderFolders& Folders() {
    static test_shell::TempDir root;
    static const ProviderFolders folders{(root.path() / "system").string(),
                                         (root.path() / "config/tessora/providers.d").string()};
    return folders;
}

void WalkContainer(SkfProviders& providers, const std::string& container) {
    const std::u16string name = Utf8ToUtf16String(container);
    HCRYPTPROV provider = 0;
    if (!providers.CryptAcquireContextW(&provider, name.c_str(), kProvider, 0)) return;
    for (DWORD spec : {AT_SIGNATURE, AT_KEYEXCHANGE}) {
        HCRYPTKEY key = 0;
        if (!providers.CryptGetUserKey(provider, spec, &key)) continue;
        DWORD size = 0;
        if (providers.CryptGetKeyParam(key, KP_CERTIFICATE, nullptr, &size)) {
            std::vector<BYTE> certificate(size);
            providers.CryptGetKeyParam(key, KP_CERTIFICATE, certificate.data(), &size);
        }
        providers.CryptDestroyKey(key);
    }
    HCRYPTHASH hash = 0;
    if (providers.CryptCreateHash(provider, CALG_SM3, &hash)) {
        static const BYTE kMessage[] = "message to sign";
        providers.CryptHashData(hash, kMessage, sizeof kMessage - 1);
        DWORD size = 0;
        if (providers.CryptGetHashParam(hash, HP_HASHVAL, nullptr, &size)) {
            std::vector<BYTE> digest(size);
            providers.CryptGetHashParam(hash, HP_HASHVAL, digest.data(), &size);
        }
        size = 0;
        if (providers.CryptSignHashW(hash, AT_SIGNATURE, nullptr, &size)) {
            std::vector<BYTE> signature(size);
            Show("signature", providers.CryptSignHashW(hash, AT_SIGNATURE, signature.data(), &size)
                                  ? static_cast<long>(size)
                                  : -1);
        }
        providers.CryptDestroyHash(hash);
    }
    providers.CryptReleaseContext(provider);
}

void WalkProvider() {
    SkfProviders providers(Folders());
    HCRYPTPROV verify = 0;
    if (!providers.CryptAcquireContextW(&verify, nullptr, kProvider, CRYPT_VERIFYCONTEXT)) return;
    // As the certificate code asks: the longest name first, then the names from the first on
    // (each CRYPT_FIRST lists the containers afresh).
    std::vector<std::string> containers;
    DWORD longest = 0;
    if (providers.CryptGetProvParam(verify, PP_ENUMCONTAINERS, nullptr, &longest, CRYPT_FIRST)) {
        std::vector<BYTE> name(longest + 1);
        for (DWORD flags = CRYPT_FIRST; containers.size() < kMaxContainers; flags = CRYPT_NEXT) {
            std::fill(name.begin(), name.end(), 0);
            DWORD size = longest;
            if (!providers.CryptGetProvParam(verify, PP_ENUMCONTAINERS, name.data(), &size, flags))
                break;
            FUZZ_REQUIRE(size <= longest);
            containers.emplace_back(reinterpret_cast<const char*>(name.data()));
        }
    }
    providers.CryptReleaseContext(verify);
    Show("containers", static_cast<long>(containers.size()));
    for (const std::string& container : containers) WalkContainer(providers, container);
    providers.ReleaseAll();
}

void UseAgent(uint8_t choice) {
    CCryptoAgent agent;
    if (choice == 0) {
        BStr key_id;
        Show("GetKeyID", agent.GetKeyID(u"", key_id.Receive()));
        FUZZ_REQUIRE(key_id.Get() != nullptr);
        return;
    }
    VARIANT_BOOL chosen = VARIANT_FALSE;
    agent.SetSM2CSPList(kProvider, &chosen);
    const HRESULT selected = agent.SelectCertificate(u"", u"", u"", &chosen);
    Show("SelectCertificate", selected);
    if (selected != S_OK) return;
    for (const char16_t* info : {u"SubjectDN", u"SerialNumber", u"CertContent", u"CSPName"}) {
        BStr text;
        agent.GetSignCertInfo(info, text.Receive());
    }
    BStr signature;
    Show("SignMsgPKCS7",
         agent.SignMsgPKCS7(u"message to sign", u"SM3", VARIANT_TRUE, signature.Receive()));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const ProviderFolders& folders = Folders();
    std::filesystem::create_directories(folders.user);
    std::ofstream(folders.user + "/fuzz.conf")
        << "name = Fuzz SM2 Key\nlibrary = " << FUZZSKF_LIBRARY << "\n";
    fuzz_support::PrepareEnvironment();
    setenv("XDG_CONFIG_HOME",
           std::filesystem::path(folders.user).parent_path().parent_path().c_str(), 1);
    // Kept loaded for the whole run, so the script reaches the instance every caller loads.
    void* library = dlopen(FUZZSKF_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    FUZZ_REQUIRE(library != nullptr);
    g_set_answers = reinterpret_cast<SetAnswersFn>(dlsym(library, "FuzzSkfSetAnswers"));
    g_open_handles = reinterpret_cast<OpenHandlesFn>(dlsym(library, "FuzzSkfOpenHandles"));
    FUZZ_REQUIRE(g_set_answers != nullptr && g_open_handles != nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t choice = data[0] % 3;
    g_set_answers(data + 1, size - 1);
    if (choice == 1) {
        WalkProvider();
    } else {
        UseAgent(choice);
    }
    FUZZ_REQUIRE(g_open_handles() == 0);
    g_set_answers(nullptr, 0);
    return 0;
}
