// The NSS gateway: the personal store from the user's NSS database, its tokens as key providers,
// digests and RSA PKCS#1 v1.5 signatures through NSS. NSS errors become platform errors in
// MapNssError and nowhere else.
#include "platform/crypt/NssCertPlatform.h"

#include <cert.h>
#include <keyhi.h>
#include <nss.h>
#include <openssl/crypto.h>
#include <pk11pub.h>
#include <prerror.h>
#include <pwd.h>
#include <secerr.h>
#include <sechash.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/Ascii.h"
#include "common/Trace.h"
#include "common/Utf.h"
#include "platform/crypt/CertInternal.h"
#include "platform/runtime/LastError.h"
#include "platform/window/PinPrompt.h"

namespace {

static constexpr char kUnit[] = "NssCertPlatform";

// ---- RAII for NSS handles --------------------------------------------------------------------
struct SlotFree {
    void operator()(PK11SlotInfo* slot) const { PK11_FreeSlot(slot); }
};
struct SlotListFree {
    void operator()(PK11SlotList* list) const { PK11_FreeSlotList(list); }
};
struct CertFree {
    void operator()(CERTCertificate* cert) const { CERT_DestroyCertificate(cert); }
};
struct CertListFree {
    void operator()(CERTCertList* list) const { CERT_DestroyCertList(list); }
};
struct PrivateKeyFree {
    void operator()(SECKEYPrivateKey* key) const { SECKEY_DestroyPrivateKey(key); }
};
struct DigestFree {
    void operator()(PK11Context* context) const { PK11_DestroyContext(context, PR_TRUE); }
};
struct ItemFree {
    void operator()(SECItem* item) const { SECITEM_FreeItem(item, PR_TRUE); }
};
struct PortFree {
    void operator()(char* text) const { PORT_Free(text); }
};
using SlotPtr = std::unique_ptr<PK11SlotInfo, SlotFree>;
using SlotListPtr = std::unique_ptr<PK11SlotList, SlotListFree>;
using NssCertPtr = std::unique_ptr<CERTCertificate, CertFree>;
using CertListPtr = std::unique_ptr<CERTCertList, CertListFree>;
using PrivateKeyPtr = std::unique_ptr<SECKEYPrivateKey, PrivateKeyFree>;
using DigestPtr = std::unique_ptr<PK11Context, DigestFree>;
using ItemPtr = std::unique_ptr<SECItem, ItemFree>;

// The one place where an NSS error becomes a platform error.
HRESULT MapNssError(PRErrorCode error) {
    switch (error) {
        case SEC_ERROR_BAD_PASSWORD:
            return SCARD_W_WRONG_CHV;
        case SEC_ERROR_NO_MEMORY:
            return NTE_NO_MEMORY;
        case SEC_ERROR_NO_KEY:
            return NTE_NO_KEY;
        case SEC_ERROR_NO_TOKEN:
        case SEC_ERROR_TOKEN_NOT_LOGGED_IN:
            return NTE_BAD_KEYSET;
        case SEC_ERROR_INVALID_ALGORITHM:
        case SEC_ERROR_UNSUPPORTED_KEYALG:
            return NTE_BAD_ALGID;
        case SEC_ERROR_BAD_DATA:
        case SEC_ERROR_INPUT_LEN:
            return NTE_BAD_DATA;
        case SEC_ERROR_INVALID_ARGS:
            return E_INVALIDARG;
        default:
            return NTE_FAIL;
    }
}

// NSS's own words for its latest error: "SEC_ERROR_BAD_DATABASE: security library: bad database."
std::string NssErrorText(PRErrorCode error) {
    const char* name = PR_ErrorToName(error);
    const char* text = PR_ErrorToString(error, PR_LANGUAGE_I_DEFAULT);
    std::string described = name != nullptr ? name : "NSS error " + std::to_string(error);
    if (text != nullptr && *text != 0) described.append(": ").append(text);
    return described;
}

BOOL FailWithNssError(const char* step) {
    const PRErrorCode error = PORT_GetError();
    const HRESULT code = MapNssError(error);
    FAILED_STEP(kUnit, step, code, NssErrorText(error).c_str());
    SetLastErrorCode(code);
    return FALSE;
}

BOOL Fail(HRESULT code) {
    SetLastErrorCode(code);
    return FALSE;
}

// A certificate whose key NSS cannot reach: NTE_NO_KEY, and NSS's reason in the trace when it
// gave one (a database another process holds locked fails here once NSS stops retrying).
BOOL FailNoKey(const char* step) {
    const PRErrorCode error = PORT_GetError();
    FAILED_STEP(kUnit, step, NTE_NO_KEY,
                error != 0 ? NssErrorText(error).c_str() : "no private key for the certificate");
    return Fail(NTE_NO_KEY);
}

// NSS never asks for a password by itself: logins happen in Login() through the PIN prompt.
char* NoPassword(PK11SlotInfo*, PRBool, void*) { return nullptr; }

std::string HomeDirectory() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != 0) return home;
    struct passwd entry {};
    struct passwd* result = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &result) == 0 && result != nullptr &&
        result->pw_dir != nullptr)
        return result->pw_dir;
    return std::string();
}

