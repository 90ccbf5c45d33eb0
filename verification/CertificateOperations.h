// Certificate bytes to an OpenSSL certificate, and its validity times as seconds since
// 1970-01-01 00:00 UTC.
#pragma once

#include <openssl/asn1.h>
#include <openssl/x509.h>

#include <cstdint>

// PEM first, then DER. The caller releases the certificate with X509_free. 0 or kVerifyFailed.
int ConvertCertDataToX509(X509** ppX509Cert, int nCertSize, const uint8_t* pbyCert);

int GetX509NotBefore(int64_t* ptTime, const X509* pX509Cert);
int GetX509NotAfter(int64_t* ptTime, const X509* pX509Cert);

// UTCTime (RFC 5280: YYMMDDhhmm[ss] with Z or +hhmm/-hhmm) or GeneralizedTime
// (YYYYMMDDhhmm[ss[.f]]...) to the UTC instant. Instants before 1970 fail (kVerifyFailed).
int ASN1_TIME_To_UTCTime(int64_t* ptTime, const ASN1_TIME* pASN1Time);
