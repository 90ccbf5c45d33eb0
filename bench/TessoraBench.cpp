// tessora-bench [RUNS] [REQUESTS]: start-up and request rate of tessora-host, each beside the
// same figure for a minimal C echo host, so that the host's own share shows.
//   (1) process start -> one GetVersion answered -> exit at end of input: median of RUNS
//   (2) GetVersion round trips per second over one connection, REQUESTS of them
//   (3) SM2 SignMsgPKCS7 of 512 KiB with the software token (one request, median of 5) beside
//       `openssl pkeyutl -sign -rawin -digest sm3` of the same bytes with the same key
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

// A software token in a throwaway folder, registered as an SM2 provider there. Its application is
// logged in from the start, so no PIN prompt enters the figure.
struct SoftTokenSetup {
    std::filesystem::path folder;
    std::filesystem::path token;  // the token's keys and state
    bool ok = false;

    SoftTokenSetup() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tessora-bench-XXXXXX");
        if (mkdtemp(pattern.data()) == nullptr) return;
        folder = pattern;
        token = folder / "tessora" / "softtoken";
        const std::string init = "XDG_CONFIG_HOME='" + folder.string() + "' '" +
                                 TESSORA_SOFTTOKEN_PATH +
                                 "' init --name 'Bench Signer' >/dev/null 2>&1";
        if (std::system(init.c_str()) != 0) return;
        std::ifstream in(token / "state");
        std::stringstream state;
        for (std::string line; std::getline(in, line);) {
            state << line << "\n";
            if (line == "[application]") state << "logged_in = yes\n";
        }
        in.close();
        std::ofstream(token / "state", std::ios::trunc) << state.str();
        std::filesystem::create_directories(folder / "tessora" / "providers.d");
        std::ofstream(folder / "tessora" / "providers.d" / "bench.conf")
            << "name=Bench token\nlibrary=" << TESSORA_SOFTTOKEN_LIBRARY << "\n";
        ok = true;
    }
    ~SoftTokenSetup() {
        std::error_code ignored;
        if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
    }
};

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
    std::printf("%-52s %14s %14s %8s\n", "", "tessora-host", "echo host", "ratio");
    std::printf("%-52s %11.3f ms %11.3f ms %7.2fx\n",
                ("start, one GetVersion, exit (median of " + std::to_string(runs) + ")").c_str(),
                host_start, echo_start, host_start / echo_start);
    std::printf("%-52s %12.0f/s %12.0f/s %7.2fx\n",
                ("GetVersion round trips per second (" + std::to_string(requests) + ")").c_str(),
                host_rate, echo_rate, host_rate / echo_rate);

    // Letters only, so the text goes into the JSON request as it is.
    std::string message(512 * 1024, 'a');
    for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<char>('a' + i % 26);
    const SoftTokenSetup setup;
    const double sm2_host = setup.ok ? Sm2SignMillis(setup, message, 5) : -1;
    const double sm2_openssl = setup.ok ? OpensslSm2SignMillis(setup, message, 5) : -1;
    if (sm2_host < 0 || sm2_openssl < 0) {
        std::fprintf(stderr, "tessora-bench: SM2 signing with the software token failed\n");
        return 1;
    }
    std::printf("%-52s %14s %14s %8s\n", "", "tessora-host", "openssl", "ratio");
    std::printf("%-52s %11.3f ms %11.3f ms %7.2fx\n",
                "SM2 SignMsgPKCS7 of 512 KiB, soft token (median of 5)", sm2_host, sm2_openssl,
                sm2_host / sm2_openssl);
    return 0;
}
