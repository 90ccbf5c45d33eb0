#include "tests/support/StandInCertPlatform.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>

#include "common/OpenSslPtr.h"
#include "common/Utf.h"
#include "platform/runtime/LastError.h"
#include "platform/runtime/WideString.h"

namespace {

using MdCtxPtr = EvpMdCtxPtr;
using PkeyCtxPtr = EvpPkeyCtxPtr;
using NamePtr = X509NamePtr;
using SigPtr = EcdsaSigPtr;

BOOL Fail(HRESULT code) {
    SetLastErrorCode(code);
    return FALSE;
}

BOOL ReturnData(const void* data, size_t size, BYTE* buffer, DWORD* length) {
    if (length == nullptr) return Fail(E_INVALIDARG);
    const DWORD available = *length;
    *length = static_cast<DWORD>(size);
    if (buffer == nullptr) return TRUE;
    if (available < size) {
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    std::memcpy(buffer, data, size);
    return TRUE;
}

const EVP_MD* DigestFor(ALG_ID alg) {
    switch (alg) {
        case CALG_MD5:
            return EVP_md5();
        case CALG_SHA1:
            return EVP_sha1();
        case CALG_SHA_256:
            return EVP_sha256();
        case CALG_SHA_384:
            return EVP_sha384();
        case CALG_SHA_512:
            return EVP_sha512();
        case CALG_SM3:
            return EVP_sm3();
        default:
            return nullptr;
    }
}

bool IsSm2(EVP_PKEY* key) { return EVP_PKEY_is_a(key, "SM2") == 1; }

// The default signer identity of GM/T 0009, which SM2 tokens use.
constexpr char kSm2DefaultId[] = "1234567812345678";

}  // namespace

struct StandInCertPlatform::ProvHandle {
    std::u16string provider;
    std::string container;  // empty: a verify context
    size_t next_container = 0;
};
struct StandInCertPlatform::KeyHandle {
    ULONG_PTR prov = 0;
    DWORD key_spec = 0;
};
struct StandInCertPlatform::HashHandle {
    ULONG_PTR prov = 0;
    ALG_ID alg = 0;
    MdCtxPtr digest;
    std::vector<uint8_t> message;  // SM2 signs the message itself (its Z value needs the key)
    std::vector<uint8_t> value;
};

StandInCertPlatform::StandInCertPlatform() = default;
StandInCertPlatform::~StandInCertPlatform() = default;

int StandInCertPlatform::open_handles() const {
    return static_cast<int>(provs_.size() + keys_.size() + hashes_.size());
}

StandInCertPlatform::Provider* StandInCertPlatform::FindProvider(const char16_t* name) {
    if (name == nullptr) return nullptr;
    for (Provider& provider : providers)
        if (provider.name == name) return &provider;
    return nullptr;
}

StandInCertPlatform::Container* StandInCertPlatform::FindContainer(Provider* provider,
                                                                   const std::string& name) {
    if (provider == nullptr) return nullptr;
    for (Container& container : provider->containers)
        if (container.name == name) return &container;
    return nullptr;
}

StandInCertPlatform::Key* StandInCertPlatform::FindKey(Container* container, DWORD key_spec) {
    if (container == nullptr) return nullptr;
    for (Key& key : container->keys)
        if (key.key_spec == key_spec) return &key;
    return nullptr;
}

HCRYPTPROV StandInCertPlatform::NewProv(std::u16string provider, std::string container) {
    auto handle = std::make_unique<ProvHandle>();
    handle->provider = std::move(provider);
    handle->container = std::move(container);
    const ULONG_PTR id = next_handle_++;
    provs_[id] = std::move(handle);
    return id;
}

HCERTSTORE StandInCertPlatform::OpenSystemStore(const char16_t* pwszStoreName, DWORD dwFlags) {
    if (!personal_store_opens || WcsICmp(pwszStoreName, u"MY") != 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    for (const StoreCertificate& entry : personal_store) {
        PCCERT_CONTEXT context = CertCreateCertificateContext(
            X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, entry.certificate.data(),
            static_cast<DWORD>(entry.certificate.size()));
        if (context == nullptr) continue;
        if (!entry.provider.empty()) {
            std::u16string container = Utf8ToUtf16String(entry.container);
            std::u16string provider = entry.provider;
            CRYPT_KEY_PROV_INFO info{};
            info.pwszContainerName = container.data();
            info.pwszProvName = provider.data();
            info.dwProvType = PROV_RSA_FULL;
            info.dwKeySpec = entry.key_spec;
            CertSetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
        }
        CertAddCertificateContextToStore(store, context, CERT_STORE_ADD_USE_EXISTING, nullptr);
        CertFreeCertificateContext(context);
    }
    SetStoreReadOnly(store, (dwFlags & CERT_STORE_READONLY_FLAG) != 0);
    return store;
}

BOOL StandInCertPlatform::CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT pCert, DWORD, void*,
                                                            HCRYPTPROV* phCryptProv,
                                                            DWORD* pdwKeySpec,
                                                            BOOL* pfCallerFreeProv) {
    if (phCryptProv != nullptr) *phCryptProv = 0;
    if (pCert == nullptr || phCryptProv == nullptr) return Fail(E_INVALIDARG);
    std::u16string provider_name;
    std::string container_name;
    DWORD key_spec = 0;
    DWORD size = 0;
    if (CertGetCertificateContextProperty(pCert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) {
        std::vector<uint8_t> buffer(size);
        CertGetCertificateContextProperty(pCert, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size);
        const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
        provider_name = info->pwszProvName;
        container_name = Utf16ToUtf8String(info->pwszContainerName);
        key_spec = info->dwKeySpec;
    } else {
        // Without the property the certificate leads to its key only when the personal store
        // registers it.
        bool found = false;
        for (const StoreCertificate& entry : personal_store) {
            if (!entry.provider.empty() && entry.certificate.size() == pCert->cbCertEncoded &&
                std::memcmp(entry.certificate.data(), pCert->pbCertEncoded, pCert->cbCertEncoded) ==
                    0) {
                provider_name = entry.provider;
                container_name = entry.container;
                key_spec = entry.key_spec;
                found = true;
                break;
            }
        }
        if (!found) return Fail(CRYPT_E_NO_KEY_PROPERTY);
    }
    Provider* provider = FindProvider(provider_name.c_str());
    if (provider == nullptr) return Fail(NTE_KEYSET_NOT_DEF);
    Key* key = FindKey(FindContainer(provider, container_name), key_spec);
    if (key == nullptr || !key->private_key) return Fail(NTE_BAD_KEYSET);
    *phCryptProv = NewProv(provider_name, container_name);
    if (pdwKeySpec != nullptr) *pdwKeySpec = key_spec;
    if (pfCallerFreeProv != nullptr) *pfCallerFreeProv = TRUE;
    return TRUE;
}

BOOL StandInCertPlatform::CryptEnumProvidersW(DWORD dwIndex, DWORD*, DWORD, DWORD* pdwProvType,
                                              LPWSTR szProvName, DWORD* pcbProvName) {
    DWORD index = 0;
    for (const Provider& provider : providers) {
        if (!provider.enumerated) continue;
        if (index++ != dwIndex) continue;
        if (pdwProvType != nullptr) *pdwProvType = provider.type;
        return ReturnData(provider.name.c_str(), (provider.name.size() + 1) * sizeof(char16_t),
                          reinterpret_cast<BYTE*>(szProvName), pcbProvName);
    }
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}

BOOL StandInCertPlatform::CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer,
                                               LPCWSTR szProvider, DWORD, DWORD dwFlags) {
    if (phProv != nullptr) *phProv = 0;
    if (phProv == nullptr) return Fail(E_INVALIDARG);
    acquired_providers.push_back(szProvider != nullptr ? szProvider : u"");
    Provider* provider = FindProvider(szProvider);
    if (provider == nullptr) return Fail(NTE_KEYSET_NOT_DEF);
    if (dwFlags & CRYPT_VERIFYCONTEXT) {
        *phProv = NewProv(provider->name, std::string());
        return TRUE;
    }
    const std::string container = szContainer != nullptr ? Utf16ToUtf8String(szContainer) : "";
    if (FindContainer(provider, container) == nullptr) return Fail(NTE_BAD_KEYSET);
    *phProv = NewProv(provider->name, container);
    return TRUE;
}

BOOL StandInCertPlatform::CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData,
                                            DWORD* pdwDataLen, DWORD dwFlags) {
    auto it = provs_.find(hProv);
    if (it == provs_.end()) return Fail(NTE_BAD_UID);
    ProvHandle& handle = *it->second;
    Provider* provider = FindProvider(handle.provider.c_str());
    if (provider == nullptr) return Fail(NTE_KEYSET_NOT_DEF);
    switch (dwParam) {
        case PP_NAME: {
            const std::string name = Utf16ToUtf8String(provider->name);
            return ReturnData(name.c_str(), name.size() + 1, pbData, pdwDataLen);
        }
        case PP_CONTAINER:
            return ReturnData(handle.container.c_str(), handle.container.size() + 1, pbData,
                              pdwDataLen);
        case PP_IMPTYPE:
            return ReturnData(&provider->imp_type, sizeof(DWORD), pbData, pdwDataLen);
        case PP_ENUMCONTAINERS: {
            if (dwFlags & CRYPT_FIRST) handle.next_container = 0;
            if (pbData == nullptr) {
                // The size query answers the longest name, as providers do.
                size_t longest = 0;
                for (const Container& container : provider->containers)
                    longest = std::max(longest, container.name.size() + 1);
                if (pdwDataLen == nullptr) return Fail(E_INVALIDARG);
                *pdwDataLen = static_cast<DWORD>(longest);
                return TRUE;
            }
            if (handle.next_container >= provider->containers.size()) {
                SetLastError(ERROR_NO_MORE_ITEMS);
                return FALSE;
            }
            const std::string& name = provider->containers[handle.next_container].name;
            if (!ReturnData(name.c_str(), name.size() + 1, pbData, pdwDataLen)) return FALSE;
            ++handle.next_container;
            return TRUE;
        }
        default:
            return Fail(NTE_BAD_TYPE);
    }
}

