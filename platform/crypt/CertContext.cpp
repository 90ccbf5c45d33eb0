// Certificate contexts over the DER bytes, decoded with OpenSSL 3: creation, references,
// properties, name rendering, extension decoding and validity checks. OpenSSL's decoding
// failures become CRYPT_E_ASN1_BADTAG here and nowhere else.
#include <openssl/x509v3.h>

#include <cstring>
#include <new>

#include "common/Ascii.h"
#include "common/Utf.h"
#include "platform/crypt/CertInternal.h"
#include "platform/runtime/LastError.h"

using cert_internal::Bytes;
using cert_internal::CertContextObject;
using cert_internal::ContextObject;
using cert_internal::DaysFromCivil;
using cert_internal::ReturnBytes;
using cert_internal::ReturnText;
using cert_internal::UnixSecondsToFileTime;

namespace {

// The one place where an OpenSSL decoding failure becomes a platform error.
void SetDecodeError() { SetLastErrorCode(CRYPT_E_ASN1_BADTAG); }

std::string OidText(const ASN1_OBJECT* object) {
    char buffer[128];
    const int n = OBJ_obj2txt(buffer, sizeof buffer, object, 1);
    if (n <= 0) return std::string();
    if (static_cast<size_t>(n) < sizeof buffer) return std::string(buffer, static_cast<size_t>(n));
    std::string long_text(static_cast<size_t>(n) + 1, '\0');
    OBJ_obj2txt(long_text.data(), n + 1, object, 1);
    long_text.resize(static_cast<size_t>(n));
    return long_text;
}

// Content octets of a DER element (skips the identifier and the length).
Bytes TlvContent(const uint8_t* der, size_t size) {
    if (size < 2) return Bytes();
    size_t pos = 1;
    size_t length = der[pos++];
    if (length & 0x80) {
        const size_t count = length & 0x7F;
        length = 0;
        for (size_t i = 0; i < count && pos < size; ++i) length = (length << 8) | der[pos++];
    }
    if (pos > size || length > size - pos) return Bytes();
    return Bytes(der + pos, der + pos + length);
}

template <typename T, typename F>
Bytes ToDer(const T* object, F i2d) {
    const int n = i2d(object, nullptr);
    if (n <= 0) return Bytes();
    Bytes der(static_cast<size_t>(n));
    unsigned char* p = der.data();
    i2d(object, &p);
    return der;
}

bool TimeToFileTime(const ASN1_TIME* time, FILETIME* out) {
    struct tm fields {};
    if (time == nullptr || ASN1_TIME_to_tm(time, &fields) != 1) return false;
    const int64_t days =
        DaysFromCivil(fields.tm_year + 1900LL, static_cast<unsigned>(fields.tm_mon + 1),
                      static_cast<unsigned>(fields.tm_mday));
    const int64_t seconds =
        days * 86400 + fields.tm_hour * 3600LL + fields.tm_min * 60LL + fields.tm_sec;
    *out = UnixSecondsToFileTime(seconds, 0);
    return true;
}

// Fills the decoded fields of a new context; false when the bytes are no certificate.
bool Decode(CertContextObject* object, const BYTE* pbCertEncoded, DWORD cbCertEncoded) {
    const unsigned char* p = pbCertEncoded;
    X509Ptr x509(d2i_X509(nullptr, &p, static_cast<long>(cbCertEncoded)));
    if (!x509) return false;
    // Bytes after the certificate's own element (for instance a terminator) are not part of it.
    object->encoded.assign(pbCertEncoded, p);

    const Bytes serial_der = ToDer(X509_get0_serialNumber(x509.get()), i2d_ASN1_INTEGER);
    object->serial = TlvContent(serial_der.data(), serial_der.size());
    object->serial = Bytes(object->serial.rbegin(), object->serial.rend());

    const X509_ALGOR* signature_alg = X509_get0_tbs_sigalg(x509.get());
    const ASN1_OBJECT* alg_object = nullptr;
    X509_ALGOR_get0(&alg_object, nullptr, nullptr, signature_alg);
    object->signature_oid = OidText(alg_object);
    if (signature_alg->parameter != nullptr)
        object->signature_parameters = ToDer(signature_alg->parameter, i2d_ASN1_TYPE);

    object->issuer = ToDer(X509_get_issuer_name(x509.get()), i2d_X509_NAME);
    object->subject = ToDer(X509_get_subject_name(x509.get()), i2d_X509_NAME);
    if (object->issuer.empty() || object->subject.empty()) return false;

    FILETIME not_before{}, not_after{};
    if (!TimeToFileTime(X509_get0_notBefore(x509.get()), &not_before) ||
        !TimeToFileTime(X509_get0_notAfter(x509.get()), &not_after))
        return false;

    ASN1_OBJECT* key_object = nullptr;
    const unsigned char* key_bits = nullptr;
    int key_length = 0;
    X509_ALGOR* key_alg = nullptr;
    if (X509_PUBKEY_get0_param(&key_object, &key_bits, &key_length, &key_alg,
                               X509_get_X509_PUBKEY(x509.get())) == 1) {
        object->key_oid = OidText(key_object);
        if (key_alg != nullptr && key_alg->parameter != nullptr)
            object->key_parameters = ToDer(key_alg->parameter, i2d_ASN1_TYPE);
        object->public_key.assign(key_bits, key_bits + key_length);
    }

    const int extension_count = X509_get_ext_count(x509.get());
    for (int i = 0; i < extension_count; ++i) {
        X509_EXTENSION* extension = X509_get_ext(x509.get(), i);
        const ASN1_OCTET_STRING* value = X509_EXTENSION_get_data(extension);
        object->extension_oids.push_back(OidText(X509_EXTENSION_get_object(extension)));
        object->extension_values.emplace_back(
            ASN1_STRING_get0_data(value), ASN1_STRING_get0_data(value) + ASN1_STRING_length(value));
    }
    for (int i = 0; i < extension_count; ++i) {
        CERT_EXTENSION extension{};
        extension.pszObjId = object->extension_oids[i].data();
        extension.fCritical =
            X509_EXTENSION_get_critical(X509_get_ext(x509.get(), i)) ? TRUE : FALSE;
        extension.Value.cbData = static_cast<DWORD>(object->extension_values[i].size());
        extension.Value.pbData = object->extension_values[i].data();
        object->extensions.push_back(extension);
    }

    CERT_INFO& info = object->info;
    info.dwVersion = static_cast<DWORD>(X509_get_version(x509.get()));
    info.SerialNumber = {static_cast<DWORD>(object->serial.size()), object->serial.data()};
    info.SignatureAlgorithm.pszObjId = object->signature_oid.data();
    info.SignatureAlgorithm.Parameters = {static_cast<DWORD>(object->signature_parameters.size()),
                                          object->signature_parameters.data()};
    info.Issuer = {static_cast<DWORD>(object->issuer.size()), object->issuer.data()};
    info.Subject = {static_cast<DWORD>(object->subject.size()), object->subject.data()};
    info.NotBefore = not_before;
    info.NotAfter = not_after;
    info.SubjectPublicKeyInfo.Algorithm.pszObjId = object->key_oid.data();
    info.SubjectPublicKeyInfo.Algorithm.Parameters = {
        static_cast<DWORD>(object->key_parameters.size()), object->key_parameters.data()};
    info.SubjectPublicKeyInfo.PublicKey = {static_cast<DWORD>(object->public_key.size()),
                                           object->public_key.data(), 0};
    info.cExtension = static_cast<DWORD>(object->extensions.size());
    info.rgExtension = object->extensions.empty() ? nullptr : object->extensions.data();

    object->dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    object->pbCertEncoded = object->encoded.data();
    object->cbCertEncoded = static_cast<DWORD>(object->encoded.size());
    object->pCertInfo = &object->info;
    object->hCertStore = nullptr;
    return true;
}

// ---- Name rendering ------------------------------------------------------------------------

struct AttributeKey {
    const char* oid;
    const char16_t* key;
};
// The attribute keys of X.500 text, as the calling code's platform spells them.
constexpr AttributeKey kAttributeKeys[] = {
    {"2.5.4.3", u"CN"},
    {"2.5.4.4", u"SN"},
    {"2.5.4.5", u"SERIALNUMBER"},
    {"2.5.4.6", u"C"},
    {"2.5.4.7", u"L"},
    {"2.5.4.8", u"S"},
    {"2.5.4.9", u"STREET"},
    {"2.5.4.10", u"O"},
    {"2.5.4.11", u"OU"},
    {"2.5.4.12", u"T"},
    {"2.5.4.13", u"Description"},
    {"2.5.4.17", u"PostalCode"},
    {"2.5.4.18", u"POBox"},
    {"2.5.4.20", u"Phone"},
    {"2.5.4.42", u"G"},
    {"2.5.4.43", u"I"},
    {"2.5.4.46", u"dnQualifier"},
    {"1.2.840.113549.1.9.1", u"E"},
    {"0.9.2342.19200300.100.1.25", u"DC"},
};

std::u16string Latin1ToUtf16(const unsigned char* data, int length) {
    std::u16string text;
    for (int i = 0; i < length; ++i) text.push_back(static_cast<char16_t>(data[i]));
    return text;
}

std::u16string HexValue(const ASN1_STRING* value) {
    // Values of no string type are shown as "#" and the hexadecimal DER (RFC 4514, 2.4).
    Asn1TypePtr any(ASN1_TYPE_new());
    Bytes der;
    if (any && ASN1_TYPE_set1(any.get(), ASN1_STRING_type(value), value) == 1)
        der = ToDer(any.get(), i2d_ASN1_TYPE);
    std::u16string text = u"#";
    AppendHex(text, der.data(), der.size(), HexCase::kUpper);
    return text;
}

std::u16string ValueText(const ASN1_STRING* value) {
    const unsigned char* data = ASN1_STRING_get0_data(value);
    const int length = ASN1_STRING_length(value);
    switch (ASN1_STRING_type(value)) {
        case V_ASN1_UTF8STRING:
        case V_ASN1_PRINTABLESTRING:
        case V_ASN1_IA5STRING:
        case V_ASN1_NUMERICSTRING:
        case V_ASN1_VISIBLESTRING:
            return Utf8ToUtf16String(
                std::string_view(reinterpret_cast<const char*>(data), static_cast<size_t>(length)));
        case V_ASN1_T61STRING:
            return Latin1ToUtf16(data, length);
        case V_ASN1_BMPSTRING: {
            std::u16string text;
            for (int i = 0; i + 1 < length; i += 2)
                text.push_back(static_cast<char16_t>((data[i] << 8) | data[i + 1]));
            return text;
        }
        case V_ASN1_UNIVERSALSTRING: {
            unsigned char* converted = nullptr;
            const int n = ASN1_STRING_to_UTF8(&converted, value);
            OpenSslBytesPtr owner(converted);
            if (n < 0) return HexValue(value);
            return Utf8ToUtf16String(
                std::string_view(reinterpret_cast<char*>(converted), static_cast<size_t>(n)));
        }
        default:
            return HexValue(value);
    }
}

bool NeedsQuotes(const std::u16string& value) {
    if (value.empty()) return false;
    if (value.front() == u' ' || value.back() == u' ') return true;
    for (char16_t c : value) {
        if (c == u',' || c == u'+' || c == u'=' || c == u'"' || c == u'\n' || c == u'<' ||
            c == u'>' || c == u'#' || c == u';' || c == u'\r')
            return true;
    }
    return false;
}

std::u16string AttributeName(const ASN1_OBJECT* object, DWORD format) {
    const std::string oid = OidText(object);
    if (format == CERT_OID_NAME_STR) return Utf8ToUtf16String(oid);
    for (const AttributeKey& key : kAttributeKeys)
        if (oid == key.oid) return key.key;
    return u"OID." + Utf8ToUtf16String(oid);
}

X509NamePtr DecodeName(const CERT_NAME_BLOB* blob) {
    if (blob == nullptr || blob->pbData == nullptr || blob->cbData == 0) return nullptr;
    const unsigned char* p = blob->pbData;
    X509NamePtr name(d2i_X509_NAME(nullptr, &p, static_cast<long>(blob->cbData)));
    return name;
}

std::u16string RenderName(const X509_NAME* name, DWORD dwStrType) {
    const DWORD format = dwStrType & 0xFFFF;
    const bool reverse = (dwStrType & CERT_NAME_STR_REVERSE_FLAG) != 0;
    const bool quote = (dwStrType & CERT_NAME_STR_NO_QUOTING_FLAG) == 0;
    std::u16string rdn_separator = u", ";
    if (dwStrType & CERT_NAME_STR_SEMICOLON_FLAG) rdn_separator = u"; ";
    if (dwStrType & CERT_NAME_STR_CRLF_FLAG) rdn_separator = u"\r\n";
    const std::u16string value_separator = (dwStrType & CERT_NAME_STR_NO_PLUS_FLAG) ? u" " : u" + ";

    // Group the attributes into their relative distinguished names (encoded order).
    std::vector<std::u16string> rdns;
    int current_set = -1;
    const int count = X509_NAME_entry_count(name);
    for (int i = 0; i < count; ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        std::u16string value = ValueText(X509_NAME_ENTRY_get_data(entry));
        if (quote && NeedsQuotes(value)) {
            std::u16string quoted = u"\"";
            for (char16_t c : value) {
                quoted.push_back(c);
                if (c == u'"') quoted.push_back(u'"');
            }
            value = quoted + u"\"";
        }
        std::u16string text =
            format == CERT_SIMPLE_NAME_STR
                ? value
                : AttributeName(X509_NAME_ENTRY_get_object(entry), format) + u"=" + value;
        const int set = X509_NAME_ENTRY_set(entry);
        if (set == current_set && !rdns.empty()) {
            rdns.back() += value_separator + text;
        } else {
            rdns.push_back(text);
            current_set = set;
        }
    }
    if (reverse) rdns = std::vector<std::u16string>(rdns.rbegin(), rdns.rend());
    std::u16string result;
    for (size_t i = 0; i < rdns.size(); ++i) {
        if (i != 0) result += rdn_separator;
        result += rdns[i];
    }
    return result;
}

// The first attribute of the name with this OID, or nothing.
bool FindAttribute(const X509_NAME* name, const char* oid, std::u16string* value) {
    const int count = X509_NAME_entry_count(name);
    for (int i = 0; i < count; ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        if (OidText(X509_NAME_ENTRY_get_object(entry)) == oid) {
            *value = ValueText(X509_NAME_ENTRY_get_data(entry));
            return true;
        }
    }
    return false;
}

// The first rfc822Name of the subject (or issuer) alternative name.
bool FindAltNameEmail(const CertContextObject* object, bool issuer, std::u16string* value) {
    const char* oid = issuer ? "2.5.29.18" : szOID_SUBJECT_ALT_NAME2;
    for (size_t i = 0; i < object->extensions.size(); ++i) {
        if (object->extension_oids[i] != oid) continue;
        const unsigned char* p = object->extension_values[i].data();
        GeneralNamesPtr names(
            d2i_GENERAL_NAMES(nullptr, &p, static_cast<long>(object->extension_values[i].size())));
        if (!names) return false;
        for (int n = 0; n < sk_GENERAL_NAME_num(names.get()); ++n) {
            const GENERAL_NAME* general = sk_GENERAL_NAME_value(names.get(), n);
            if (general->type == GEN_EMAIL) {
                *value = ValueText(general->d.rfc822Name);
                return true;
            }
        }
    }
    return false;
}

}  // namespace

