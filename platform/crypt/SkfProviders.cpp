#include "platform/crypt/SkfProviders.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/Ascii.h"
#include "common/Trace.h"
#include "common/Utf.h"
#include "platform/crypt/CertInternal.h"
#include "platform/crypt/SkfLibrary.h"
#include "platform/runtime/LastError.h"
#include "platform/window/PinPrompt.h"

namespace {

static constexpr char kUnit[] = "SkfProviders";

// GM/T 0009 default signer identity, the ID of the Z value SKF_DigestInit prepends.
constexpr char kDefaultSm2Id[] = "1234567812345678";
// Data goes to the library in pieces no larger than this (a token's APDU buffer is small).
constexpr size_t kMaxDigestPiece = 16384;
constexpr size_t kSm2CoordinateSize = 32;
constexpr DWORD kSm2SignatureSize = 2 * kSm2CoordinateSize;
constexpr size_t kMaxNameUnits = 259;
// Our handles start far above the NSS platform's, so the two never meet.
constexpr ULONG_PTR kFirstHandle = 0x5F000000;

BOOL Fail(HRESULT code) {
    SetLastErrorCode(code);
    return FALSE;
}

// A failed library call: traced, and its status as the thread's last error.
BOOL FailWithStatus(const char* step, ULONG status) {
    const HRESULT code = SkfResultCode(status);
    FAILED_STEP(kUnit, step, code, SkfStatusText(status).c_str());
    return Fail(code);
}

std::string ToUtf8(LPCWSTR text) {
    return text != nullptr ? Utf16ToUtf8String(text) : std::string();
}

bool IsValidUtf8(const std::string& text) {
    return Utf16ToUtf8String(Utf8ToUtf16String(text)) == text;
}

void AppendEscaped(const std::string& part, std::string* out) {
    const bool utf8 = IsValidUtf8(part);
    for (const char c : part) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '%' || c == '/' || byte < 0x20 || byte == 0x7F || (byte > 0x7E && !utf8)) {
            out->push_back('%');
            out->push_back(HexDigit(byte >> 4, HexCase::kUpper));
            out->push_back(HexDigit(byte, HexCase::kUpper));
        } else {
            out->push_back(c);
        }
    }
}

bool Unescape(const std::string& part, std::string* out) {
    out->clear();
    for (size_t i = 0; i < part.size(); ++i) {
        if (part[i] != '%') {
            out->push_back(part[i]);
            continue;
        }
        if (i + 2 >= part.size()) return false;
        const int high = HexValue(part[i + 1]);
        const int low = HexValue(part[i + 2]);
        if (high < 0 || low < 0) return false;
        out->push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return !out->empty();
}

}  // namespace

std::string EncodeSkfContainerName(const std::string& device, const std::string& application,
                                   const std::string& container) {
    std::string text;
    AppendEscaped(device, &text);
    text.push_back('/');
    AppendEscaped(application, &text);
    text.push_back('/');
    AppendEscaped(container, &text);
    // The record that carries the name holds 259 characters and a terminator; a cut name would
    // name another container.
    if (Utf8ToUtf16String(text).size() > kMaxNameUnits) return std::string();
    return text;
}

bool DecodeSkfContainerName(const std::string& text, std::string* device, std::string* application,
                            std::string* container) {
    const size_t first = text.find('/');
    if (first == std::string::npos) return false;
    const size_t second = text.find('/', first + 1);
    if (second == std::string::npos || text.find('/', second + 1) != std::string::npos)
        return false;
    return Unescape(text.substr(0, first), device) &&
           Unescape(text.substr(first + 1, second - first - 1), application) &&
           Unescape(text.substr(second + 1), container);
}

struct SkfProviders::Provider {
    // Declared first, so it is released last: every handle below lives in the library.
    std::unique_ptr<SkfLibrary> library;
    std::string name;       // the provider name, UTF-8
    std::string container;  // the key-container name; empty for a verify context
    std::string device_name;
    std::string label;  // shown by the PIN prompt
    SkfLibrary::Handle device;
    SkfLibrary::Handle application;
    SkfLibrary::Handle key_container;
    // PP_ENUMCONTAINERS: the names listed by the last CRYPT_FIRST and the next one to hand out.
    std::vector<std::string> listed;
    size_t next_listed = 0;
    bool listing = false;
};

