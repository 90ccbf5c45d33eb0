#include "platform/crypt/SystemCertPlatform.h"

#include "platform/crypt/NssBackend.h"

SystemCertPlatform::SystemCertPlatform(std::string database_dir,
                                       std::optional<ProviderFolders> folders)
    : database_dir_(std::move(database_dir)), skf_(std::move(folders)) {}

SystemCertPlatform::~SystemCertPlatform() = default;

CertPlatform* SystemCertPlatform::Nss() {
    if (!nss_) nss_ = MakeNssCertPlatform(database_dir_);
    return nss_.get();
}

HCERTSTORE SystemCertPlatform::OpenSystemStore(const char16_t* pwszStoreName, DWORD dwFlags) {
    CertPlatform* nss = Nss();
    if (nss == nullptr) return nullptr;
    return nss->CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                              dwFlags, pwszStoreName);
}

BOOL SystemCertPlatform::CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT pCert, DWORD dwFlags,
                                                           void* pvParameters,
                                                           HCRYPTPROV* phCryptProv,
                                                           DWORD* pdwKeySpec,
                                                           BOOL* pfCallerFreeProv) {
    CertPlatform* nss = Nss();
    if (nss == nullptr) return FALSE;
    return nss->CryptAcquireCertificatePrivateKey(pCert, dwFlags, pvParameters, phCryptProv,
                                                  pdwKeySpec, pfCallerFreeProv);
}

// Below, a handle that is not SKF's is NSS's; before the NSS backend is up no such handle exists,
// so the base answers it as unknown.

// NSS offers no providers by name, so the registry is the whole list.
BOOL SystemCertPlatform::CryptEnumProvidersW(DWORD dwIndex, DWORD*, DWORD, DWORD* pdwProvType,
                                             LPWSTR szProvName, DWORD* pcbProvName) {
    return skf_.CryptEnumProvidersW(dwIndex, pdwProvType, szProvName, pcbProvName);
}

BOOL SystemCertPlatform::CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer,
                                              LPCWSTR szProvider, DWORD dwProvType, DWORD dwFlags) {
    if (skf_.IsRegistered(szProvider))
        return skf_.CryptAcquireContextW(phProv, szContainer, szProvider, dwFlags);
    // NSS offers no providers by name either.
    return CertPlatform::CryptAcquireContextW(phProv, szContainer, szProvider, dwProvType, dwFlags);
}

BOOL SystemCertPlatform::CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData,
                                           DWORD* pdwDataLen, DWORD dwFlags) {
    if (skf_.OwnsProvider(hProv))
        return skf_.CryptGetProvParam(hProv, dwParam, pbData, pdwDataLen, dwFlags);
    return nss_ ? nss_->CryptGetProvParam(hProv, dwParam, pbData, pdwDataLen, dwFlags)
                : CertPlatform::CryptGetProvParam(hProv, dwParam, pbData, pdwDataLen, dwFlags);
}

BOOL SystemCertPlatform::CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
    if (skf_.OwnsProvider(hProv)) return skf_.CryptGetUserKey(hProv, dwKeySpec, phUserKey);
    return nss_ ? nss_->CryptGetUserKey(hProv, dwKeySpec, phUserKey)
                : CertPlatform::CryptGetUserKey(hProv, dwKeySpec, phUserKey);
}

BOOL SystemCertPlatform::CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData,
                                          DWORD* pdwDataLen, DWORD dwFlags) {
    if (skf_.OwnsKey(hKey)) return skf_.CryptGetKeyParam(hKey, dwParam, pbData, pdwDataLen);
    return nss_ ? nss_->CryptGetKeyParam(hKey, dwParam, pbData, pdwDataLen, dwFlags)
                : CertPlatform::CryptGetKeyParam(hKey, dwParam, pbData, pdwDataLen, dwFlags);
}

BOOL SystemCertPlatform::CryptDestroyKey(HCRYPTKEY hKey) {
    if (skf_.OwnsKey(hKey)) return skf_.CryptDestroyKey(hKey);
    return nss_ ? nss_->CryptDestroyKey(hKey) : CertPlatform::CryptDestroyKey(hKey);
}

BOOL SystemCertPlatform::CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey,
                                         DWORD dwFlags, HCRYPTHASH* phHash) {
    if (skf_.OwnsProvider(hProv)) return skf_.CryptCreateHash(hProv, Algid, phHash);
    return nss_ ? nss_->CryptCreateHash(hProv, Algid, hKey, dwFlags, phHash)
                : CertPlatform::CryptCreateHash(hProv, Algid, hKey, dwFlags, phHash);
}

BOOL SystemCertPlatform::CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen,
                                       DWORD dwFlags) {
    if (skf_.OwnsHash(hHash)) return skf_.CryptHashData(hHash, pbData, dwDataLen);
    return nss_ ? nss_->CryptHashData(hHash, pbData, dwDataLen, dwFlags)
                : CertPlatform::CryptHashData(hHash, pbData, dwDataLen, dwFlags);
}

BOOL SystemCertPlatform::CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData,
                                           DWORD* pdwDataLen, DWORD dwFlags) {
    if (skf_.OwnsHash(hHash)) return skf_.CryptGetHashParam(hHash, dwParam, pbData, pdwDataLen);
    return nss_ ? nss_->CryptGetHashParam(hHash, dwParam, pbData, pdwDataLen, dwFlags)
                : CertPlatform::CryptGetHashParam(hHash, dwParam, pbData, pdwDataLen, dwFlags);
}

BOOL SystemCertPlatform::CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription,
                                        DWORD dwFlags, BYTE* pbSignature, DWORD* pdwSigLen) {
    if (skf_.OwnsHash(hHash)) return skf_.CryptSignHashW(hHash, dwKeySpec, pbSignature, pdwSigLen);
    return nss_ ? nss_->CryptSignHashW(hHash, dwKeySpec, szDescription, dwFlags, pbSignature,
                                       pdwSigLen)
                : CertPlatform::CryptSignHashW(hHash, dwKeySpec, szDescription, dwFlags,
                                               pbSignature, pdwSigLen);
}

BOOL SystemCertPlatform::CryptDestroyHash(HCRYPTHASH hHash) {
    if (skf_.OwnsHash(hHash)) return skf_.CryptDestroyHash(hHash);
    return nss_ ? nss_->CryptDestroyHash(hHash) : CertPlatform::CryptDestroyHash(hHash);
}

BOOL SystemCertPlatform::CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
    if (skf_.OwnsProvider(hProv)) return skf_.CryptReleaseContext(hProv);
    return nss_ ? nss_->CryptReleaseContext(hProv, dwFlags)
                : CertPlatform::CryptReleaseContext(hProv, dwFlags);
}

void SystemCertPlatform::ReleaseResources() {
    skf_.ReleaseAll();
    if (nss_) nss_->ReleaseResources();
}

CertPlatform& ProductionCertPlatform() {
    static SystemCertPlatform platform;
    return platform;
}
