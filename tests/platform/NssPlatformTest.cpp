// The production platform over a real NSS database made by make-nssdb.sh: the personal store,
// the key-provider property, private-key access, hashing, signing and the PIN prompt.
#include <gtest/gtest.h>
#include <nss.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "common/Utf.h"
#include "platform/crypt/CertServices.h"
#include "platform/crypt/NssCertPlatform.h"
#include "platform/runtime/LastError.h"
#include "platform/window/PinPrompt.h"
#include "tests/support/NssFixture.h"
#include "tests/support/StandInCertPlatform.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The personal store's certificates, by fixture name (matched on their DER bytes).
class NssPlatformTest : public testing::Test {
  protected:
    // Each fixture is built on first use (a test process runs one test) and checked for changes
    // at the end: whatever the tests did, the database files must be byte-identical.
    static NssFixture* Fixture(bool with_password) {
        std::unique_ptr<NssFixture>& slot = with_password ? protected_fixture_ : fixture_;
        if (!slot) {
            slot = std::make_unique<NssFixture>(with_password ? "secret" : "");
            before_[slot.get()] = slot->Checksums();
        }
        return slot.get();
    }
    static void TearDownTestSuite() {
        for (std::unique_ptr<NssFixture>* slot : {&fixture_, &protected_fixture_}) {
            if (*slot) {
                EXPECT_EQ((*slot)->Checksums(), before_[slot->get()]);
            }
            slot->reset();
        }
        before_.clear();
    }
    void TearDown() override {
        SetPinPrompt(nullptr);
        scoped_.reset();
        platform_.reset();
        EXPECT_FALSE(NSS_IsInitialized());  // every NSS object was released
    }

    NssFixture* Use(bool with_password) {
        NssFixture* fixture = Fixture(with_password);
        EXPECT_TRUE(fixture->ok());
        platform_ = std::make_unique<NssCertPlatform>(fixture->database_dir());
        scoped_ = std::make_unique<ScopedCertPlatform>(platform_.get());
        fixture_in_use_ = fixture;
        return fixture;
    }

    std::map<std::string, ContextPtr> OpenPersonalStore() {
        std::map<std::string, ContextPtr> found;
        HCERTSTORE store =
            CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                          CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, u"MY");
        EXPECT_NE(store, nullptr);
        PCCERT_CONTEXT context = nullptr;
        while ((context = CertEnumCertificatesInStore(store, context)) != nullptr) {
            const Bytes der(context->pbCertEncoded,
                            context->pbCertEncoded + context->cbCertEncoded);
            std::string name = "?";
            for (const char* candidate : {"sign", "nonrep", "encrypt", "multi", "nocn", "expired",
                                          "sm2signed", "ca", "sm2ca"})
                if (fixture_in_use_->Certificate(candidate) == der) name = candidate;
            found[name].reset(CertDuplicateCertificateContext(context));
        }
        CertCloseStore(store, 0);
        return found;
    }

    struct Provider {
        HCRYPTPROV handle = 0;
        DWORD key_spec = 0;
        ~Provider() {
            if (handle != 0) CryptReleaseContext(handle, 0);
        }
    };

    static std::unique_ptr<NssFixture> fixture_;
    static std::unique_ptr<NssFixture> protected_fixture_;
    static std::map<NssFixture*, std::map<std::string, std::string>> before_;
    NssFixture* fixture_in_use_ = nullptr;
    std::unique_ptr<NssCertPlatform> platform_;
    std::unique_ptr<ScopedCertPlatform> scoped_;
};

std::unique_ptr<NssFixture> NssPlatformTest::fixture_;
std::unique_ptr<NssFixture> NssPlatformTest::protected_fixture_;
std::map<NssFixture*, std::map<std::string, std::string>> NssPlatformTest::before_;

std::string ProvParam(HCRYPTPROV provider, DWORD param) {
    DWORD size = 0;
    if (!CryptGetProvParam(provider, param, nullptr, &size, 0)) return "<failed>";
    std::string value(size, '\0');
    if (!CryptGetProvParam(provider, param, reinterpret_cast<BYTE*>(value.data()), &size, 0))
        return "<failed>";
    return value.c_str();
}