struct SkfProviders::Key {
    HCRYPTPROV provider = 0;
    std::vector<uint8_t> certificate;
};

struct SkfProviders::Hash {
    HCRYPTPROV provider = 0;
    SkfLibrary::Handle digest;
    std::vector<uint8_t> value;  // set once the digest is finished
};

SkfProviders::SkfProviders(std::optional<ProviderFolders> folders)
    : folders_(std::move(folders)), next_handle_(kFirstHandle) {}

SkfProviders::~SkfProviders() { ReleaseAll(); }

void SkfProviders::ReleaseAll() {
    hashes_.clear();
    keys_.clear();
    providers_.clear();
}

ProviderRegistry SkfProviders::Registry() const {
    return ReadProviderRegistry(folders_ ? *folders_ : DefaultProviderFolders());
}

bool SkfProviders::IsRegistered(LPCWSTR szProvider) const {
    if (szProvider == nullptr || szProvider[0] == 0) return false;
    const std::string name = ToUtf8(szProvider);
    const ProviderRegistry registry = Registry();
    return std::any_of(registry.entries.begin(), registry.entries.end(),
                       [&](const ProviderEntry& entry) { return entry.name == name; });
}

SkfProviders::Provider* SkfProviders::FindProvider(HCRYPTPROV handle) {
    auto it = providers_.find(handle);
    return it != providers_.end() ? it->second.get() : nullptr;
}

BOOL SkfProviders::CryptEnumProvidersW(DWORD dwIndex, DWORD* pdwProvType, LPWSTR szProvName,
                                       DWORD* pcbProvName) {
    if (pcbProvName == nullptr) return Fail(E_INVALIDARG);
    const ProviderRegistry registry = Registry();
    if (dwIndex >= registry.entries.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    if (pdwProvType != nullptr) *pdwProvType = PROV_RSA_FULL;
    std::u16string name = Utf8ToUtf16String(registry.entries[dwIndex].name);
    name.push_back(0);
    return cert_internal::ReturnBytes(reinterpret_cast<const uint8_t*>(name.data()),
                                      name.size() * sizeof(char16_t),
                                      reinterpret_cast<BYTE*>(szProvName), pcbProvName);
}

BOOL SkfProviders::CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider,
                                        DWORD dwFlags) {
    TRACE_SCOPE_A();
    if (phProv == nullptr) return Fail(E_INVALIDARG);
    *phProv = 0;
    if (dwFlags != 0 && dwFlags != CRYPT_VERIFYCONTEXT) return Fail(NTE_BAD_FLAGS);
    const std::string provider_name = ToUtf8(szProvider);
    const ProviderRegistry registry = Registry();
    auto entry = std::find_if(registry.entries.begin(), registry.entries.end(),
                              [&](const ProviderEntry& e) { return e.name == provider_name; });
    if (entry == registry.entries.end()) {
        FAILED_STEP(kUnit, "Find provider", NTE_KEYSET_NOT_DEF, provider_name.c_str());
        return Fail(NTE_KEYSET_NOT_DEF);
    }

    auto provider = std::make_unique<Provider>();
    provider->name = provider_name;
    HRESULT load_error = S_OK;
    provider->library = SkfLibrary::Load(entry->library, &load_error);
    if (!provider->library) {
        FAILED_STEP(kUnit, "Load provider library", load_error, entry->library.c_str());
        return Fail(load_error);
    }
    OK_STEP(kUnit, "Load provider library");

    if (dwFlags != CRYPT_VERIFYCONTEXT) {
        const SkfLibrary& library = *provider->library;
        provider->container = ToUtf8(szContainer);
        std::string application;
        std::string container;
        if (!DecodeSkfContainerName(provider->container, &provider->device_name, &application,
                                    &container)) {
            FAILED_STEP(kUnit, "DecodeSkfContainerName", NTE_BAD_KEYSET,
                        provider->container.c_str());
            return Fail(NTE_BAD_KEYSET);
        }
        ULONG status = library.Connect(provider->device_name, &provider->device);
        if (status != SAR_OK) return FailWithStatus("SKF_ConnectDev", status);
        if (library.DeviceInfo(provider->device.get(), &provider->label, nullptr) != SAR_OK ||
            provider->label.empty())
            provider->label = provider->device_name;  // the label is only for the PIN prompt
        status =
            library.OpenApplication(provider->device.get(), application, &provider->application);
        if (status != SAR_OK) return FailWithStatus("SKF_OpenApplication", status);
        status =
            library.OpenContainer(provider->application.get(), container, &provider->key_container);
        if (status != SAR_OK) return FailWithStatus("SKF_OpenContainer", status);
        ULONG type = kSkfContainerEmpty;
        status = library.ContainerType(provider->key_container.get(), &type);
        if (status != SAR_OK) return FailWithStatus("SKF_GetContainerType", status);
        if (type != kSkfContainerEcc) {
            FAILED_STEP(kUnit, "Check container type", NTE_BAD_KEYSET, "not an ECC container");
            return Fail(NTE_BAD_KEYSET);
        }
        OK_STEP(kUnit, "Open container");
    }
    *phProv = next_handle_++;
    providers_[*phProv] = std::move(provider);
    return TRUE;
}

