// Certificate time texts to UTC instants. This suite is registered once per time zone (TZ=UTC,
// Asia/Shanghai, Europe/Berlin): the instant must not depend on the zone, also for summer dates.
#include <gtest/gtest.h>
#include <openssl/asn1.h>

#include <cctype>
#include <ostream>
#include <string>

#include "tests/verification/TestPki.h"
#include "verification/CertificateOperations.h"

namespace {

struct TimeCase {
    const char* text;
    int type;
    int result;
    int64_t instant;
};

// ctest shows the case by its time text.
void PrintTo(const TimeCase& c, std::ostream* os) { *os << c.text; }

constexpr int kUtc = V_ASN1_UTCTIME;
constexpr int kGen = V_ASN1_GENERALIZEDTIME;

class CertTime : public testing::TestWithParam<TimeCase> {};

TEST_P(CertTime, TextGivesTheUtcInstant) {
    const TimeCase& c = GetParam();
    ASN1_STRING* time = ASN1_STRING_type_new(c.type);
    ASSERT_EQ(ASN1_STRING_set(time, c.text, -1), 1);
    int64_t instant = 12345;
    EXPECT_EQ(ASN1_TIME_To_UTCTime(&instant, time), c.result);
    EXPECT_EQ(instant, c.result == 0 ? c.instant : 12345);
    ASN1_STRING_free(time);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, CertTime,
    testing::Values(TimeCase{"491231235959Z", kUtc, 0, 2524607999},
                    TimeCase{"500101000000Z", kUtc, -1, 0},  // 1950
                    TimeCase{"0801010000Z", kUtc, 0, 1199145600},
                    TimeCase{"080101000000+0800", kUtc, 0, 1199116800},
                    TimeCase{"0801010000-0130", kUtc, 0, 1199145600 + 5400},
                    TimeCase{"20200229120000.123Z", kGen, 0, 1582977600},
                    TimeCase{"20240715120000Z", kGen, 0, 1721044800},  // summer time in Berlin
                    TimeCase{"240715120000+0200", kUtc, 0, 1721037600},
                    TimeCase{"19700101000000Z", kGen, 0, 0},
                    TimeCase{"19691231235959Z", kGen, -1, 0},
                    TimeCase{"0801010000", kUtc, -1, 0},          // 10 characters
                    TimeCase{"080101000000+08000", kUtc, -1, 0},  // 18 characters
                    TimeCase{"200801010000", kGen, -1, 0},        // 12 characters
                    TimeCase{"0801010000X", kUtc, -1, 0},
                    TimeCase{"08010100005", kUtc, -1, 0},  // seconds cut off
                    TimeCase{"080101000000+08", kUtc, -1, 0}),
    [](const testing::TestParamInfo<TimeCase>& info) {
        std::string name = std::string(info.param.type == kUtc ? "Utc_" : "Gen_") + info.param.text;
        for (char& c : name) {
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        }
        return name;
    });

}  // namespace