namespace cert_internal {

CertContextObject* ContextObject(PCCERT_CONTEXT context) {
    if (context == nullptr) return nullptr;
    auto* object = static_cast<CertContextObject*>(const_cast<CERT_CONTEXT*>(context));
    return object->magic == CertContextObject::kMagic ? object : nullptr;
}

DWORD ReturnText(const std::u16string& text, LPWSTR buffer, DWORD capacity) {
    const DWORD needed = static_cast<DWORD>(text.size() + 1);
    if (buffer == nullptr || capacity == 0) return needed;
    const DWORD copied = needed <= capacity ? needed : capacity;
    std::memcpy(buffer, text.data(), (copied - 1) * sizeof(char16_t));
    buffer[copied - 1] = 0;
    return copied;
}

BOOL ReturnBytes(const uint8_t* data, size_t size, BYTE* buffer, DWORD* pcb) {
    return ReturnBytes(data, size, nullptr, 0, buffer, pcb);
}

BOOL ReturnBytes(const uint8_t* head, size_t head_size, const uint8_t* tail, size_t tail_size,
                 BYTE* buffer, DWORD* pcb) {
    if (pcb == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const size_t size = head_size + tail_size;
    const DWORD available = *pcb;
    *pcb = static_cast<DWORD>(size);
    if (buffer == nullptr) return TRUE;
    if (available < size) {
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    if (head_size != 0) std::memcpy(buffer, head, head_size);
    if (tail_size != 0) std::memcpy(buffer + head_size, tail, tail_size);
    return TRUE;
}

}  // namespace cert_internal

void SetLastErrorCode(HRESULT code) { SetLastError(static_cast<uint32_t>(code)); }

PCCERT_CONTEXT CertPlatform::CertCreateCertificateContext(DWORD dwCertEncodingType,
                                                          const BYTE* pbCertEncoded,
                                                          DWORD cbCertEncoded) {
    if ((dwCertEncodingType & X509_ASN_ENCODING) == 0 || pbCertEncoded == nullptr ||
        cbCertEncoded == 0) {
        SetLastErrorCode(E_INVALIDARG);
        return nullptr;
    }
    auto* object = new (std::nothrow) CertContextObject();
    if (object == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (!Decode(object, pbCertEncoded, cbCertEncoded)) {
        delete object;
        SetDecodeError();
        return nullptr;
    }
    return object;
}

PCCERT_CONTEXT CertPlatform::CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext) {
    CertContextObject* object = ContextObject(pCertContext);
    if (object == nullptr) {
        SetLastErrorCode(E_INVALIDARG);
        return nullptr;
    }
    ++object->references;
    return object;
}

BOOL CertPlatform::CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
    if (pCertContext == nullptr) return TRUE;
    CertContextObject* object = ContextObject(pCertContext);
    if (object == nullptr) {
        SetLastErrorCode(E_INVALIDARG);
        return FALSE;
    }
    if (--object->references == 0) {
        object->magic = 0;
        delete object;
    }
    return TRUE;
}

DWORD CertPlatform::CertNameToStrW(DWORD, const CERT_NAME_BLOB* pName, DWORD dwStrType, LPWSTR psz,
                                   DWORD csz) {
    X509NamePtr name = DecodeName(pName);
    if (!name) {
        SetDecodeError();
        if (psz != nullptr && csz != 0) psz[0] = 0;
        return 0;
    }
    return ReturnText(RenderName(name.get(), dwStrType), psz, csz);
}

DWORD CertPlatform::CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags,
                                       const void* pvTypePara, LPWSTR pszNameString,
                                       DWORD cchNameString) {
    const CertContextObject* object = ContextObject(pCertContext);
    if (object == nullptr) {
        SetLastErrorCode(E_INVALIDARG);
        return ReturnText(std::u16string(), pszNameString, cchNameString);
    }
    const bool issuer = (dwFlags & CERT_NAME_ISSUER_FLAG) != 0;
    const CERT_NAME_BLOB* blob = issuer ? &object->info.Issuer : &object->info.Subject;
    X509NamePtr name = DecodeName(blob);
    std::u16string text;
    if (name) {
        switch (dwType) {
            case CERT_NAME_SIMPLE_DISPLAY_TYPE:
            case CERT_NAME_FRIENDLY_DISPLAY_TYPE:
                // The common name, else the next attribute a person would recognise.
                if (!FindAttribute(name.get(), "2.5.4.3", &text) &&
                    !FindAttribute(name.get(), "2.5.4.11", &text) &&
                    !FindAttribute(name.get(), "2.5.4.10", &text) &&
                    !FindAttribute(name.get(), "1.2.840.113549.1.9.1", &text))
                    FindAltNameEmail(object, issuer, &text);
                break;
            case CERT_NAME_EMAIL_TYPE:
                if (!FindAltNameEmail(object, issuer, &text))
                    FindAttribute(name.get(), "1.2.840.113549.1.9.1", &text);
                break;
            case CERT_NAME_ATTR_TYPE:
                if (pvTypePara != nullptr)
                    FindAttribute(name.get(), static_cast<const char*>(pvTypePara), &text);
                break;
            case CERT_NAME_RDN_TYPE: {
                const DWORD str_type = pvTypePara != nullptr
                                           ? *static_cast<const DWORD*>(pvTypePara)
                                           : CERT_X500_NAME_STR;
                text = RenderName(name.get(), str_type);
                break;
            }
            default:
                break;
        }
    }
    return ReturnText(text, pszNameString, cchNameString);
}