BOOL SkfProviders::ListContainers(Provider* provider) {
    const SkfLibrary& library = *provider->library;
    std::vector<std::string> devices;
    provider->listed.clear();
    provider->next_listed = 0;
    ULONG status = library.EnumDevices(&devices);
    if (status != SAR_OK) return FailWithStatus("SKF_EnumDev", status);
    // A device, application or container that fails is left out; the others are still listed.
    for (const std::string& device_name : devices) {
        SkfLibrary::Handle device;
        std::vector<std::string> applications;
        if ((status = library.Connect(device_name, &device)) != SAR_OK ||
            (status = library.EnumApplications(device.get(), &applications)) != SAR_OK) {
            FailWithStatus("Enumerate applications", status);
            continue;
        }
        for (const std::string& application_name : applications) {
            SkfLibrary::Handle application;
            std::vector<std::string> containers;
            if ((status = library.OpenApplication(device.get(), application_name, &application)) !=
                    SAR_OK ||
                (status = library.EnumContainers(application.get(), &containers)) != SAR_OK) {
                FailWithStatus("Enumerate containers", status);
                continue;
            }
            for (const std::string& container_name : containers) {
                SkfLibrary::Handle container;
                ULONG type = kSkfContainerEmpty;
                if ((status = library.OpenContainer(application.get(), container_name,
                                                    &container)) != SAR_OK ||
                    (status = library.ContainerType(container.get(), &type)) != SAR_OK) {
                    FailWithStatus("Container type", status);
                    continue;
                }
                if (type != kSkfContainerEcc) continue;
                const std::string name =
                    EncodeSkfContainerName(device_name, application_name, container_name);
                if (name.empty()) {
                    TRACE_ERROR("SkfProviders: container %s of %s/%s skipped: name too long",
                                container_name.c_str(), device_name.c_str(),
                                application_name.c_str());
                    continue;
                }
                provider->listed.push_back(name);
            }
        }
    }
    provider->listing = true;
    return TRUE;
}

