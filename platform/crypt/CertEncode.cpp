// The encoder behind CryptEncodeObject: the PKCS#7 pieces (RFC 2315) the signing code assembles
// a SignedData from, in DER (X.690).
#include <charconv>
#include <cstring>

#include "platform/crypt/CertInternal.h"
#include "platform/runtime/LastError.h"

namespace cert_internal {

void AppendLength(Bytes& out, size_t length) {
    if (length < 0x80) {
        out.push_back(static_cast<uint8_t>(length));
        return;
    }
    uint8_t octets[sizeof(size_t)];
    size_t count = 0;
    for (size_t rest = length; rest != 0; rest >>= 8) octets[count++] = static_cast<uint8_t>(rest);
    out.push_back(static_cast<uint8_t>(0x80 | count));
    while (count != 0) out.push_back(octets[--count]);
}

void AppendTlvHeader(Bytes& out, uint8_t tag, size_t length) {
    out.push_back(tag);
    AppendLength(out, length);
}

void AppendTlv(Bytes& out, uint8_t tag, const uint8_t* content, size_t length) {
    AppendTlvHeader(out, tag, length);
    if (length != 0) out.insert(out.end(), content, content + length);
}

bool EncodeOidContent(std::string_view dotted, Bytes* content) {
    std::vector<uint64_t> arcs;
    size_t pos = 0;
    while (pos <= dotted.size()) {
        const size_t dot = dotted.find('.', pos);
        const std::string_view arc =
            dotted.substr(pos, dot == std::string_view::npos ? std::string_view::npos : dot - pos);
        uint64_t value = 0;
        const auto [end, error] = std::from_chars(arc.data(), arc.data() + arc.size(), value);
        if (arc.empty() || error != std::errc() || end != arc.data() + arc.size()) return false;
        arcs.push_back(value);
        if (dot == std::string_view::npos) break;
        pos = dot + 1;
    }
    if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] >= 40) ||
        arcs[1] > UINT64_MAX - 80)
        return false;
    content->clear();
    auto append_arc = [content](uint64_t value) {
        uint8_t groups[10];
        size_t count = 0;
        do {
            groups[count++] = static_cast<uint8_t>(value & 0x7F);
            value >>= 7;
        } while (value != 0);
        while (count > 1) content->push_back(static_cast<uint8_t>(groups[--count] | 0x80));
        content->push_back(groups[0]);
    };
    append_arc(arcs[0] * 40 + arcs[1]);
    for (size_t i = 2; i < arcs.size(); ++i) append_arc(arcs[i]);
    return true;
}

}  // namespace cert_internal

namespace {

using cert_internal::AppendTlv;
using cert_internal::AppendTlvHeader;
using cert_internal::Bytes;

constexpr uint8_t kInteger = 0x02;
constexpr uint8_t kOctetString = 0x04;
constexpr uint8_t kNull = 0x05;
constexpr uint8_t kOid = 0x06;
constexpr uint8_t kSequence = 0x30;
constexpr uint8_t kSet = 0x31;
constexpr uint8_t kContext0 = 0xA0;
constexpr uint8_t kContext1 = 0xA1;

bool AppendOid(Bytes& out, const char* dotted) {
    Bytes content;
    if (dotted == nullptr || !cert_internal::EncodeOidContent(dotted, &content)) return false;
    AppendTlv(out, kOid, content);
    return true;
}

void AppendBlob(Bytes& out, const CRYPTOAPI_BLOB& blob) {
    if (blob.cbData != 0 && blob.pbData != nullptr)
        out.insert(out.end(), blob.pbData, blob.pbData + blob.cbData);
}

void AppendSmallInteger(Bytes& out, DWORD value) {
    Bytes content;
    for (DWORD rest = value; rest != 0; rest >>= 8)
        content.insert(content.begin(), static_cast<uint8_t>(rest));
    if (content.empty() || (content.front() & 0x80)) content.insert(content.begin(), 0);
    AppendTlv(out, kInteger, content);
}

// AlgorithmIdentifier (RFC 5280, 4.1.1.2). Empty parameters are written as NULL, which is what
// RFC 3279 asks for the RSA and hash identifiers and what verifiers of RSA signatures expect.
bool AppendAlgorithm(Bytes& out, const CRYPT_ALGORITHM_IDENTIFIER& algorithm) {
    Bytes content;
    if (!AppendOid(content, algorithm.pszObjId)) return false;
    if (algorithm.Parameters.cbData != 0 && algorithm.Parameters.pbData != nullptr) {
        AppendBlob(content, algorithm.Parameters);
    } else {
        content.push_back(kNull);
        content.push_back(0);
    }
    AppendTlv(out, kSequence, content);
    return true;
}

bool AppendAttributes(Bytes& out, uint8_t tag, const CRYPT_ATTRIBUTES& attributes);

bool AppendAttribute(Bytes& out, const CRYPT_ATTRIBUTE& attribute) {
    Bytes content;
    if (!AppendOid(content, attribute.pszObjId)) return false;
    Bytes values;
    for (DWORD i = 0; i < attribute.cValue && attribute.rgValue != nullptr; ++i)
        AppendBlob(values, attribute.rgValue[i]);
    AppendTlv(content, kSet, values);  // no values: the empty SET 31 00
    AppendTlv(out, kSequence, content);
    return true;
}

bool AppendAttributes(Bytes& out, uint8_t tag, const CRYPT_ATTRIBUTES& attributes) {
    if (attributes.cAttr == 0 || attributes.rgAttr == nullptr) return true;
    Bytes content;
    for (DWORD i = 0; i < attributes.cAttr; ++i)
        if (!AppendAttribute(content, attributes.rgAttr[i])) return false;
    AppendTlv(out, tag, content);
    return true;
}

// RFC 2315, 9.2: SignerInfo with issuerAndSerialNumber.
bool AppendSignerInfo(Bytes& out, const CMSG_SIGNER_INFO& signer) {
    Bytes content;
    AppendSmallInteger(content, signer.dwVersion);

    Bytes issuer_and_serial;
    if (signer.Issuer.cbData != 0 && signer.Issuer.pbData != nullptr) {
        AppendBlob(issuer_and_serial, signer.Issuer);
    } else {
        AppendTlv(issuer_and_serial, kSequence, nullptr, 0);
    }
    // The serial blob is the certificate's own INTEGER content, least significant byte first:
    // reversed as it is, so the SignerInfo names the certificate with its very bytes.
    Bytes serial;
    if (signer.SerialNumber.pbData != nullptr)
        serial.assign(signer.SerialNumber.pbData,
                      signer.SerialNumber.pbData + signer.SerialNumber.cbData);
    serial = Bytes(serial.rbegin(), serial.rend());
    if (serial.empty()) serial.push_back(0);
    AppendTlv(issuer_and_serial, kInteger, serial);
    AppendTlv(content, kSequence, issuer_and_serial);

    if (!AppendAlgorithm(content, signer.HashAlgorithm)) return false;
    if (!AppendAttributes(content, kContext0, signer.AuthAttrs)) return false;
    if (!AppendAlgorithm(content, signer.HashEncryptionAlgorithm)) return false;
    AppendTlv(content, kOctetString, signer.EncryptedHash.pbData,
              signer.EncryptedHash.pbData != nullptr ? signer.EncryptedHash.cbData : 0);
    if (!AppendAttributes(content, kContext1, signer.UnauthAttrs)) return false;
    AppendTlv(out, kSequence, content);
    return true;
}

}  // namespace

