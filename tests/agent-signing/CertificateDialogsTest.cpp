// The selection dialog entry: when a window is needed, what the dialog is given, and how its
// outcome becomes a result code. The modal dialog itself is replaced by a scripted runner.
#include <gtest/gtest.h>

#include <vector>

#include "platform/crypt/CertServices.h"
#include "platform/runtime/LastError.h"
#include "platform/window/CertificateDialogs.h"
#include "tests/support/StandInCertPlatform.h"

namespace {

// What the scripted dialog saw and how it ends.
struct ScriptedDialog {
    int calls = 0;
    int rows = 0;  // certificates in the store it was given
    SELECT_CERTIFICATE_DIALOG_PARAM param = {};
    int modal_result = IDOK;
    DWORD code = 0;
    bool choose_first = true;
};
ScriptedDialog g_dialog;

int RunScriptedDialog(const SELECT_CERTIFICATE_DIALOG_PARAM* param, PCCERT_CONTEXT* chosen,
                      DWORD* code) {
    ++g_dialog.calls;
    g_dialog.param = *param;
    g_dialog.rows = 0;
    PCCERT_CONTEXT first = nullptr;
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(param->hCertStore, nullptr); c != nullptr;
         c = CertEnumCertificatesInStore(param->hCertStore, c)) {
        if (g_dialog.rows++ == 0) first = CertDuplicateCertificateContext(c);
    }
    if (g_dialog.choose_first)
        *chosen = first;
    else
        CertFreeCertificateContext(first);
    *code = g_dialog.code;
    return g_dialog.modal_result;
}

// Fails the n-th addition to a store and counts opened and closed stores.
class CountingPlatform : public StandInCertPlatform {
  public:
    int fail_add_at = 0;  // 1-based; 0 = never
    int adds = 0;
    int opened = 0;
    int closed = 0;
    HCERTSTORE CertOpenStore(CERT_STORE_PROV provider, DWORD encoding, HCRYPTPROV prov, DWORD flags,
                             const void* para) override {
        HCERTSTORE store =
            StandInCertPlatform::CertOpenStore(provider, encoding, prov, flags, para);
        if (store != nullptr) ++opened;
        return store;
    }
    BOOL CertCloseStore(HCERTSTORE store, DWORD flags) override {
        ++closed;
        return StandInCertPlatform::CertCloseStore(store, flags);
    }
    BOOL CertAddCertificateContextToStore(HCERTSTORE store, PCCERT_CONTEXT cert, DWORD disposition,
                                          PCCERT_CONTEXT* out) override {
        if (++adds == fail_add_at) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
        return StandInCertPlatform::CertAddCertificateContextToStore(store, cert, disposition, out);
    }
};

class DialogEntryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_dialog = ScriptedDialog();
        previous_runner_ = SetSelectCertificateDialogRunner(&RunScriptedDialog);
        key_ = MakeRsaKey(1024);
        for (long serial : {1, 2, 3}) {
            TestCertificateSpec spec;
            spec.serial = serial;
            const std::vector<uint8_t> der = MakeTestCertificate(key_.get(), spec);
            certs_.push_back(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                          der.data(),
                                                          static_cast<DWORD>(der.size())));
            ASSERT_NE(certs_.back(), nullptr);
        }
        request_.basic.dwVariant = 0;
        request_.basic.dwUseOwner = 1;
    }
    void TearDown() override {
        SetSelectCertificateDialogRunner(previous_runner_);
        for (PCCERT_CONTEXT c : certs_) CertFreeCertificateContext(c);
        EXPECT_EQ(platform_.opened, platform_.closed);
    }

    CountingPlatform platform_;
    ScopedCertPlatform scoped_{&platform_};
    SelectCertificateDialogRunner previous_runner_ = nullptr;
    SharedPkey key_;
    std::vector<PCCERT_CONTEXT> certs_;
    CUSTOM_CRYPTUI_SELECTCERTIFICATE_STRUCT request_ = {};
};

TEST_F(DialogEntryTest, SingleCandidateIsTakenWithoutWindowAsFreshReference) {
    PCCERT_CONTEXT chosen = nullptr;
    ASSERT_EQ(CustomCryptUIDlgSelectCertificate(&request_, &chosen, {certs_[0]}), S_OK);
    EXPECT_EQ(g_dialog.calls, 0);
    EXPECT_EQ(platform_.opened, 0);
    ASSERT_NE(chosen, nullptr);
    CertFreeCertificateContext(chosen);
    // The caller's own reference is untouched.
    EXPECT_GT(certs_[0]->cbCertEncoded, 0u);
    EXPECT_NE(certs_[0]->pCertInfo, nullptr);
}

