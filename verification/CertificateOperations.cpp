#include "verification/CertificateOperations.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <ctime>

#include "common/ResultCodes.h"
#include "common/Trace.h"
#include "common/OpenSslPtr.h"
#include "verification/VerifyCommon.h"

static constexpr char kUnit[] = "CertificateOperations";

namespace {

constexpr int kMinUTCTimeLength = 11;  // YYMMDDhhmmZ
constexpr int kMaxUTCTimeLength = 17;  // YYMMDDhhmmss+hhmm
constexpr int kMinGeneralizedTimeLength = 13;

// Two characters as a decimal number. Like the fields of the time texts, unchecked: a non-digit
// yields some number that the calendar conversion normalises.
int TwoDigits(const unsigned char* pch) { return (pch[0] - '0') * 10 + (pch[1] - '0'); }

int GetX509Time(int64_t* ptTime, const ASN1_TIME* pASN1Time) {
    if (NULL == pASN1Time) {
        FAILED_STEP_OPENSSL(kUnit, "X509_get_notBefore/X509_get_notAfter", kVerifyFailed,
                            "NULL == pASN1Time");
        return kVerifyFailed;
    }
    return ASN1_TIME_To_UTCTime(ptTime, pASN1Time);
}

}  // namespace

int ConvertCertDataToX509(X509** ppX509Cert, int nCertSize, const uint8_t* pbyCert) {
    TRACE_SCOPE_A();
    ERR_clear_error();  // the failure lines quote OpenSSL's latest error: make it this call's
    BioPtr pBIO_Cert(pbyCert != nullptr && nCertSize > 0 ? BIO_new_mem_buf(pbyCert, nCertSize)
                                                         : nullptr);
    if (!pBIO_Cert) {
        FAILED_STEP_OPENSSL(kUnit, "BIO_new_mem_buf", kVerifyFailed, "NULL == pBIO_Cert");
        return kVerifyFailed;
    }
    OK_STEP(kUnit, "BIO_new_mem_buf");
    X509Ptr pX509Cert(PEM_read_bio_X509(pBIO_Cert.get(), nullptr, nullptr, nullptr));
    if (!pX509Cert) {
        ERR_clear_error();
        BIO_reset(pBIO_Cert.get());
        pX509Cert.reset(d2i_X509_bio(pBIO_Cert.get(), nullptr));
    }
    if (!pX509Cert) {
        FAILED_STEP_OPENSSL(kUnit, "d2i_X509_bio", kVerifyFailed, "NULL == pX509Cert");
        return kVerifyFailed;
    }
    OK_STEP(kUnit, "d2i_X509_bio");
    if (ppX509Cert != nullptr) *ppX509Cert = pX509Cert.release();
    return VELK_OK;
}

int GetX509NotBefore(int64_t* ptTime, const X509* pX509Cert) {
    TRACE_SCOPE_A();
    return GetX509Time(ptTime, pX509Cert != nullptr ? X509_get0_notBefore(pX509Cert) : nullptr);
}

int GetX509NotAfter(int64_t* ptTime, const X509* pX509Cert) {
    TRACE_SCOPE_A();
    return GetX509Time(ptTime, pX509Cert != nullptr ? X509_get0_notAfter(pX509Cert) : nullptr);
}

int ASN1_TIME_To_UTCTime(int64_t* ptTime, const ASN1_TIME* pASN1Time) {
    TRACE_SCOPE_A();
    if (pASN1Time == nullptr) {
        FAILED_STEP(kUnit, "Check ASN1TIME format.", kVerifyFailed, "NULL == pASN1Time");
        return kVerifyFailed;
    }
    const int nASN1TimeLength = ASN1_STRING_length(pASN1Time);
    const unsigned char* pszTime = ASN1_STRING_get0_data(pASN1Time);
    struct tm tmFields = {};
    int nPos = 0;
    if (ASN1_STRING_type(pASN1Time) == V_ASN1_UTCTIME) {
        if ((nASN1TimeLength < kMinUTCTimeLength) || (nASN1TimeLength > kMaxUTCTimeLength)) {
            FAILED_STEP(kUnit, "Check ASN1TIME length.", kVerifyFailed,
                        "((nASN1TimeLength < 11) || (nASN1TimeLength > 17))");
            return kVerifyFailed;
        }
        // RFC 5280 section 4.1.2.5.1: YY below 50 is 20YY, otherwise 19YY.
        const int nYear = TwoDigits(pszTime);
        tmFields.tm_year = (nYear < 50 ? 2000 + nYear : 1900 + nYear) - 1900;
        nPos = 2;
    } else {
        if (nASN1TimeLength < kMinGeneralizedTimeLength) {
            FAILED_STEP(kUnit, "Check ASN1TIME format.", kVerifyFailed, "nASN1TimeLength < 13");
            return kVerifyFailed;
        }
        tmFields.tm_year = TwoDigits(pszTime) * 100 + TwoDigits(pszTime + 2) - 1900;
        nPos = 4;
    }
    tmFields.tm_mon = TwoDigits(pszTime + nPos) - 1;
    tmFields.tm_mday = TwoDigits(pszTime + nPos + 2);
    tmFields.tm_hour = TwoDigits(pszTime + nPos + 4);
    tmFields.tm_min = TwoDigits(pszTime + nPos + 6);
    nPos += 8;

    // Seconds are optional; a fraction after them is skipped.
    const auto at = [&](int i) { return i < nASN1TimeLength ? pszTime[i] : '\0'; };
    if (at(nPos) != '+' && at(nPos) != '-' && at(nPos) != 'Z') {
        if (nPos + 2 > nASN1TimeLength) {
            FAILED_STEP(kUnit, "Check ASN1TIME format.", kVerifyFailed, "true");
            return kVerifyFailed;
        }
        tmFields.tm_sec = TwoDigits(pszTime + nPos);
        nPos += 2;
        if (at(nPos) == '.') {
            ++nPos;
            while (at(nPos) >= '0' && at(nPos) <= '9') ++nPos;
        }
    }

    int64_t nZoneOffset = 0;
    if (at(nPos) == 'Z') {
        nZoneOffset = 0;
    } else if ((at(nPos) == '+' || at(nPos) == '-') && nPos + 5 <= nASN1TimeLength) {
        nZoneOffset = TwoDigits(pszTime + nPos + 1) * 3600 + TwoDigits(pszTime + nPos + 3) * 60;
        if (at(nPos) == '-') nZoneOffset = -nZoneOffset;
    } else {
        FAILED_STEP(kUnit, "Check ASN1TIME format.", kVerifyFailed, "true");
        return kVerifyFailed;
    }

    // The fields are a UTC calendar time: convert them as such (timegm), whatever the local time
    // zone and its daylight saving. Instants before 1970 are refused, as they always were.
    tmFields.tm_isdst = 0;
    const time_t tUTCTime = timegm(&tmFields);
    if (tUTCTime < 0) {
        FAILED_STEP(kUnit, "mktime", kVerifyFailed, "-1 == tUTCTime");
        return kVerifyFailed;
    }
    OK_STEP(kUnit, "mktime");
    if (ptTime != nullptr) *ptTime = static_cast<int64_t>(tUTCTime) - nZoneOffset;
    return VELK_OK;
}