std::string Hex(const SECItem* item) {
    std::string text;
    if (item != nullptr) AppendHex(text, item->data, item->len);
    return text;
}

bool ParseHex(const std::string& text, std::vector<uint8_t>* bytes) {
    if (text.empty() || text.size() % 2 != 0) return false;
    bytes->clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = HexValue(text[i]), low = HexValue(text[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes->push_back(static_cast<uint8_t>(high * 16 + low));
    }
    return true;
}

DWORD ImpType(PK11SlotInfo* slot) {
    DWORD type = 0;
    if (PK11_IsHW(slot)) type |= CRYPT_IMPL_HARDWARE;
    if (PK11_IsRemovable(slot)) type |= CRYPT_IMPL_REMOVABLE;
    return type != 0 ? type : CRYPT_IMPL_SOFTWARE;
}

DWORD KeySpecFor(PCCERT_CONTEXT context) {
    // RSA keys are exchange keys (they sign and decrypt); every other kind only signs.
    const char* oid = context->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId;
    return oid != nullptr && std::strcmp(oid, "1.2.840.113549.1.1.1") == 0 ? AT_KEYEXCHANGE
                                                                           : AT_SIGNATURE;
}

// The DER prefix of each DigestInfo (RFC 8017, 9.2, note 1); the digest follows it.
constexpr uint8_t kMd5Prefix[] = {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                  0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
constexpr uint8_t kSha1Prefix[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                                   0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
constexpr uint8_t kSha256Prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                     0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
constexpr uint8_t kSha384Prefix[] = {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                     0x65, 0x03, 0x04, 0x02, 0x02, 0x05, 0x00, 0x04, 0x30};
constexpr uint8_t kSha512Prefix[] = {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                     0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40};

struct HashAlgorithm {
    ALG_ID alg;
    SECOidTag tag;
    const uint8_t* prefix;
    size_t prefix_length;
};
constexpr HashAlgorithm kHashAlgorithms[] = {
    {CALG_MD5, SEC_OID_MD5, kMd5Prefix, sizeof kMd5Prefix},
    {CALG_SHA1, SEC_OID_SHA1, kSha1Prefix, sizeof kSha1Prefix},
    {CALG_SHA_256, SEC_OID_SHA256, kSha256Prefix, sizeof kSha256Prefix},
    {CALG_SHA_384, SEC_OID_SHA384, kSha384Prefix, sizeof kSha384Prefix},
    {CALG_SHA_512, SEC_OID_SHA512, kSha512Prefix, sizeof kSha512Prefix},
};

const HashAlgorithm* FindHashAlgorithm(ALG_ID alg) {
    for (const HashAlgorithm& algorithm : kHashAlgorithms)
        if (algorithm.alg == alg) return &algorithm;
    return nullptr;
}

SECItem ItemOf(const uint8_t* data, size_t size) {
    SECItem item{};
    item.type = siBuffer;
    item.data = const_cast<unsigned char*>(data);
    item.len = static_cast<unsigned>(size);
    return item;
}

// A certificate's DER as a map key.
std::string DerKey(const SECItem& der) {
    return std::string(reinterpret_cast<const char*>(der.data), der.len);
}

}  // namespace

struct NssCertPlatform::Provider {
    SlotPtr slot;
    NssCertPtr certificate;
    std::vector<uint8_t> key_id;  // CKA_ID of the certificate and its key
    std::string token_name;
    std::string container;  // key_id in hexadecimal
    DWORD key_spec = AT_KEYEXCHANGE;
};

struct NssCertPlatform::UserCertificate {
    NssCertPtr certificate;
};

struct NssCertPlatform::Key {
    ULONG_PTR provider = 0;
    std::vector<uint8_t> certificate;
};

struct NssCertPlatform::Hash {
    ULONG_PTR provider = 0;
    ALG_ID alg = 0;
    SECOidTag tag = SEC_OID_UNKNOWN;
    DigestPtr digest;
    std::vector<uint8_t> value;  // set once the digest is finished
};

NssCertPlatform::NssCertPlatform(std::string database_dir)
    : database_dir_(std::move(database_dir)) {}

NssCertPlatform::~NssCertPlatform() { ReleaseResources(); }

bool NssCertPlatform::EnsureStarted() {
    if (context_) return true;
    std::string dir = database_dir_;
    database_error_.clear();
    if (dir.empty()) {
        const std::string home = HomeDirectory();
        if (home.empty()) {
            database_path_.clear();
            database_error_ = "no home folder";
            FAILED_STEP(kUnit, "HomeDirectory", NTE_FAIL, "home.empty()");
            return false;
        }
        dir = home + "/.pki/nssdb";
    }
    database_path_ = dir;
    // Opening a folder without a database would make NSS fail anyway; not touching NSS keeps a
    // request on a machine without a database cheap.
    const std::string certificate_file = dir + "/cert9.db";
    if (access(certificate_file.c_str(), R_OK) != 0) {
        database_error_ = certificate_file + ": " + std::strerror(errno);
        FAILED_STEP(kUnit, "access(cert9.db)", NTE_FAIL, database_error_.c_str());
        TRACE_INFO("NSS database %s not readable: empty personal store", dir.c_str());
        return false;
    }
    // Read-only, never written; pkcs11.txt is read so user-added PKCS#11 modules load; the
    // built-in roots module is not loaded (its roots are no personal certificates).
    const std::string config = "sql:" + dir;
    context_.reset(
        NSS_InitContext(config.c_str(), "", "", "", nullptr,
                        NSS_INIT_READONLY | NSS_INIT_NOROOTINIT | NSS_INIT_OPTIMIZESPACE));
    if (!context_) {
        database_error_ = NssErrorText(PORT_GetError());
        FailWithNssError("NSS_InitContext");
        return false;
    }
    PK11_SetPasswordFunc(NoPassword);
    OK_STEP(kUnit, "NSS_InitContext");
    return true;
}

void NssCertPlatform::ContextCloser::operator()(NSSInitContext* context) const {
    if (NSS_ShutdownContext(context) != SECSuccess) FailWithNssError("NSS_ShutdownContext");
}

void NssCertPlatform::ReleaseResources() {
    // Every NSS object this platform holds goes before NSS itself.
    hashes_.clear();
    keys_.clear();
    providers_.clear();
    walked_.clear();
    context_.reset();
}

namespace {

// Every present token but the built-in roots, with the certificates it holds (null when it has
// none NSS can list).
template <typename Visit>
void ForEachPersonalToken(Visit visit) {
    SlotListPtr slots(PK11_GetAllTokens(CKM_INVALID_MECHANISM, PR_FALSE, PR_FALSE, nullptr));
    for (PK11SlotListElement* element = slots ? PK11_GetFirstSafe(slots.get()) : nullptr;
         element != nullptr; element = PK11_GetNextSafe(slots.get(), element, PR_FALSE)) {
        PK11SlotInfo* slot = element->slot;
        if (!PK11_IsPresent(slot) || PK11_HasRootCerts(slot)) continue;
        CertListPtr certificates(PK11_ListCertsInSlot(slot));
        visit(slot, certificates.get());
    }
}

}  // namespace

NssDatabaseState NssCertPlatform::DescribeDatabase() {
    NssDatabaseState state;
    state.opened = EnsureStarted();
    state.path = database_path_;
    state.error = database_error_;
    if (!state.opened) return state;
    ForEachPersonalToken([&state](PK11SlotInfo* slot, CERTCertList* certificates) {
        const char* token = PK11_GetTokenName(slot);
        state.tokens.emplace_back(token != nullptr ? token : "");
        for (CERTCertListNode* node = certificates ? CERT_LIST_HEAD(certificates) : nullptr;
             node != nullptr && !CERT_LIST_END(node, certificates); node = CERT_LIST_NEXT(node)) {
            ++state.certificates;
            if (CERT_IsUserCert(node->cert)) ++state.certificates_with_key;
        }
    });
    return state;
}

HCERTSTORE NssCertPlatform::OpenSystemStore(const char16_t* pwszStoreName, DWORD dwFlags) {
    HCERTSTORE store = CertPlatform::OpenSystemStore(pwszStoreName, dwFlags);
    if (store == nullptr || !EnsureStarted()) return store;
    SetStoreReadOnly(store, false);
    walked_.clear();
    ForEachPersonalToken([this, store](PK11SlotInfo* slot, CERTCertList* certificates) {
        if (certificates == nullptr) return;
        const char* token = PK11_GetTokenName(slot);
        for (CERTCertListNode* node = CERT_LIST_HEAD(certificates);
             !CERT_LIST_END(node, certificates); node = CERT_LIST_NEXT(node)) {
            PCCERT_CONTEXT context =
                CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                             node->cert->derCert.data, node->cert->derCert.len);
            if (context == nullptr) continue;  // a certificate we cannot decode is not offered
            // The trust entry says whether the token holds the certificate's private key, and
            // NSS knows it without a login.
            if (CERT_IsUserCert(node->cert)) {
                ItemPtr key_id(PK11_GetLowLevelKeyIDForCert(slot, node->cert, nullptr));
                std::u16string container = Utf8ToUtf16String(Hex(key_id.get()));
                std::u16string provider = Utf8ToUtf16String(token != nullptr ? token : "");
                CRYPT_KEY_PROV_INFO info{};
                info.pwszContainerName = container.data();
                info.pwszProvName = provider.data();
                info.dwProvType = PROV_RSA_FULL;
                info.dwKeySpec = KeySpecFor(context);
                if (key_id) {
                    CertSetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, 0,
                                                      &info);
                    auto walked = std::make_unique<UserCertificate>();
                    walked->certificate.reset(CERT_DupCertificate(node->cert));
                    walked_[{token != nullptr ? token : "", DerKey(node->cert->derCert)}] =
                        std::move(walked);
                }
            }
            CertAddCertificateContextToStore(store, context, CERT_STORE_ADD_USE_EXISTING, nullptr);
            CertFreeCertificateContext(context);
        }
    });
    SetStoreReadOnly(store, (dwFlags & CERT_STORE_READONLY_FLAG) != 0);
    return store;
}