BOOL StandInCertPlatform::CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
    if (phUserKey != nullptr) *phUserKey = 0;
    auto it = provs_.find(hProv);
    if (it == provs_.end() || phUserKey == nullptr) return Fail(NTE_BAD_UID);
    Provider* provider = FindProvider(it->second->provider.c_str());
    if (FindKey(FindContainer(provider, it->second->container), dwKeySpec) == nullptr)
        return Fail(NTE_NO_KEY);
    auto key = std::make_unique<KeyHandle>();
    key->prov = hProv;
    key->key_spec = dwKeySpec;
    *phUserKey = next_handle_++;
    keys_[*phUserKey] = std::move(key);
    return TRUE;
}

BOOL StandInCertPlatform::CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData,
                                           DWORD* pdwDataLen, DWORD) {
    auto it = keys_.find(hKey);
    if (it == keys_.end()) return Fail(NTE_BAD_KEY);
    if (dwParam != KP_CERTIFICATE) return Fail(NTE_BAD_TYPE);
    auto prov = provs_.find(it->second->prov);
    if (prov == provs_.end()) return Fail(NTE_BAD_UID);
    Key* key = FindKey(
        FindContainer(FindProvider(prov->second->provider.c_str()), prov->second->container),
        it->second->key_spec);
    if (key == nullptr || key->certificate.empty()) return Fail(CRYPT_E_NOT_FOUND);
    return ReturnData(key->certificate.data(), key->certificate.size(), pbData, pdwDataLen);
}

