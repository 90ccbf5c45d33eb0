// tessora-bench [RUNS] [REQUESTS]: start-up and request rate of tessora-host, each beside the
// same figure for a minimal C echo host, so that the host's own share shows.
//   (1) process start -> one GetVersion answered -> exit at end of input: median of RUNS
//   (2) GetVersion round trips per second over one connection, REQUESTS of them
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
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
    return 0;
}
