// tessora-verify end to end: the real binary on files, as a user runs it.
#include <gtest/gtest.h>

#include "tests/verification/TestPki.h"

#ifndef TESSORA_VERIFY_BINARY
#error "TESSORA_VERIFY_BINARY must name the tessora-verify executable"
#endif

namespace {

using namespace verify_test;

constexpr char kMessage[] = "Pay 50 to 祝你好运\n";

class VerifyTool : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir();
        auto sm2_key = MakeSm2Key();
        auto sm2_cert = MakeCertificate(sm2_key.get(), sm2_key.get(), {});
        auto rsa_key = MakeRsaKey();
        auto rsa_cert = MakeCertificate(rsa_key.get(), rsa_key.get(), {});
        const Bytes message = ToBytes(kMessage);
        dir_->Write("message.txt", std::string(kMessage));
        dir_->Write("other.txt", std::string("Pay 90 to 祝你好运\n"));
        dir_->Write("rsa-a.b64", Base64(CmsSign(*dir_, rsa_cert.get(), rsa_key.get(), kMessage,
                                                "sha256", true)));
        dir_->Write("rsa-d.b64",
                    Base64(CmsSign(*dir_, rsa_cert.get(), rsa_key.get(), kMessage, "sha1", false)));
        dir_->Write("sm2-a.b64",
                    Base64(MakeSm2SignedData(sm2_key.get(), sm2_cert.get(), message, true)));
        const Bytes sm2_detached = MakeSm2SignedData(sm2_key.get(), sm2_cert.get(), message, false);
        dir_->Write("sm2-d.b64", Base64(sm2_detached));
        Bytes tampered = sm2_detached;
        tampered[tampered.size() - 2] ^= 0x01;
        dir_->Write("sm2-tampered.b64", Base64(tampered));
        dir_->Write("empty.b64", std::string());
        dir_->Write("garbage.b64", std::string("\x01\x02\xff plain words", 15));
        dir_->Write("nul.b64", std::string("MIIB\0AAAA", 9));
    }
    static void TearDownTestSuite() { delete dir_; }

    static int Verify(const std::string& args, std::string* output) {
        std::string command = "cd " + dir_->path().string() +
                              " && LC_ALL=C LANG=C TZ=UTC " TESSORA_VERIFY_BINARY " " + args;
        return verify_test::Run(command, output);
    }

    static TempDir* dir_;
};
TempDir* VerifyTool::dir_ = nullptr;

TEST_F(VerifyTool, ExitStatusAndReportFollowTheVerification) {
    struct Case {
        const char* args;
        int status;
        const char* expected;  // a line the output must hold
    };
    const Case cases[] = {
        {"attached RSA rsa-a.b64", 0, "0x00000000 The operation completed successfully."},
        {"detached RSA rsa-d.b64 message.txt", 0, "Valid from: "},
        {"detached RSA rsa-d.b64 other.txt", 1, "0x80090006 "},
        {"attached SM2 sm2-a.b64", 0, "Valid to:   "},
        {"detached sm2 sm2-d.b64 message.txt", 0, "0x00000000 "},
        {"detached SM2 sm2-d.b64 other.txt", 1, "0x80090006 "},
        {"detached SM2 sm2-tampered.b64 message.txt", 1, "0x80090006 "},
        {"attached RSA sm2-a.b64", 1, "0xa0072022 Invalid sign type."},
        {"detached SM2 sm2-a.b64 message.txt", 1, "0xa0071104 Invalid PKCS7 singature format."},
        {"attached RSA garbage.b64", 1, "0x8007000d "},
        {"attached RSA missing.b64", 2, "cannot read SIGFILE 'missing.b64'"},
        {"attached RSA empty.b64", 2, "SIGFILE 'empty.b64' is empty"},
        {"attached RSA nul.b64", 2, "holds a NUL byte"},
        {"detached RSA rsa-d.b64 .", 2, "MSGFILE '.' is a directory"},
        {"detached RSA rsa-d.b64", 2, "usage: tessora-verify"},
        {"", 2, "usage: tessora-verify"},
    };
    for (const Case& c : cases) {
        std::string output;
        EXPECT_EQ(Verify(c.args, &output), c.status) << c.args << "\n" << output;
        EXPECT_NE(output.find(c.expected), std::string::npos) << c.args << "\n" << output;
    }
}

}  // namespace
