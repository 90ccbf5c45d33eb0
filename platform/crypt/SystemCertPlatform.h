// The production certificate platform: the personal store and its keys in the user's NSS database
// (NssCertPlatform, reached through NssBackend.h the first time the store or a key is used), and
// the SM2 providers of the provider registry over their SKF libraries
// (SkfProviders). Provider names that the registry holds, and the handles made for them, go to the
// SKF side; everything else stays with NSS. A certificate therefore leads to its private key only
// through NSS: a container certificate counts as registered only when the same certificate and its
// key sit in the NSS database.
//
// When the NSS backend cannot be reached (its module is missing or unusable), opening the personal
// store and reaching a certificate's key fail with the loader's code (ERROR_MOD_NOT_FOUND, ...) in
// the last error, and the next call tries again; the SM2 providers work on.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/crypt/CertPlatform.h"
#include "platform/crypt/SkfProviders.h"

class SystemCertPlatform : public CertPlatform {
  public:
    // database_dir as NssCertPlatform takes it; folders as SkfProviders takes them.
    explicit SystemCertPlatform(std::string database_dir = std::string(),
                                std::optional<ProviderFolders> folders = std::nullopt);
    ~SystemCertPlatform() override;

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

    void ReleaseResources() override;

  protected:
    HCERTSTORE OpenSystemStore(const char16_t* pwszStoreName, DWORD dwFlags) override;

  private:
    // The NSS backend, made on first use; null (last error set) when it cannot be reached.
    CertPlatform* Nss();

    std::string database_dir_;
    std::unique_ptr<CertPlatform> nss_;
    SkfProviders skf_;  // declared last, so released first: NSS is shut down last
};

// The production platform of this process (created on first use, destroyed at exit): NSS and the
// SM2 providers together.
CertPlatform& ProductionCertPlatform();