TEST_F(DialogEntryTest, OutcomeOfTheDialogBecomesTheResult) {
    const struct {
        const char* name;
        DWORD force;
        int modal_result;
        DWORD code;
        bool choose;
        HRESULT expected;
    } cases[] = {
        {"chosen", 0, IDOK, 0, true, S_OK},
        {"forced for one", 1, IDOK, 0, true, S_OK},
        {"cancelled", 0, IDCANCEL, 0x20001002, false, static_cast<HRESULT>(0xA0071002u)},
        {"failed step", 0, IDCANCEL, 0x8009000Du, false, static_cast<HRESULT>(0x8009000Du)},
        {"not created", 0, -1, 0, false, static_cast<HRESULT>(0x8007057Eu)},
    };
    for (const auto& c : cases) {
        g_dialog = ScriptedDialog();
        g_dialog.modal_result = c.modal_result;
        g_dialog.code = c.code;
        g_dialog.choose_first = c.choose;
        request_.basic.dwForceDialog = c.force;
        std::vector<PCCERT_CONTEXT> candidates = c.force ? std::vector{certs_[0]} : certs_;
        PCCERT_CONTEXT chosen = nullptr;
        EXPECT_EQ(CustomCryptUIDlgSelectCertificate(&request_, &chosen, candidates), c.expected)
            << c.name;
        EXPECT_EQ(g_dialog.calls, 1) << c.name;
        EXPECT_EQ(chosen != nullptr, c.expected == S_OK) << c.name;
        CertFreeCertificateContext(chosen);
    }
}

TEST_F(DialogEntryTest, WithoutDialogSeveralCandidatesGiveNotCreated) {
    SetSelectCertificateDialogRunner(nullptr);
    PCCERT_CONTEXT chosen = nullptr;
    EXPECT_EQ(CustomCryptUIDlgSelectCertificate(&request_, &chosen, certs_),
              static_cast<HRESULT>(0x8007057Eu));
    EXPECT_EQ(chosen, nullptr);
}

TEST_F(DialogEntryTest, IdenticalCandidatesShowAsOneRow) {
    PCCERT_CONTEXT same = CertDuplicateCertificateContext(certs_[1]);
    PCCERT_CONTEXT chosen = nullptr;
    ASSERT_EQ(CustomCryptUIDlgSelectCertificate(&request_, &chosen, {certs_[1], same}), S_OK);
    EXPECT_EQ(g_dialog.rows, 1);
    ASSERT_NE(chosen, nullptr);
    EXPECT_EQ(chosen->cbCertEncoded, certs_[1]->cbCertEncoded);
    CertFreeCertificateContext(chosen);
    CertFreeCertificateContext(same);
}

TEST_F(DialogEntryTest, RequestOutOfRangeIsRefusedWithoutWindow) {
    request_.dwVariant = 2;
    PCCERT_CONTEXT chosen = nullptr;
    EXPECT_EQ(CustomCryptUIDlgSelectCertificate(&request_, &chosen, certs_), E_INVALIDARG);
    EXPECT_EQ(CustomCryptUIDlgSelectCertificateFromStore(nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), 87u);
    EXPECT_EQ(g_dialog.calls, 0);
}

TEST_F(DialogEntryTest, FailedAdditionStopsBeforeTheDialogAndClosesTheStore) {
    platform_.fail_add_at = 2;
    PCCERT_CONTEXT chosen = nullptr;
    EXPECT_EQ(CustomCryptUIDlgSelectCertificate(&request_, &chosen, certs_),
              static_cast<HRESULT>(0x80070008u));
    EXPECT_EQ(g_dialog.calls, 0);
    EXPECT_EQ(platform_.opened, 1);
    EXPECT_EQ(platform_.closed, 1);
}

TEST_F(DialogEntryTest, ExtendedLayoutPassesItsTextsAndOwnerAndNoHeading) {
    CUSTOM_CRYPTUI_SELECTCERTIFICATE_STRUCT request = {};
    auto* owner = reinterpret_cast<HWND>(0x1234);
    request.extended.dwVariant = 1;
    request.extended.szTitle = u"Title";
    request.extended.szOKText = u"Sign";
    request.extended.szCancelText = u"Stop";
    request.extended.dwUseOwner = 1;
    request.extended.hwndOwner = owner;
    PCCERT_CONTEXT chosen = nullptr;
    ASSERT_EQ(CustomCryptUIDlgSelectCertificate(&request, &chosen, {certs_[0]}), S_OK);
    CertFreeCertificateContext(chosen);
    ASSERT_EQ(g_dialog.calls, 1);  // a caption forces the dialog even for one candidate
    EXPECT_EQ(std::u16string(g_dialog.param.szTitle), u"Title");
    EXPECT_EQ(std::u16string(g_dialog.param.szOKText), u"Sign");
    EXPECT_EQ(std::u16string(g_dialog.param.szCancelText), u"Stop");
    EXPECT_EQ(g_dialog.param.szHeading, nullptr);
    EXPECT_EQ(g_dialog.param.hwndOwner, owner);
}

}  // namespace
