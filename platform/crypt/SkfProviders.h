// The SM2 providers: the provider calls of the certificate platform (CertServices.h) answered by
// the SKF (GM/T 0016) libraries of the provider registry (ProviderRegistry.h).
//
// A provider handle owns one load of its library (dlopen in CryptAcquireContextW, dlclose in
// CryptReleaseContext). A verify context enumerates the ECC containers of every application of
// every present device; a container context holds the device, application and container open for
// its keys and hashes. Key containers are named "DEVICE/APPLICATION/CONTAINER", each part with
// '%', '/' and control bytes (and, in a part that is not valid UTF-8, every byte above 0x7E)
// written as %XX, so the name always leads back to the three SKF names; a name longer than 259
// UTF-16 units is not listed.
//
// AT_SIGNATURE is the container's signing key pair and certificate, AT_KEYEXCHANGE its encryption
// pair. Hashes are SM3 over the signer's Z value (GM/T 0003.2, default identity
// "1234567812345678") and the data, computed by the library; only AT_SIGNATURE signs. A call the
// library answers with SAR_USER_NOT_LOGGED_IN asks for the user PIN through the PIN prompt and is
// made once more.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/crypt/CertServices.h"
#include "platform/crypt/ProviderRegistry.h"

class SkfProviders {
  public:
    // folders: the registry to read; none = DefaultProviderFolders(), looked up at every call so
    // a provider added while the host runs is found.
    explicit SkfProviders(std::optional<ProviderFolders> folders = std::nullopt);
    ~SkfProviders();
    SkfProviders(const SkfProviders&) = delete;
    SkfProviders& operator=(const SkfProviders&) = delete;

    // Whether a provider of this name is registered / whether a handle is one of ours.
    bool IsRegistered(LPCWSTR szProvider) const;
    bool OwnsProvider(HCRYPTPROV handle) const { return providers_.count(handle) != 0; }
    bool OwnsKey(HCRYPTKEY handle) const { return keys_.count(handle) != 0; }
    bool OwnsHash(HCRYPTHASH handle) const { return hashes_.count(handle) != 0; }

    // The platform calls, with the contracts of CertServices.h.
    BOOL CryptEnumProvidersW(DWORD dwIndex, DWORD* pdwProvType, LPWSTR szProvName,
                             DWORD* pcbProvName);
    BOOL CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider,
                              DWORD dwFlags);
    BOOL CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                           DWORD dwFlags);
    BOOL CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey);
    BOOL CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen);
    BOOL CryptDestroyKey(HCRYPTKEY hKey);
    BOOL CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH* phHash);
    BOOL CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen);
    BOOL CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen);
    BOOL CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec, BYTE* pbSignature, DWORD* pdwSigLen);
    BOOL CryptDestroyHash(HCRYPTHASH hHash);
    BOOL CryptReleaseContext(HCRYPTPROV hProv);

    // Closes every handle and unloads every library.
    void ReleaseAll();

  private:
    struct Provider;
    struct Key;
    struct Hash;

    ProviderRegistry Registry() const;
    Provider* FindProvider(HCRYPTPROV handle);
    BOOL ListContainers(Provider* provider);
    HRESULT Login(Provider* provider);
    template <typename Call>
    HRESULT CallWithLogin(Provider* provider, const char* step, Call call);
    BOOL FinishHash(Hash* hash);

    std::optional<ProviderFolders> folders_;
    // Handles go before the providers whose libraries they live in.
    std::map<ULONG_PTR, std::unique_ptr<Provider>> providers_;
    std::map<ULONG_PTR, std::unique_ptr<Key>> keys_;
    std::map<ULONG_PTR, std::unique_ptr<Hash>> hashes_;
    ULONG_PTR next_handle_;
};

// The key-container name of a container and back. Encode gives the empty text when the name would
// be longer than 259 UTF-16 units; Decode fails for a text that is not of the form.
std::string EncodeSkfContainerName(const std::string& device, const std::string& application,
                                   const std::string& container);
bool DecodeSkfContainerName(const std::string& text, std::string* device, std::string* application,
                            std::string* container);