BOOL SkfProviders::CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData,
                                     DWORD* pdwDataLen, DWORD dwFlags) {
    Provider* provider = FindProvider(hProv);
    if (provider == nullptr) return Fail(NTE_BAD_UID);
    if (pdwDataLen == nullptr) return Fail(E_INVALIDARG);
    auto return_text = [&](const std::string& text) {
        return cert_internal::ReturnBytes(reinterpret_cast<const uint8_t*>(text.c_str()),
                                          text.size() + 1, pbData, pdwDataLen);
    };
    switch (dwParam) {
        case PP_NAME:
            return return_text(provider->name);
        case PP_CONTAINER:
            return return_text(provider->container);
        case PP_IMPTYPE: {
            const DWORD type = CRYPT_IMPL_HARDWARE | CRYPT_IMPL_REMOVABLE;  // a USB key
            return cert_internal::ReturnBytes(reinterpret_cast<const uint8_t*>(&type), sizeof type,
                                              pbData, pdwDataLen);
        }
        case PP_ENUMCONTAINERS: {
            if ((dwFlags & CRYPT_FIRST) != 0 || !provider->listing) {
                if (!ListContainers(provider)) return FALSE;
            }
            if (pbData == nullptr) {
                // The size query answers the longest name, so one buffer holds every name.
                size_t longest = 0;
                for (const std::string& name : provider->listed)
                    longest = std::max(longest, name.size());
                *pdwDataLen = static_cast<DWORD>(longest + 1);
                return TRUE;
            }
            if (provider->next_listed >= provider->listed.size()) {
                SetLastError(ERROR_NO_MORE_ITEMS);
                return FALSE;
            }
            if (!return_text(provider->listed[provider->next_listed])) return FALSE;
            ++provider->next_listed;
            return TRUE;
        }
        default:
            return Fail(NTE_BAD_TYPE);
    }
}

BOOL SkfProviders::CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
    if (phUserKey != nullptr) *phUserKey = 0;
    Provider* provider = FindProvider(hProv);
    if (provider == nullptr || phUserKey == nullptr) return Fail(NTE_BAD_UID);
    if (!provider->key_container) return Fail(NTE_NO_KEY);  // a verify context has no keys
    if (dwKeySpec != AT_SIGNATURE && dwKeySpec != AT_KEYEXCHANGE) return Fail(NTE_BAD_KEY);
    auto key = std::make_unique<Key>();
    key->provider = hProv;
    const ULONG status = provider->library->ExportCertificate(
        provider->key_container.get(), dwKeySpec == AT_SIGNATURE, &key->certificate);
    // A key pair without its certificate cannot be offered: for the calling code it is no key.
    if (status == SAR_CERTNOTFOUNTERR || status == SAR_KEYNOTFOUNTERR ||
        (status == SAR_OK && key->certificate.empty())) {
        FAILED_STEP(kUnit, "SKF_ExportCertificate", NTE_NO_KEY, SkfStatusText(status).c_str());
        return Fail(NTE_NO_KEY);
    }
    if (status != SAR_OK) return FailWithStatus("SKF_ExportCertificate", status);
    *phUserKey = next_handle_++;
    keys_[*phUserKey] = std::move(key);
    return TRUE;
}

BOOL SkfProviders::CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData,
                                    DWORD* pdwDataLen) {
    auto it = keys_.find(hKey);
    if (it == keys_.end()) return Fail(NTE_BAD_KEY);
    if (dwParam != KP_CERTIFICATE) return Fail(NTE_BAD_TYPE);
    if (pdwDataLen == nullptr) return Fail(E_INVALIDARG);
    return cert_internal::ReturnBytes(it->second->certificate.data(),
                                      it->second->certificate.size(), pbData, pdwDataLen);
}

BOOL SkfProviders::CryptDestroyKey(HCRYPTKEY hKey) {
    if (keys_.erase(hKey) == 0) return Fail(NTE_BAD_KEY);
    return TRUE;
}

