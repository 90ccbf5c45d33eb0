// An in-memory certificate platform for unit tests: a personal store and providers with key
// containers, held in plain structures the test fills. Keys are real OpenSSL keys, so hashes and
// signatures are real (RSA PKCS#1 v1.5; SM2 with SM3 and the default identity of GM/T 0009).
// Subclass it and override a method to inject a fault; install it with SetCertPlatform (or the
// ScopedCertPlatform below).
#pragma once

#include <openssl/evp.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/OpenSslPtr.h"
#include "platform/crypt/CertPlatform.h"
#include "tests/support/TestKeys.h"

using EvpPkeyFree = openssl_ptr::Deleter<EVP_PKEY_free>;
using SharedPkey = std::shared_ptr<EVP_PKEY>;

// A certificate context a test holds; releases its one reference.
struct ContextFree {
    void operator()(PCCERT_CONTEXT context) const { CertFreeCertificateContext(context); }
};
using ContextPtr = std::unique_ptr<const CERT_CONTEXT, ContextFree>;

class StandInCertPlatform : public CertPlatform {
  public:
    struct Key {
        DWORD key_spec = AT_KEYEXCHANGE;
        std::vector<uint8_t> certificate;  // DER read by KP_CERTIFICATE; may be empty
        SharedPkey private_key;            // null: the key cannot sign
    };
    struct Container {
        std::string name;  // UTF-8, as PP_ENUMCONTAINERS returns it
        std::vector<Key> keys;
    };
    struct Provider {
        std::u16string name;
        DWORD type = PROV_RSA_FULL;
        DWORD imp_type = CRYPT_IMPL_SOFTWARE;  // PP_IMPTYPE
        std::vector<Container> containers;
        bool enumerated = true;  // listed by CryptEnumProvidersW
    };
    // A personal-store certificate. With a provider name it carries the key-provider property;
    // its key is reachable when that provider has the container and a key of that spec.
    struct StoreCertificate {
        std::vector<uint8_t> certificate;
        std::u16string provider;
        std::string container;
        DWORD key_spec = AT_KEYEXCHANGE;
    };

    StandInCertPlatform();
    ~StandInCertPlatform() override;

    // The model; change it freely between calls.
    std::vector<Provider> providers;
    std::vector<StoreCertificate> personal_store;
    bool personal_store_opens = true;  // false: CertOpenStore("MY") fails (ERROR_FILE_NOT_FOUND)

    // What the code under test did.
    std::vector<DWORD> hash_data_lengths;  // every CryptHashData length, in order
    std::vector<ALG_ID> created_hash_algs;
    std::vector<std::u16string> acquired_providers;  // CryptAcquireContextW provider names
    int open_handles() const;                        // providers, keys and hashes not yet released

    // Platform operations.
    BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT pCert, DWORD dwFlags, void* pvParameters,
                                           HCRYPTPROV* phCryptProv, DWORD* pdwKeySpec,
                                           BOOL* pfCallerFreeProv) override;
    BOOL CryptEnumProvidersW(DWORD dwIndex, DWORD* pdwReserved, DWORD dwFlags, DWORD* pdwProvType,
                             LPWSTR szProvName, DWORD* pcbProvName) override;
    BOOL CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider,
                              DWORD dwProvType, DWORD dwFlags) override;
    BOOL CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                           DWORD dwFlags) override;
    BOOL CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) override;
    BOOL CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                          DWORD dwFlags) override;
    BOOL CryptDestroyKey(HCRYPTKEY hKey) override;
    BOOL CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                         HCRYPTHASH* phHash) override;
    BOOL CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen,
                       DWORD dwFlags) override;
    BOOL CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                           DWORD dwFlags) override;
    BOOL CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription, DWORD dwFlags,
                        BYTE* pbSignature, DWORD* pdwSigLen) override;
    BOOL CryptDestroyHash(HCRYPTHASH hHash) override;
    BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) override;

  protected:
    HCERTSTORE OpenSystemStore(const char16_t* pwszStoreName, DWORD dwFlags) override;

    // Finds a provider / container / key of the model; null when absent.
    Provider* FindProvider(const char16_t* name);
    Container* FindContainer(Provider* provider, const std::string& name);
    Key* FindKey(Container* container, DWORD key_spec);

  private:
    struct ProvHandle;
    struct KeyHandle;
    struct HashHandle;
    std::map<ULONG_PTR, std::unique_ptr<ProvHandle>> provs_;
    std::map<ULONG_PTR, std::unique_ptr<KeyHandle>> keys_;
    std::map<ULONG_PTR, std::unique_ptr<HashHandle>> hashes_;
    ULONG_PTR next_handle_ = 0x100;

    HCRYPTPROV NewProv(std::u16string provider, std::string container);
};

// Installs a platform for one scope and puts the previous one back.
class ScopedCertPlatform {
  public:
    explicit ScopedCertPlatform(CertPlatform* platform) : previous_(SetCertPlatform(platform)) {}
    ~ScopedCertPlatform() { SetCertPlatform(previous_); }
    ScopedCertPlatform(const ScopedCertPlatform&) = delete;
    ScopedCertPlatform& operator=(const ScopedCertPlatform&) = delete;

  private:
    CertPlatform* previous_;
};
