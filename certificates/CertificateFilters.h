// Certificate filters and the extraction of certificates from stores: the filter record, the
// certificate set, the checks a certificate must pass to be offered for signing.
#pragma once

#include <string>
#include <vector>

#include "platform/crypt/CertServices.h"
#include "platform/runtime/Types.h"

// What a certificate must satisfy; a null or 0 member switches its check off. The record owns
// none of the memory it points to.
struct CERTIFICATE_FILTER {
    const char16_t* lpwszSubjectDNFilter;  // subject values separated by "#"
    const char16_t* lpwszIssuerDNFilter;   // issuer values separated by "#"
    const char16_t* lpwszCSPNameFilter;    // provider names separated by "||"
    const BYTE* pbSubjectKeyID;            // compared over the certificate's identifier length
    const BYTE* pbSerialNumber;            // least significant byte first, compared likewise
    DWORD dwKeyUsage;                      // at least one of these key-usage bits must be set
    int32_t bCheckPrivateKey;              // exactly 1: the private key must be reachable
    const char* lpszSignatureAlgOID;       // prefix of the signature algorithm OID
    const FILETIME* pftCheckTime;          // UTC time at which the certificate must be valid
    // Bytes readable at pbSubjectKeyID / pbSerialNumber. A certificate value longer than that
    // does not match (the comparison never reads past the buffer); 0 = not given, the buffer is
    // taken to hold at least as many bytes as the certificate's value.
    DWORD cbSubjectKeyID;
    DWORD cbSerialNumber;
};

// Certificate contexts, each holding one reference the set owns, in insertion order.
using CertificateSet = std::vector<PCCERT_CONTEXT>;

// Splits at "#"; every piece (also an empty one) is a value, cut to 255 characters.
void ParseFilters(const char16_t* lpwszFilter, std::vector<std::u16string>& vtrFilters);

HRESULT CheckCertSubjectName(PCCERT_CONTEXT pCertContext, DWORD dwStrType,
                             const std::vector<std::u16string>& vtrSubjects);
HRESULT CheckCertIssuer(PCCERT_CONTEXT pCertContext, const std::vector<std::u16string>& vtrIssuers);
HRESULT CheckCertKeyUsage(DWORD dwKeyUsage, PCCERT_CONTEXT pCertContext);
// cbAvailable: the bytes readable at the filter pointer, 0 = not given (see CERTIFICATE_FILTER).
// No default, so no caller can leave the bound out by accident.
HRESULT CheckCertSubjectKeyID(const BYTE* pbSubjectKeyID, PCCERT_CONTEXT pCertContext,
                              DWORD cbAvailable);
HRESULT CheckCertSerialNumber(PCCERT_CONTEXT pCertContext, const BYTE* pbSerialNumber,
                              DWORD cbAvailable);
HRESULT CheckCertTimeValidity(const FILETIME* pftCheckTime, PCCERT_CONTEXT pCertContext);
HRESULT CheckCertSignatureAlg(const char* lpszSignatureAlgOID, PCCERT_CONTEXT pCertContext);
HRESULT CheckCSPName(PCCERT_CONTEXT pCertContext, const std::vector<std::u16string>& vtrCSPNames);

// The checks the personal-store and the container searches share, in their order: subject
// (X.500 form), issuer, key usage, key identifier and serial number (each bounded by the
// filter's buffer length), validity time, signature algorithm. The first failing check's result,
// else 0. The value lists are the filter's subject and issuer texts, already parsed.
HRESULT CheckCertificateAgainstFilter(PCCERT_CONTEXT pCertContext,
                                      const CERTIFICATE_FILTER& stFilter,
                                      const std::vector<std::u16string>& vtrSubjects,
                                      const std::vector<std::u16string>& vtrIssuers);

// Appends duplicates of the certificates of vtrIn that pass every check to vtrOut.
HRESULT FilterCertificates(const CERTIFICATE_FILTER* pFilter, CertificateSet& vtrOut,
                           CertificateSet vtrIn);
HRESULT ExtractCertificatesFromStore(HCERTSTORE hStore, CertificateSet& vtrOut);
HRESULT ExtractCertificatesFromLocalStore(CertificateSet& vtrOut);
HRESULT FilterCertificatesfromLocalStore(const CERTIFICATE_FILTER* pFilter, CertificateSet& vtrOut);
// Releases every certificate of the set and empties it.
void RemoveAllCertificates(CertificateSet& vtrSet);