PCERT_EXTENSION CertPlatform::CertFindExtension(LPCSTR pszObjId, DWORD cExtensions,
                                                CERT_EXTENSION* rgExtensions) {
    if (pszObjId != nullptr && rgExtensions != nullptr) {
        for (DWORD i = 0; i < cExtensions; ++i) {
            if (rgExtensions[i].pszObjId != nullptr &&
                std::strcmp(rgExtensions[i].pszObjId, pszObjId) == 0)
                return &rgExtensions[i];
        }
    }
    SetLastErrorCode(CRYPT_E_NOT_FOUND);
    return nullptr;
}

BOOL CertPlatform::CryptDecodeObjectEx(DWORD, CRYPT_STRUCT_TYPE lpszStructType,
                                       const BYTE* pbEncoded, DWORD cbEncoded, DWORD, const void*,
                                       void* pvStructInfo, DWORD* pcbStructInfo) {
    if (pcbStructInfo == nullptr || pbEncoded == nullptr) {
        SetLastErrorCode(E_INVALIDARG);
        return FALSE;
    }
    const bool key_usage = lpszStructType.pszOid != nullptr
                               ? std::strcmp(lpszStructType.pszOid, szOID_KEY_USAGE) == 0
                               : lpszStructType.dwId == X509_KEY_USAGE.dwId;
    const bool octets = lpszStructType.pszOid != nullptr
                            ? std::strcmp(lpszStructType.pszOid, szOID_SUBJECT_KEY_IDENTIFIER) == 0
                            : lpszStructType.dwId == X509_OCTET_STRING.dwId;
    const unsigned char* p = pbEncoded;
    Bytes record;
    if (key_usage) {
        Asn1BitStringPtr bits(d2i_ASN1_BIT_STRING(nullptr, &p, static_cast<long>(cbEncoded)));
        if (!bits || p != pbEncoded + cbEncoded) {
            SetDecodeError();
            return FALSE;
        }
        const int length = ASN1_STRING_length(bits.get());
        record.resize(sizeof(CRYPT_BIT_BLOB) + static_cast<size_t>(length));
        CRYPT_BIT_BLOB blob{
            static_cast<DWORD>(length), nullptr,
            static_cast<DWORD>(bits->flags & ASN1_STRING_FLAG_BITS_LEFT ? bits->flags & 0x07 : 0)};
        std::memcpy(record.data(), &blob, sizeof blob);
        if (length > 0)
            std::memcpy(record.data() + sizeof blob, ASN1_STRING_get0_data(bits.get()),
                        static_cast<size_t>(length));
    } else if (octets) {
        Asn1OctetStringPtr value(d2i_ASN1_OCTET_STRING(nullptr, &p, static_cast<long>(cbEncoded)));
        if (!value || p != pbEncoded + cbEncoded) {
            SetDecodeError();
            return FALSE;
        }
        const int length = ASN1_STRING_length(value.get());
        record.resize(sizeof(CRYPT_DATA_BLOB) + static_cast<size_t>(length));
        CRYPT_DATA_BLOB blob{static_cast<DWORD>(length), nullptr};
        std::memcpy(record.data(), &blob, sizeof blob);
        if (length > 0)
            std::memcpy(record.data() + sizeof blob, ASN1_STRING_get0_data(value.get()),
                        static_cast<size_t>(length));
    } else {
        SetLastError(ERROR_FILE_NOT_FOUND);  // no decoder for this structure type
        return FALSE;
    }
    if (!ReturnBytes(record.data(), record.size(), static_cast<BYTE*>(pvStructInfo), pcbStructInfo))
        return FALSE;
    if (pvStructInfo != nullptr) {
        // The bytes follow the record; point the blob at them.
        auto* blob = static_cast<CRYPTOAPI_BLOB*>(pvStructInfo);
        const size_t header = key_usage ? sizeof(CRYPT_BIT_BLOB) : sizeof(CRYPT_DATA_BLOB);
        blob->pbData = blob->cbData != 0 ? static_cast<BYTE*>(pvStructInfo) + header : nullptr;
    }
    return TRUE;
}

