// Certificate stores, the answers of a platform without keys, the platform in use and the free
// functions that forward to it.
#include <cstring>
#include <new>

#include "platform/crypt/CertInternal.h"
#include "platform/crypt/SystemCertPlatform.h"
#include "platform/runtime/LastError.h"
#include "platform/runtime/WideString.h"

namespace cert_internal {
bool IsStore(HCERTSTORE store) { return store != nullptr && store->magic == CertStore::kMagic; }
}  // namespace cert_internal

using cert_internal::IsStore;

void SetStoreReadOnly(HCERTSTORE hCertStore, bool read_only) {
    if (IsStore(hCertStore)) hCertStore->read_only = read_only;
}

HCERTSTORE CertPlatform::CertOpenStore(CERT_STORE_PROV lpszStoreProvider, DWORD, HCRYPTPROV,
                                       DWORD dwFlags, const void* pvPara) {
    if (lpszStoreProvider == CERT_STORE_PROV_MEMORY) {
        auto* store = new (std::nothrow) CertStore();
        if (store == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return store;
    }
    if (lpszStoreProvider == CERT_STORE_PROV_SYSTEM_W) {
        if (pvPara == nullptr) {
            SetLastErrorCode(E_INVALIDARG);
            return nullptr;
        }
        return OpenSystemStore(static_cast<const char16_t*>(pvPara), dwFlags);
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
}

HCERTSTORE CertPlatform::OpenSystemStore(const char16_t* pwszStoreName, DWORD) {
    if (WcsICmp(pwszStoreName, u"MY") != 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    SetStoreReadOnly(store, true);
    return store;
}

BOOL CertPlatform::CertCloseStore(HCERTSTORE hCertStore, DWORD) {
    if (hCertStore == nullptr) return TRUE;
    if (!IsStore(hCertStore)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    for (PCCERT_CONTEXT context : hCertStore->certificates) CertFreeCertificateContext(context);
    hCertStore->magic = 0;
    delete hCertStore;
    return TRUE;
}

PCCERT_CONTEXT CertPlatform::CertEnumCertificatesInStore(HCERTSTORE hCertStore,
                                                         PCCERT_CONTEXT pPrevCertContext) {
    if (!IsStore(hCertStore)) {
        CertFreeCertificateContext(pPrevCertContext);
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const auto& list = hCertStore->certificates;
    size_t next = 0;
    if (pPrevCertContext != nullptr) {
        next = list.size();
        for (size_t i = 0; i < list.size(); ++i) {
            if (list[i] == pPrevCertContext) {
                next = i + 1;
                break;
            }
        }
        CertFreeCertificateContext(pPrevCertContext);
    }
    if (next >= list.size()) {
        SetLastErrorCode(CRYPT_E_NOT_FOUND);
        return nullptr;
    }
    return CertDuplicateCertificateContext(list[next]);
}

BOOL CertPlatform::CertAddCertificateContextToStore(HCERTSTORE hCertStore,
                                                    PCCERT_CONTEXT pCertContext,
                                                    DWORD dwAddDisposition,
                                                    PCCERT_CONTEXT* ppStoreContext) {
    if (ppStoreContext != nullptr) *ppStoreContext = nullptr;
    if (!IsStore(hCertStore) || cert_internal::ContextObject(pCertContext) == nullptr) {
        SetLastErrorCode(E_INVALIDARG);
        return FALSE;
    }
    if (hCertStore->read_only) {
        SetLastErrorCode(result_detail::Code(0x80070005u));  // E_ACCESSDENIED
        return FALSE;
    }
    auto& list = hCertStore->certificates;
    PCCERT_CONTEXT* existing = nullptr;
    for (PCCERT_CONTEXT& held : list) {
        if (held->cbCertEncoded == pCertContext->cbCertEncoded &&
            std::memcmp(held->pbCertEncoded, pCertContext->pbCertEncoded, held->cbCertEncoded) ==
                0) {
            existing = &held;
            break;
        }
    }
    PCCERT_CONTEXT stored = nullptr;
    switch (dwAddDisposition) {
        case CERT_STORE_ADD_NEW:
            if (existing != nullptr) {
                SetLastErrorCode(result_detail::Code(0x80092005u));  // CRYPT_E_EXISTS
                return FALSE;
            }
            [[fallthrough]];
        case CERT_STORE_ADD_ALWAYS:
            stored = CertDuplicateCertificateContext(pCertContext);
            if (stored == nullptr) return FALSE;
            list.push_back(stored);
            break;
        case CERT_STORE_ADD_USE_EXISTING:
            if (existing != nullptr) {
                stored = *existing;
            } else {
                stored = CertDuplicateCertificateContext(pCertContext);
                if (stored == nullptr) return FALSE;
                list.push_back(stored);
            }
            break;
        case CERT_STORE_ADD_REPLACE_EXISTING:
            stored = CertDuplicateCertificateContext(pCertContext);
            if (stored == nullptr) return FALSE;
            if (existing != nullptr) {
                CertFreeCertificateContext(*existing);
                *existing = stored;
            } else {
                list.push_back(stored);
            }
            break;
        default:
            SetLastErrorCode(E_INVALIDARG);
            return FALSE;
    }
    if (ppStoreContext != nullptr) *ppStoreContext = CertDuplicateCertificateContext(stored);
    return TRUE;
}

// ---- A machine without keys or providers -----------------------------------------------------

BOOL CertPlatform::CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT, DWORD, void*,
                                                     HCRYPTPROV* phCryptProv, DWORD*, BOOL*) {
    if (phCryptProv != nullptr) *phCryptProv = 0;
    SetLastErrorCode(CRYPT_E_NO_KEY_PROPERTY);
    return FALSE;
}

BOOL CertPlatform::CryptEnumProvidersW(DWORD, DWORD*, DWORD, DWORD*, LPWSTR, DWORD*) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}

BOOL CertPlatform::CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR, LPCWSTR, DWORD, DWORD) {
    if (phProv != nullptr) *phProv = 0;
    SetLastErrorCode(NTE_KEYSET_NOT_DEF);
    return FALSE;
}

namespace {
BOOL UnknownHandle() {
    SetLastErrorCode(NTE_BAD_UID);
    return FALSE;
}
}  // namespace

BOOL CertPlatform::CryptGetProvParam(HCRYPTPROV, DWORD, BYTE*, DWORD*, DWORD) {
    return UnknownHandle();
}
BOOL CertPlatform::CryptGetUserKey(HCRYPTPROV, DWORD, HCRYPTKEY*) { return UnknownHandle(); }
BOOL CertPlatform::CryptGetKeyParam(HCRYPTKEY, DWORD, BYTE*, DWORD*, DWORD) {
    return UnknownHandle();
}
BOOL CertPlatform::CryptDestroyKey(HCRYPTKEY) { return UnknownHandle(); }
BOOL CertPlatform::CryptCreateHash(HCRYPTPROV, ALG_ID, HCRYPTKEY, DWORD, HCRYPTHASH* phHash) {
    if (phHash != nullptr) *phHash = 0;
    return UnknownHandle();
}
BOOL CertPlatform::CryptHashData(HCRYPTHASH, const BYTE*, DWORD, DWORD) { return UnknownHandle(); }
BOOL CertPlatform::CryptGetHashParam(HCRYPTHASH, DWORD, BYTE*, DWORD*, DWORD) {
    return UnknownHandle();
}
BOOL CertPlatform::CryptSignHashW(HCRYPTHASH, DWORD, LPCWSTR, DWORD, BYTE*, DWORD*) {
    return UnknownHandle();
}
BOOL CertPlatform::CryptDestroyHash(HCRYPTHASH) { return UnknownHandle(); }
BOOL CertPlatform::CryptReleaseContext(HCRYPTPROV, DWORD) { return UnknownHandle(); }

// ---- The platform in use ---------------------------------------------------------------------

namespace {
CertPlatform* g_installed_platform = nullptr;
}  // namespace

CertPlatform& CurrentCertPlatform() {
    return g_installed_platform != nullptr ? *g_installed_platform : ProductionCertPlatform();
}

CertPlatform* SetCertPlatform(CertPlatform* platform) {
    CertPlatform* previous = g_installed_platform;
    g_installed_platform = platform;
    return previous;
}

void ReleaseCertPlatformResources() { ProductionCertPlatform().ReleaseResources(); }

// ---- Free functions --------------------------------------------------------------------------

HCERTSTORE CertOpenStore(CERT_STORE_PROV lpszStoreProvider, DWORD dwEncodingType,
                         HCRYPTPROV hCryptProv, DWORD dwFlags, const void* pvPara) {
    return CurrentCertPlatform().CertOpenStore(lpszStoreProvider, dwEncodingType, hCryptProv,
                                               dwFlags, pvPara);
}
BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags) {
    return CurrentCertPlatform().CertCloseStore(hCertStore, dwFlags);
}
PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pPrevCertContext) {
    return CurrentCertPlatform().CertEnumCertificatesInStore(hCertStore, pPrevCertContext);
}
PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext) {
    return CurrentCertPlatform().CertDuplicateCertificateContext(pCertContext);
}
BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
    return CurrentCertPlatform().CertFreeCertificateContext(pCertContext);
}
BOOL CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext,
                                      DWORD dwAddDisposition, PCCERT_CONTEXT* ppStoreContext) {
    return CurrentCertPlatform().CertAddCertificateContextToStore(hCertStore, pCertContext,
                                                                  dwAddDisposition, ppStoreContext);
}
PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE* pbCertEncoded,
                                            DWORD cbCertEncoded) {
    return CurrentCertPlatform().CertCreateCertificateContext(dwCertEncodingType, pbCertEncoded,
                                                              cbCertEncoded);
}
DWORD CertNameToStrW(DWORD dwCertEncodingType, const CERT_NAME_BLOB* pName, DWORD dwStrType,
                     LPWSTR psz, DWORD csz) {
    return CurrentCertPlatform().CertNameToStrW(dwCertEncodingType, pName, dwStrType, psz, csz);
}
DWORD CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags,
                         const void* pvTypePara, LPWSTR pszNameString, DWORD cchNameString) {
    return CurrentCertPlatform().CertGetNameStringW(pCertContext, dwType, dwFlags, pvTypePara,
                                                    pszNameString, cchNameString);
}
PCERT_EXTENSION CertFindExtension(LPCSTR pszObjId, DWORD cExtensions,
                                  CERT_EXTENSION* rgExtensions) {
    return CurrentCertPlatform().CertFindExtension(pszObjId, cExtensions, rgExtensions);
}
BOOL CryptDecodeObjectEx(DWORD dwCertEncodingType, CRYPT_STRUCT_TYPE lpszStructType,
                         const BYTE* pbEncoded, DWORD cbEncoded, DWORD dwFlags,
                         const void* pDecodePara, void* pvStructInfo, DWORD* pcbStructInfo) {
    return CurrentCertPlatform().CryptDecodeObjectEx(dwCertEncodingType, lpszStructType, pbEncoded,
                                                     cbEncoded, dwFlags, pDecodePara, pvStructInfo,
                                                     pcbStructInfo);
}
BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, void* pvData,
                                       DWORD* pcbData) {
    return CurrentCertPlatform().CertGetCertificateContextProperty(pCertContext, dwPropId, pvData,
                                                                   pcbData);
}
BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, DWORD dwFlags,
                                       const void* pvData) {
    return CurrentCertPlatform().CertSetCertificateContextProperty(pCertContext, dwPropId, dwFlags,
                                                                   pvData);
}
LONG CertVerifyTimeValidity(const FILETIME* pTimeToVerify, const CERT_INFO* pCertInfo) {
    return CurrentCertPlatform().CertVerifyTimeValidity(pTimeToVerify, pCertInfo);
}
BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT pCert, DWORD dwFlags, void* pvParameters,
                                       HCRYPTPROV* phCryptProv, DWORD* pdwKeySpec,
                                       BOOL* pfCallerFreeProv) {
    return CurrentCertPlatform().CryptAcquireCertificatePrivateKey(
        pCert, dwFlags, pvParameters, phCryptProv, pdwKeySpec, pfCallerFreeProv);
}
BOOL CryptEnumProvidersW(DWORD dwIndex, DWORD* pdwReserved, DWORD dwFlags, DWORD* pdwProvType,
                         LPWSTR szProvName, DWORD* pcbProvName) {
    return CurrentCertPlatform().CryptEnumProvidersW(dwIndex, pdwReserved, dwFlags, pdwProvType,
                                                     szProvName, pcbProvName);
}
BOOL CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider,
                          DWORD dwProvType, DWORD dwFlags) {
    return CurrentCertPlatform().CryptAcquireContextW(phProv, szContainer, szProvider, dwProvType,
                                                      dwFlags);
}
BOOL CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                       DWORD dwFlags) {
    return CurrentCertPlatform().CryptGetProvParam(hProv, dwParam, pbData, pdwDataLen, dwFlags);
}
BOOL CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
    return CurrentCertPlatform().CryptGetUserKey(hProv, dwKeySpec, phUserKey);
}
BOOL CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                      DWORD dwFlags) {
    return CurrentCertPlatform().CryptGetKeyParam(hKey, dwParam, pbData, pdwDataLen, dwFlags);
}
BOOL CryptDestroyKey(HCRYPTKEY hKey) { return CurrentCertPlatform().CryptDestroyKey(hKey); }
BOOL CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                     HCRYPTHASH* phHash) {
    return CurrentCertPlatform().CryptCreateHash(hProv, Algid, hKey, dwFlags, phHash);
}
BOOL CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags) {
    return CurrentCertPlatform().CryptHashData(hHash, pbData, dwDataLen, dwFlags);
}
BOOL CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                       DWORD dwFlags) {
    return CurrentCertPlatform().CryptGetHashParam(hHash, dwParam, pbData, pdwDataLen, dwFlags);
}
BOOL CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription, DWORD dwFlags,
                    BYTE* pbSignature, DWORD* pdwSigLen) {
    return CurrentCertPlatform().CryptSignHashW(hHash, dwKeySpec, szDescription, dwFlags,
                                                pbSignature, pdwSigLen);
}
BOOL CryptDestroyHash(HCRYPTHASH hHash) { return CurrentCertPlatform().CryptDestroyHash(hHash); }
BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
    return CurrentCertPlatform().CryptReleaseContext(hProv, dwFlags);
}
BOOL CryptEncodeObject(DWORD dwCertEncodingType, CRYPT_STRUCT_TYPE lpszStructType,
                       const void* pvStructInfo, BYTE* pbEncoded, DWORD* pcbEncoded) {
    return CurrentCertPlatform().CryptEncodeObject(dwCertEncodingType, lpszStructType, pvStructInfo,
                                                   pbEncoded, pcbEncoded);
}