HRESULT SkfProviders::Login(Provider* provider) {
    PinPromptRequest request;
    request.token_name = provider->label;
    for (;;) {
        std::string pin;
        const PinPromptResult answer = AskForPin(request, &pin);
        if (answer != PinPromptResult::kOk) {
            OPENSSL_cleanse(pin.data(), pin.size());
            FAILED_STEP(kUnit, "AskForPin", HRESULT_CANCELLED, "cancelled");
            return HRESULT_CANCELLED;
        }
        int retries = -1;
        const ULONG status =
            provider->library->VerifyUserPin(provider->application.get(), pin, &retries);
        OPENSSL_cleanse(pin.data(), pin.size());
        if (status == SAR_OK) {
            OK_STEP(kUnit, "SKF_VerifyPIN");
            return S_OK;
        }
        const HRESULT code = SkfResultCode(status);
        FAILED_STEP(kUnit, "SKF_VerifyPIN", code, SkfStatusText(status).c_str());
        if (status != SAR_PIN_INCORRECT) return code;
        // The last attempt went wrong: the application is locked now, asking again is pointless.
        if (retries == 0) return SkfResultCode(SAR_PIN_LOCKED);
        request.previous_attempt_failed = true;
        request.retries_left = retries;
    }
}

template <typename Call>
HRESULT SkfProviders::CallWithLogin(Provider* provider, const char* step, Call call) {
    ULONG status = call();
    if (status == SAR_USER_NOT_LOGGED_IN && provider->application) {
        OK_STEP(kUnit, "User PIN needed");
        const HRESULT login = Login(provider);
        if (FAILED(login)) return login;
        status = call();
    }
    if (status != SAR_OK) {
        FailWithStatus(step, status);
        return SkfResultCode(status);
    }
    OK_STEP(kUnit, step);
    return S_OK;
}

BOOL SkfProviders::CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH* phHash) {
    if (phHash != nullptr) *phHash = 0;
    Provider* provider = FindProvider(hProv);
    if (provider == nullptr || phHash == nullptr) return Fail(NTE_BAD_UID);
    if (Algid != CALG_SM3) return Fail(NTE_BAD_ALGID);
    // Z needs the signer's public key: only a container context can hash for a signature.
    if (!provider->key_container) return Fail(NTE_BAD_KEYSET);
    const SkfLibrary& library = *provider->library;
    ECCPUBLICKEYBLOB public_key{};
    HRESULT code = CallWithLogin(provider, "SKF_ExportPublicKey", [&] {
        return library.ExportPublicKey(provider->key_container.get(), true, &public_key);
    });
    if (FAILED(code)) return Fail(code);
    auto hash = std::make_unique<Hash>();
    hash->provider = hProv;
    code = CallWithLogin(provider, "SKF_DigestInit", [&] {
        return library.DigestInit(provider->device.get(), public_key, kDefaultSm2Id, &hash->digest);
    });
    if (FAILED(code)) return Fail(code);
    *phHash = next_handle_++;
    hashes_[*phHash] = std::move(hash);
    return TRUE;
}

BOOL SkfProviders::CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen) {
    auto it = hashes_.find(hHash);
    if (it == hashes_.end()) return Fail(NTE_BAD_HASH);
    Hash& hash = *it->second;
    if (!hash.value.empty()) return Fail(NTE_BAD_HASH_STATE);  // already finished
    if (dwDataLen == 0) return TRUE;
    if (pbData == nullptr) return Fail(E_INVALIDARG);
    const SkfLibrary& library = *providers_.at(hash.provider)->library;
    for (size_t offset = 0; offset < dwDataLen; offset += kMaxDigestPiece) {
        const size_t piece = std::min<size_t>(kMaxDigestPiece, dwDataLen - offset);
        const ULONG status = library.DigestUpdate(hash.digest.get(), pbData + offset, piece);
        if (status != SAR_OK) return FailWithStatus("SKF_DigestUpdate", status);
    }
    return TRUE;
}

BOOL SkfProviders::FinishHash(Hash* hash) {
    if (!hash->value.empty()) return TRUE;
    const SkfLibrary& library = *providers_.at(hash->provider)->library;
    const ULONG status = library.DigestFinal(hash->digest.get(), &hash->value);
    if (status != SAR_OK) return FailWithStatus("SKF_DigestFinal", status);
    if (hash->value.size() != kSm2CoordinateSize) {
        hash->value.clear();
        return FailWithStatus("SKF_DigestFinal", kSkfMalformedOutput);
    }
    return TRUE;
}