TEST_F(NssPlatformTest, PersonalStoreListsTheDatabaseWithKeyProvidersAndNoRoots) {
    Use(false);
    EXPECT_FALSE(platform_->started());  // nothing so far needed the database
    auto store = OpenPersonalStore();
    EXPECT_TRUE(platform_->started());
    std::set<std::string> names;
    for (const auto& [name, context] : store) names.insert(name);
    EXPECT_EQ(names, (std::set<std::string>{"sign", "nonrep", "encrypt", "multi", "nocn", "expired",
                                            "sm2signed", "ca", "sm2ca"}));

    for (const auto& [name, context] : store) {
        DWORD size = 0;
        const bool has_key = name != "ca" && name != "sm2ca";
        ASSERT_EQ(CertGetCertificateContextProperty(context.get(), CERT_KEY_PROV_INFO_PROP_ID,
                                                    nullptr, &size) == TRUE,
                  has_key)
            << name;
        if (!has_key) {
            EXPECT_EQ(static_cast<HRESULT>(GetLastError()), CRYPT_E_NOT_FOUND);
            continue;
        }
        Bytes buffer(size);
        ASSERT_TRUE(CertGetCertificateContextProperty(context.get(), CERT_KEY_PROV_INFO_PROP_ID,
                                                      buffer.data(), &size));
        const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
        EXPECT_EQ(Utf16ToUtf8String(info->pwszProvName), "NSS Certificate DB") << name;
        EXPECT_EQ(Utf16ToUtf8String(info->pwszContainerName).size(), 40u) << name;  // CKA_ID
        EXPECT_EQ(info->dwKeySpec, AT_KEYEXCHANGE);
    }
}

TEST_F(NssPlatformTest, PrivateKeyIsReachableExactlyWhenTheTokenHoldsIt) {
    NssFixture* fixture = Use(false);
    auto store = OpenPersonalStore();
    for (const auto& [name, context] : store) {
        Provider provider;
        const BOOL acquired = CryptAcquireCertificatePrivateKey(
            context.get(), 0, nullptr, &provider.handle, &provider.key_spec, nullptr);
        const bool has_key = name != "ca" && name != "sm2ca";
        EXPECT_EQ(acquired == TRUE, has_key) << name;
        if (!has_key) {
            EXPECT_EQ(provider.handle, 0u);
            continue;
        }
        EXPECT_EQ(ProvParam(provider.handle, PP_NAME), "NSS Certificate DB");
        EXPECT_EQ(ProvParam(provider.handle, PP_CONTAINER).size(), 40u);
        DWORD imp_type = 0, size = sizeof imp_type;
        ASSERT_TRUE(CryptGetProvParam(provider.handle, PP_IMPTYPE,
                                      reinterpret_cast<BYTE*>(&imp_type), &size, 0));
        EXPECT_EQ(imp_type, CRYPT_IMPL_SOFTWARE);
    }
    // A fresh context of a database certificate leads to its key through the certificate alone;
    // a certificate the database does not know does not.
    const Bytes sign = fixture->Certificate("sign");
    ContextPtr fresh(CertCreateCertificateContext(X509_ASN_ENCODING, sign.data(),
                                                  static_cast<DWORD>(sign.size())));
    Provider provider;
    EXPECT_TRUE(CryptAcquireCertificatePrivateKey(fresh.get(), 0, nullptr, &provider.handle,
                                                  &provider.key_spec, nullptr));
    SharedPkey key = MakeRsaKey(1024);
    const Bytes stranger = MakeTestCertificate(key.get(), TestCertificateSpec{});
    ContextPtr unknown(CertCreateCertificateContext(X509_ASN_ENCODING, stranger.data(),
                                                    static_cast<DWORD>(stranger.size())));
    Provider none;
    EXPECT_FALSE(CryptAcquireCertificatePrivateKey(unknown.get(), 0, nullptr, &none.handle,
                                                   &none.key_spec, nullptr));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), CRYPT_E_NO_KEY_PROPERTY);
}

