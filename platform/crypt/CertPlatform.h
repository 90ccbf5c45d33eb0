// The backend under the certificate and key services of platform/crypt/CertServices.h: one
// interface, one method per operation, each keeping the contract of the free function of the same
// name (the free functions forward to the current backend, platform/crypt/CertStore.cpp). Only
// backends include this header: the production one (SystemCertPlatform over NSS and the SM2
// providers), the NSS backend itself, and the tests' in-memory stand-in.
#pragma once

#include "platform/crypt/CertServices.h"

// The base class implements everything that needs no store or key (the certificate-only
// operations, memory stores, the encoder) and answers the rest like a machine with an empty
// personal store and no providers; a backend overrides what it supplies, and a test may override
// any operation to inject a fault.
class CertPlatform {
  public:
    CertPlatform() = default;
    virtual ~CertPlatform() = default;
    CertPlatform(const CertPlatform&) = delete;
    CertPlatform& operator=(const CertPlatform&) = delete;

    // Stores. CertOpenStore handles memory stores itself and asks OpenSystemStore for "MY".
    virtual HCERTSTORE CertOpenStore(CERT_STORE_PROV lpszStoreProvider, DWORD dwEncodingType,
                                     HCRYPTPROV hCryptProv, DWORD dwFlags, const void* pvPara);
    virtual BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags);
    virtual PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE hCertStore,
                                                       PCCERT_CONTEXT pPrevCertContext);
    virtual BOOL CertAddCertificateContextToStore(HCERTSTORE hCertStore,
                                                  PCCERT_CONTEXT pCertContext,
                                                  DWORD dwAddDisposition,
                                                  PCCERT_CONTEXT* ppStoreContext);

    // Contexts.
    virtual PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType,
                                                        const BYTE* pbCertEncoded,
                                                        DWORD cbCertEncoded);
    virtual PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext);
    virtual BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);
    virtual DWORD CertNameToStrW(DWORD dwCertEncodingType, const CERT_NAME_BLOB* pName,
                                 DWORD dwStrType, LPWSTR psz, DWORD csz);
    virtual DWORD CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags,
                                     const void* pvTypePara, LPWSTR pszNameString,
                                     DWORD cchNameString);
    virtual PCERT_EXTENSION CertFindExtension(LPCSTR pszObjId, DWORD cExtensions,
                                              CERT_EXTENSION* rgExtensions);
    virtual BOOL CryptDecodeObjectEx(DWORD dwCertEncodingType, CRYPT_STRUCT_TYPE lpszStructType,
                                     const BYTE* pbEncoded, DWORD cbEncoded, DWORD dwFlags,
                                     const void* pDecodePara, void* pvStructInfo,
                                     DWORD* pcbStructInfo);
    virtual BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId,
                                                   void* pvData, DWORD* pcbData);
    virtual BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId,
                                                   DWORD dwFlags, const void* pvData);
    virtual LONG CertVerifyTimeValidity(const FILETIME* pTimeToVerify, const CERT_INFO* pCertInfo);
    virtual BOOL CryptEncodeObject(DWORD dwCertEncodingType, CRYPT_STRUCT_TYPE lpszStructType,
                                   const void* pvStructInfo, BYTE* pbEncoded, DWORD* pcbEncoded);

    // Keys, providers, hashing and signing: what a platform supplies. The base answers as a
    // machine without keys: no certificate leads to a key (CRYPT_E_NO_KEY_PROPERTY), no provider
    // is installed (ERROR_NO_MORE_ITEMS, NTE_KEYSET_NOT_DEF), every handle is unknown.
    virtual BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT pCert, DWORD dwFlags,
                                                   void* pvParameters, HCRYPTPROV* phCryptProv,
                                                   DWORD* pdwKeySpec, BOOL* pfCallerFreeProv);
    virtual BOOL CryptEnumProvidersW(DWORD dwIndex, DWORD* pdwReserved, DWORD dwFlags,
                                     DWORD* pdwProvType, LPWSTR szProvName, DWORD* pcbProvName);
    virtual BOOL CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider,
                                      DWORD dwProvType, DWORD dwFlags);
    virtual BOOL CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                                   DWORD dwFlags);
    virtual BOOL CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey);
    virtual BOOL CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                                  DWORD dwFlags);
    virtual BOOL CryptDestroyKey(HCRYPTKEY hKey);
    virtual BOOL CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                                 HCRYPTHASH* phHash);
    virtual BOOL CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen,
                               DWORD dwFlags);
    virtual BOOL CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                                   DWORD dwFlags);
    virtual BOOL CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription,
                                DWORD dwFlags, BYTE* pbSignature, DWORD* pdwSigLen);
    virtual BOOL CryptDestroyHash(HCRYPTHASH hHash);
    virtual BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);

    // Drops whatever the platform keeps between requests (for NSS: the database is closed and
    // NSS shut down; the next request that needs it starts it again). Handles still open stay
    // valid only on platforms that keep no such state.
    virtual void ReleaseResources() {}

  protected:
    // The personal store ("MY"). The base gives an empty, read-only memory store.
    virtual HCERTSTORE OpenSystemStore(const char16_t* pwszStoreName, DWORD dwFlags);
};

// The platform the free functions use: the one set last, else the production platform (created
// on first use and destroyed at exit, which also shuts NSS down).
CertPlatform& CurrentCertPlatform();
// Installs a platform (null = back to production) and returns the previous one (null when it was
// the production platform). The caller keeps ownership.
CertPlatform* SetCertPlatform(CertPlatform* platform);

// Helpers for platforms: a read-only flag on memory stores (so the personal store refuses
// additions), and whether a store was opened read-only.
void SetStoreReadOnly(HCERTSTORE hCertStore, bool read_only);
