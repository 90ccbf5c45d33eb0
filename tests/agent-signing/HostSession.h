// One run of the real tessora-host for a test: requests as JSON in, decoded responses out, and
// the exit code at the end. The pipe work is the shared driver's (tools/nmclient/HostPipe.h).
#pragma once

#include <cjson/cJSON.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/Conversions.h"
#include "tools/nmclient/HostPipe.h"

#ifndef TESSORA_HOST_PATH
#error "TESSORA_HOST_PATH names the host binary under test"
#endif

namespace signing_test {

// Generous: a 1 MiB signature under the sanitizers takes a while.
constexpr int kHostTimeoutMs = 120 * 1000;

struct Response {
    bool framed = false;    // a normal frame arrived
    bool sentinel = false;  // FF FF FF FF arrived instead
    std::string text;
    int64_t errorcode = 0;
    std::string result;  // the string result, empty otherwise
    bool bool_result = false;
};

class HostSession {
  public:
    // env_changes as HostPipe::Start takes them ("NAME=VALUE" sets, "NAME" removes).
    explicit HostSession(const std::vector<std::string>& env_changes) {
        started_ = host_.Start(TESSORA_HOST_PATH, env_changes);
    }

    Response Call(const std::string& request) {
        Response response;
        if (!started_ || !host_.WriteFrame(request, kHostTimeoutMs)) return response;
        const tessora::HostPipe::ReadStatus status =
            host_.ReadFrame(&response.text, kHostTimeoutMs);
        response.sentinel = status == tessora::HostPipe::ReadStatus::kSentinel;
        response.framed = status == tessora::HostPipe::ReadStatus::kFrame;
        if (!response.framed) return response;
        cJSON* json = cJSON_Parse(response.text.c_str());
        if (json != nullptr) {
            const cJSON* code = cJSON_GetObjectItemCaseSensitive(json, "errorcode");
            if (cJSON_IsNumber(code)) response.errorcode = static_cast<int64_t>(code->valuedouble);
            const cJSON* result = cJSON_GetObjectItemCaseSensitive(json, "result");
            if (cJSON_IsString(result)) response.result = result->valuestring;
            response.bool_result = cJSON_IsTrue(result);
            cJSON_Delete(json);
        }
        return response;
    }

    // A request from a function name and parameters already written as JSON values.
    Response Call(const std::string& function, const std::vector<std::string>& params) {
        std::string request = "{\"function\":\"" + function + "\",\"params\":[";
        for (size_t i = 0; i < params.size(); ++i) request += (i ? "," : "") + params[i];
        return Call(request + "]}");
    }

    // Ends the host's input and returns its exit code.
    int Finish() { return host_.Finish(kHostTimeoutMs); }

  private:
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

}  // namespace signing_test