BOOL CertPlatform::CryptEncodeObject(DWORD dwCertEncodingType, CRYPT_STRUCT_TYPE lpszStructType,
                                     const void* pvStructInfo, BYTE* pbEncoded, DWORD* pcbEncoded) {
    if (pvStructInfo == nullptr || pcbEncoded == nullptr ||
        (dwCertEncodingType & (X509_ASN_ENCODING | PKCS_7_ASN_ENCODING)) == 0) {
        SetLastErrorCode(E_INVALIDARG);
        return FALSE;
    }
    // The encoding is `out` followed by `tail`: a message that an OCTET STRING or a ContentInfo
    // carries (megabytes) is referenced, not copied, and goes into the caller's buffer once.
    Bytes out;
    const uint8_t* tail = nullptr;
    size_t tail_size = 0;
    bool encoded = false;
    const DWORD type = lpszStructType.pszOid == nullptr ? lpszStructType.dwId : 0;
    if (type == PKCS_ATTRIBUTE.dwId) {
        encoded = AppendAttribute(out, *static_cast<const CRYPT_ATTRIBUTE*>(pvStructInfo));
    } else if (type == X509_ALGORITHM_IDENTIFIER.dwId) {
        encoded =
            AppendAlgorithm(out, *static_cast<const CRYPT_ALGORITHM_IDENTIFIER*>(pvStructInfo));
    } else if (type == X509_OCTET_STRING.dwId) {
        const auto* blob = static_cast<const CRYPT_DATA_BLOB*>(pvStructInfo);
        tail = blob->pbData;
        tail_size = blob->pbData != nullptr ? blob->cbData : 0;
        AppendTlvHeader(out, kOctetString, tail_size);
        encoded = true;
    } else if (type == PKCS_CONTENT_INFO.dwId) {
        // RFC 2315, 7: content [0] EXPLICIT OPTIONAL; an empty content is left out.
        const auto* info = static_cast<const CRYPT_CONTENT_INFO*>(pvStructInfo);
        Bytes content;
        encoded = AppendOid(content, info->pszObjId);
        if (info->Content.cbData != 0 && info->Content.pbData != nullptr) {
            tail = info->Content.pbData;
            tail_size = info->Content.cbData;
            AppendTlvHeader(content, kContext0, tail_size);
        }
        AppendTlvHeader(out, kSequence, content.size() + tail_size);
        out.insert(out.end(), content.begin(), content.end());
    } else if (type == kPkcs7SignerInfoStructType.dwId) {
        encoded = AppendSignerInfo(out, *static_cast<const CMSG_SIGNER_INFO*>(pvStructInfo));
    } else {
        SetLastError(ERROR_FILE_NOT_FOUND);  // no encoder for this structure type
        return FALSE;
    }
    if (!encoded) {
        SetLastErrorCode(CRYPT_E_BAD_ENCODE);
        return FALSE;
    }
    return cert_internal::ReturnBytes(out.data(), out.size(), tail, tail_size, pbEncoded,
                                      pcbEncoded);
}