BOOL NssCertPlatform::CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT pCert, DWORD, void*,
                                                        HCRYPTPROV* phCryptProv, DWORD* pdwKeySpec,
                                                        BOOL* pfCallerFreeProv) {
    if (phCryptProv != nullptr) *phCryptProv = 0;
    if (cert_internal::ContextObject(pCert) == nullptr || phCryptProv == nullptr)
        return Fail(E_INVALIDARG);
    if (!EnsureStarted()) return Fail(CRYPT_E_NO_KEY_PROPERTY);

    auto provider = std::make_unique<Provider>();
    SECItem der = ItemOf(pCert->pbCertEncoded, pCert->cbCertEncoded);
    DWORD size = 0;
    PORT_SetError(0);  // a reason traced below is one of these calls
    if (CertGetCertificateContextProperty(pCert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) {
        // The key-provider property names the token and the key's identity in it.
        std::vector<uint8_t> buffer(size);
        CertGetCertificateContextProperty(pCert, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size);
        const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
        const std::string token = Utf16ToUtf8String(info->pwszProvName);
        if (!ParseHex(Utf16ToUtf8String(info->pwszContainerName), &provider->key_id))
            return Fail(NTE_BAD_KEYSET);
        provider->slot.reset(PK11_FindSlotByName(token.c_str()));
        if (!provider->slot) return Fail(NTE_KEYSET_NOT_DEF);
        // The walk of "MY" that made the property met the certificate in this token already;
        // searching the token's database for it again costs as much as the walk.
        auto walked = walked_.find({token, DerKey(der)});
        provider->certificate.reset(
            walked != walked_.end()
                ? CERT_DupCertificate(walked->second->certificate.get())
                : PK11_FindCertFromDERCertItem(provider->slot.get(), &der, nullptr));
        provider->key_spec = info->dwKeySpec;
    } else {
        // No property: the certificate alone leads to its key when the database knows it.
        provider->certificate.reset(CERT_FindCertByDERCert(CERT_GetDefaultCertDB(), &der));
        if (provider->certificate) {
            provider->slot.reset(
                PK11_KeyForCertExists(provider->certificate.get(), nullptr, nullptr));
        }
        if (!provider->slot) return Fail(CRYPT_E_NO_KEY_PROPERTY);
        ItemPtr key_id(PK11_GetLowLevelKeyIDForCert(provider->slot.get(),
                                                    provider->certificate.get(), nullptr));
        if (!key_id) return FailNoKey("PK11_GetLowLevelKeyIDForCert");
        provider->key_id.assign(key_id->data, key_id->data + key_id->len);
        provider->key_spec = KeySpecFor(pCert);
    }
    if (!provider->certificate || !CERT_IsUserCert(provider->certificate.get()))
        return FailNoKey("Find the certificate's key");
    ItemPtr cert_key_id(
        PK11_GetLowLevelKeyIDForCert(provider->slot.get(), provider->certificate.get(), nullptr));
    if (!cert_key_id || cert_key_id->len != provider->key_id.size() ||
        std::memcmp(cert_key_id->data, provider->key_id.data(), cert_key_id->len) != 0)
        return FailNoKey("PK11_GetLowLevelKeyIDForCert");

    const char* token = PK11_GetTokenName(provider->slot.get());
    provider->token_name = token != nullptr ? token : "";
    provider->container = Hex(cert_key_id.get());
    const ULONG_PTR handle = next_handle_++;
    if (pdwKeySpec != nullptr) *pdwKeySpec = provider->key_spec;
    if (pfCallerFreeProv != nullptr) *pfCallerFreeProv = TRUE;
    providers_[handle] = std::move(provider);
    *phCryptProv = handle;
    return TRUE;
}

NssCertPlatform::Provider* NssCertPlatform::FindProvider(HCRYPTPROV handle) {
    auto it = providers_.find(handle);
    return it != providers_.end() ? it->second.get() : nullptr;
}

BOOL NssCertPlatform::CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData,
                                        DWORD* pdwDataLen, DWORD) {
    Provider* provider = FindProvider(hProv);
    if (provider == nullptr) return Fail(NTE_BAD_UID);
    switch (dwParam) {
        case PP_NAME:
            return cert_internal::ReturnBytes(
                reinterpret_cast<const uint8_t*>(provider->token_name.c_str()),
                provider->token_name.size() + 1, pbData, pdwDataLen);
        case PP_CONTAINER:
            return cert_internal::ReturnBytes(
                reinterpret_cast<const uint8_t*>(provider->container.c_str()),
                provider->container.size() + 1, pbData, pdwDataLen);
        case PP_IMPTYPE: {
            const DWORD type = ImpType(provider->slot.get());
            return cert_internal::ReturnBytes(reinterpret_cast<const uint8_t*>(&type), sizeof type,
                                              pbData, pdwDataLen);
        }
        case PP_ENUMCONTAINERS:
            SetLastError(ERROR_NO_MORE_ITEMS);  // a certificate's key is no container list
            return FALSE;
        default:
            return Fail(NTE_BAD_TYPE);
    }
}

