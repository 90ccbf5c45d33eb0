// The production certificate platform: the personal store "MY" is the user's NSS database
// (sql:$HOME/.pki/nssdb, the store Chrome and Chromium use on Linux for client certificates), with
// the PKCS#11 tokens registered in it; keys are used, hashed and signed with through NSS.
//
// Lifetime: NSS is started lazily, by the first request that needs the database (opening "MY",
// reaching a key), read-only and without the built-in roots module. It stays up until
// ReleaseResources (ReleaseCertPlatformResources for the production instance) or the platform's
// destruction, which release every NSS object the platform holds and shut NSS down; provider and
// hash handles handed out before become invalid then. A missing or unreadable database gives an
// empty personal store, and NSS is tried again by the next request.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/crypt/CertPlatform.h"

// The state of the NSS database, in the words tessora-doctor shows: where it is, whether NSS
// opened it and, when not, why (NSS's own error, or the file system's when NSS was not reached).
struct NssDatabaseState {
    std::string path;
    bool opened = false;
    std::string error;                // "SEC_ERROR_BAD_DATABASE: security library: bad database."
    std::vector<std::string> tokens;  // the present tokens, by name
    size_t certificates = 0;          // in those tokens
    size_t certificates_with_key = 0;
};

class NssCertPlatform : public CertPlatform {
  public:
    // database_dir: the NSS database folder; empty = $HOME/.pki/nssdb, looked up at each start.
    explicit NssCertPlatform(std::string database_dir = std::string());
    ~NssCertPlatform() override;

    BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT pCert, DWORD dwFlags, void* pvParameters,
                                           HCRYPTPROV* phCryptProv, DWORD* pdwKeySpec,
                                           BOOL* pfCallerFreeProv) override;
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

    void ReleaseResources() override;

    // Whether NSS is up (for tests of the lazy start).
    bool started() const { return context_ != nullptr; }
    // Starts NSS when it is not up yet and reports the database; changes nothing in it.
    NssDatabaseState DescribeDatabase();

  protected:
    HCERTSTORE OpenSystemStore(const char16_t* pwszStoreName, DWORD dwFlags) override;

  private:
    struct Provider;
    struct Key;
    struct Hash;
    struct UserCertificate;

    bool EnsureStarted();
    Provider* FindProvider(HCRYPTPROV handle);
    bool Login(Provider* provider);

    struct ContextCloser {
        void operator()(struct NSSInitContextStr* context) const;  // NSS_ShutdownContext
    };

    std::string database_dir_;
    std::string database_path_;   // the folder of the latest start
    std::string database_error_;  // why the latest start failed
    std::unique_ptr<struct NSSInitContextStr, ContextCloser> context_;
    std::map<ULONG_PTR, std::unique_ptr<Provider>> providers_;
    std::map<ULONG_PTR, std::unique_ptr<Key>> keys_;
    std::map<ULONG_PTR, std::unique_ptr<Hash>> hashes_;
    // The certificates with a key that the last walk of "MY" met, by token name and DER: a key
    // acquired for one of them needs no second search of its token.
    std::map<std::pair<std::string, std::string>, std::unique_ptr<UserCertificate>> walked_;
    ULONG_PTR next_handle_ = 0x1000;
};
