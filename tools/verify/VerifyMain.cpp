// tessora-verify: checks a PKCS#7 signature (Base64 text in a file) with the agent's verification
// operations, for users and support staff.
//
//   tessora-verify attached SM2|RSA SIGFILE
//   tessora-verify detached SM2|RSA SIGFILE MSGFILE
//
// Prints the result code with its description and, when the signature verifies, the signer
// certificate's validity. Exit status: 0 verified, 1 not verified, 2 usage or file error.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "agent/CryptoAgent.h"
#include "common/Trace.h"
#include "common/Utf.h"
#include "platform/runtime/Resources.h"
#include "platform/runtime/WideString.h"

namespace {

constexpr int kExitVerified = 0;
constexpr int kExitNotVerified = 1;
constexpr int kExitUsage = 2;
// Far above any real signature or message; keeps a wrong file from being read whole.
constexpr std::streamoff kMaxFileSize = 64 * 1024 * 1024;

void PrintUsage() {
    std::cerr << "usage: tessora-verify attached SM2|RSA SIGFILE\n"
                 "       tessora-verify detached SM2|RSA SIGFILE MSGFILE\n"
                 "SIGFILE holds the signature as Base64 text; MSGFILE holds the signed message as\n"
                 "UTF-8 text, byte for byte (a final line break counts as part of the message).\n";
}

// Reads a whole file; on failure prints why and returns false.
bool ReadTextFile(const char* role, const char* path, std::string* text) {
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) {
        std::cerr << "tessora-verify: " << role << " '" << path << "' is a directory\n";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::cerr << "tessora-verify: cannot read " << role << " '" << path
                  << "': " << std::strerror(errno) << "\n";
        return false;
    }
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0) {
        std::cerr << "tessora-verify: " << role << " '" << path << "' is not a regular file\n";
        return false;
    }
    if (size > kMaxFileSize) {
        std::cerr << "tessora-verify: " << role << " '" << path << "' is too large (" << size
                  << " bytes)\n";
        return false;
    }
    in.seekg(0, std::ios::beg);
    std::ostringstream content;
    content << in.rdbuf();
    *text = content.str();
    if (text->empty()) {
        std::cerr << "tessora-verify: " << role << " '" << path << "' is empty\n";
        return false;
    }
    if (text->find('\0') != std::string::npos) {
        std::cerr << "tessora-verify: " << role << " '" << path
                  << "' holds a NUL byte; it is not a text file\n";
        return false;
    }
    return true;
}

// The message travels as UTF-16 and is signed as its UTF-8 bytes: text that is not valid UTF-8
// cannot come back byte for byte.
void WarnIfNotUtf8(const char* path, const std::string& text) {
    if (Utf16ToUtf8String(Utf8ToUtf16String(text)) != text)
        std::cerr << "tessora-verify: warning: MSGFILE '" << path
                  << "' is not valid UTF-8; its invalid bytes are replaced before checking\n";
}

// GetLastErrorDesc gives "text\n(0x........)"; the number is printed separately.
std::string DescriptionText(CCryptoAgent& agent) {
    BStr description;
    agent.GetLastErrorDesc(description.Receive());
    std::string text = Utf16ToUtf8String(description.View());
    const size_t number = text.rfind("\n(0x");
    if (number != std::string::npos) text.erase(number);
    return text;
}

// The agent's validity text is "notBefore\n;notAfter\n"; shown as two labelled lines.
void PrintValidity(const std::string& text) {
    const size_t separator = text.find("\n;");
    if (text.empty()) {
        std::printf("Signer certificate validity: not available\n");
    } else if (separator == std::string::npos) {
        std::printf("Signer certificate validity: %s\n", text.c_str());
    } else {
        std::printf("Valid from: %s\n", text.substr(0, separator).c_str());
        std::printf("Valid to:   %s", text.substr(separator + 2).c_str());
    }
}

int Verify(int argc, char* argv[]) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const bool attached = mode == "attached";
    if (!((attached && argc == 4) || (mode == "detached" && argc == 5))) {
        PrintUsage();
        return kExitUsage;
    }
    std::string signature;
    std::string message;
    if (!ReadTextFile("SIGFILE", argv[3], &signature)) return kExitUsage;
    if (!attached) {
        if (!ReadTextFile("MSGFILE", argv[4], &message)) return kExitUsage;
        WarnIfNotUtf8(argv[4], message);
    }
    const std::u16string signature_text = Utf8ToUtf16String(signature);
    const std::u16string algorithm = Utf8ToUtf16String(argv[2]);
    const std::u16string message_text = Utf8ToUtf16String(message);

    CCryptoAgent agent;
    BStr validity;
    const HRESULT result =
        attached ? agent.VerifyMsgSignaturePKCS7Attached(signature_text.c_str(), algorithm.c_str(),
                                                         validity.Receive())
                 : agent.VerifyMsgSignaturePKCS7Detached(signature_text.c_str(), algorithm.c_str(),
                                                         message_text.c_str(), validity.Receive());
    const std::string description = DescriptionText(agent);
    std::printf("0x%08x%s%s\n", static_cast<unsigned>(result), description.empty() ? "" : " ",
                description.c_str());
    if (result != S_OK) return kExitNotVerified;
    PrintValidity(Utf16ToUtf8String(validity.View()));
    return kExitVerified;
}

}  // namespace

int main(int argc, char* argv[]) {
    trace::Start("tessora-verify");
    g_hInstance = GetModuleHandleW(nullptr);
    const int status = Verify(argc, argv);
    std::fflush(stdout);
    trace::Stop();
    return status;
}