BOOL NssCertPlatform::CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
    if (phUserKey != nullptr) *phUserKey = 0;
    Provider* provider = FindProvider(hProv);
    if (provider == nullptr || phUserKey == nullptr) return Fail(NTE_BAD_UID);
    if (dwKeySpec != provider->key_spec) return Fail(NTE_NO_KEY);
    auto key = std::make_unique<Key>();
    key->provider = hProv;
    key->certificate.assign(
        provider->certificate->derCert.data,
        provider->certificate->derCert.data + provider->certificate->derCert.len);
    *phUserKey = next_handle_++;
    keys_[*phUserKey] = std::move(key);
    return TRUE;
}

BOOL NssCertPlatform::CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData,
                                       DWORD* pdwDataLen, DWORD) {
    auto it = keys_.find(hKey);
    if (it == keys_.end()) return Fail(NTE_BAD_KEY);
    if (dwParam != KP_CERTIFICATE) return Fail(NTE_BAD_TYPE);
    return cert_internal::ReturnBytes(it->second->certificate.data(),
                                      it->second->certificate.size(), pbData, pdwDataLen);
}

BOOL NssCertPlatform::CryptDestroyKey(HCRYPTKEY hKey) {
    if (keys_.erase(hKey) == 0) return Fail(NTE_BAD_KEY);
    return TRUE;
}

