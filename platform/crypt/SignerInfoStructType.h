// The RFC 2315 SignerInfo structure type of CryptEncodeObject under the name the signing code
// uses. OpenSSL's <openssl/pkcs7.h> declares a type of the same name, so a file includes this
// header only when it reads no OpenSSL header; the compiler refuses the two together.
#pragma once

#include "platform/crypt/CertServices.h"

inline constexpr CRYPT_STRUCT_TYPE PKCS7_SIGNER_INFO = kPkcs7SignerInfoStructType;
