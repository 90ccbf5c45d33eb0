#include "verification/PKCS7SignedDataOperations.h"

#include <cstdlib>
#include <cstring>

#include "common/ResultCodes.h"
#include "common/Trace.h"
#include "verification/ASN1EngineEx.h"
#include "verification/VerifyCommon.h"

static constexpr char kUnit[] = "PKCS7SignedDataOperations";

namespace {

// Content-type identifiers compared as raw content bytes: RFC 2315 signedData and the GM/T 0010
// SM2 signedData.
constexpr uint8_t kPKCS7SignedDataOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
constexpr uint8_t kSM2SignedDataOid[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55,
                                         0x06, 0x01, 0x04, 0x02, 0x02};
constexpr uint8_t kTagInteger = 0x02;
constexpr uint8_t kTagOctetString = 0x04;
constexpr uint8_t kTagSequence = 0x30;
constexpr uint8_t kTagSet = 0x31;
constexpr uint8_t kTagContext0 = 0xA0;
// Shorter integers than this cannot come from a 256-bit signature but for a vanishing chance.
constexpr uint32_t kMinRSIntegerSize = 28;
constexpr uint32_t kSM2CoordinateSize = 32;
constexpr int kMinSM2Q1Size = 66;
constexpr int kMaxSM2Q1Size = 72;

bool ContentStartsWith(const ASN1DecodeNodeEx* pNode, const uint8_t* pbyPrefix, size_t nSize) {
    return pNode->dwValueLength >= nSize && std::memcmp(pNode->Content(), pbyPrefix, nSize) == 0;
}

bool SameContent(const ASN1DecodeNodeEx* a, const ASN1DecodeNodeEx* b) {
    return a->dwValueLength == b->dwValueLength &&
           std::memcmp(a->Content(), b->Content(), a->dwValueLength) == 0;
}

// Right-aligns the last (at most) 32 bytes of an integer into one half of r || s: a 33-byte value
// loses its leading sign byte, a shorter one is padded with zeros in front.
void PlaceCoordinate(uint8_t* pbyHalf, const ASN1DecodeNodeEx* pInteger) {
    const uint32_t nSize = pInteger->dwValueLength;
    const uint32_t nCopy = nSize < kSM2CoordinateSize ? nSize : kSM2CoordinateSize;
    std::memcpy(pbyHalf + kSM2CoordinateSize - nCopy, pInteger->Content() + nSize - nCopy, nCopy);
}

// The serial number of a certificate element: tbsCertificate's second element.
const ASN1DecodeNodeEx* CertificateSerial(const ASN1DecodeNodeEx* pCert) {
    if (pCert->vetNodes.empty() || pCert->vetNodes[0]->vetNodes.size() < 2) return nullptr;
    return pCert->vetNodes[0]->vetNodes[1].get();
}

// One zero byte more than the copy, so a copied text content is also NUL-terminated.
uint8_t* CopyBytes(const uint8_t* pbySource, uint32_t nSize) {
    auto* pbyCopy = static_cast<uint8_t*>(std::calloc(uint64_t{nSize} + 1, 1));
    if (pbyCopy != nullptr && nSize > 0) std::memcpy(pbyCopy, pbySource, nSize);
    return pbyCopy;
}

}  // namespace

// A failed structure check: logged with its step and reason "true".
#define REQUIRE_FORMAT(condition, step)                                    \
    do {                                                                   \
        if (!(condition)) {                                                \
            FAILED_STEP(kUnit, step, VELK_E_INVALID_PKCS7_FORMAT, "true"); \
            nResult = VELK_E_INVALID_PKCS7_FORMAT;                         \
            goto Exit;                                                     \
        }                                                                  \
        OK_STEP(kUnit, step);                                              \
    } while (0)

