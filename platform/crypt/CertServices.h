// Certificate and key services with the calling contracts the certificate and signing code is
// written against: a false or null result plus the thread's last error
// (platform/runtime/LastError.h), two-call size queries (no buffer: the size; then a buffer of that
// size), serial numbers and signatures least significant byte first, reference-counted certificate
// contexts, UTF-16 text.
//
// Every free function below forwards to the current backend (platform/crypt/CertPlatform.h, which
// only the backends and the code that installs one include). The production backend keeps the
// personal store "MY" in the user's NSS database and signs with its tokens; tests may install an
// in-memory stand-in.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/ResultCodes.h"
#include "platform/runtime/Types.h"

using WORD = uint16_t;
using LONG = int32_t;
using ALG_ID = uint32_t;
using LPSTR = char*;
using LPCSTR = const char*;
using ULONG_PTR = uintptr_t;

// ---------------------------------------------------------------------------------------------
// Handles. Providers, keys and hashes are numbers that only the platform that issued them knows;
// 0 is never a valid handle.
struct CertStore;
using HCERTSTORE = CertStore*;
using HCRYPTPROV = ULONG_PTR;
using HCRYPTKEY = ULONG_PTR;
using HCRYPTHASH = ULONG_PTR;

// ---------------------------------------------------------------------------------------------
// Records.
struct CRYPTOAPI_BLOB {
    DWORD cbData;
    BYTE* pbData;
};
using CRYPT_INTEGER_BLOB = CRYPTOAPI_BLOB;  // integers: least significant byte first
using CRYPT_OBJID_BLOB = CRYPTOAPI_BLOB;
using CERT_NAME_BLOB = CRYPTOAPI_BLOB;  // DER of an X.500 Name
using CRYPT_DATA_BLOB = CRYPTOAPI_BLOB;
using CRYPT_DER_BLOB = CRYPTOAPI_BLOB;
using CRYPT_ATTR_BLOB = CRYPTOAPI_BLOB;
using PCRYPT_DATA_BLOB = CRYPT_DATA_BLOB*;

struct CRYPT_BIT_BLOB {
    DWORD cbData;
    BYTE* pbData;
    DWORD cUnusedBits;
};

// 100-nanosecond intervals since 1601-01-01 00:00:00 UTC.
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
using LPFILETIME = FILETIME*;

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;  // 0 = Sunday
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};
static_assert(sizeof(SYSTEMTIME) == 16);

struct CRYPT_ALGORITHM_IDENTIFIER {
    LPSTR pszObjId;
    CRYPT_OBJID_BLOB Parameters;  // DER of the parameters; empty = none given
};

struct CERT_PUBLIC_KEY_INFO {
    CRYPT_ALGORITHM_IDENTIFIER Algorithm;
    CRYPT_BIT_BLOB PublicKey;
};

struct CERT_EXTENSION {
    LPSTR pszObjId;
    BOOL fCritical;
    CRYPT_OBJID_BLOB Value;  // the content of extnValue (the extension's own DER)
};
using PCERT_EXTENSION = CERT_EXTENSION*;

struct CERT_INFO {
    DWORD dwVersion;  // 0 = v1, 2 = v3
    CRYPT_INTEGER_BLOB SerialNumber;
    CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
    CERT_NAME_BLOB Issuer;  // exactly as encoded in the certificate
    FILETIME NotBefore;
    FILETIME NotAfter;
    CERT_NAME_BLOB Subject;
    CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
    CRYPT_BIT_BLOB IssuerUniqueId;
    CRYPT_BIT_BLOB SubjectUniqueId;
    DWORD cExtension;
    PCERT_EXTENSION rgExtension;
};
using PCERT_INFO = CERT_INFO*;

// One X.509 certificate; every holder owns one reference (CertDuplicateCertificateContext adds
// one, CertFreeCertificateContext drops one). The fields stay valid while a reference is held.
struct CERT_CONTEXT {
    DWORD dwCertEncodingType;
    BYTE* pbCertEncoded;
    DWORD cbCertEncoded;
    PCERT_INFO pCertInfo;
    HCERTSTORE hCertStore;  // always null: a context does not depend on any store
};
using PCCERT_CONTEXT = const CERT_CONTEXT*;

