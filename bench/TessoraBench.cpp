// tessora-bench [RUNS] [REQUESTS]: start-up and request rate of tessora-host, each beside the
// same figure for a minimal C echo host, so that the host's own share shows.
//   (1) process start -> one GetVersion answered -> exit at end of input: median of RUNS
//   (2) GetVersion round trips per second over one connection, REQUESTS of them
//   (3) resident memory after one GetVersion, with the host idle
//   (4) RSA SignMsgPKCS7 of 512 KiB attached, whole process (start, select, sign, exit) with a key
//       of a throwaway NSS database, beside `openssl cms -sign -noattr -binary -nodetach` of the
//       same bytes with the same key
//   (5) detached RSA signatures of 1 MiB and 4 MiB over one connection: the time of 4 MiB over
//       that of 1 MiB, and the milliseconds per MiB beyond hashing (SHA-256, measured here) and
//       signing (the same for both sizes, so it drops out of the difference)
//   (6) SM2 SignMsgPKCS7 of 512 KiB with the software token (one request, median of 5) beside
//       `openssl pkeyutl -sign -rawin -digest sm3` of the same bytes with the same key
#include <openssl/evp.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/BenchSetup.h"
#include "tools/nmclient/HostPipe.h"

namespace {

constexpr int kTimeoutMs = 30000;
const std::string kRequest = R"({"function":"GetVersion","params":[],"randomId":"1"})";

// Process start to exit around one request, in microseconds; negative on failure.
double OneShotMicros(const char* program) {
    struct timespec t0 {
    }, t1{};
    clock_gettime(CLOCK_MONOTONIC, &t0);
    tessora::HostPipe host;
    std::string response;
    if (!host.Start(program) || !host.WriteFrame(kRequest, kTimeoutMs) ||
        host.ReadFrame(&response, kTimeoutMs) != tessora::HostPipe::ReadStatus::kFrame ||
        host.Finish(kTimeoutMs) != 0)
        return -1;
    clock_gettime(CLOCK_MONOTONIC, &t1);
    return (t1.tv_sec - t0.tv_sec) * 1e6 + (t1.tv_nsec - t0.tv_nsec) / 1e3;
}

double MedianStartMillis(const char* program, int runs) {
    std::vector<double> samples;
    for (int i = 0; i < runs; ++i) {
        const double us = OneShotMicros(program);
        if (us < 0) return -1;
        samples.push_back(us);
    }
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2] / 1000.0;
}

