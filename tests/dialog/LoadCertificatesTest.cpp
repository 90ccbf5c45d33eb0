// The dialog's rows made from real certificates of a store, without a window: the key location,
// the four lines and the order; a failure part-way; and no display at all.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/Utf.h"
#include "dialog/SelectCertificateDlg.h"
#include "platform/runtime/Resources.h"
#include "platform/window/PinPromptWindow.h"
#include "tests/dialog/DialogTestSupport.h"
#include "tests/support/StandInCertPlatform.h"

namespace {

using dialog_test::CertificateSpec;
using dialog_test::MakeCertificate;

StandInCertPlatform::StoreCertificate StoreEntry(const CertificateSpec& spec,
                                                 const std::u16string& provider = u"",
                                                 const std::string& container = "") {
    StandInCertPlatform::StoreCertificate entry;
    entry.certificate = MakeCertificate(spec);
    entry.provider = provider;
    entry.container = container;
    return entry;
}

CertificateSpec Spec(const dialog_test::NameParts& subject, std::vector<uint8_t> serial) {
    CertificateSpec spec;
    spec.subject = subject;
    // Encoded O then CN, so the rendered (reversed) issuer text is "CN=LOGO=1, O=Org".
    spec.issuer = {{"O", "Org"}, {"CN", "LOGO=1"}};
    spec.serial = std::move(serial);
    return spec;
}

class LoadCertificatesTest : public testing::Test {
  protected:
    LoadCertificatesTest() : scoped_(&platform_) {
        StandInCertPlatform::Provider card;
        card.name = u"Card Provider";
        card.imp_type = CRYPT_IMPL_HARDWARE | CRYPT_IMPL_REMOVABLE;
        StandInCertPlatform::Key key;
        key.private_key = MakeSm2Key();  // any key: only its location matters here
        card.containers = {{"card-key", {key}}};
        StandInCertPlatform::Provider soft;
        soft.name = u"Soft Provider";
        soft.imp_type = CRYPT_IMPL_SOFTWARE;
        soft.containers = {{"soft-key", {key}}};
        platform_.providers = {card, soft};
        platform_.personal_store = {
            StoreEntry(Spec({{"C", "CN"}, {"CN", "Bob"}}, {0x01}), u"Soft Provider", "soft-key"),
            StoreEntry(Spec({{"CN", "zed on card"}}, {0x02}), u"Card Provider", "card-key"),
            StoreEntry(Spec({{"O", "Org"}, {"CN", "alice"}}, {0x0A, 0x02, 0x01})),
            StoreEntry(Spec({{"C", "CN"}, {"O", "No Name Org"}}, {0x04})),
        };
    }
    HCERTSTORE OpenPersonalStore() {
        return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                             CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, u"MY");
    }
    StandInCertPlatform platform_;
    ScopedCertPlatform scoped_;
};

TEST_F(LoadCertificatesTest, RowsCarryTheirLinesInDisplayOrder) {
    HCERTSTORE store = OpenPersonalStore();
    ASSERT_NE(store, nullptr);
    {
        CSelectCertificateDlg dialog;
        dialog.SetModuleHandle(GetModuleHandleW(nullptr));
        ASSERT_EQ(dialog.LoadCertificates(store), S_OK);
        const std::vector<CertificateListItem>& rows = dialog.GetCertificateItems();
        ASSERT_EQ(rows.size(), 4u);
        struct Expected {
            const char* cn;
            BOOL key;
            const char* serial;
        };
        // The smart-card row first; then the row without a name; then names ignoring case.
        const Expected expected[] = {{"zed on card", 1, "SN: 02"},
                                     {"", 0, "SN: 04"},
                                     {"alice", 0, "SN: 0a0201"},
                                     {"Bob", 0, "SN: 01"}};
        for (size_t i = 0; i < rows.size(); ++i) {
            EXPECT_EQ(Utf16ToUtf8String(rows[i].strSubjectCN), expected[i].cn) << i;
            EXPECT_EQ(rows[i].bKeyCertificate, expected[i].key) << i;
            EXPECT_EQ(Utf16ToUtf8String(rows[i].strSerialNumber), expected[i].serial) << i;
            // The first "O=" of "CN=LOGO=1, O=Org" lies inside the common name.
            EXPECT_EQ(Utf16ToUtf8String(rows[i].strIssuer), "Issuer: 1") << i;
            EXPECT_EQ(Utf16ToUtf8String(rows[i].strValidity),
                      "Valid From: 2024/01/05 to 2030/12/31")
                << i;
            EXPECT_NE(rows[i].pCertificate, nullptr);
        }
    }
    CertCloseStore(store, 0);
    EXPECT_EQ(platform_.open_handles(), 0);  // every acquired provider was released
}

// A platform whose name rendering fails from the second certificate on.
class FailingNamePlatform : public StandInCertPlatform {
  public:
    DWORD CertNameToStrW(DWORD type, const CERT_NAME_BLOB* name, DWORD str_type, LPWSTR psz,
                         DWORD csz) override {
        // Subject and issuer, each asked twice: four calls per certificate.
        if (++calls_ > 4) {
            SetLastErrorCode(CRYPT_E_ASN1_CORRUPT);
            return 0;
        }
        return StandInCertPlatform::CertNameToStrW(type, name, str_type, psz, csz);
    }

  private:
    int calls_ = 0;
};

TEST(LoadCertificatesFailureTest, FailureForTheSecondCertificateLeavesNoRows) {
    FailingNamePlatform platform;
    ScopedCertPlatform scoped(&platform);
    dialog_test::MemoryStore store;
    store.Add(MakeCertificate(Spec({{"CN", "first"}}, {1})));
    store.Add(MakeCertificate(Spec({{"CN", "second"}}, {2})));
    CSelectCertificateDlg dialog;
    dialog.SetModuleHandle(GetModuleHandleW(nullptr));
    EXPECT_EQ(dialog.LoadCertificates(store.handle()), CRYPT_E_ASN1_CORRUPT);
    EXPECT_TRUE(dialog.GetCertificateItems().empty());
}

// Without a display nothing blocks: the dialog is not made and the PIN prompt declines.
TEST(NoDisplayTest, DialogIsNotMadeAndThePromptAnswersCancelled) {
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    dialog_test::MemoryStore store;
    store.Add(MakeCertificate(Spec({{"CN", "first"}}, {1})));
    SELECT_CERTIFICATE_DIALOG_PARAM param{};
    param.hInstance = GetModuleHandleW(nullptr);
    param.hCertStore = store.handle();
    PCCERT_CONTEXT chosen = nullptr;
    DWORD code = 0;
    EXPECT_EQ(RunWindowSelectCertificateDialog(&param, &chosen, &code), -1);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(chosen, nullptr);

    PinPromptRequest request;
    request.token_name = "Token";
    std::string pin = "left over";
    EXPECT_EQ(ShowPinPromptWindow(request, &pin), PinPromptResult::kCancelled);
    EXPECT_TRUE(pin.empty());
}

}  // namespace
