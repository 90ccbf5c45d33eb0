// SM2 signing with a key held in a provider's key container, and the SignedData of GM/T 0010
// around the signature (RFC 2315 layout, content types under 1.2.156.10197.6.1.4.2). The provider
// computes the SM3 digest (with the signer's Z value) and the signature; this unit turns the raw
// r || s into DER and assembles the structure, reusing the RSA unit's encoders.
#pragma once

#include "certificates/UnregisteredCertificates.h"
#include "platform/crypt/CertServices.h"
#include "platform/runtime/Types.h"
#include "platform/runtime/WideString.h"

// The whole SM2 operation: the Base64 text of a DER ContentInfo holding the SignedData. The key
// is the one the record names (provider, container, key spec); the digest is always SM3.
HRESULT SM2SignBinaryDatabyUnregisteredCert(const UNREGISTERED_CERT_CONTEXT* pContext,
                                            const BYTE* pbMessage, DWORD cbMessage, int bWithSource,
                                            const char* pszSignatureOid, BSTR* pbstrSignature);

// Hashes the message in the record's container and signs it: 64 bytes, r then s, each most
// significant byte first, in a new buffer the caller frees. A provider answer of any other size
// is refused with HRESULT_INVALID_DATA.
HRESULT SM2CalculateHashandSignbyUnregisteredCert(const UNREGISTERED_CERT_CONTEXT* pContext,
                                                  const BYTE* pbMessage, DWORD cbMessage,
                                                  BYTE** ppbSignature, DWORD* pcbSignature);

// encryptedDigest: OCTET STRING { SEQUENCE { INTEGER r, INTEGER s } } from the 64-byte r || s,
// each INTEGER in its minimal DER form (X.690, 8.3.2).
HRESULT SM2EncodeRawSignature(BYTE** ppbEncoded, DWORD* pcbEncoded, const BYTE* pbSignature,
                              DWORD cbSignature);

// AlgorithmIdentifier { oid, NULL }.
HRESULT SM2EncodeOID(const char* pszOid, BYTE** ppbEncoded, DWORD* pcbEncoded);

// SignerInfo { 1, issuerAndSerialNumber, digestAlgorithm, digestEncryptionAlgorithm,
// encryptedDigest } with no attributes; EncryptedHash holds the finished encryptedDigest element.
HRESULT SM2EncodeSignerInfo(const CMSG_SIGNER_INFO* pSignerInfo, BYTE** ppbEncoded,
                            DWORD* pcbEncoded);

// Assembles the SignedData around a finished encryptedDigest element and hands out its Base64.
HRESULT SM2EncapsulatePKCS7(PCCERT_CONTEXT* ppCertContext, const char* pszDigestOid,
                            const char* pszSignatureOid, const BYTE* pbMessage, DWORD cbMessage,
                            const BYTE* pbEncryptedDigest, DWORD cbEncryptedDigest, BSTR* pbstrText,
                            DWORD* pdwTextLength, int bAttach, DWORD dwBase64Flags);