BOOL StandInCertPlatform::CryptDestroyKey(HCRYPTKEY hKey) {
    return keys_.erase(hKey) != 0 ? TRUE : Fail(NTE_BAD_KEY);
}

BOOL StandInCertPlatform::CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY, DWORD,
                                          HCRYPTHASH* phHash) {
    if (phHash != nullptr) *phHash = 0;
    created_hash_algs.push_back(Algid);
    if (provs_.find(hProv) == provs_.end() || phHash == nullptr) return Fail(NTE_BAD_UID);
    const EVP_MD* md = DigestFor(Algid);
    if (md == nullptr) return Fail(NTE_BAD_ALGID);
    auto hash = std::make_unique<HashHandle>();
    hash->prov = hProv;
    hash->alg = Algid;
    hash->digest.reset(EVP_MD_CTX_new());
    if (!hash->digest || EVP_DigestInit_ex(hash->digest.get(), md, nullptr) != 1)
        return Fail(NTE_FAIL);
    *phHash = next_handle_++;
    hashes_[*phHash] = std::move(hash);
    return TRUE;
}

BOOL StandInCertPlatform::CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen,
                                        DWORD) {
    auto it = hashes_.find(hHash);
    if (it == hashes_.end()) return Fail(NTE_BAD_HASH);
    hash_data_lengths.push_back(dwDataLen);
    HashHandle& hash = *it->second;
    if (!hash.value.empty()) return Fail(NTE_BAD_HASH_STATE);
    if (dwDataLen == 0) return TRUE;
    if (pbData == nullptr) return Fail(E_INVALIDARG);
    EVP_DigestUpdate(hash.digest.get(), pbData, dwDataLen);
    hash.message.insert(hash.message.end(), pbData, pbData + dwDataLen);
    return TRUE;
}

