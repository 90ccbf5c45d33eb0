// Certificate property queries: small readers that take one property out of a certificate context
// into a buffer of its own (malloc'ed, released by the caller with free), the dispatcher by kind,
// and the reader of one provider parameter.
#pragma once

#include "platform/crypt/CertServices.h"
#include "platform/runtime/Types.h"

// Kinds of QueryCertContextInfo; the numbers are part of the interface.
constexpr int CERTINFO_SUBJECT_DN = 1;
constexpr int CERTINFO_SUBJECT_SIMPLE = 2;
constexpr int CERTINFO_ISSUER_DN = 3;
constexpr int CERTINFO_SERIAL_NUMBER = 4;
constexpr int CERTINFO_PROVIDER_NAME = 5;
constexpr int CERTINFO_NOT_AFTER = 6;
constexpr int CERTINFO_NOT_BEFORE = 7;
constexpr int CERTINFO_SUBJECT_KEY_ID = 8;
constexpr int CERTINFO_KEY_USAGE = 9;
constexpr int CERTINFO_CONTAINER_NAME = 10;
constexpr int CERTINFO_CN = 11;

// pvData: for string and byte kinds the address of a pointer that receives the new buffer; for
// kinds 6 and 7 a SYSTEMTIME, for kind 9 a DWORD, both the caller's. pdwLength is optional for
// kinds 1, 2, 3, 4, 8, 9 and 11 and required for 5, 6, 7 and 10.
HRESULT QueryCertContextInfo(PCCERT_CONTEXT pCertContext, int nInfoType, void* pvData,
                             DWORD* pdwLength);

// Lengths of strings count characters including the terminator, except for the provider and
// container names (without it).
HRESULT GetCertSubject(PCCERT_CONTEXT pCertContext, char16_t** ppwszSubject, DWORD* pdwLength,
                       DWORD dwStrType);
HRESULT GetCertIssuer(PCCERT_CONTEXT pCertContext, char16_t** ppwszIssuer, DWORD* pdwLength);
HRESULT GetCertCN(PCCERT_CONTEXT pCertContext, char16_t** ppwszCN, DWORD* pdwLength);
HRESULT GetCertSerialNumber(PCCERT_CONTEXT pCertContext, BYTE** ppbSerialNumber, DWORD* pdwLength);
HRESULT GetCertSubjectKeyID(PCCERT_CONTEXT pCertContext, BYTE** ppbKeyID, DWORD* pdwLength);
HRESULT GetCertKeyUsage(PCCERT_CONTEXT pCertContext, DWORD* pdwKeyUsage, DWORD* pdwLength);
HRESULT GetCertProviderName(PCCERT_CONTEXT pCertContext, char16_t** ppwszName, DWORD* pdwLength);
HRESULT GetCertContainerName(PCCERT_CONTEXT pCertContext, char16_t** ppwszName, DWORD* pdwLength);
HRESULT GetCertToDate(PCCERT_CONTEXT pCertContext, SYSTEMTIME* pstTime, DWORD* pdwLength);
HRESULT GetCertFromDate(PCCERT_CONTEXT pCertContext, SYSTEMTIME* pstTime, DWORD* pdwLength);

// Reads one provider parameter (PP_NAME, PP_CONTAINER: NUL-terminated bytes) into a new buffer.
// The caller frees *ppbData whenever it is non-null, after success or failure.
HRESULT GetProviderInfo(HCRYPTPROV hProv, DWORD dwParam, BYTE** ppbData, DWORD* pdwLength);