struct CRYPT_KEY_PROV_PARAM {
    DWORD dwParam;
    BYTE* pbData;
    DWORD cbData;
    DWORD dwFlags;
};

// The key-provider property: where the certificate's private key lives.
struct CRYPT_KEY_PROV_INFO {
    LPWSTR pwszContainerName;
    LPWSTR pwszProvName;
    DWORD dwProvType;
    DWORD dwFlags;
    DWORD cProvParam;
    CRYPT_KEY_PROV_PARAM* rgProvParam;
    DWORD dwKeySpec;
};
using PCRYPT_KEY_PROV_INFO = CRYPT_KEY_PROV_INFO*;

struct CRYPT_ATTRIBUTE {
    LPSTR pszObjId;
    DWORD cValue;
    CRYPT_ATTR_BLOB* rgValue;  // DER of each value
};
using PCRYPT_ATTRIBUTE = CRYPT_ATTRIBUTE*;

struct CRYPT_ATTRIBUTES {
    DWORD cAttr;
    PCRYPT_ATTRIBUTE rgAttr;
};

// RFC 2315 ContentInfo; Content is the DER of the content, wrapped in [0] EXPLICIT when encoded.
struct CRYPT_CONTENT_INFO {
    LPSTR pszObjId;
    CRYPT_DER_BLOB Content;
};

// RFC 2315 SignerInfo.
struct CMSG_SIGNER_INFO {
    DWORD dwVersion;
    CERT_NAME_BLOB Issuer;
    CRYPT_INTEGER_BLOB SerialNumber;  // least significant byte first
    CRYPT_ALGORITHM_IDENTIFIER HashAlgorithm;
    CRYPT_ALGORITHM_IDENTIFIER HashEncryptionAlgorithm;
    CRYPT_DATA_BLOB EncryptedHash;  // most significant byte first, as it goes into the DER
    CRYPT_ATTRIBUTES AuthAttrs;
    CRYPT_ATTRIBUTES UnauthAttrs;
};

// Structure types of CryptEncodeObject and CryptDecodeObjectEx: either a predefined number or an
// object identifier string ("2.5.29.15").
struct CRYPT_STRUCT_TYPE {
    constexpr CRYPT_STRUCT_TYPE(const char* oid) : pszOid(oid), dwId(0) {}  // NOLINT: implicit
    constexpr explicit CRYPT_STRUCT_TYPE(DWORD id) : pszOid(nullptr), dwId(id) {}
    const char* pszOid;
    DWORD dwId;
};

// Store provider of CertOpenStore.
using CERT_STORE_PROV = ULONG_PTR;

// ---------------------------------------------------------------------------------------------
// Constants.
inline constexpr DWORD X509_ASN_ENCODING = 0x00000001;
inline constexpr DWORD PKCS_7_ASN_ENCODING = 0x00010000;

inline constexpr CERT_STORE_PROV CERT_STORE_PROV_MEMORY = 2;
inline constexpr CERT_STORE_PROV CERT_STORE_PROV_SYSTEM_W = 10;
inline constexpr DWORD CERT_SYSTEM_STORE_CURRENT_USER = 0x00010000;
inline constexpr DWORD CERT_STORE_READONLY_FLAG = 0x00008000;
inline constexpr DWORD CERT_STORE_ADD_NEW = 1;
inline constexpr DWORD CERT_STORE_ADD_USE_EXISTING = 2;
inline constexpr DWORD CERT_STORE_ADD_REPLACE_EXISTING = 3;
inline constexpr DWORD CERT_STORE_ADD_ALWAYS = 4;

inline constexpr DWORD CERT_SIMPLE_NAME_STR = 1;
inline constexpr DWORD CERT_OID_NAME_STR = 2;
inline constexpr DWORD CERT_X500_NAME_STR = 3;
inline constexpr DWORD CERT_NAME_STR_SEMICOLON_FLAG = 0x40000000;
inline constexpr DWORD CERT_NAME_STR_NO_PLUS_FLAG = 0x20000000;
inline constexpr DWORD CERT_NAME_STR_NO_QUOTING_FLAG = 0x10000000;
inline constexpr DWORD CERT_NAME_STR_CRLF_FLAG = 0x08000000;
inline constexpr DWORD CERT_NAME_STR_COMMA_FLAG = 0x04000000;
inline constexpr DWORD CERT_NAME_STR_REVERSE_FLAG = 0x02000000;