BOOL NssCertPlatform::CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY, DWORD,
                                      HCRYPTHASH* phHash) {
    if (phHash != nullptr) *phHash = 0;
    if (FindProvider(hProv) == nullptr || phHash == nullptr) return Fail(NTE_BAD_UID);
    const HashAlgorithm* algorithm = FindHashAlgorithm(Algid);
    if (algorithm == nullptr) return Fail(NTE_BAD_ALGID);
    auto hash = std::make_unique<Hash>();
    hash->tag = algorithm->tag;
    hash->provider = hProv;
    hash->alg = Algid;
    hash->digest.reset(PK11_CreateDigestContext(hash->tag));
    if (!hash->digest || PK11_DigestBegin(hash->digest.get()) != SECSuccess)
        return FailWithNssError("PK11_CreateDigestContext");
    *phHash = next_handle_++;
    hashes_[*phHash] = std::move(hash);
    return TRUE;
}

BOOL NssCertPlatform::CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD) {
    auto it = hashes_.find(hHash);
    if (it == hashes_.end()) return Fail(NTE_BAD_HASH);
    Hash& hash = *it->second;
    if (!hash.value.empty()) return Fail(NTE_BAD_HASH_STATE);  // already finished
    if (dwDataLen == 0) return TRUE;
    if (pbData == nullptr) return Fail(E_INVALIDARG);
    if (PK11_DigestOp(hash.digest.get(), pbData, dwDataLen) != SECSuccess)
        return FailWithNssError("PK11_DigestOp");
    return TRUE;
}

