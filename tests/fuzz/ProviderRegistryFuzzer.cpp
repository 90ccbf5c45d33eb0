// The provider registry files. The input holds up to four .conf files separated by NUL bytes: the
// first two go to the system folder, the others to the user folder. Every entry taken has a usable
// name and an absolute library path; the enumeration over it (CryptEnumProvidersW) agrees with the
// registry, with sizes asked first as callers do. No library is ever loaded.
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "common/Utf.h"
#include "platform/crypt/ProviderRegistry.h"
#include "platform/crypt/SkfProviders.h"
#include "tests/fuzz/FuzzSupport.h"
#include "tests/support/Shell.h"

namespace {

constexpr size_t kMaxFiles = 4;

const ProviderFolders& Folders() {
    static test_shell::TempDir root;
    static const ProviderFolders folders{(root.path() / "system").string(),
                                         (root.path() / "user").string()};
    return folders;
}

void WriteFiles(std::string_view input) {
    const ProviderFolders& folders = Folders();
    for (const std::string& folder : {folders.system, folders.user}) {
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
    }
    for (size_t index = 0; index < kMaxFiles && !input.empty(); ++index) {
        const size_t end = input.find('\0');
        const std::string_view content = input.substr(0, end);
        const std::string& folder = index < 2 ? folders.system : folders.user;
        std::ofstream(folder + "/" + std::string(1, static_cast<char>('a' + index)) + ".conf",
                      std::ios::binary)
            .write(content.data(), static_cast<std::streamsize>(content.size()));
        input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::PrepareEnvironment();
    Folders();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    WriteFiles(std::string_view(reinterpret_cast<const char*>(data), size));
    const ProviderRegistry registry = ReadProviderRegistry(Folders());
    for (const ProviderEntry& entry : registry.entries) {
        FUZZ_REQUIRE(ProviderNameProblem(entry.name).empty());
        FUZZ_REQUIRE(!entry.library.empty() && entry.library[0] == '/');
    }

    SkfProviders providers(Folders());
    DWORD index = 0;
    for (;; ++index) {
        DWORD type = 0;
        DWORD bytes = 0;
        if (!providers.CryptEnumProvidersW(index, &type, nullptr, &bytes)) break;
        std::vector<char16_t> name(bytes / sizeof(char16_t) + 1, u'\x7777');
        FUZZ_REQUIRE(providers.CryptEnumProvidersW(index, &type, name.data(), &bytes));
        FUZZ_REQUIRE(bytes % sizeof(char16_t) == 0 && bytes >= sizeof(char16_t));
        FUZZ_REQUIRE(name[bytes / sizeof(char16_t) - 1] == 0);
        FUZZ_REQUIRE(Utf16ToUtf8String(name.data()) == registry.entries[index].name);
        FUZZ_REQUIRE(providers.IsRegistered(name.data()));
    }
    FUZZ_REQUIRE(index == registry.entries.size());
    return 0;
}
