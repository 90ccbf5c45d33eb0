// Certificate name rendering over DER. The first byte chooses the string type and its flags; the
// rest is read both as an X.500 Name (CertNameToStrW) and as a certificate, whose property readers
// (subject, issuer, common name, serial number, validity, key identifier, key usage) then run.
// The two-call size query must agree with the filling call, and a text is always terminated
// inside the buffer, also when the buffer is too small.
#include <cstdlib>
#include <vector>

#include "certificates/CertificateInfo.h"
#include "platform/crypt/CertPlatform.h"
#include "platform/crypt/CertServices.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD kStrTypes[] = {CERT_SIMPLE_NAME_STR, CERT_OID_NAME_STR, CERT_X500_NAME_STR, 0};
constexpr DWORD kStrFlags[] = {CERT_NAME_STR_SEMICOLON_FLAG,  CERT_NAME_STR_NO_PLUS_FLAG,
                               CERT_NAME_STR_NO_QUOTING_FLAG, CERT_NAME_STR_CRLF_FLAG,
                               CERT_NAME_STR_COMMA_FLAG,      CERT_NAME_STR_REVERSE_FLAG};

DWORD StrType(uint8_t choice) {
    DWORD type = kStrTypes[choice & 3];
    for (size_t i = 0; i < std::size(kStrFlags); ++i) {
        if ((choice >> (i + 2)) & 1) type |= kStrFlags[i];
    }
    return type;
}

void RenderName(const CERT_NAME_BLOB& name, DWORD str_type) {
    const DWORD needed = CertNameToStrW(kEncoding, &name, str_type, nullptr, 0);
    if (needed == 0) return;
    std::vector<char16_t> text(needed, u'\x7777');
    FUZZ_REQUIRE(CertNameToStrW(kEncoding, &name, str_type, text.data(), needed) == needed);
    FUZZ_REQUIRE(text[needed - 1] == 0);
    // A buffer one character short: cut, and still terminated inside it.
    if (needed > 1) {
        std::vector<char16_t> short_text(needed - 1, u'\x7777');
        const DWORD written =
            CertNameToStrW(kEncoding, &name, str_type, short_text.data(), needed - 1);
        FUZZ_REQUIRE(written <= needed - 1);
        FUZZ_REQUIRE(short_text[needed - 2] == 0);
    }
}

void ReadProperties(PCCERT_CONTEXT context, DWORD str_type) {
    RenderName(context->pCertInfo->Subject, str_type);
    RenderName(context->pCertInfo->Issuer, str_type);
    for (DWORD type : {CERT_NAME_SIMPLE_DISPLAY_TYPE, CERT_NAME_RDN_TYPE, CERT_NAME_EMAIL_TYPE,
                       CERT_NAME_FRIENDLY_DISPLAY_TYPE}) {
        for (DWORD flags : {DWORD{0}, CERT_NAME_ISSUER_FLAG}) {
            const DWORD needed = CertGetNameStringW(context, type, flags, &str_type, nullptr, 0);
            if (needed == 0) continue;
            std::vector<char16_t> text(needed, u'\x7777');
            FUZZ_REQUIRE(CertGetNameStringW(context, type, flags, &str_type, text.data(), needed) ==
                         needed);
            FUZZ_REQUIRE(text[needed - 1] == 0);
        }
    }
    for (int kind : {CERTINFO_SUBJECT_DN, CERTINFO_SUBJECT_SIMPLE, CERTINFO_ISSUER_DN,
                     CERTINFO_SERIAL_NUMBER, CERTINFO_SUBJECT_KEY_ID, CERTINFO_CN}) {
        void* data = nullptr;
        DWORD length = 0;
        QueryCertContextInfo(context, kind, &data, &length);
        std::free(data);
    }
    SYSTEMTIME time{};
    DWORD length = 0;
    QueryCertContextInfo(context, CERTINFO_NOT_AFTER, &time, &length);
    QueryCertContextInfo(context, CERTINFO_NOT_BEFORE, &time, &length);
    DWORD key_usage = 0;
    QueryCertContextInfo(context, CERTINFO_KEY_USAGE, &key_usage, &length);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::PrepareEnvironment();
    // The certificate-only operations of the base platform: no store, no key, no NSS.
    static CertPlatform platform;
    SetCertPlatform(&platform);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const DWORD str_type = StrType(data[0]);
    std::vector<BYTE> der(data + 1, data + size);
    const CERT_NAME_BLOB name{static_cast<DWORD>(der.size()), der.data()};
    RenderName(name, str_type);

    PCCERT_CONTEXT context =
        CertCreateCertificateContext(kEncoding, der.data(), static_cast<DWORD>(der.size()));
    if (context != nullptr) {
        ReadProperties(context, str_type);
        CertFreeCertificateContext(context);
    }
    return 0;
}
