#include "tests/support/NssFixture.h"

#include <openssl/evp.h>

#include <cstdlib>
#include <filesystem>

#include "common/Ascii.h"

using test_shell::Quote;

NssFixture::NssFixture(const std::string& password) {
    const std::string command =
        Quote(TESSORA_MAKE_NSSDB) + " " + Quote(root_) + " " + Quote(password) + " >/dev/null 2>&1";
    ok_ = std::system(command.c_str()) == 0;
}

std::vector<uint8_t> NssFixture::Certificate(const std::string& name) const {
    const std::string der =
        test_shell::ReadFile(std::filesystem::path(root_) / "certs" / (name + ".der"));
    return std::vector<uint8_t>(der.begin(), der.end());
}

std::map<std::string, std::string> NssFixture::Checksums() const {
    return DirectoryChecksums(database_dir());
}

std::map<std::string, std::string> DirectoryChecksums(const std::string& dir) {
    std::map<std::string, std::string> sums;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ignored)) {
        const std::string bytes = test_shell::ReadFile(entry.path());
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
        std::string hex;
        AppendHex(hex, digest, length);
        sums[entry.path().filename().string()] = hex;
    }
    return sums;
}

ScopedHome::ScopedHome(const std::string& home) {
    if (const char* previous = std::getenv("HOME")) {
        previous_ = previous;
        had_previous_ = true;
    }
    setenv("HOME", home.c_str(), 1);
}

ScopedHome::~ScopedHome() {
    if (had_previous_)
        setenv("HOME", previous_.c_str(), 1);
    else
        unsetenv("HOME");
}