// One request at a time, as the browser's extension port delivers them.
double RequestsPerSecond(const char* program, int requests) {
    tessora::HostPipe host;
    if (!host.Start(program)) return -1;
    std::string response;
    struct timespec t0 {
    }, t1{};
    clock_gettime(CLOCK_MONOTONIC, &t0);
    for (int i = 0; i < requests; ++i) {
        if (!host.WriteFrame(kRequest, kTimeoutMs) ||
            host.ReadFrame(&response, kTimeoutMs) != tessora::HostPipe::ReadStatus::kFrame)
            return -1;
    }
    clock_gettime(CLOCK_MONOTONIC, &t1);
    if (host.Finish(kTimeoutMs) != 0) return -1;
    const double seconds = (t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9;
    return requests / seconds;
}

double Millis(const struct timespec& t0, const struct timespec& t1) {
    return (t1.tv_sec - t0.tv_sec) * 1e3 + (t1.tv_nsec - t0.tv_nsec) / 1e6;
}

double Median(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

// Milliseconds of a shell command, whole process, median of `runs`; negative when it fails.
double MedianCommandMillis(const std::string& command, int runs) {
    std::vector<double> samples;
    for (int i = 0; i < runs; ++i) {
        struct timespec t0 {
        }, t1{};
        clock_gettime(CLOCK_MONOTONIC, &t0);
        if (std::system(command.c_str()) != 0) return -1;
        clock_gettime(CLOCK_MONOTONIC, &t1);
        samples.push_back(Millis(t0, t1));
    }
    return Median(samples);
}

// Kibibytes resident in a host that has answered one GetVersion and waits for the next request.
long IdleResidentKiB(const char* program) {
    tessora::HostPipe host;
    std::string response;
    long kib = -1;
    if (!host.Start(program) || !host.WriteFrame(kRequest, kTimeoutMs) ||
        host.ReadFrame(&response, kTimeoutMs) != tessora::HostPipe::ReadStatus::kFrame)
        return -1;
    std::ifstream status("/proc/" + std::to_string(host.pid()) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) kib = std::atol(line.c_str() + 6);
    if (host.Finish(kTimeoutMs) != 0) return -1;
    return kib;
}

std::string SignRequest(const std::string& message, bool attached) {
    return R"({"function":"SignMsgPKCS7","params":[")" + message + R"(","SHA-256",)" +
           (attached ? "true" : "false") + "]}";
}

// One request and its answer; false unless the answer carries errorcode 0.
bool CallOk(tessora::HostPipe* host, const std::string& request) {
    std::string response;
    return host->WriteFrame(request, kTimeoutMs) &&
           host->ReadFrame(&response, kTimeoutMs) == tessora::HostPipe::ReadStatus::kFrame &&
           response.find("\"errorcode\":0,") != std::string::npos;
}

const std::string kSelectBenchSigner =
    R"({"function":"SelectCertificate","params":["Bench Signer","",""]})";

// Milliseconds of a whole host process that selects the certificate, signs `message` attached and
// exits; median of `runs`.
double RsaWholeProcessMillis(const RsaSetup& setup, const std::string& message, int runs) {
    const std::string request = SignRequest(message, true);
    std::vector<double> samples;
    for (int i = 0; i < runs; ++i) {
        struct timespec t0 {
        }, t1{};
        clock_gettime(CLOCK_MONOTONIC, &t0);
        tessora::HostPipe host;
        if (!host.Start(TESSORA_HOST_PATH, {"HOME=" + setup.home.string()}) ||
            !CallOk(&host, kSelectBenchSigner) || !CallOk(&host, request) ||
            host.Finish(kTimeoutMs) != 0)
            return -1;
        clock_gettime(CLOCK_MONOTONIC, &t1);
        samples.push_back(Millis(t0, t1));
    }
    return Median(samples);
}

double OpensslCmsMillis(const RsaSetup& setup, const std::string& message, int runs) {
    const std::filesystem::path input = setup.folder / "message.txt";
    std::ofstream(input, std::ios::binary) << message;
    const std::string command =
        "openssl cms -sign -noattr -binary -nodetach -outform DER -in '" + input.string() +
        "' -signer '" + (setup.folder / "cert.pem").string() + "' -inkey '" +
        (setup.folder / "key.pem").string() + "' -out /dev/null 2>/dev/null";
    return MedianCommandMillis(command, runs);
}

// Milliseconds per detached signature of each message, median of `runs`, all over one connection.
std::vector<double> RsaDetachedMillis(const RsaSetup& setup,
                                      const std::vector<std::string>& messages, int runs) {
    tessora::HostPipe host;
    std::vector<double> medians;
    if (!host.Start(TESSORA_HOST_PATH, {"HOME=" + setup.home.string()}) ||
        !CallOk(&host, kSelectBenchSigner))
        return {};
    for (const std::string& message : messages) {
        const std::string request = SignRequest(message, false);
        std::vector<double> samples;
        for (int i = 0; i < runs; ++i) {
            struct timespec t0 {
            }, t1{};
            clock_gettime(CLOCK_MONOTONIC, &t0);
            if (!CallOk(&host, request)) return {};
            clock_gettime(CLOCK_MONOTONIC, &t1);
            samples.push_back(Millis(t0, t1));
        }
        medians.push_back(Median(samples));
    }
    if (host.Finish(kTimeoutMs) != 0) return {};
    return medians;
}

// Milliseconds of SHA-256 over `message` in this process, median of `runs`.
double Sha256Millis(const std::string& message, int runs) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    std::vector<double> samples;
    for (int i = 0; i < runs; ++i) {
        struct timespec t0 {
        }, t1{};
        clock_gettime(CLOCK_MONOTONIC, &t0);
        if (EVP_Digest(message.data(), message.size(), digest, &length, EVP_sha256(), nullptr) != 1)
            return -1;
        clock_gettime(CLOCK_MONOTONIC, &t1);
        samples.push_back(Millis(t0, t1));
    }
    return Median(samples);
}

// Letters only, so the text goes into the JSON request as it is.
std::string Letters(size_t size) {
    std::string message(size, 'a');
    for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<char>('a' + i % 26);
    return message;
}

// Milliseconds of one SM2 SignMsgPKCS7 request (attached), median of `runs`, over one connection.
double Sm2SignMillis(const SoftTokenSetup& setup, const std::string& message, int runs) {
    tessora::HostPipe host;
    std::string response;
    if (!host.Start(TESSORA_HOST_PATH,
                    {"XDG_CONFIG_HOME=" + setup.folder.string(), "SOFTSKF_STATE"}))
        return -1;
    const auto call = [&](const std::string& request) {
        return host.WriteFrame(request, kTimeoutMs) &&
               host.ReadFrame(&response, kTimeoutMs) == tessora::HostPipe::ReadStatus::kFrame &&
               response.find("\"errorcode\":0,") != std::string::npos;
    };
    if (!call(R"({"function":"SetSM2CSPList","params":["Bench token"]})") ||
        !call(R"({"function":"SelectCertificate","params":["Bench Signer","",""]})"))
        return -1;
    const std::string request =
        R"({"function":"SignMsgPKCS7","params":[")" + message + R"(","",true]})";
    std::vector<double> samples;
    for (int i = 0; i < runs; ++i) {
        struct timespec t0 {
        }, t1{};
        clock_gettime(CLOCK_MONOTONIC, &t0);
        if (!call(request)) return -1;
        clock_gettime(CLOCK_MONOTONIC, &t1);
        samples.push_back(Millis(t0, t1));
    }
    if (host.Finish(kTimeoutMs) != 0) return -1;
    return Median(samples);
}

// Milliseconds of `openssl pkeyutl -sign` over the same bytes with the same key, whole process,
// median of `runs`.
double OpensslSm2SignMillis(const SoftTokenSetup& setup, const std::string& message, int runs) {
    const std::filesystem::path input = setup.folder / "message.txt";
    std::ofstream(input, std::ios::binary) << message;
    const std::string command =
        "openssl pkeyutl -sign -rawin -digest sm3 -pkeyopt "
        "distid:1234567812345678 -inkey '" +
        (setup.token / "sign.key").string() + "' -in '" + input.string() +
        "' -out /dev/null 2>/dev/null";
    return MedianCommandMillis(command, runs);
}

void PrintHeader(const char* anchor) {
    std::printf("%-52s %14s %14s %8s\n", "", "tessora-host", anchor, "ratio");
}

// One figure of the host beside its anchor, in milliseconds.
void PrintMillis(const std::string& label, double host, double anchor) {
    std::printf("%-52s %11.3f ms %11.3f ms %7.2fx\n", label.c_str(), host, anchor, host / anchor);
}

}  // namespace

