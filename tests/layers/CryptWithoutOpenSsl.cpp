// The certificate services, as the certificate code includes them, bring no OpenSSL header along:
// OpenSSL's own names are free here, and a redeclaration would not compile.
#include "platform/crypt/CertServices.h"

#ifdef OPENSSL_VERSION_MAJOR
#error "an OpenSSL header came in through the certificate services"
#endif

struct X509 {};
struct PKCS7 {};
struct PKCS7_SIGNER_INFO {};
struct EVP_PKEY {};