BOOL NssCertPlatform::CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData,
                                        DWORD* pdwDataLen, DWORD) {
    auto it = hashes_.find(hHash);
    if (it == hashes_.end()) return Fail(NTE_BAD_HASH);
    Hash& hash = *it->second;
    if (dwParam == HP_ALGID)
        return cert_internal::ReturnBytes(reinterpret_cast<const uint8_t*>(&hash.alg),
                                          sizeof hash.alg, pbData, pdwDataLen);
    if (dwParam != HP_HASHVAL && dwParam != HP_HASHSIZE) return Fail(NTE_BAD_TYPE);
    if (hash.value.empty()) {
        unsigned char value[HASH_LENGTH_MAX];
        unsigned length = 0;
        if (pbData == nullptr && dwParam == HP_HASHVAL) {
            // A size query leaves the hash open; only reading the value finishes it.
            const DWORD size = HASH_ResultLenByOidTag(hash.tag);
            return cert_internal::ReturnBytes(nullptr, size, nullptr, pdwDataLen);
        }
        if (dwParam == HP_HASHVAL) {
            if (PK11_DigestFinal(hash.digest.get(), value, &length, sizeof value) != SECSuccess)
                return FailWithNssError("PK11_DigestFinal");
            hash.value.assign(value, value + length);
        } else {
            const DWORD size = HASH_ResultLenByOidTag(hash.tag);
            return cert_internal::ReturnBytes(reinterpret_cast<const uint8_t*>(&size), sizeof size,
                                              pbData, pdwDataLen);
        }
    }
    if (dwParam == HP_HASHSIZE) {
        const DWORD size = static_cast<DWORD>(hash.value.size());
        return cert_internal::ReturnBytes(reinterpret_cast<const uint8_t*>(&size), sizeof size,
                                          pbData, pdwDataLen);
    }
    return cert_internal::ReturnBytes(hash.value.data(), hash.value.size(), pbData, pdwDataLen);
}