BOOL CertPlatform::CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId,
                                                     void* pvData, DWORD* pcbData) {
    const CertContextObject* object = ContextObject(pCertContext);
    if (object == nullptr || pcbData == nullptr) {
        SetLastErrorCode(E_INVALIDARG);
        return FALSE;
    }
    if (dwPropId != CERT_KEY_PROV_INFO_PROP_ID || !object->has_key_prov_info) {
        SetLastErrorCode(CRYPT_E_NOT_FOUND);
        return FALSE;
    }
    // The record, then the container and provider names in the same buffer.
    const size_t container_bytes = (object->key_container.size() + 1) * sizeof(char16_t);
    const size_t provider_bytes = (object->key_provider.size() + 1) * sizeof(char16_t);
    const size_t size = sizeof(CRYPT_KEY_PROV_INFO) + container_bytes + provider_bytes;
    const DWORD available = *pcbData;
    *pcbData = static_cast<DWORD>(size);
    if (pvData == nullptr) return TRUE;
    if (available < size) {
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    auto* base = static_cast<uint8_t*>(pvData);
    auto* container = reinterpret_cast<char16_t*>(base + sizeof(CRYPT_KEY_PROV_INFO));
    auto* provider =
        reinterpret_cast<char16_t*>(base + sizeof(CRYPT_KEY_PROV_INFO) + container_bytes);
    std::memcpy(container, object->key_container.c_str(), container_bytes);
    std::memcpy(provider, object->key_provider.c_str(), provider_bytes);
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = container;
    info.pwszProvName = provider;
    info.dwProvType = object->key_prov_type;
    info.dwFlags = object->key_prov_flags;
    info.dwKeySpec = object->key_spec;
    std::memcpy(base, &info, sizeof info);
    return TRUE;
}

BOOL CertPlatform::CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId,
                                                     DWORD, const void* pvData) {
    CertContextObject* object = ContextObject(pCertContext);
    if (object == nullptr || dwPropId != CERT_KEY_PROV_INFO_PROP_ID) {
        SetLastErrorCode(E_INVALIDARG);
        return FALSE;
    }
    if (pvData == nullptr) {
        object->has_key_prov_info = false;
        object->key_container.clear();
        object->key_provider.clear();
        return TRUE;
    }
    const auto* info = static_cast<const CRYPT_KEY_PROV_INFO*>(pvData);
    object->key_container = info->pwszContainerName ? info->pwszContainerName : u"";
    object->key_provider = info->pwszProvName ? info->pwszProvName : u"";
    object->key_prov_type = info->dwProvType;
    object->key_prov_flags = info->dwFlags;
    object->key_spec = info->dwKeySpec;
    object->has_key_prov_info = true;
    return TRUE;
}

LONG CertPlatform::CertVerifyTimeValidity(const FILETIME* pTimeToVerify,
                                          const CERT_INFO* pCertInfo) {
    if (pCertInfo == nullptr) return 1;
    FILETIME now{};
    if (pTimeToVerify == nullptr) {
        ::GetSystemTimeAsFileTime(&now);
        pTimeToVerify = &now;
    }
    auto value = [](const FILETIME& t) {
        return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    if (value(*pTimeToVerify) < value(pCertInfo->NotBefore)) return -1;
    if (value(*pTimeToVerify) > value(pCertInfo->NotAfter)) return 1;
    return 0;
}
