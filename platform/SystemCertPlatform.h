// The production certificate platform: the personal store and its keys in the user's NSS database
// (NssCertPlatform), and the SM2 providers of the provider registry over their SKF libraries
// (SkfProviders). Provider names that the registry holds, and the handles made for them, go to the
// SKF side; everything else stays with NSS. A certificate therefore leads to its private key only
// through NSS: a container certificate counts as registered only when the same certificate and its
// key sit in the NSS database.
#pragma once

#include <optional>
#include <string>

#include "platform/NssCertPlatform.h"
#include "platform/SkfProviders.h"

class SystemCertPlatform : public NssCertPlatform {
  public:
    // database_dir as NssCertPlatform takes it; folders as SkfProviders takes them.
    explicit SystemCertPlatform(std::string database_dir = std::string(),
                                std::optional<ProviderFolders> folders = std::nullopt);
    ~SystemCertPlatform() override;

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

  private:
    SkfProviders skf_;
};
