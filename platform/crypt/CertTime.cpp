// FILETIME and SYSTEMTIME arithmetic (proleptic Gregorian calendar, UTC) and the conversion to
// local time through the C library's time zone.
#include <ctime>

#include "platform/crypt/CertInternal.h"
#include "platform/runtime/LastError.h"

namespace cert_internal {

namespace {
// FILETIME counts 100-ns intervals from 1601-01-01; Unix time counts seconds from 1970-01-01.
constexpr int64_t kSecondsFrom1601To1970 = 11644473600LL;
constexpr int64_t kIntervalsPerSecond = 10000000LL;
}  // namespace

// Days since 1970-01-01 of a civil date (H. Hinnant's algorithm).
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(year - era * 400);
    const unsigned doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t days, int64_t* year, unsigned* month, unsigned* day) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *day = doy - (153 * mp + 2) / 5 + 1;
    *month = mp < 10 ? mp + 3 : mp - 9;
    *year = static_cast<int64_t>(yoe) + era * 400 + (*month <= 2);
}

int64_t FileTimeToUnixSeconds(const FILETIME& time, uint32_t* hundred_ns_rest) {
    const uint64_t value = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    if (hundred_ns_rest != nullptr)
        *hundred_ns_rest = static_cast<uint32_t>(value % kIntervalsPerSecond);
    return static_cast<int64_t>(value / kIntervalsPerSecond) - kSecondsFrom1601To1970;
}

FILETIME UnixSecondsToFileTime(int64_t seconds, uint32_t hundred_ns) {
    const int64_t since_1601 = seconds + kSecondsFrom1601To1970;
    const uint64_t value =
        since_1601 <= 0 ? 0 : static_cast<uint64_t>(since_1601) * kIntervalsPerSecond + hundred_ns;
    return FILETIME{static_cast<DWORD>(value & 0xFFFFFFFFu), static_cast<DWORD>(value >> 32)};
}

}  // namespace cert_internal

namespace {

void FillSystemTime(int64_t seconds, uint32_t milliseconds, SYSTEMTIME* out) {
    int64_t days = seconds / 86400;
    int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    int64_t year = 0;
    unsigned month = 0, day = 0;
    cert_internal::CivilFromDays(days, &year, &month, &day);
    out->wYear = static_cast<WORD>(year);
    out->wMonth = static_cast<WORD>(month);
    out->wDay = static_cast<WORD>(day);
    out->wDayOfWeek = static_cast<WORD>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
    out->wHour = static_cast<WORD>(rest / 3600);
    out->wMinute = static_cast<WORD>(rest / 60 % 60);
    out->wSecond = static_cast<WORD>(rest % 60);
    out->wMilliseconds = static_cast<WORD>(milliseconds);
}

bool ValidSystemTime(const SYSTEMTIME& t) {
    return t.wYear >= 1601 && t.wYear <= 30827 && t.wMonth >= 1 && t.wMonth <= 12 && t.wDay >= 1 &&
           t.wDay <= 31 && t.wHour < 24 && t.wMinute < 60 && t.wSecond < 60 &&
           t.wMilliseconds < 1000;
}

int64_t SystemTimeSeconds(const SYSTEMTIME& t) {
    return cert_internal::DaysFromCivil(t.wYear, t.wMonth, t.wDay) * 86400 + t.wHour * 3600LL +
           t.wMinute * 60LL + t.wSecond;
}

}  // namespace

BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, SYSTEMTIME* lpSystemTime) {
    if (lpFileTime == nullptr || lpSystemTime == nullptr || (lpFileTime->dwHighDateTime >> 31)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    uint32_t rest = 0;
    const int64_t seconds = cert_internal::FileTimeToUnixSeconds(*lpFileTime, &rest);
    FillSystemTime(seconds, rest / 10000, lpSystemTime);
    return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, FILETIME* lpFileTime) {
    if (lpSystemTime == nullptr || lpFileTime == nullptr || !ValidSystemTime(*lpSystemTime)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpFileTime = cert_internal::UnixSecondsToFileTime(SystemTimeSeconds(*lpSystemTime),
                                                       lpSystemTime->wMilliseconds * 10000u);
    return TRUE;
}

BOOL SystemTimeToTzSpecificLocalTime(const void* lpTimeZoneInformation,
                                     const SYSTEMTIME* lpUniversalTime, SYSTEMTIME* lpLocalTime) {
    if (lpTimeZoneInformation != nullptr || lpUniversalTime == nullptr || lpLocalTime == nullptr ||
        !ValidSystemTime(*lpUniversalTime)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const time_t utc = static_cast<time_t>(SystemTimeSeconds(*lpUniversalTime));
    struct tm local {};
    if (localtime_r(&utc, &local) == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const int64_t local_seconds =
        cert_internal::DaysFromCivil(local.tm_year + 1900LL,
                                     static_cast<unsigned>(local.tm_mon + 1),
                                     static_cast<unsigned>(local.tm_mday)) *
            86400 +
        local.tm_hour * 3600LL + local.tm_min * 60LL + local.tm_sec;
    FillSystemTime(local_seconds, lpUniversalTime->wMilliseconds, lpLocalTime);
    return TRUE;
}

void GetSystemTimeAsFileTime(FILETIME* lpSystemTimeAsFileTime) {
    if (lpSystemTimeAsFileTime == nullptr) return;
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    *lpSystemTimeAsFileTime =
        cert_internal::UnixSecondsToFileTime(now.tv_sec, static_cast<uint32_t>(now.tv_nsec / 100));
}
