// The host tests' user: the shared test NSS database (tests/support/make-nssdb.sh) in a temporary
// HOME, plus the small file and command helpers the comparisons with the openssl tool need.
#pragma once

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/NssFixture.h"

namespace signing_test {

class SigningFixture {
  public:
    bool ok() const { return nss_.ok(); }

    // The DER file of a certificate of the database ("sign", "expired", ...).
    std::string CertificatePath(const std::string& name) const {
        return nss_.root() + "/certs/" + name + ".der";
    }
    std::vector<uint8_t> Certificate(const std::string& name) const {
        return nss_.Certificate(name);
    }

    // Changes to the inherited environment for the host: this HOME, a time zone and a
    // language, and nothing else that would pick a language or a trace control file.
    std::vector<std::string> Environment(const std::string& tz = "UTC0",
                                         const std::string& lang = "C") const {
        return {"HOME=" + nss_.home(), "TZ=" + tz,        "LANG=" + lang,   "LC_ALL",
                "LC_MESSAGES",         "XDG_RUNTIME_DIR", "XDG_CACHE_HOME", "DISPLAY",
                "WAYLAND_DISPLAY"};
    }

    // Writes bytes to a file in the fixture folder and returns its path.
    std::string WriteFile(const std::string& name, const std::string& bytes) const {
        const std::string path = nss_.root() + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    // Runs a shell command and returns its standard output; *status gets its exit status.
    static std::string Capture(const std::string& command, int* status = nullptr) {
        std::string out;
        FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
        if (pipe == nullptr) return out;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
        const int rc = pclose(pipe);
        if (status != nullptr) *status = rc;
        return out;
    }

  private:
    NssFixture nss_;
};

}  // namespace signing_test
