// SM2 (GM/T 0010) and RSA (RFC 2315) PKCS#7 verification. The first byte chooses the form:
//   bit 0   detached (a length-prefixed message comes next) or attached
//   bit 1   the signature type named: "SM2" or "RSA"
//   bit 2   the rest is DER, given to the verifiers directly and as its Base64 text through the
//           agent; otherwise the rest is the Base64 text itself
// Every output buffer is released; an answer of success hands out what it promises.
#include <cstdlib>
#include <string>

#include "agent/CryptoAgent.h"
#include "agent/VerifyOperations.h"
#include "common/Conversions.h"
#include "common/Utf.h"
#include "platform/runtime/WideString.h"
#include "tests/fuzz/FuzzSupport.h"
#include "verification/DataSigning.h"
#include "verification/RSADataSigning.h"

namespace {

void VerifyDer(const std::string& der, const std::string& message, bool detached) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(der.data());
    const int size = static_cast<int>(der.size());
    const auto* source = reinterpret_cast<const uint8_t*>(message.data());
    const int source_size = static_cast<int>(message.size());
    uint8_t* content = nullptr;
    uint8_t* cert = nullptr;
    int content_size = 0;
    int cert_size = 0;
    if (detached) {
        if (VerifySignature_DERPKCS7Detached(source, &cert, bytes, size, source_size, &cert_size) ==
            0) {
            FUZZ_REQUIRE(cert != nullptr);
        }
        std::free(cert);
        cert = nullptr;
        RSA_VerifyDataSignature_DERPKCS7Detached(&cert, &cert_size, bytes, size, source,
                                                 source_size);
        std::free(cert);
        return;
    }
    if (VerifySignature_DERPKCS7Attached(&content, &content_size, bytes, size, &cert, &cert_size) ==
        0) {
        FUZZ_REQUIRE(cert != nullptr && content_size >= 0);
    }
    std::free(content);
    std::free(cert);
    content = nullptr;
    cert = nullptr;
    RSA_VerifyDataSignature_DERPKCS7Attached(&content, &cert, bytes, size, &content_size,
                                             &cert_size);
    std::free(content);
    std::free(cert);
}

void VerifyThroughAgent(const std::string& base64, const std::string& message, bool detached,
                        bool sm2) {
    int type = 0;
    GetPKCS7Type(base64.c_str(), static_cast<uint32_t>(base64.size()), &type);

    CCryptoAgent agent;
    const std::u16string signature = Utf8ToUtf16String(base64);
    const char16_t* type_name = sm2 ? u"SM2" : u"RSA";
    BStr out;
    HRESULT result = S_OK;
    if (detached) {
        result = agent.VerifyMsgSignaturePKCS7Detached(
            signature.c_str(), type_name, Utf8ToUtf16String(message).c_str(), out.Receive());
    } else {
        result = agent.VerifyMsgSignaturePKCS7Attached(signature.c_str(), type_name, out.Receive());
    }
    if (result == S_OK) FUZZ_REQUIRE(out.Get() != nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::PrepareEnvironment();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_support::InputReader input(data, size);
    const uint8_t mode = input.Byte();
    const bool detached = (mode & 1) != 0;
    const bool sm2 = (mode & 2) != 0;
    const std::string message(detached ? input.Piece() : std::string_view());
    const std::string rest(input.Rest());
    if (rest.empty()) return 0;

    std::string base64 = rest;
    if ((mode & 4) != 0) {
        VerifyDer(rest, message, detached);
        char* text = nullptr;
        uint32_t text_size = 0;
        if (Base64EncodeEx(kBase64NoCrLf, &text, reinterpret_cast<const uint8_t*>(rest.data()),
                           static_cast<uint32_t>(rest.size()), &text_size) != S_OK) {
            std::free(text);
            return 0;
        }
        base64.assign(text, text_size);
        std::free(text);
    }
    // A Base64 text reaches the agent as a NUL-terminated string.
    VerifyThroughAgent(std::string(base64.c_str()), message, detached, sm2);
    return 0;
}