bool NssCertPlatform::Login(Provider* provider) {
    PK11SlotInfo* slot = provider->slot.get();
    if (!PK11_NeedLogin(slot) || PK11_IsLoggedIn(slot, nullptr)) return true;
    bool failed_before = false;
    for (;;) {
        PinPromptRequest request;
        request.token_name = provider->token_name;
        request.previous_attempt_failed = failed_before;
        CK_TOKEN_INFO info{};
        if (PK11_GetTokenInfo(slot, &info) == SECSuccess && (info.flags & CKF_USER_PIN_FINAL_TRY))
            request.retries_left = 1;
        std::string pin;
        const PinPromptResult answer = AskForPin(request, &pin);
        if (answer != PinPromptResult::kOk) {
            OPENSSL_cleanse(pin.data(), pin.size());
            FAILED_STEP(kUnit, "AskForPin", HRESULT_CANCELLED, "cancelled");
            SetLastError(ERROR_CANCELLED);
            return false;
        }
        const SECStatus status = PK11_CheckUserPassword(slot, pin.c_str());
        OPENSSL_cleanse(pin.data(), pin.size());
        if (status == SECSuccess) return true;
        if (PORT_GetError() != SEC_ERROR_BAD_PASSWORD) {
            FailWithNssError("PK11_CheckUserPassword");
            return false;
        }
        failed_before = true;  // a wrong PIN: ask again, saying so
    }
}

BOOL NssCertPlatform::CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR, DWORD,
                                     BYTE* pbSignature, DWORD* pdwSigLen) {
    auto it = hashes_.find(hHash);
    if (it == hashes_.end()) return Fail(NTE_BAD_HASH);
    if (pdwSigLen == nullptr) return Fail(E_INVALIDARG);
    Hash& hash = *it->second;
    Provider* provider = FindProvider(hash.provider);
    if (provider == nullptr) return Fail(NTE_BAD_UID);
    if (dwKeySpec != provider->key_spec) return Fail(NTE_NO_KEY);
    // The key is used now: this is where a token that needs a login asks for its PIN.
    if (!Login(provider)) return FALSE;
    SECItem key_id = ItemOf(provider->key_id.data(), provider->key_id.size());
    PrivateKeyPtr key(PK11_FindKeyByKeyID(provider->slot.get(), &key_id, nullptr));
    if (!key) return FailWithNssError("PK11_FindKeyByKeyID");
    if (SECKEY_GetPrivateKeyType(key.get()) != rsaKey) return Fail(NTE_BAD_KEY);
    const int length = PK11_SignatureLen(key.get());
    if (length <= 0) return FailWithNssError("PK11_SignatureLen");
    if (pbSignature == nullptr) {
        *pdwSigLen = static_cast<DWORD>(length);
        return TRUE;
    }
    if (*pdwSigLen < static_cast<DWORD>(length)) {
        *pdwSigLen = static_cast<DWORD>(length);
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    if (hash.value.empty()) {
        DWORD size = HASH_LENGTH_MAX;
        std::vector<uint8_t> value(size);
        if (!CryptGetHashParam(hHash, HP_HASHVAL, value.data(), &size, 0)) return FALSE;
    }
    // PKCS#1 v1.5 (CKM_RSA_PKCS) over the DigestInfo of the hash (RFC 8017, 9.2). The DigestInfo
    // is built here, so the token signs whatever digest the caller chose, MD5 included.
    const HashAlgorithm* algorithm = FindHashAlgorithm(hash.alg);
    std::vector<uint8_t> digest_info(algorithm->prefix,
                                     algorithm->prefix + algorithm->prefix_length);
    digest_info.insert(digest_info.end(), hash.value.begin(), hash.value.end());
    SECItem data = ItemOf(digest_info.data(), digest_info.size());
    std::vector<uint8_t> signature(static_cast<size_t>(length));
    SECItem result = ItemOf(signature.data(), signature.size());
    if (PK11_Sign(key.get(), &result, &data) != SECSuccess) return FailWithNssError("PK11_Sign");
    // The calling code expects the signature least significant byte first.
    for (unsigned i = 0; i < result.len; ++i) pbSignature[i] = signature[result.len - 1 - i];
    *pdwSigLen = result.len;
    return TRUE;
}

BOOL NssCertPlatform::CryptDestroyHash(HCRYPTHASH hHash) {
    if (hashes_.erase(hHash) == 0) return Fail(NTE_BAD_HASH);
    return TRUE;
}

BOOL NssCertPlatform::CryptReleaseContext(HCRYPTPROV hProv, DWORD) {
    if (providers_.erase(hProv) == 0) return Fail(NTE_BAD_UID);
    return TRUE;
}
