// Runs the real tessora-host over pipes: the whole input in, every frame out, the exit code.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/nmclient/HostPipe.h"

namespace host_test {

// Generous: the sanitizer build is several times slower, and a hung host fails the test.
constexpr int kTimeoutMs = 60000;

// The environment every host of these tests runs in: the language comes from LANG alone; no
// certificate database, no display and no trace control file of the person running the tests.
inline std::vector<std::string> LanguageEnvironment(const std::string& lang) {
    return {"LC_ALL",  "LC_MESSAGES",     "LANG=" + lang,   "HOME=/nonexistent",
            "DISPLAY", "WAYLAND_DISPLAY", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR=/nonexistent"};
}

struct SessionResult {
    std::vector<std::string> frames;
    bool only_frames = false;  // standard output held whole frames and nothing else
    std::string output;
    std::string errors;
    int exit_code = -1;
};

inline SessionResult RunSession(const std::string& input, const std::vector<std::string>& env =
                                                              LanguageEnvironment("C.UTF-8")) {
    SessionResult result;
    tessora::HostPipe host;
    EXPECT_TRUE(host.Start(TESSORA_HOST_PATH, env));
    // A host that stops reading early (a too-long response) makes the write fail; that is fine.
    host.Write(input, kTimeoutMs);
    result.exit_code = host.Finish(kTimeoutMs);
    result.output = host.output();
    result.errors = host.errors();
    result.only_frames = tessora::DecodeFrames(result.output, &result.frames);
    return result;
}

inline std::string Frames(const std::vector<std::string>& bodies) {
    std::string bytes;
    for (const std::string& body : bodies) bytes += tessora::EncodeFrame(body);
    return bytes;
}

}  // namespace host_test
