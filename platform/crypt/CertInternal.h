// Inside the certificate platform: the objects behind certificate contexts and stores and the
// DER writing helpers the encoder uses. Not for use outside
// platform/ (tests excepted).
#pragma once

#include <openssl/asn1.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/OpenSslPtr.h"
#include "platform/crypt/CertPlatform.h"

namespace cert_internal {

using Bytes = std::vector<uint8_t>;

// The object behind a CERT_CONTEXT: the DER bytes, the decoded fields the CERT_INFO points into,
// the reference count and the properties. Duplicates share the object (and so its properties).
struct CertContextObject : CERT_CONTEXT {
    static constexpr uint32_t kMagic = 0x43455254;  // "CERT"
    uint32_t magic = kMagic;
    long references = 1;

    Bytes encoded;
    CERT_INFO info{};
    Bytes serial;  // least significant byte first
    std::string signature_oid;
    Bytes signature_parameters;
    Bytes issuer;
    Bytes subject;
    std::string key_oid;
    Bytes key_parameters;
    Bytes public_key;
    std::vector<std::string> extension_oids;
    std::vector<Bytes> extension_values;
    std::vector<CERT_EXTENSION> extensions;

    // CERT_KEY_PROV_INFO_PROP_ID
    bool has_key_prov_info = false;
    std::u16string key_container;
    std::u16string key_provider;
    DWORD key_prov_type = 0;
    DWORD key_prov_flags = 0;
    DWORD key_spec = 0;
};

// The context's object, or null for a pointer that is not one of ours.
CertContextObject* ContextObject(PCCERT_CONTEXT context);

}  // namespace cert_internal

struct CertStore {
    static constexpr uint32_t kMagic = 0x53544F52;  // "STOR"
    uint32_t magic = kMagic;
    bool read_only = false;
    std::vector<PCCERT_CONTEXT> certificates;  // each a reference the store owns
};

namespace cert_internal {

// A store is valid when it is one of ours.
bool IsStore(HCERTSTORE store);

// FILETIME <-> seconds since 1970 (UTC) and calendar fields.
int64_t FileTimeToUnixSeconds(const FILETIME& time, uint32_t* hundred_ns_rest);
FILETIME UnixSecondsToFileTime(int64_t seconds, uint32_t hundred_ns);
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day);
void CivilFromDays(int64_t days, int64_t* year, unsigned* month, unsigned* day);

// DER writing for the encoder (X.690).
void AppendLength(Bytes& out, size_t length);
// The tag and length octets of an element whose content of `length` bytes follows.
void AppendTlvHeader(Bytes& out, uint8_t tag, size_t length);
void AppendTlv(Bytes& out, uint8_t tag, const uint8_t* content, size_t length);
inline void AppendTlv(Bytes& out, uint8_t tag, const Bytes& content) {
    AppendTlv(out, tag, content.data(), content.size());
}
// Content octets of an OBJECT IDENTIFIER from its dotted text; false when the text is no OID.
bool EncodeOidContent(std::string_view dotted, Bytes* content);

// Two-call output: copies `data` into the caller's buffer when there is one and it is big enough.
// Sets *pcb to the size; a short buffer fails with ERROR_MORE_DATA.
BOOL ReturnBytes(const uint8_t* data, size_t size, BYTE* buffer, DWORD* pcb);
// The same for a value made of two runs, `head` then `tail`, copied straight into `buffer`.
BOOL ReturnBytes(const uint8_t* head, size_t head_size, const uint8_t* tail, size_t tail_size,
                 BYTE* buffer, DWORD* pcb);

// Copies a text as UTF-16 into a character buffer (two-call form of the name functions).
DWORD ReturnText(const std::u16string& text, LPWSTR buffer, DWORD capacity);

}  // namespace cert_internal
