// The GM/T 0010 SignedData assembly around a certificate and a signature that come from a USB key
// and so are not to be trusted: the input is a flag byte (bit 0 attached, bits 1-2 the Base64
// flags), the certificate (length-prefixed DER), the raw signature (length-prefixed; r || s when
// it is 64 bytes) and the message. What the assembly accepts comes out as Base64 of one DER
// element that both parsers read whole, that the type check calls SM2 SignedData, and that the
// SM2 verifier reads without fault.
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "agent/VerifyOperations.h"
#include "common/Conversions.h"
#include "common/Utf.h"
#include "platform/crypt/CertPlatform.h"
#include "platform/crypt/CertServices.h"
#include "platform/runtime/WideString.h"
#include "signing/SM2Signing.h"
#include "tests/fuzz/FuzzSupport.h"
#include "verification/ASN1EngineEx.h"
#include "verification/DataSigning.h"

namespace {

constexpr char kSm3DigestOid[] = "1.2.156.10197.1.401";
constexpr char kSm2SignatureOid[] = "1.2.156.10197.1.301.1";

// Whether our own parser reads the certificate whole. OpenSSL accepts some certificates that it
// does not (a constructed tag where the key's parameters are, read as ANY); the SignedData carries
// the certificate as it is, so its parse is promised only for certificates our parser reads.
bool ParsesWhole(const std::string& der) {
    ASN1DecodeNodeEx* root = nullptr;
    const bool parsed = DecodeASN1MemoryEx(reinterpret_cast<const uint8_t*>(der.data()),
                                           static_cast<uint32_t>(der.size()), &root) == 0 &&
                        root != nullptr && root->dwTotalLength == der.size();
    std::unique_ptr<ASN1DecodeNodeEx> tree(root);
    return parsed;
}

void CheckSignedData(const std::string& base64, const std::string& message, bool attached) {
    int type = 0;
    FUZZ_REQUIRE(GetPKCS7Type(base64.c_str(), static_cast<uint32_t>(base64.size()), &type) == S_OK);
    FUZZ_REQUIRE(type == SM2_SIGNED_DATA);

    uint8_t* der = nullptr;
    uint32_t der_size = 0;
    FUZZ_REQUIRE(Base64DecodeEx(static_cast<int32_t>(base64.size()), &der, base64.c_str(),
                                &der_size) == S_OK);
    std::unique_ptr<uint8_t, decltype(&std::free)> der_owner(der, &std::free);
    ASN1DecodeNodeEx* root = nullptr;
    FUZZ_REQUIRE(DecodeASN1MemoryEx(der, der_size, &root) == 0);
    std::unique_ptr<ASN1DecodeNodeEx> tree(root);
    FUZZ_REQUIRE(tree->dwTotalLength == der_size);

    uint8_t* content = nullptr;
    uint8_t* cert = nullptr;
    int content_size = 0;
    int cert_size = 0;
    if (attached) {
        VerifySignature_DERPKCS7Attached(&content, &content_size, der, static_cast<int>(der_size),
                                         &cert, &cert_size);
    } else {
        VerifySignature_DERPKCS7Detached(reinterpret_cast<const uint8_t*>(message.data()), &cert,
                                         der, static_cast<int>(der_size),
                                         static_cast<int>(message.size()), &cert_size);
    }
    std::free(content);
    std::free(cert);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::PrepareEnvironment();
    static CertPlatform platform;  // certificate contexts need no store and no key
    SetCertPlatform(&platform);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_support::InputReader input(data, size);
    const uint8_t flags = input.Byte();
    const bool attached = (flags & 1) != 0;
    const DWORD base64_flags = (flags >> 1) & (kBase64NoPad | kBase64NoCrLf);
    const std::string certificate(input.Piece());
    const std::string signature(input.Piece());
    const std::string message(input.Rest());

    BYTE* encrypted_digest = nullptr;
    DWORD encrypted_digest_size = 0;
    const HRESULT encoded = SM2EncodeRawSignature(&encrypted_digest, &encrypted_digest_size,
                                                  reinterpret_cast<const BYTE*>(signature.data()),
                                                  static_cast<DWORD>(signature.size()));
    std::unique_ptr<BYTE, decltype(&std::free)> digest_owner(encrypted_digest, &std::free);
    if (encoded != S_OK) return 0;

    PCCERT_CONTEXT context = CertCreateCertificateContext(
        X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, reinterpret_cast<const BYTE*>(certificate.data()),
        static_cast<DWORD>(certificate.size()));
    if (context == nullptr) return 0;
    BStr text;
    DWORD text_length = 0;
    const HRESULT assembled = SM2EncapsulatePKCS7(
        &context, kSm3DigestOid, kSm2SignatureOid, reinterpret_cast<const BYTE*>(message.data()),
        static_cast<DWORD>(message.size()), encrypted_digest, encrypted_digest_size, text.Receive(),
        &text_length, attached ? 1 : 0, base64_flags);
    if (assembled == S_OK) {
        FUZZ_REQUIRE(text.Get() != nullptr);
        if (ParsesWhole(certificate))
            CheckSignedData(Utf16ToUtf8String(text.Get()), message, attached);
    }
    CertFreeCertificateContext(context);
    return 0;
}
