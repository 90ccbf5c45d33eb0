// The throwaway signers of the benchmark and the soak: an RSA certificate with its key in an NSS
// database, and the Tessora software token registered as an SM2 provider, each in a temporary
// folder removed again with the object.
#pragma once

#include <filesystem>
#include <string>

// An NSS database in a temporary HOME with one RSA signing certificate (CN = common_name) whose
// key has no password, and the same key and certificate as PEM for openssl.
struct RsaSetup {
    explicit RsaSetup(const std::string& common_name);
    ~RsaSetup();
    RsaSetup(const RsaSetup&) = delete;
    RsaSetup& operator=(const RsaSetup&) = delete;

    std::filesystem::path folder;
    std::filesystem::path home;
    bool ok = false;
};

// The software token (tessora-softtoken init, signer CN = common_name) with its library
// registered as the SM2 provider `provider` under folder (the XDG_CONFIG_HOME to run the host
// with). Its application is logged in from the start, so no PIN prompt is shown.
struct SoftTokenSetup {
    SoftTokenSetup(const std::string& common_name, const std::string& provider);
    ~SoftTokenSetup();
    SoftTokenSetup(const SoftTokenSetup&) = delete;
    SoftTokenSetup& operator=(const SoftTokenSetup&) = delete;

    std::filesystem::path folder;
    std::filesystem::path token;  // the token's keys and state
    bool ok = false;
};
