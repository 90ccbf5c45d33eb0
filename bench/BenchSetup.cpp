#include "bench/BenchSetup.h"

#include <stdlib.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

std::filesystem::path NewTemporaryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tessora-bench-XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr) return std::filesystem::path();
    return pattern;
}

void RemoveFolder(const std::filesystem::path& folder) {
    std::error_code ignored;
    if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
}

}  // namespace

RsaSetup::RsaSetup(const std::string& common_name) {
    folder = NewTemporaryFolder();
    if (folder.empty()) return;
    home = folder / "home";
    const std::string db = "sql:" + (home / ".pki" / "nssdb").string();
    std::filesystem::create_directories(home / ".pki" / "nssdb");
    const std::string f = "'" + folder.string() + "/";
    const std::string script =
        "certutil -N -d '" + db + "' --empty-password && " +
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout " + f + "key.pem' -out " + f +
        "cert.pem' -subj '/C=CN/O=Tessora Bench/CN=" + common_name +
        "' -days 30 -addext keyUsage=critical,digitalSignature && "
        "openssl pkcs12 -export -inkey " +
        f + "key.pem' -in " + f + "cert.pem' -name bench -passout pass: -out " + f +
        "bench.p12' && " + "pk12util -i " + f + "bench.p12' -d '" + db + "' -W ''";
    ok = std::system(("(" + script + ") >/dev/null 2>&1").c_str()) == 0;
}

RsaSetup::~RsaSetup() { RemoveFolder(folder); }

SoftTokenSetup::SoftTokenSetup(const std::string& common_name, const std::string& provider) {
    folder = NewTemporaryFolder();
    if (folder.empty()) return;
    token = folder / "tessora" / "softtoken";
    const std::string init = "XDG_CONFIG_HOME='" + folder.string() + "' '" +
                             TESSORA_SOFTTOKEN_PATH + "' init --name '" + common_name +
                             "' >/dev/null 2>&1";
    if (std::system(init.c_str()) != 0) return;
    std::ifstream in(token / "state");
    std::stringstream state;
    for (std::string line; std::getline(in, line);) {
        state << line << "\n";
        if (line == "[application]") state << "logged_in = yes\n";
    }
    in.close();
    std::ofstream(token / "state", std::ios::trunc) << state.str();
    std::filesystem::create_directories(folder / "tessora" / "providers.d");
    std::ofstream(folder / "tessora" / "providers.d" / "bench.conf")
        << "name=" << provider << "\nlibrary=" << TESSORA_SOFTTOKEN_LIBRARY << "\n";
    ok = true;
}

SoftTokenSetup::~SoftTokenSetup() { RemoveFolder(folder); }