int ParsePKCS7Signature(uint8_t** ppbyCert, int* pnCertSize, const uint8_t* pbyDER, int nDERSize,
                        uint8_t** ppbyRawSignature, int* pnRawSignatureSize,
                        uint8_t** ppbySourceData, int* pnSourceDataSize) {
    TRACE_SCOPE_A();
    int nResult = VELK_OK;
    ASN1DecodeNodeEx* pPKCS7 = nullptr;
    uint8_t* pbyCert = nullptr;
    uint8_t* pbyRawSignature = nullptr;
    uint8_t* pbySourceData = nullptr;
    uint32_t nCertSize = 0;
    uint32_t nSourceDataSize = 0;
    int nRawSignatureSize = 0;
    const ASN1DecodeNodeEx* pSignedData = nullptr;
    const ASN1DecodeNodeEx* pSignerInfos = nullptr;
    const ASN1DecodeNodeEx* pSignerInfo = nullptr;
    const ASN1DecodeNodeEx* pSignature = nullptr;
    size_t k = 0;

    nResult =
        DecodeASN1MemoryEx(pbyDER, nDERSize > 0 ? static_cast<uint32_t>(nDERSize) : 0, &pPKCS7);
    if (VELK_OK != nResult || NULL == pPKCS7) {
        FAILED_STEP(kUnit, "DecodeASN1MemoryEx", nResult, "VELK_OK != nResult || NULL == pPKCS7");
        nResult = kVerifyFailed;
        goto Exit;
    }
    OK_STEP(kUnit, "DecodeASN1MemoryEx");

    REQUIRE_FORMAT(pPKCS7->vetNodes.size() >= 2, "Check PKCS#7 nodes");
    REQUIRE_FORMAT(pPKCS7->vetNodes[1]->vetNodes.size() >= 1, "Check PKCS#7 'content [0]' nodes");
    pSignedData = pPKCS7->vetNodes[1]->vetNodes[0].get();
    REQUIRE_FORMAT(pSignedData->vetNodes.size() >= 5, "Check PKCS#7 'signedData' nodes");

    // contentInfo with a [0] element: the content is attached.
    if (pSignedData->vetNodes[2]->vetNodes.size() >= 2) {
        const ASN1DecodeNodeEx* pWrapper = pSignedData->vetNodes[2]->vetNodes[1].get();
        REQUIRE_FORMAT(!pWrapper->vetNodes.empty(), "Check PKCS#7 nodes");
        const ASN1DecodeNodeEx* pContent = pWrapper->vetNodes[0].get();
        if (pContent->vetNodes.size() == 1) pContent = pContent->vetNodes[0].get();
        nSourceDataSize = pContent->dwValueLength;
        pbySourceData = CopyBytes(pContent->Content(), nSourceDataSize);
        if (NULL == pbySourceData) {
            FAILED_STEP(kUnit, "New memory", kVerifyFailed, "!pbySourceData");
            nResult = kVerifyFailed;
            goto Exit;
        }
    }

    pSignerInfos = pSignedData->vetNodes.back().get();
    REQUIRE_FORMAT(pSignerInfos->bTag == kTagSet && !pSignerInfos->vetNodes.empty(),
                   "Check PKCS#7 'signerInfos' nodes");
    pSignerInfo = pSignerInfos->vetNodes[0].get();
    REQUIRE_FORMAT(pSignerInfo->vetNodes.size() >= 5, "Check PKCS#7 'signerInfo' nodes");

    if (pSignedData->vetNodes[3]->bTag == kTagContext0) {
        const ASN1DecodeNodeEx* pCertificates = pSignedData->vetNodes[3].get();
        const ASN1DecodeNodeEx* pCertFound = nullptr;
        if (pCertificates->vetNodes.size() == 1) {
            nCertSize = pCertificates->dwValueLength;
            pbyCert = CopyBytes(pCertificates->Content(), nCertSize);
        } else {
            const ASN1DecodeNodeEx* pVersion = pSignerInfo->vetNodes[0].get();
            REQUIRE_FORMAT(pVersion->bTag == kTagInteger && pVersion->dwLengthFieldSize == 1 &&
                               pVersion->dwValueLength >= 1 && pVersion->Content()[0] == 1,
                           "Check PKCS#7 'signerInfo/version' node");
            const auto& issuerAndSerial = pSignerInfo->vetNodes[1]->vetNodes;
            const ASN1DecodeNodeEx* pSerial =
                issuerAndSerial.size() >= 2 ? issuerAndSerial[1].get() : nullptr;
            for (size_t i = 0; pSerial != nullptr && i < pCertificates->vetNodes.size(); ++i) {
                const ASN1DecodeNodeEx* pCandidate = pCertificates->vetNodes[i].get();
                const ASN1DecodeNodeEx* pCandidateSerial = CertificateSerial(pCandidate);
                if (pCandidateSerial != nullptr && SameContent(pCandidateSerial, pSerial)) {
                    pCertFound = pCandidate;
                    break;
                }
            }
            // No match leaves the certificate empty; the key step then fails.
            if (pCertFound != nullptr) {
                nCertSize = pCertFound->dwTotalLength;
                pbyCert = CopyBytes(pCertFound->Element(), nCertSize);
            }
        }
        if ((pCertificates->vetNodes.size() == 1 || pCertFound != nullptr) && NULL == pbyCert) {
            FAILED_STEP(kUnit, "New memory", kVerifyFailed, "!pbyCert");
            nResult = kVerifyFailed;
            goto Exit;
        }
    }

    // The signature follows the optional [0] authenticated attributes.
    k = (pSignerInfo->vetNodes.size() >= 6 && pSignerInfo->vetNodes[3]->bTag == kTagContext0) ? 5
                                                                                              : 4;
    pSignature = pSignerInfo->vetNodes[k].get();
    if (pSignature->bTag == kTagOctetString) {
        const ASN1DecodeNodeEx* pContentType = pPKCS7->vetNodes[0].get();
        if (ContentStartsWith(pContentType, kPKCS7SignedDataOid, sizeof kPKCS7SignedDataOid)) {
            nRawSignatureSize = static_cast<int>(pSignature->dwValueLength);
            pbyRawSignature = CopyBytes(pSignature->Content(), pSignature->dwValueLength);
            if (NULL == pbyRawSignature) {
                FAILED_STEP(kUnit, "New memory", kVerifyFailed, "!pbyRawSignature");
                nResult = kVerifyFailed;
                goto Exit;
            }
        } else if (ContentStartsWith(pContentType, kSM2SignedDataOid, sizeof kSM2SignedDataOid)) {
            nResult = Decode_SM2Q1(pSignature->Content(), &pbyRawSignature,
                                   static_cast<int>(pSignature->dwValueLength), &nRawSignatureSize);
            if (VELK_OK != nResult) {
                FAILED_STEP(kUnit, "Decode_SM2Q1", nResult, "VELK_OK != nResult");
                goto Exit;
            }
            OK_STEP(kUnit, "Decode_SM2Q1");
        } else {
            REQUIRE_FORMAT(false, "Check PKCS#7 'contentType' nodes");
        }
    } else {
        const ASN1DecodeNodeEx* pR = nullptr;
        const ASN1DecodeNodeEx* pS = nullptr;
        if (pSignature->bTag == kTagSequence && pSignature->vetNodes.size() == 2) {
            pR = pSignature->vetNodes[0].get();
            pS = pSignature->vetNodes[1].get();
        } else {
            REQUIRE_FORMAT(pSignerInfo->vetNodes.size() == k + 2 &&
                               pSignerInfo->vetNodes[k]->bTag == kTagInteger &&
                               pSignerInfo->vetNodes[k + 1]->bTag == kTagInteger,
                           "Check PKCS#7 'signature' nodes");
            pR = pSignerInfo->vetNodes[k].get();
            pS = pSignerInfo->vetNodes[k + 1].get();
        }
        const uint32_t nRawSingatureRSize = pR->dwValueLength;
        const uint32_t nRawSingatureSSize = pS->dwValueLength;
        if (nRawSingatureRSize < kMinRSIntegerSize || nRawSingatureSSize < kMinRSIntegerSize) {
            FAILED_STEP(kUnit, "Check R/S size >= 28", VELK_E_INVALID_PKCS7_FORMAT,
                        "(nRawSingatureRSize < 28 || nRawSingatureSSize < 28)");
            nResult = VELK_E_INVALID_PKCS7_FORMAT;
            goto Exit;
        }
        OK_STEP(kUnit, "Check R/S size >= 28");
        pbyRawSignature = static_cast<uint8_t*>(std::calloc(SM2_RAW_RS_SIZE, 1));
        if (NULL == pbyRawSignature) {
            FAILED_STEP(kUnit, "New memory", kVerifyFailed, "!pbyRawSignature");
            nResult = kVerifyFailed;
            goto Exit;
        }
        PlaceCoordinate(pbyRawSignature, pR);
        PlaceCoordinate(pbyRawSignature + kSM2CoordinateSize, pS);
        nRawSignatureSize = SM2_RAW_RS_SIZE;
    }

    HandOut(ppbyCert, pbyCert);
    if (pnCertSize != nullptr) *pnCertSize = static_cast<int>(nCertSize);
    HandOut(ppbyRawSignature, pbyRawSignature);
    if (pnRawSignatureSize != nullptr) *pnRawSignatureSize = nRawSignatureSize;
    HandOut(ppbySourceData, pbySourceData);
    if (pnSourceDataSize != nullptr) *pnSourceDataSize = static_cast<int>(nSourceDataSize);

Exit:
    delete pPKCS7;
    std::free(pbyCert);
    std::free(pbyRawSignature);
    std::free(pbySourceData);
    return nResult;
}

