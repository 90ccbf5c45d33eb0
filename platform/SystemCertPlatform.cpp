#include "platform/SystemCertPlatform.h"

SystemCertPlatform::SystemCertPlatform(std::string database_dir,
                                       std::optional<ProviderFolders> folders)
    : NssCertPlatform(std::move(database_dir)), skf_(std::move(folders)) {}

SystemCertPlatform::~SystemCertPlatform() = default;

// NSS offers no providers by name, so the registry is the whole list.
BOOL SystemCertPlatform::CryptEnumProvidersW(DWORD dwIndex, DWORD*, DWORD, DWORD* pdwProvType,
                                             LPWSTR szProvName, DWORD* pcbProvName) {
    return skf_.CryptEnumProvidersW(dwIndex, pdwProvType, szProvName, pcbProvName);
}

BOOL SystemCertPlatform::CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer,
                                              LPCWSTR szProvider, DWORD dwProvType, DWORD dwFlags) {
    if (skf_.IsRegistered(szProvider))
        return skf_.CryptAcquireContextW(phProv, szContainer, szProvider, dwFlags);
    return NssCertPlatform::CryptAcquireContextW(phProv, szContainer, szProvider, dwProvType,
                                                 dwFlags);
}

BOOL SystemCertPlatform::CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData,
                                           DWORD* pdwDataLen, DWORD dwFlags) {
    if (skf_.OwnsProvider(hProv))
        return skf_.CryptGetProvParam(hProv, dwParam, pbData, pdwDataLen, dwFlags);
    return NssCertPlatform::CryptGetProvParam(hProv, dwParam, pbData, pdwDataLen, dwFlags);
}

BOOL SystemCertPlatform::CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
    if (skf_.OwnsProvider(hProv)) return skf_.CryptGetUserKey(hProv, dwKeySpec, phUserKey);
    return NssCertPlatform::CryptGetUserKey(hProv, dwKeySpec, phUserKey);
}

BOOL SystemCertPlatform::CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData,
                                          DWORD* pdwDataLen, DWORD dwFlags) {
    if (skf_.OwnsKey(hKey)) return skf_.CryptGetKeyParam(hKey, dwParam, pbData, pdwDataLen);
    return NssCertPlatform::CryptGetKeyParam(hKey, dwParam, pbData, pdwDataLen, dwFlags);
}

BOOL SystemCertPlatform::CryptDestroyKey(HCRYPTKEY hKey) {
    if (skf_.OwnsKey(hKey)) return skf_.CryptDestroyKey(hKey);
    return NssCertPlatform::CryptDestroyKey(hKey);
}

BOOL SystemCertPlatform::CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey,
                                         DWORD dwFlags, HCRYPTHASH* phHash) {
    if (skf_.OwnsProvider(hProv)) return skf_.CryptCreateHash(hProv, Algid, phHash);
    return NssCertPlatform::CryptCreateHash(hProv, Algid, hKey, dwFlags, phHash);
}

BOOL SystemCertPlatform::CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen,
                                       DWORD dwFlags) {
    if (skf_.OwnsHash(hHash)) return skf_.CryptHashData(hHash, pbData, dwDataLen);
    return NssCertPlatform::CryptHashData(hHash, pbData, dwDataLen, dwFlags);
}

BOOL SystemCertPlatform::CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData,
                                           DWORD* pdwDataLen, DWORD dwFlags) {
    if (skf_.OwnsHash(hHash)) return skf_.CryptGetHashParam(hHash, dwParam, pbData, pdwDataLen);
    return NssCertPlatform::CryptGetHashParam(hHash, dwParam, pbData, pdwDataLen, dwFlags);
}

BOOL SystemCertPlatform::CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription,
                                        DWORD dwFlags, BYTE* pbSignature, DWORD* pdwSigLen) {
    if (skf_.OwnsHash(hHash)) return skf_.CryptSignHashW(hHash, dwKeySpec, pbSignature, pdwSigLen);
    return NssCertPlatform::CryptSignHashW(hHash, dwKeySpec, szDescription, dwFlags, pbSignature,
                                           pdwSigLen);
}

BOOL SystemCertPlatform::CryptDestroyHash(HCRYPTHASH hHash) {
    if (skf_.OwnsHash(hHash)) return skf_.CryptDestroyHash(hHash);
    return NssCertPlatform::CryptDestroyHash(hHash);
}

BOOL SystemCertPlatform::CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
    if (skf_.OwnsProvider(hProv)) return skf_.CryptReleaseContext(hProv);
    return NssCertPlatform::CryptReleaseContext(hProv, dwFlags);
}

void SystemCertPlatform::ReleaseResources() {
    skf_.ReleaseAll();
    NssCertPlatform::ReleaseResources();
}

CertPlatform& ProductionCertPlatform() {
    static SystemCertPlatform platform;
    return platform;
}
