// Certificates kept inside a provider's key containers rather than in the user's certificate
// store. Such a certificate cannot lead the platform to its key by itself, so each one travels
// with the provider, container and key spec that hold the key.
#pragma once

#include <vector>

#include "certificates/CertificateFilters.h"
#include "platform/crypt/CertServices.h"
#include "platform/runtime/Types.h"

// Longest provider or container name a record holds, terminator included.
constexpr size_t kUnregisteredNameMax = 260;

struct UNREGISTERED_CERT_CONTEXT {
    WCHAR wszProviderName[kUnregisteredNameMax];
    WCHAR wszContainerName[kUnregisteredNameMax];
    DWORD dwKeySpec;              // AT_KEYEXCHANGE or AT_SIGNATURE
    PCCERT_CONTEXT pCertContext;  // one reference owned by the record
};

// Records in search order, each owned by the set.
using UnregisteredCertificateSet = std::vector<UNREGISTERED_CERT_CONTEXT*>;

// A name of kUnregisteredNameMax characters or more cannot be held and is refused with
// E_INVALIDARG rather than cut, since a cut name would open a different container.
HRESULT CertCreateUnregisteredCertContext(LPCWSTR lpwszContainerName, LPCWSTR lpwszProviderName,
                                          PCCERT_CONTEXT pCertContext, DWORD dwKeySpec,
                                          UNREGISTERED_CERT_CONTEXT** ppContext);
HRESULT CertDuplicateUnregisteredCertContext(const UNREGISTERED_CERT_CONTEXT* pSource,
                                             UNREGISTERED_CERT_CONTEXT** ppContext);
void CertFreeUnregisteredCertContext(UNREGISTERED_CERT_CONTEXT* pContext);
void RemoveAllUnregisteredCertificates(UnregisteredCertificateSet& vtrSet);

// Every installed provider's name joined by "||", in enumeration order (a new string to free).
HRESULT GetAllCSPName(WCHAR** ppwszAllCSPName);

HRESULT GetUnregisteredCertfromContainer(LPCWSTR lpwszProviderName, LPCWSTR lpwszContainerName,
                                         DWORD dwKeySpec, UNREGISTERED_CERT_CONTEXT** ppContext);

// 0 when the certificate passes the name, usage, key-id, serial, time and algorithm checks of
// the filter (which may be null); E_FAIL otherwise.
HRESULT CheckUnregisteredCertficate(PCCERT_CONTEXT pCertContext, const CERTIFICATE_FILTER* pFilter);

HRESULT FilterUnregisteredCertificatesfromSpecifiedCSP(LPCWSTR lpwszProviderName,
                                                       const CERTIFICATE_FILTER* pFilter,
                                                       UnregisteredCertificateSet& vtrSet);
// A null list searches every installed provider. Names containing "Microsoft" are skipped.
HRESULT FilterUnregisteredCertificatesfromCSP(LPCWSTR lpwszCSPList,
                                              const CERTIFICATE_FILTER* pFilter,
                                              UnregisteredCertificateSet& vtrSet);