int Decode_SM2Q1(const uint8_t* pbyDER, uint8_t** ppbyRawSignature, int nDERSize,
                 int* pnRawSignatureSize) {
    TRACE_SCOPE_A();
    int nResult = VELK_OK;
    ASN1DecodeNodeEx* pNodeSM2Q1 = nullptr;
    uint8_t* pbyRawSignature = nullptr;

    if (nDERSize < kMinSM2Q1Size || nDERSize > kMaxSM2Q1Size) {
        FAILED_STEP(kUnit, "Invalid SM2 Q1 signature size.", kVerifyFailed,
                    "(nDERSize < 66 || nDERSize > 72)");
        nResult = kVerifyFailed;
        goto Exit;
    }
    nResult = DecodeASN1MemoryEx(pbyDER, static_cast<uint32_t>(nDERSize), &pNodeSM2Q1);
    if (VELK_OK != nResult || NULL == pNodeSM2Q1) {
        FAILED_STEP(kUnit, "DecodeASN1MemoryEx", kVerifyFailed,
                    "VELK_OK != nResult || NULL == pNodeSM2Q1");
        nResult = kVerifyFailed;
        goto Exit;
    }
    if (pNodeSM2Q1->vetNodes.size() != 2) {
        FAILED_STEP(kUnit, "Invalid SM2 Q1 signature nodes number.", kVerifyFailed,
                    "pNodeSM2Q1->vetNodes.size() != 2");
        nResult = kVerifyFailed;
        goto Exit;
    }
    pbyRawSignature = static_cast<uint8_t*>(std::calloc(SM2_RAW_RS_SIZE, 1));
    if (NULL == pbyRawSignature) {
        FAILED_STEP(kUnit, "New memory", kVerifyFailed, "!pbyRawSignature");
        nResult = kVerifyFailed;
        goto Exit;
    }
    // Any integer length is taken here: the size check above already bounds the encoding.
    PlaceCoordinate(pbyRawSignature, pNodeSM2Q1->vetNodes[0].get());
    PlaceCoordinate(pbyRawSignature + kSM2CoordinateSize, pNodeSM2Q1->vetNodes[1].get());
    HandOut(ppbyRawSignature, pbyRawSignature);
    if (pnRawSignatureSize != nullptr) *pnRawSignatureSize = SM2_RAW_RS_SIZE;

Exit:
    delete pNodeSM2Q1;
    std::free(pbyRawSignature);
    return nResult;
}