BOOL StandInCertPlatform::CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData,
                                            DWORD* pdwDataLen, DWORD) {
    auto it = hashes_.find(hHash);
    if (it == hashes_.end()) return Fail(NTE_BAD_HASH);
    HashHandle& hash = *it->second;
    if (dwParam == HP_ALGID) return ReturnData(&hash.alg, sizeof hash.alg, pbData, pdwDataLen);
    const DWORD size = static_cast<DWORD>(EVP_MD_CTX_get_size(hash.digest.get()));
    if (dwParam == HP_HASHSIZE) return ReturnData(&size, sizeof size, pbData, pdwDataLen);
    if (dwParam != HP_HASHVAL) return Fail(NTE_BAD_TYPE);
    if (pbData == nullptr) return ReturnData(nullptr, size, nullptr, pdwDataLen);
    if (hash.value.empty()) {
        hash.value.resize(size);
        unsigned int length = 0;
        EVP_DigestFinal_ex(hash.digest.get(), hash.value.data(), &length);
    }
    return ReturnData(hash.value.data(), hash.value.size(), pbData, pdwDataLen);
}

BOOL StandInCertPlatform::CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR, DWORD,
                                         BYTE* pbSignature, DWORD* pdwSigLen) {
    auto it = hashes_.find(hHash);
    if (it == hashes_.end()) return Fail(NTE_BAD_HASH);
    if (pdwSigLen == nullptr) return Fail(E_INVALIDARG);
    HashHandle& hash = *it->second;
    auto prov = provs_.find(hash.prov);
    if (prov == provs_.end()) return Fail(NTE_BAD_UID);
    Key* key = FindKey(
        FindContainer(FindProvider(prov->second->provider.c_str()), prov->second->container),
        dwKeySpec);
    if (key == nullptr || !key->private_key) return Fail(NTE_NO_KEY);
    EVP_PKEY* pkey = key->private_key.get();
    const bool sm2 = IsSm2(pkey);
    const DWORD size = sm2 ? 64 : static_cast<DWORD>(EVP_PKEY_get_size(pkey));
    if (pbSignature == nullptr) {
        *pdwSigLen = size;
        return TRUE;
    }
    if (*pdwSigLen < size) {
        *pdwSigLen = size;
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    std::vector<uint8_t> signature;
    if (sm2) {
        // SM2 with SM3 and the default signer identity (GM/T 0009); r and s, each 32 bytes.
        // OpenSSL 3.0's own default identity is empty, so the identity is always set.
        MdCtxPtr ctx(EVP_MD_CTX_new());
        EVP_PKEY_CTX* pkey_ctx = nullptr;
        size_t der_length = 0;
        if (!ctx || EVP_DigestSignInit(ctx.get(), &pkey_ctx, EVP_sm3(), nullptr, pkey) != 1 ||
            EVP_PKEY_CTX_set1_id(pkey_ctx, kSm2DefaultId, sizeof kSm2DefaultId - 1) != 1 ||
            EVP_DigestSign(ctx.get(), nullptr, &der_length, hash.message.data(),
                           hash.message.size()) != 1)
            return Fail(NTE_FAIL);
        std::vector<uint8_t> der(der_length);
        if (EVP_DigestSign(ctx.get(), der.data(), &der_length, hash.message.data(),
                           hash.message.size()) != 1)
            return Fail(NTE_FAIL);
        const unsigned char* p = der.data();
        SigPtr sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der_length)));
        if (!sig) return Fail(NTE_FAIL);
        signature.resize(64);
        BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), signature.data(), 32);
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), signature.data() + 32, 32);
        std::reverse(signature.begin(), signature.begin() + 32);
        std::reverse(signature.begin() + 32, signature.end());
    } else {
        if (hash.value.empty()) {
            DWORD length = EVP_MAX_MD_SIZE;
            std::vector<uint8_t> value(length);
            if (!CryptGetHashParam(hHash, HP_HASHVAL, value.data(), &length, 0)) return FALSE;
        }
        // PKCS#1 v1.5 over the DigestInfo of the hash (RFC 8017, 9.2).
        PkeyCtxPtr ctx(EVP_PKEY_CTX_new(pkey, nullptr));
        size_t length = size;
        signature.resize(size);
        if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
            EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
            EVP_PKEY_CTX_set_signature_md(ctx.get(), DigestFor(hash.alg)) != 1 ||
            EVP_PKEY_sign(ctx.get(), signature.data(), &length, hash.value.data(),
                          hash.value.size()) != 1)
            return Fail(NTE_BAD_ALGID);
        signature.resize(length);
        std::reverse(signature.begin(), signature.end());  // least significant byte first
    }
    std::memcpy(pbSignature, signature.data(), signature.size());
    *pdwSigLen = static_cast<DWORD>(signature.size());
    return TRUE;
}

BOOL StandInCertPlatform::CryptDestroyHash(HCRYPTHASH hHash) {
    return hashes_.erase(hHash) != 0 ? TRUE : Fail(NTE_BAD_HASH);
}

BOOL StandInCertPlatform::CryptReleaseContext(HCRYPTPROV hProv, DWORD) {
    return provs_.erase(hProv) != 0 ? TRUE : Fail(NTE_BAD_UID);
}