BOOL SkfProviders::CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData,
                                     DWORD* pdwDataLen) {
    auto it = hashes_.find(hHash);
    if (it == hashes_.end()) return Fail(NTE_BAD_HASH);
    if (pdwDataLen == nullptr) return Fail(E_INVALIDARG);
    Hash& hash = *it->second;
    const DWORD sm3_size = kSm2CoordinateSize;
    switch (dwParam) {
        case HP_ALGID:
            return cert_internal::ReturnBytes(reinterpret_cast<const uint8_t*>(&CALG_SM3),
                                              sizeof CALG_SM3, pbData, pdwDataLen);
        case HP_HASHSIZE:
            return cert_internal::ReturnBytes(reinterpret_cast<const uint8_t*>(&sm3_size),
                                              sizeof sm3_size, pbData, pdwDataLen);
        case HP_HASHVAL:
            // A size query leaves the hash open; only reading the value finishes it.
            if (pbData == nullptr && hash.value.empty())
                return cert_internal::ReturnBytes(nullptr, sm3_size, nullptr, pdwDataLen);
            if (!FinishHash(&hash)) return FALSE;
            return cert_internal::ReturnBytes(hash.value.data(), hash.value.size(), pbData,
                                              pdwDataLen);
        default:
            return Fail(NTE_BAD_TYPE);
    }
}

BOOL SkfProviders::CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec, BYTE* pbSignature,
                                  DWORD* pdwSigLen) {
    TRACE_SCOPE_A();
    auto it = hashes_.find(hHash);
    if (it == hashes_.end()) return Fail(NTE_BAD_HASH);
    if (pdwSigLen == nullptr) return Fail(E_INVALIDARG);
    // SKF_ECCSignData always signs with the container's signing key pair; a signature asked of the
    // encryption key would not match its certificate.
    if (dwKeySpec != AT_SIGNATURE) {
        FAILED_STEP(kUnit, "Check key spec", NTE_BAD_KEY, "AT_SIGNATURE != dwKeySpec");
        return Fail(NTE_BAD_KEY);
    }
    if (pbSignature == nullptr) {
        *pdwSigLen = kSm2SignatureSize;
        return TRUE;
    }
    if (*pdwSigLen < kSm2SignatureSize) {
        *pdwSigLen = kSm2SignatureSize;
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    Hash& hash = *it->second;
    if (!FinishHash(&hash)) return FALSE;
    Provider* provider = FindProvider(hash.provider);
    ECCSIGNATUREBLOB blob{};
    const HRESULT code = CallWithLogin(provider, "SKF_ECCSignData", [&] {
        return provider->library->SignDigest(provider->key_container.get(), hash.value, &blob);
    });
    if (FAILED(code)) return Fail(code);
    // r and s stand right-aligned, most significant byte first, in their 64-byte fields; the
    // calling code takes each least significant byte first.
    for (size_t i = 0; i < kSm2CoordinateSize; ++i) {
        pbSignature[i] = blob.r[sizeof blob.r - 1 - i];
        pbSignature[kSm2CoordinateSize + i] = blob.s[sizeof blob.s - 1 - i];
    }
    *pdwSigLen = kSm2SignatureSize;
    return TRUE;
}

BOOL SkfProviders::CryptDestroyHash(HCRYPTHASH hHash) {
    if (hashes_.erase(hHash) == 0) return Fail(NTE_BAD_HASH);
    return TRUE;
}

BOOL SkfProviders::CryptReleaseContext(HCRYPTPROV hProv) {
    auto it = providers_.find(hProv);
    if (it == providers_.end()) return Fail(NTE_BAD_UID);
    // Hashes still open on this provider live in its library: they go before it is unloaded.
    for (auto hash = hashes_.begin(); hash != hashes_.end();) {
        hash = hash->second->provider == hProv ? hashes_.erase(hash) : std::next(hash);
    }
    for (auto key = keys_.begin(); key != keys_.end();) {
        key = key->second->provider == hProv ? keys_.erase(key) : std::next(key);
    }
    providers_.erase(it);
    return TRUE;
}
