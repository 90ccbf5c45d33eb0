// An SM2 USB key for tests: softskf (tests/fixtures/softskf) with its state file, SM2 key pairs and
// certificates written as files beside it, and a provider registry of its own (a user folder under
// a private XDG_CONFIG_HOME, and an empty system folder), all in one temporary folder.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/crypt/ProviderRegistry.h"
#include "tests/fixtures/softskf/SoftSkfTesting.h"
#include "tests/support/StandInCertPlatform.h"

namespace soft_token {

// An SM2 key pair and its certificate.
struct KeyPair {
    std::string subject;  // as MakeTestCertificate reads it: "C=CN,O=Org,CN=Name"
    SharedPkey key;
    std::vector<uint8_t> certificate;  // DER
};

// A fresh SM2 key with a certificate issued by `issuer` (null: self-signed).
KeyPair MakeKeyPair(const std::string& subject, unsigned key_usage, long serial,
                    const KeyPair* issuer = nullptr);

// One [container] of the state file; empty file names leave that part out.
struct ContainerSpec {
    std::string device = "KEY1";
    std::string application = "APP1";
    std::string name = "CON1";
    int type = 2;
    std::string sign_key, sign_cert, enc_key, enc_cert;
};

std::string DeviceSection(const std::string& name, const std::string& label,
                          const std::string& extra = "");
std::string ApplicationSection(const std::string& device, const std::string& name,
                               const std::string& pin, int retries = 6, bool locked = false);
std::string ContainerSection(const ContainerSpec& spec);

class SoftToken {
  public:
    SoftToken();
    bool ok() const { return !dir_.path().empty(); }

    const std::filesystem::path& root() const { return dir_.path(); }
    softskf_testing::StateFile& state() { return state_; }
    const softskf_testing::StateFile& state() const { return state_; }
    // The XDG_CONFIG_HOME whose registry holds the providers Register() writes.
    std::string config_home() const { return (root() / "config").string(); }
    // The registry of this fixture: its own (empty) system folder and the user folder.
    ProviderFolders folders() const;

    // Writes the private key (PEM) and the certificate (DER) as NAME.pem and NAME.der; returns
    // the two file names, as the state file names them.
    std::pair<std::string, std::string> WriteKeyPair(const std::string& name, const KeyPair& pair);
    // Registers a provider in the user folder as FILE (default: "softskf.conf").
    void Register(const std::string& provider, const std::string& library,
                  const std::string& file = "softskf.conf") const;

  private:
    softskf_testing::TempDir dir_;
    softskf_testing::StateFile state_;
};

// The SM2 signature (r, s big-endian, 32 bytes each) of `message` verified with OpenSSL's SM2
// and the default identity "1234567812345678" against the certificate's key.
bool VerifySm2(const std::vector<uint8_t>& certificate, const std::string& message,
               const std::vector<uint8_t>& r_then_s);

}  // namespace soft_token