int main(int argc, char* argv[]) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 200;
    const int requests = argc > 2 ? std::atoi(argv[2]) : 20000;
    if (runs <= 0 || requests <= 0) {
        std::fprintf(stderr, "usage: tessora-bench [RUNS] [REQUESTS]\n");
        return 2;
    }
    const double host_start = MedianStartMillis(TESSORA_HOST_PATH, runs);
    const double echo_start = MedianStartMillis(TESSORA_ECHO_HOST_PATH, runs);
    const double host_rate = RequestsPerSecond(TESSORA_HOST_PATH, requests);
    const double echo_rate = RequestsPerSecond(TESSORA_ECHO_HOST_PATH, requests);
    if (host_start < 0 || echo_start < 0 || host_rate < 0 || echo_rate < 0) {
        std::fprintf(stderr, "tessora-bench: a host did not answer as expected\n");
        return 1;
    }
    PrintHeader("echo host");
    PrintMillis("start, one GetVersion, exit (median of " + std::to_string(runs) + ")", host_start,
                echo_start);
    std::printf("%-52s %12.0f/s %12.0f/s %7.2fx\n",
                ("GetVersion round trips per second (" + std::to_string(requests) + ")").c_str(),
                host_rate, echo_rate, host_rate / echo_rate);

    const long host_rss = IdleResidentKiB(TESSORA_HOST_PATH);
    const long echo_rss = IdleResidentKiB(TESSORA_ECHO_HOST_PATH);
    if (host_rss < 0 || echo_rss < 0) {
        std::fprintf(stderr, "tessora-bench: a host did not answer as expected\n");
        return 1;
    }
    std::printf("%-52s %11.2f MiB %10.2f MiB %7.2fx\n", "resident memory after one GetVersion",
                host_rss / 1024.0, echo_rss / 1024.0, static_cast<double>(host_rss) / echo_rss);

    constexpr size_t kMiB = 1024 * 1024;
    const std::string message = Letters(512 * 1024);
    const RsaSetup rsa("Bench Signer");
    const double rsa_host = rsa.ok ? RsaWholeProcessMillis(rsa, message, 5) : -1;
    const double rsa_openssl = rsa.ok ? OpensslCmsMillis(rsa, message, 5) : -1;
    const std::vector<double> detached =
        rsa.ok ? RsaDetachedMillis(rsa, {Letters(kMiB), Letters(4 * kMiB)}, 3)
               : std::vector<double>();
    const double hash_4mib = Sha256Millis(Letters(4 * kMiB), 5);
    if (rsa_host < 0 || rsa_openssl < 0 || detached.size() != 2 || hash_4mib < 0) {
        std::fprintf(stderr, "tessora-bench: RSA signing with the NSS database failed\n");
        return 1;
    }
    PrintHeader("openssl cms");
    PrintMillis("RSA SignMsgPKCS7 512 KiB attached, whole process (5)", rsa_host, rsa_openssl);
    PrintMillis("RSA detached over one connection: 4 MiB vs 1 MiB (3)", detached[1], detached[0]);
    std::printf("%-52s %11.3f ms %11.3f ms\n", "  per MiB beyond signing, vs SHA-256 per MiB",
                (detached[1] - detached[0]) / 3, hash_4mib / 4);
    std::printf("%-52s %11.3f ms\n", "  per MiB beyond hashing and signing",
                (detached[1] - detached[0]) / 3 - hash_4mib / 4);

    const SoftTokenSetup setup("Bench Signer", "Bench token");
    const double sm2_host = setup.ok ? Sm2SignMillis(setup, message, 5) : -1;
    const double sm2_openssl = setup.ok ? OpensslSm2SignMillis(setup, message, 5) : -1;
    if (sm2_host < 0 || sm2_openssl < 0) {
        std::fprintf(stderr, "tessora-bench: SM2 signing with the software token failed\n");
        return 1;
    }
    PrintHeader("openssl");
    PrintMillis("SM2 SignMsgPKCS7 of 512 KiB, soft token (median of 5)", sm2_host, sm2_openssl);
    return 0;
}
