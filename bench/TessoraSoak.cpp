// tessora-soak [REQUESTS] [--check]: one tessora-host answers REQUESTS (100000 unless given) mixed
// requests over one connection, as a page that stays open for days would send them: GetVersion,
// GetLastErrorDesc, SetSM2CSPList, SelectCertificate and GetSignCertInfo, RSA SignMsgPKCS7
// attached and detached with a throwaway NSS database, SM2 SignMsgPKCS7 with the software token,
// GetKeyID, and requests that are wrong in each way a page can get them wrong. It prints the
// host's resident memory and open descriptors after the warm-up and every 10000 requests.
//
// With --check it fails (exit 1) unless every request got the answer it should, the resident
// memory grew by less than 1 MiB after the warm-up and the host holds as many descriptors at the
// end as after the warm-up.
#include <dirent.h>
#include <sys/types.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench/BenchSetup.h"
#include "tools/nmclient/HostPipe.h"

namespace {

constexpr int kTimeoutMs = 120 * 1000;
constexpr long kWarmUpRequests = 1000;
constexpr long kReportEvery = 10000;
constexpr long kAllowedGrowthKiB = 1024;

struct Request {
    std::string text;
    bool must_succeed;  // errorcode 0; otherwise any framed answer will do
};

// The cycle of requests; `n` varies the messages so that no two signatures are alike.
std::vector<Request> Cycle(long n) {
    const std::string message = "Soak message " + std::to_string(n) + " of the day";
    return {
        {R"({"function":"GetVersion","params":[],"randomId":"1"})", true},
        {R"({"function":"SetSM2CSPList","params":["Soak token"]})", true},
        {R"({"function":"SelectCertificate","params":["Soak RSA Signer","",""]})", true},
        {R"({"function":"GetSignCertInfo","params":["SubjectCN"]})", true},
        {R"({"function":"SignMsgPKCS7","params":[")" + message + R"(","SHA-256",true]})", true},
        {R"({"function":"SignMsgPKCS7","params":[")" + message + R"(","SHA-1",false]})", true},
        {R"({"function":"GetLastErrorDesc","params":[]})", true},
        {R"({"function":"SelectCertificate","params":["Soak SM2 Signer","",""]})", true},
        {R"({"function":"GetSignCertInfo","params":["CertContent"]})", true},
        {R"({"function":"SignMsgPKCS7","params":[")" + message + R"(","",)" +
             (n % 2 == 0 ? "true" : "false") + "]}",
         true},
        {R"({"function":"GetKeyID","params":["SM2"]})", false},
        {"not a request " + std::to_string(n), false},
        {R"({"function":"NoSuchFunction","params":[]})", false},
        {R"({"function":"SignMsgPKCS7","params":[1]})", false},
        {R"({"function":"SelectCertificate","params":[1,{"param":2},null]})", false},
        {R"({"function":"SetSM2CSPList","params":[""]})", false},
        {R"({"function":"GetLastErrorDesc","params":[]})", true},
    };
}

long ResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

long OpenDescriptors(pid_t pid) {
    DIR* folder = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (folder == nullptr) return -1;
    long count = 0;
    while (const dirent* entry = readdir(folder))
        if (entry->d_name[0] != '.') ++count;
    closedir(folder);
    return count;
}

}  // namespace

int main(int argc, char* argv[]) {
    long total = 100000;
    bool check = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--check") == 0)
            check = true;
        else if ((total = std::atol(argv[i])) <= kWarmUpRequests) {
            std::fprintf(stderr, "usage: tessora-soak [REQUESTS (more than %ld)] [--check]\n",
                         kWarmUpRequests);
            return 2;
        }
    }
    const RsaSetup rsa("Soak RSA Signer");
    const SoftTokenSetup token("Soak SM2 Signer", "Soak token");
    if (!rsa.ok || !token.ok) {
        std::fprintf(stderr, "tessora-soak: the NSS database or the software token failed\n");
        return 1;
    }
    tessora::HostPipe host;
    if (!host.Start(TESSORA_HOST_PATH,
                    {"HOME=" + rsa.home.string(), "XDG_CONFIG_HOME=" + token.folder.string(),
                     "SOFTSKF_STATE", "DISPLAY", "WAYLAND_DISPLAY", "XDG_CACHE_HOME",
                     "XDG_RUNTIME_DIR=/nonexistent"})) {
        std::fprintf(stderr, "tessora-soak: the host did not start\n");
        return 1;
    }
    std::printf("%10s %12s %12s %10s\n", "requests", "RSS KiB", "descriptors", "failures");
    long sent = 0, failures = 0, warm_rss = -1, warm_fds = -1;
    for (long n = 0; sent < total; ++n) {
        for (const Request& request : Cycle(n)) {
            if (sent == total) break;
            std::string response;
            const bool framed =
                host.WriteFrame(request.text, kTimeoutMs) &&
                host.ReadFrame(&response, kTimeoutMs) == tessora::HostPipe::ReadStatus::kFrame;
            if (!framed) {
                std::fprintf(stderr, "tessora-soak: no answer to request %ld: %s\n", sent + 1,
                             request.text.c_str());
                return 1;
            }
            if (request.must_succeed && response.find("\"errorcode\":0,") == std::string::npos) {
                if (++failures <= 5)
                    std::fprintf(stderr, "tessora-soak: %s answered %s\n", request.text.c_str(),
                                 response.substr(0, 200).c_str());
            }
            ++sent;
            if (sent == kWarmUpRequests || sent % kReportEvery == 0 || sent == total) {
                const long rss = ResidentKiB(host.pid());
                const long fds = OpenDescriptors(host.pid());
                if (sent == kWarmUpRequests) {
                    warm_rss = rss;
                    warm_fds = fds;
                }
                std::printf("%10ld %12ld %12ld %10ld\n", sent, rss, fds, failures);
                std::fflush(stdout);
            }
        }
    }
    const long end_rss = ResidentKiB(host.pid());
    const long end_fds = OpenDescriptors(host.pid());
    const int exit_code = host.Finish(kTimeoutMs);
    std::printf("after the warm-up: RSS %+ld KiB, descriptors %+ld; host exit code %d\n",
                end_rss - warm_rss, end_fds - warm_fds, exit_code);
    if (!check) return 0;
    const bool flat = end_rss - warm_rss < kAllowedGrowthKiB && end_fds == warm_fds;
    return failures == 0 && flat && exit_code == 0 && warm_rss > 0 ? 0 : 1;
}