// Hashes in the given chunks and signs; returns the signature most significant byte first.
Bytes HashAndSign(PCCERT_CONTEXT context, ALG_ID alg, const Bytes& message, size_t chunk,
                  HRESULT* error) {
    *error = S_OK;
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    DWORD key_spec = 0, size = 0;
    Bytes signature;
    auto fail = [&]() {
        *error = static_cast<HRESULT>(GetLastError());
        signature.clear();
    };
    if (!CryptAcquireCertificatePrivateKey(context, 0, nullptr, &provider, &key_spec, nullptr)) {
        fail();
        return signature;
    }
    if (!CryptCreateHash(provider, alg, 0, 0, &hash)) {
        fail();
    } else {
        bool ok = true;
        for (size_t at = 0; ok && at < message.size(); at += chunk)
            ok = CryptHashData(hash, message.data() + at,
                               static_cast<DWORD>(std::min(chunk, message.size() - at)), 0);
        if (!ok || !CryptSignHashW(hash, key_spec, nullptr, 0, nullptr, &size)) {
            fail();
        } else {
            signature.resize(size);
            if (!CryptSignHashW(hash, key_spec, nullptr, 0, signature.data(), &size))
                fail();
            else
                std::reverse(signature.begin(), signature.end());
        }
        CryptDestroyHash(hash);
    }
    CryptReleaseContext(provider, 0);
    return signature;
}

bool Verifies(const Bytes& certificate, const EVP_MD* md, const Bytes& message,
              const Bytes& signature) {
    const unsigned char* p = certificate.data();
    X509* x509 = d2i_X509(nullptr, &p, static_cast<long>(certificate.size()));
    EVP_PKEY* key = X509_get0_pubkey(x509);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    const bool ok = EVP_DigestVerifyInit(ctx, nullptr, md, nullptr, key) == 1 &&
                    EVP_DigestVerify(ctx, signature.data(), signature.size(), message.data(),
                                     message.size()) == 1;
    EVP_MD_CTX_free(ctx);
    X509_free(x509);
    return ok;
}

TEST_F(NssPlatformTest, SignsWithEveryDigestAndTheCallersChunks) {
    NssFixture* fixture = Use(false);
    auto store = OpenPersonalStore();
    const Bytes message(40000, 'm');
    const struct {
        ALG_ID alg;
        const EVP_MD* md;
    } cases[] = {{CALG_MD5, EVP_md5()},
                 {CALG_SHA1, EVP_sha1()},
                 {CALG_SHA_256, EVP_sha256()},
                 {CALG_SHA_384, EVP_sha384()},
                 {CALG_SHA_512, EVP_sha512()}};
    for (const auto& c : cases) {
        HRESULT error = S_OK;
        const Bytes signature = HashAndSign(store["sign"].get(), c.alg, message, 16384, &error);
        ASSERT_EQ(error, S_OK) << std::hex << c.alg;
        EXPECT_EQ(signature.size(), 256u);
        EXPECT_TRUE(Verifies(fixture->Certificate("sign"), c.md, message, signature))
            << std::hex << c.alg;
    }
    HRESULT error = S_OK;
    EXPECT_TRUE(HashAndSign(store["sign"].get(), 0x8002 /* MD4 */, message, 16384, &error).empty());
    EXPECT_EQ(error, NTE_BAD_ALGID);
}

TEST_F(NssPlatformTest, LoginAsksThePinPromptOnlyWhenTheKeyIsUsed) {
    NssFixture* fixture = Use(true);
    std::vector<PinPromptRequest> asked;
    std::vector<std::string> answers;
    SetPinPrompt([&](const PinPromptRequest& request, std::string* pin) {
        asked.push_back(request);
        if (answers.empty()) return PinPromptResult::kCancelled;
        *pin = answers.front();
        answers.erase(answers.begin());
        return PinPromptResult::kOk;
    });
    auto store = OpenPersonalStore();
    const Bytes message = {'h', 'i'};

    // Listing and reaching the key need no login.
    Provider provider;
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(store["sign"].get(), 0, nullptr, &provider.handle,
                                                  &provider.key_spec, nullptr));
    EXPECT_TRUE(asked.empty());

    // Cancelled: the signing step fails with the platform's cancel code.
    HRESULT error = S_OK;
    EXPECT_TRUE(HashAndSign(store["sign"].get(), CALG_SHA_256, message, 16384, &error).empty());
    EXPECT_EQ(HRESULT_FROM_WIN32(error), HRESULT_CANCELLED);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].token_name, "NSS Certificate DB");

    // A wrong PIN is asked again, saying so; the right one signs.
    asked.clear();
    answers = {"wrong", "secret"};
    const Bytes signature = HashAndSign(store["sign"].get(), CALG_SHA_256, message, 16384, &error);
    ASSERT_EQ(error, S_OK);
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_FALSE(asked[0].previous_attempt_failed);
    EXPECT_TRUE(asked[1].previous_attempt_failed);
    EXPECT_TRUE(Verifies(fixture->Certificate("sign"), EVP_sha256(), message, signature));
}

