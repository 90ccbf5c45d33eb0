// The whole filter over the production platform and a real NSS database.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "certificates/CertificateFilters.h"
#include "certificates/CertificateInfo.h"
#include "common/ResultCodes.h"
#include "common/Utf.h"
#include "platform/crypt/NssCertPlatform.h"
#include "tests/support/NssFixture.h"
#include "tests/support/StandInCertPlatform.h"

namespace {

TEST(PersonalStoreTest, SigningFilterKeepsTheUsableRsaSignersAndNeverWritesTheDatabase) {
    NssFixture fixture;
    ASSERT_TRUE(fixture.ok());
    const auto before = fixture.Checksums();
    {
        NssCertPlatform platform(fixture.database_dir());
        ScopedCertPlatform scoped(&platform);
        FILETIME now{};
        GetSystemTimeAsFileTime(&now);
        CERTIFICATE_FILTER filter{};
        filter.dwKeyUsage = 0x80;
        filter.bCheckPrivateKey = 1;
        filter.lpszSignatureAlgOID = "1.2.840.113549";
        filter.pftCheckTime = &now;
        CertificateSet kept;
        ASSERT_EQ(FilterCertificatesfromLocalStore(&filter, kept), S_OK);
        std::set<std::string> subjects;
        for (PCCERT_CONTEXT context : kept) {
            char16_t* subject = nullptr;
            ASSERT_EQ(QueryCertContextInfo(context, CERTINFO_SUBJECT_DN, &subject, nullptr), S_OK);
            subjects.insert(Utf16ToUtf8String(subject));
            std::free(subject);
            char16_t* provider = nullptr;
            DWORD length = 0;
            ASSERT_EQ(QueryCertContextInfo(context, CERTINFO_PROVIDER_NAME, &provider, &length),
                      S_OK);
            EXPECT_EQ(Utf16ToUtf8String(provider), "NSS Certificate DB");
            std::free(provider);
        }
        RemoveAllCertificates(kept);
        EXPECT_EQ(subjects, (std::set<std::string>{"CN=Alice Signer, O=ACME Corp, C=CN",
                                                   "CN=Bob NonRep, O=ACME, Inc., C=CN",
                                                   "OU=Signing Unit, O=NoCN Org, C=CN"}));
    }
    EXPECT_EQ(fixture.Checksums(), before);
}

}  // namespace