inline constexpr DWORD CERT_NAME_EMAIL_TYPE = 1;
inline constexpr DWORD CERT_NAME_RDN_TYPE = 2;
inline constexpr DWORD CERT_NAME_ATTR_TYPE = 3;
inline constexpr DWORD CERT_NAME_SIMPLE_DISPLAY_TYPE = 4;
inline constexpr DWORD CERT_NAME_FRIENDLY_DISPLAY_TYPE = 5;
inline constexpr DWORD CERT_NAME_ISSUER_FLAG = 0x1;

inline constexpr DWORD CERT_KEY_PROV_INFO_PROP_ID = 2;

inline constexpr DWORD CRYPT_ACQUIRE_CACHE_FLAG = 0x00000001;
inline constexpr DWORD CRYPT_ACQUIRE_SILENT_FLAG = 0x00000040;

inline constexpr DWORD AT_KEYEXCHANGE = 1;
inline constexpr DWORD AT_SIGNATURE = 2;

inline constexpr DWORD PROV_RSA_FULL = 1;
inline constexpr DWORD CRYPT_VERIFYCONTEXT = 0xF0000000;

inline constexpr DWORD PP_ENUMCONTAINERS = 2;
inline constexpr DWORD PP_IMPTYPE = 3;
inline constexpr DWORD PP_NAME = 4;
inline constexpr DWORD PP_CONTAINER = 6;
inline constexpr DWORD CRYPT_FIRST = 1;
inline constexpr DWORD CRYPT_NEXT = 2;

inline constexpr DWORD CRYPT_IMPL_HARDWARE = 1;
inline constexpr DWORD CRYPT_IMPL_SOFTWARE = 2;
inline constexpr DWORD CRYPT_IMPL_MIXED = 3;
inline constexpr DWORD CRYPT_IMPL_UNKNOWN = 4;
inline constexpr DWORD CRYPT_IMPL_REMOVABLE = 8;

inline constexpr DWORD KP_CERTIFICATE = 26;

inline constexpr DWORD HP_ALGID = 1;
inline constexpr DWORD HP_HASHVAL = 2;
inline constexpr DWORD HP_HASHSIZE = 4;

inline constexpr ALG_ID CALG_MD5 = 0x8003;
inline constexpr ALG_ID CALG_SHA1 = 0x8004;
inline constexpr ALG_ID CALG_SHA_256 = 0x800C;
inline constexpr ALG_ID CALG_SHA_384 = 0x800D;
inline constexpr ALG_ID CALG_SHA_512 = 0x800E;
inline constexpr ALG_ID CALG_SM3 = 0x800F;  // the SM2 providers' SM3 (GM/T 0004)

inline constexpr CRYPT_STRUCT_TYPE X509_KEY_USAGE{DWORD{14}};
inline constexpr CRYPT_STRUCT_TYPE PKCS_ATTRIBUTE{DWORD{22}};
inline constexpr CRYPT_STRUCT_TYPE X509_OCTET_STRING{DWORD{25}};
inline constexpr CRYPT_STRUCT_TYPE PKCS_CONTENT_INFO{DWORD{33}};
inline constexpr CRYPT_STRUCT_TYPE X509_ALGORITHM_IDENTIFIER{DWORD{74}};
// RFC 2315 SignerInfo. OpenSSL names its own SignerInfo type PKCS7_SIGNER_INFO, so the structure
// type goes by that name only in platform/crypt/SignerInfoStructType.h, for files that read no
// OpenSSL header.
inline constexpr CRYPT_STRUCT_TYPE kPkcs7SignerInfoStructType{DWORD{500}};

inline constexpr char szOID_KEY_USAGE[] = "2.5.29.15";
inline constexpr char szOID_SUBJECT_KEY_IDENTIFIER[] = "2.5.29.14";
inline constexpr char szOID_SUBJECT_ALT_NAME2[] = "2.5.29.17";

inline constexpr DWORD CRYPT_DECODE_NOCOPY_FLAG = 0x1;

