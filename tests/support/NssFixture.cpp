#include "tests/support/NssFixture.h"

#include <openssl/evp.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>());
}

std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted.push_back(c);
    }
    return quoted + "'";
}

}  // namespace

NssFixture::NssFixture(const std::string& password) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tessora-nssdb-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return;
    root_ = pattern;
    const std::string command = ShellQuote(TESSORA_MAKE_NSSDB) + " " + ShellQuote(root_) + " " +
                                ShellQuote(password) + " >/dev/null 2>&1";
    ok_ = std::system(command.c_str()) == 0;
}

NssFixture::~NssFixture() {
    std::error_code ignored;
    if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
}

std::vector<uint8_t> NssFixture::Certificate(const std::string& name) const {
    return ReadFile(std::filesystem::path(root_) / "certs" / (name + ".der"));
}

std::map<std::string, std::string> NssFixture::Checksums() const {
    std::map<std::string, std::string> sums;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(database_dir(), ignored)) {
        const std::vector<uint8_t> bytes = ReadFile(entry.path());
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
        static constexpr char kDigits[] = "0123456789abcdef";
        std::string hex;
        for (unsigned i = 0; i < length; ++i) {
            hex.push_back(kDigits[digest[i] >> 4]);
            hex.push_back(kDigits[digest[i] & 15]);
        }
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
