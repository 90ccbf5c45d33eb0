// RSA signing through the key's provider and the PKCS#7 SignedData around the signature
// (RFC 2315, section 9). The provider computes the digest and the signature; this unit chooses
// the algorithm identifiers, fixes the byte order and assembles the structure.
#pragma once

#include "platform/crypt/CertServices.h"
#include "platform/runtime/Types.h"
#include "platform/runtime/WideString.h"

// The digest ALG_ID's digest and signature object identifiers; false (outputs untouched) for an
// ALG_ID without an entry. The texts are static.
bool GetAlgorithmIdentifiers(const char** ppszSignatureOid, const char** ppszDigestOid,
                             ALG_ID algId);

// The whole RSA operation: the Base64 text of a DER ContentInfo holding the SignedData.
HRESULT SignBinaryData(BSTR* pbstrSignature, const BYTE* pbMessage, PCCERT_CONTEXT* ppCertContext,
                       DWORD cbMessage, ALG_ID algId, int bWithSource);

// Hashes the message in the certificate key's provider and signs the digest; the signature comes
// out most significant byte first, in a new buffer the caller frees.
HRESULT CalculateHashandSign(PCCERT_CONTEXT* ppCertContext, const BYTE* pbMessage, DWORD cbMessage,
                             ALG_ID algId, BYTE** ppbSignature, DWORD* pcbSignature);

// The platform encoding of one structure, in a new buffer of exactly its size.
HRESULT EncodeObject(const void* pvStructInfo, DWORD* pcbEncoded, CRYPT_STRUCT_TYPE lpszStructType,
                     BYTE** ppbEncoded);

// AlgorithmIdentifier { oid, NULL } (the parameters written as 05 00), in a new buffer.
HRESULT EncodeDigestAlgorithmIdentifier(const char* pszOid, BYTE** ppbEncoded, DWORD* pcbEncoded);

// Assembles the SignedData around a big-endian signature and hands out its Base64 text.
HRESULT EncapsulatePKCS7(PCCERT_CONTEXT* ppCertContext, const char* pszDigestOid,
                         const char* pszSignatureOid, const BYTE* pbMessage, DWORD cbMessage,
                         const BYTE* pbSignature, DWORD cbSignature, BSTR* pbstrText,
                         DWORD* pdwTextLength, int bAttach, DWORD dwBase64Flags);

// Reverses the bytes in place; providers keep integers least significant byte first.
void SwapByteOrder(BYTE* pbData, DWORD cbData);

// Feeds the message to the provider's hash in pieces of at most 16384 bytes (a token never gets
// a large message in one call); a message of length 0 makes no call.
HRESULT HashMessageInPieces(HCRYPTHASH hHash, const BYTE* pbMessage, DWORD cbMessage);

// CryptSignHashW in two calls: the size, then a zeroed buffer of exactly that size, handed out
// as the provider filled it (its byte order). A provider that reports size 0 gives no buffer and
// size 0; what that means is the caller's to decide.
HRESULT SignHashInTwoCalls(HCRYPTHASH hHash, DWORD dwKeySpec, BYTE** ppbSignature,
                           DWORD* pcbSignature);

// What distinguishes one SignedData family from another (RFC 2315 and its GM/T 0010 twin): the
// two content types and how the one SignerInfo is encoded from the signer record.
using PFN_ENCODE_SIGNER_INFO = HRESULT (*)(const CMSG_SIGNER_INFO* pSignerInfo, BYTE** ppbEncoded,
                                           DWORD* pcbEncoded);
struct SIGNED_DATA_PROFILE {
    const char* pszDataContentOid;
    const char* pszSignedDataContentOid;
    PFN_ENCODE_SIGNER_INFO pfnEncodeSignerInfo;
    const char* pszSignerInfoStep;  // trace step of that encoding
};

// ContentInfo { signedData, SignedData { 1, digestAlgorithms, contentInfo, certificates,
// signerInfos } } around the signer's certificate and the given encryptedDigest value, as Base64
// text in a new BSTR. The signer record is filled from the certificate's issuer and serial number.
HRESULT AssembleSignedData(const SIGNED_DATA_PROFILE& stProfile, PCCERT_CONTEXT* ppCertContext,
                           const char* pszDigestOid, const char* pszSignatureOid,
                           const BYTE* pbMessage, DWORD cbMessage, const BYTE* pbEncryptedHash,
                           DWORD cbEncryptedHash, BSTR* pbstrText, DWORD* pdwTextLength,
                           int bAttach, DWORD dwBase64Flags);