// Key-usage bits: the first byte of the key-usage bit string (RFC 5280, 4.2.1.3).
inline constexpr BYTE CERT_DIGITAL_SIGNATURE_KEY_USAGE = 0x80;
inline constexpr BYTE CERT_NON_REPUDIATION_KEY_USAGE = 0x40;
inline constexpr BYTE CERT_KEY_ENCIPHERMENT_KEY_USAGE = 0x20;
inline constexpr BYTE CERT_DATA_ENCIPHERMENT_KEY_USAGE = 0x10;
inline constexpr BYTE CERT_KEY_AGREEMENT_KEY_USAGE = 0x08;
inline constexpr BYTE CERT_KEY_CERT_SIGN_KEY_USAGE = 0x04;
inline constexpr BYTE CERT_CRL_SIGN_KEY_USAGE = 0x02;

// Platform error values, as the thread's last error carries them (negative as HRESULTs, so the
// conversion rules keep them unchanged).
inline constexpr uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr HRESULT NTE_BAD_UID = result_detail::Code(0x80090001u);
inline constexpr HRESULT NTE_BAD_HASH = result_detail::Code(0x80090002u);
inline constexpr HRESULT NTE_BAD_KEY = result_detail::Code(0x80090003u);
inline constexpr HRESULT NTE_BAD_LEN = result_detail::Code(0x80090004u);
inline constexpr HRESULT NTE_BAD_DATA = result_detail::Code(0x80090005u);
inline constexpr HRESULT NTE_BAD_FLAGS = result_detail::Code(0x80090009u);
inline constexpr HRESULT NTE_BAD_TYPE = result_detail::Code(0x8009000Au);
inline constexpr HRESULT NTE_BAD_HASH_STATE = result_detail::Code(0x8009000Cu);
inline constexpr HRESULT NTE_NO_KEY = result_detail::Code(0x8009000Du);
inline constexpr HRESULT NTE_NO_MEMORY = result_detail::Code(0x8009000Eu);
inline constexpr HRESULT NTE_BAD_KEYSET = result_detail::Code(0x80090016u);
inline constexpr HRESULT NTE_PROV_TYPE_NOT_DEF = result_detail::Code(0x80090017u);
inline constexpr HRESULT NTE_KEYSET_NOT_DEF = result_detail::Code(0x80090019u);
inline constexpr HRESULT NTE_FAIL = result_detail::Code(0x80090020u);
inline constexpr HRESULT CRYPT_E_BAD_ENCODE = result_detail::Code(0x80092002u);
inline constexpr HRESULT CRYPT_E_NOT_FOUND = result_detail::Code(0x80092004u);
inline constexpr HRESULT CRYPT_E_NO_KEY_PROPERTY = result_detail::Code(0x8009200Bu);
inline constexpr HRESULT CRYPT_E_ASN1_CORRUPT = result_detail::Code(0x80093100u);
inline constexpr HRESULT CRYPT_E_ASN1_EOD = result_detail::Code(0x80093102u);
inline constexpr HRESULT CRYPT_E_ASN1_BADTAG = result_detail::Code(0x8009310Bu);
inline constexpr HRESULT SCARD_W_WRONG_CHV = result_detail::Code(0x8010006Bu);
inline constexpr HRESULT SCARD_W_CHV_BLOCKED = result_detail::Code(0x8010006Cu);
inline constexpr HRESULT SCARD_W_CANCELLED_BY_USER = result_detail::Code(0x8010006Eu);

// Sets the thread's last error to a platform value given as an HRESULT (or a plain number).
void SetLastErrorCode(HRESULT code);

// ---------------------------------------------------------------------------------------------
// The free functions (see the contract at the top). Unless stated, a failure returns FALSE/null
// and leaves the reason in the thread's last error.
HCERTSTORE CertOpenStore(CERT_STORE_PROV lpszStoreProvider, DWORD dwEncodingType,
                         HCRYPTPROV hCryptProv, DWORD dwFlags, const void* pvPara);
BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags);
// Next certificate after pPrevCertContext (null = the first); the previous one is released by the
// call. Null at the end (last error CRYPT_E_NOT_FOUND).
PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pPrevCertContext);
PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext);
BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);  // null is fine
BOOL CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext,
                                      DWORD dwAddDisposition, PCCERT_CONTEXT* ppStoreContext);
PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE* pbCertEncoded,
                                            DWORD cbCertEncoded);
// Returns the characters including the NUL; with a buffer, at most csz of them (the text is cut
// and always terminated). 0 on failure.
DWORD CertNameToStrW(DWORD dwCertEncodingType, const CERT_NAME_BLOB* pName, DWORD dwStrType,
                     LPWSTR psz, DWORD csz);
DWORD CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags,
                         const void* pvTypePara, LPWSTR pszNameString, DWORD cchNameString);
PCERT_EXTENSION CertFindExtension(LPCSTR pszObjId, DWORD cExtensions, CERT_EXTENSION* rgExtensions);
// "2.5.29.15" / X509_KEY_USAGE gives a CRYPT_BIT_BLOB, "2.5.29.14" and X509_OCTET_STRING a
// CRYPT_DATA_BLOB; the bytes follow the record in the same buffer.
BOOL CryptDecodeObjectEx(DWORD dwCertEncodingType, CRYPT_STRUCT_TYPE lpszStructType,
                         const BYTE* pbEncoded, DWORD cbEncoded, DWORD dwFlags,
                         const void* pDecodePara, void* pvStructInfo, DWORD* pcbStructInfo);
// CERT_KEY_PROV_INFO_PROP_ID: a CRYPT_KEY_PROV_INFO with its strings in the same buffer.
BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, void* pvData,
                                       DWORD* pcbData);
// Sets (pvData a CRYPT_KEY_PROV_INFO, copied) or removes (pvData null) the property.
BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, DWORD dwFlags,
                                       const void* pvData);
// -1 before NotBefore, 1 after NotAfter, 0 within; a null time is now.
LONG CertVerifyTimeValidity(const FILETIME* pTimeToVerify, const CERT_INFO* pCertInfo);

BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT pCert, DWORD dwFlags, void* pvParameters,
                                       HCRYPTPROV* phCryptProv, DWORD* pdwKeySpec,
                                       BOOL* pfCallerFreeProv);
// pcbProvName counts bytes including the NUL; ERROR_NO_MORE_ITEMS after the last provider.
BOOL CryptEnumProvidersW(DWORD dwIndex, DWORD* pdwReserved, DWORD dwFlags, DWORD* pdwProvType,
                         LPWSTR szProvName, DWORD* pcbProvName);
BOOL CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider,
                          DWORD dwProvType, DWORD dwFlags);
// PP_NAME, PP_CONTAINER, PP_ENUMCONTAINERS: NUL-terminated UTF-8; PP_IMPTYPE: a DWORD.
BOOL CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                       DWORD dwFlags);
BOOL CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey);
BOOL CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                      DWORD dwFlags);
BOOL CryptDestroyKey(HCRYPTKEY hKey);
BOOL CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                     HCRYPTHASH* phHash);
BOOL CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags);
BOOL CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                       DWORD dwFlags);
// RSA: PKCS#1 v1.5 over the hash, least significant byte first. SM2: 64 bytes, r then s, each
// least significant byte first.
BOOL CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription, DWORD dwFlags,
                    BYTE* pbSignature, DWORD* pdwSigLen);
BOOL CryptDestroyHash(HCRYPTHASH hHash);
BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);
BOOL CryptEncodeObject(DWORD dwCertEncodingType, CRYPT_STRUCT_TYPE lpszStructType,
                       const void* pvStructInfo, BYTE* pbEncoded, DWORD* pcbEncoded);

BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, SYSTEMTIME* lpSystemTime);
BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, FILETIME* lpFileTime);
// Converts a UTC time to the current time zone (lpTimeZoneInformation must be null).
BOOL SystemTimeToTzSpecificLocalTime(const void* lpTimeZoneInformation,
                                     const SYSTEMTIME* lpUniversalTime, SYSTEMTIME* lpLocalTime);
void GetSystemTimeAsFileTime(FILETIME* lpSystemTimeAsFileTime);

// Releases the production platform's state (closes the NSS database and shuts NSS down), for the
// owner of the process's lifetime to call when it ends its work; safe to call at any time.
void ReleaseCertPlatformResources();
