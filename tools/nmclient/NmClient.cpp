// tessora-nmclient HOST [JSON ...]: talks to a native messaging host the way the browser does.
// Each JSON request (the arguments, or one per line on standard input) goes to the host as one
// frame; the request and the decoded response are printed, and finally the host's exit code.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "tools/nmclient/HostPipe.h"

namespace {

// Long enough for a person to answer a dialog or a PIN prompt the host shows.
constexpr int kTimeoutMs = 10 * 60 * 1000;

// Long texts are cut for the terminal, at a UTF-8 character boundary.
std::string Shorten(const std::string& text) {
    constexpr size_t kShown = 300;
    if (text.size() <= 4 * kShown) return text;
    size_t cut = kShown;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut) + "... (" + std::to_string(text.size()) + " bytes)";
}

int Usage() {
    std::fprintf(stderr,
                 "usage: tessora-nmclient HOST [JSON ...]\n"
                 "Sends each JSON request (or each line of standard input) to HOST as a native\n"
                 "messaging frame and prints the request and the decoded response.\n");
    return 2;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) return Usage();
    std::vector<std::string> requests(argv + 2, argv + argc);
    if (requests.empty()) {
        for (std::string line; std::getline(std::cin, line);)
            if (!line.empty()) requests.push_back(line);
    }

    tessora::HostPipe host;
    if (!host.Start(argv[1])) {
        std::fprintf(stderr, "tessora-nmclient: cannot start %s\n", argv[1]);
        return 1;
    }
    int status = 0;
    for (const std::string& request : requests) {
        std::printf("→ %s\n", Shorten(request).c_str());
        std::fflush(stdout);
        std::string response;
        auto read = tessora::HostPipe::ReadStatus::kEnd;
        if (host.WriteFrame(request, kTimeoutMs)) read = host.ReadFrame(&response, kTimeoutMs);
        if (read == tessora::HostPipe::ReadStatus::kFrame) {
            std::printf("← %s\n", Shorten(response).c_str());
            continue;
        }
        if (read == tessora::HostPipe::ReadStatus::kSentinel) {
            std::printf("← FF FF FF FF (the response was too long to send)\n");
        } else if (read == tessora::HostPipe::ReadStatus::kTimeout) {
            std::printf("← (no response in time)\n");
            status = 1;
        } else {
            std::printf("← (the host closed its output)\n");
        }
        break;
    }
    const int exit_code = host.Finish(kTimeoutMs);
    if (!host.errors().empty()) std::printf("host wrote to stderr:\n%s\n", host.errors().c_str());
    if (exit_code < 0) {
        std::printf("the host did not exit in time\n");
        return 1;
    }
    std::printf("host exit code %d\n", exit_code);
    return status;
}
