// Certificates made in memory for the certificate-services tests, and an owner for contexts.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/crypt/CertServices.h"
#include "tests/support/StandInCertPlatform.h"

inline const SharedPkey& TestRsaKey() {
    static const SharedPkey key = MakeRsaKey(1024);
    return key;
}

inline std::vector<uint8_t> TestDer(const TestCertificateSpec& spec, EVP_PKEY* key = nullptr) {
    return MakeTestCertificate(key != nullptr ? key : TestRsaKey().get(), spec);
}

inline ContextPtr TestContext(const TestCertificateSpec& spec, EVP_PKEY* key = nullptr) {
    const std::vector<uint8_t> der = TestDer(spec, key);
    return ContextPtr(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                   der.data(), static_cast<DWORD>(der.size())));
}