TEST_F(NssPlatformTest, DefaultPromptDeclinesAtOnce) {
    Use(true);
    auto store = OpenPersonalStore();
    HRESULT error = S_OK;
    EXPECT_TRUE(HashAndSign(store["nonrep"].get(), CALG_SHA1, {'x'}, 16384, &error).empty());
    EXPECT_EQ(HRESULT_FROM_WIN32(error), HRESULT_CANCELLED);
}

TEST_F(NssPlatformTest, MissingDatabaseIsAnEmptyStore) {
    platform_ = std::make_unique<NssCertPlatform>("/nonexistent/tessora/nssdb");
    scoped_ = std::make_unique<ScopedCertPlatform>(platform_.get());
    EXPECT_TRUE(OpenPersonalStore().empty());
    EXPECT_FALSE(platform_->started());
}

TEST_F(NssPlatformTest, DescribesTheDatabaseItOpened) {
    NssFixture* fixture = Use(false);
    const NssDatabaseState state = platform_->DescribeDatabase();
    EXPECT_EQ(state.path, fixture->database_dir());
    EXPECT_TRUE(state.opened);
    EXPECT_EQ(state.error, "");
    EXPECT_EQ(state.certificates, 9u);
    EXPECT_EQ(state.certificates_with_key, 7u);  // all but the two authorities
    EXPECT_NE(std::find(state.tokens.begin(), state.tokens.end(), "NSS Certificate DB"),
              state.tokens.end());
}

// Each fault of the database leaves an empty personal store, says why in NSS's (or the file
// system's) words, and leaves the files exactly as they were.
struct DatabaseFault {
    const char* name;
    const char* file;  // replaced by random bytes, or removed when `remove`
    bool remove;
    const char* error;  // what the description says
};

// ctest shows the case by its name.
void PrintTo(const DatabaseFault& c, std::ostream* os) { *os << c.name; }

class NssDatabaseFaultTest : public NssPlatformTest,
                             public testing::WithParamInterface<DatabaseFault> {};

TEST_P(NssDatabaseFaultTest, LeavesAnEmptyStoreSaysWhyAndChangesNoFile) {
    const DatabaseFault& fault = GetParam();
    fixture_in_use_ = Fixture(false);
    test_shell::TempDir copy;
    const std::filesystem::path dir = copy.path() / "nssdb";
    std::filesystem::copy(fixture_in_use_->database_dir(), dir);
    if (fault.remove)
        std::filesystem::remove_all(dir / fault.file);
    else
        copy.Write("nssdb/" + std::string(fault.file), std::string(4096, '\x5a'));
    const auto before = DirectoryChecksums(dir.string());

    platform_ = std::make_unique<NssCertPlatform>(dir.string());
    scoped_ = std::make_unique<ScopedCertPlatform>(platform_.get());
    EXPECT_TRUE(OpenPersonalStore().empty());
    const NssDatabaseState state = platform_->DescribeDatabase();
    EXPECT_EQ(state.path, dir.string());
    EXPECT_FALSE(state.opened);
    EXPECT_NE(state.error.find(fault.error), std::string::npos) << state.error;
    EXPECT_EQ(state.certificates_with_key, 0u);
    platform_.reset();
    EXPECT_EQ(DirectoryChecksums(dir.string()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, NssDatabaseFaultTest,
    testing::Values(DatabaseFault{"MissingFolder", "", true, "No such file or directory"},
                    DatabaseFault{"MissingCertificateFile", "cert9.db", true,
                                  "cert9.db: No such file or directory"},
                    DatabaseFault{"CorruptCertificateFile", "cert9.db", false,
                                  "SEC_ERROR_BAD_DATABASE"},
                    DatabaseFault{"CorruptKeyFile", "key4.db", false, "SEC_ERROR_BAD_DATABASE"},
                    DatabaseFault{"MissingKeyFile", "key4.db", true, "SEC_ERROR_BAD_DATABASE"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(NssPlatformTest, ProductionPlatformFindsTheDatabaseUnderHome) {
    fixture_in_use_ = Fixture(false);
    ScopedHome home(fixture_in_use_->home());
    EXPECT_EQ(OpenPersonalStore().size(), 9u);
    ReleaseCertPlatformResources();
}

}  // namespace
