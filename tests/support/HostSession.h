// Runs the real tessora-host over pipes, the one frame driver of the host-level tests (the pipe
// work is tools/nmclient/HostPipe.h): either a whole input at once with every frame and the exit
// code out (RunSession), or request by request with decoded responses (HostSession).
#pragma once

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/Conversions.h"
#include "tools/nmclient/HostPipe.h"

#ifndef TESSORA_HOST_PATH
#error "TESSORA_HOST_PATH names the host binary under test"
#endif

namespace host_session {

// Generous: the sanitizer build is several times slower (a 1 MiB signature takes a while), and a
// hung host fails the test.
constexpr int kTimeoutMs = 120 * 1000;

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

struct Response {
    bool framed = false;    // a normal frame arrived
    bool sentinel = false;  // FF FF FF FF arrived instead
    std::string text;
    int64_t errorcode = 0;
    std::string result;          // the string result, empty otherwise
    bool string_result = false;  // the result is a string (possibly empty)
    bool bool_result = false;
};

class HostSession {
  public:
    // env_changes as HostPipe::Start takes them ("NAME=VALUE" sets, "NAME" removes); `program` is
    // the host under test unless a test runs a copy of it.
    explicit HostSession(const std::vector<std::string>& env_changes,
                         const std::string& program = TESSORA_HOST_PATH) {
        started_ = host_.Start(program, env_changes);
    }

    bool started() const { return started_; }
    pid_t pid() const { return host_.pid(); }

    Response Call(const std::string& request) {
        if (!started_ || !host_.WriteFrame(request, kTimeoutMs)) return Response();
        return Receive();
    }

    // The next response.
    Response Receive() {
        Response response;
        if (!started_) return response;
        const tessora::HostPipe::ReadStatus status = host_.ReadFrame(&response.text, kTimeoutMs);
        response.sentinel = status == tessora::HostPipe::ReadStatus::kSentinel;
        response.framed = status == tessora::HostPipe::ReadStatus::kFrame;
        if (!response.framed) return response;
        cJSON* json = cJSON_Parse(response.text.c_str());
        if (json != nullptr) {
            const cJSON* code = cJSON_GetObjectItemCaseSensitive(json, "errorcode");
            if (cJSON_IsNumber(code)) response.errorcode = static_cast<int64_t>(code->valuedouble);
            const cJSON* result = cJSON_GetObjectItemCaseSensitive(json, "result");
            response.string_result = cJSON_IsString(result);
            if (response.string_result) response.result = result->valuestring;
            response.bool_result = cJSON_IsTrue(result);
            cJSON_Delete(json);
        }
        return response;
    }

    // A request from a function name and parameters already written as JSON values.
    Response Call(const std::string& function, const std::vector<std::string>& params) {
        return Call(Request(function, params));
    }

    // Sends a request without waiting for its answer.
    bool Send(const std::string& function, const std::vector<std::string>& params) {
        return started_ && host_.WriteFrame(Request(function, params), kTimeoutMs);
    }

    // Ends the host's input and returns its exit code.
    int Finish() { return host_.Finish(kTimeoutMs); }
    // The browser going away: both pipes closed at once. The host's exit code, or -1 when it
    // has not ended within `timeout_ms`.
    int HangUp(int timeout_ms) {
        host_.CloseOutput();
        return host_.Finish(timeout_ms);
    }
    // What the host wrote to standard error (complete after Finish).
    const std::string& errors() const { return host_.errors(); }

  private:
    static std::string Request(const std::string& function,
                               const std::vector<std::string>& params) {
        std::string request = "{\"function\":\"" + function + "\",\"params\":[";
        for (size_t i = 0; i < params.size(); ++i) request += (i ? "," : "") + params[i];
        return request + "]}";
    }

    tessora::HostPipe host_;
    bool started_ = false;
};

// A JSON string literal for text without control characters.
inline std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// The bytes of a Base64 result text (empty when it does not decode).
inline std::vector<uint8_t> Base64Bytes(const std::string& text) {
    uint8_t* bytes = nullptr;
    uint32_t count = 0;
    Base64DecodeEx(static_cast<int32_t>(text.size()), &bytes, text.c_str(), &count);
    std::vector<uint8_t> out(bytes, bytes + (bytes != nullptr ? count : 0));
    std::free(bytes);
    return out;
}

}  // namespace host_session
