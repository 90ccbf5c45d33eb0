// The real tessora-host over pipes: exact response bytes for request sequences, the ends of the
// message loop with their exit codes, and bad input that must never stop the host.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/Utf.h"
#include "platform/runtime/Resources.h"
#include "tests/support/HostSession.h"

namespace {

using namespace std::string_literals;
using host_session::Frames;
using host_session::LanguageEnvironment;
using host_session::RunSession;

constexpr char kEnglish[] = "C.UTF-8";
constexpr char kChinese[] = "zh_CN.UTF-8";

const std::string kGetVersion = R"({"function":"GetVersion","params":[]})";
const std::string kVersion = R"({"function":"GetVersion","errorcode":0,"result":"3.4.0.3"})";
const std::string kGetLastErrorDesc = R"({"function":"GetLastErrorDesc","params":[]})";

// The texts of platform codes are our own and not fixed; take them from the platform layer in
// the language the host will use.
std::string PlatformText(uint32_t code, const char* lang) {
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    setenv("LANG", lang, 1);
    char16_t text[512] = {};
    FormatMessageW(code, text, 512);
    return Utf16ToUtf8String(text);
}

// The response of GetLastErrorDesc for `code`: the text, a line break and the number. The
// line break appears as \n inside the JSON string.
std::string Description(const std::string& text, uint32_t code) {
    char number[16];
    snprintf(number, sizeof number, "(0x%08x)", code);
    return R"({"function":"GetLastErrorDesc","errorcode":0,"result":")" + text + "\\n" + number +
           "\"}";
}

// "errorcode":* in an expected response stands for the result of an agent operation whose
// outcome belongs to the agent, not to the host: any failure code that no host-side check
// produces (-1 or VELK_E_JSON_PARAM_TYPE).
bool Matches(const std::string& actual, const std::string& expected) {
    const size_t star = expected.find('*');
    if (star == std::string::npos) return actual == expected;
    const std::string prefix = expected.substr(0, star);
    const std::string suffix = expected.substr(star + 1);
    if (actual.size() < prefix.size() + suffix.size() + 1 || actual.compare(0, star, prefix) != 0 ||
        actual.compare(actual.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    const std::string code = actual.substr(star, actual.size() - prefix.size() - suffix.size());
    char* end = nullptr;
    const long value = std::strtol(code.c_str(), &end, 10);
    return *end == 0 && value < 0 && value != -1 && value != -1610141180;
}

struct Session {
    const char* name;
    std::vector<std::string> requests;
    std::vector<std::string> responses;
    const char* lang = kEnglish;
};

// Every session ends with a GetVersion, which must still be answered: nothing before it may
// have stopped the host or lost a request. Every response must be valid JSON.
void RunSessions(const std::vector<Session>& sessions) {
    for (const Session& s : sessions) {
        SCOPED_TRACE(s.name);
        std::vector<std::string> requests = s.requests;
        requests.push_back(kGetVersion);
        std::vector<std::string> expected = s.responses;
        expected.push_back(kVersion);
        const host_session::SessionResult r =
            RunSession(Frames(requests), LanguageEnvironment(s.lang));
        EXPECT_TRUE(r.only_frames);
        ASSERT_EQ(r.frames.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i)
            EXPECT_TRUE(Matches(r.frames[i], expected[i])) << r.frames[i] << "\n" << expected[i];
        EXPECT_EQ(r.errors, "");
        EXPECT_EQ(r.exit_code, 0);
        for (const std::string& frame : r.frames) {
            cJSON* parsed = cJSON_ParseWithLength(frame.data(), frame.size());
            EXPECT_NE(parsed, nullptr) << frame;
            cJSON_Delete(parsed);
        }
    }
}

TEST(HostMessages, RequestAndResponseObjects) {
    RunSessions({
        {"RandomIdIsEchoed",
         {R"({"function":"GetVersion","params":[],"randomId":"r1"})"},
         {R"({"function":"GetVersion","errorcode":0,"result":"3.4.0.3","randomId":"r1"})"}},
        {"MemberAndFunctionNamesIgnoreCase",
         {R"({"FUNCTION":"getversion","PARAMS":[]})"},
         {kVersion}},
        {"EmptyRandomIdIsNotEchoed",
         {R"({"function":"GetVersion","params":[],"randomId":""})"},
         {kVersion}},
        {"NonStringRandomIdRejectsTheRequest",
         {R"({"function":"GetVersion","params":[],"randomId":12})"},
         {R"({"function":"", "errorcode":-2146893779, "result":false})"}},
        {"MissingParamsRejectsTheRequest",
         {R"({"function":"GetVersion"})"},
         {R"({"function":"", "errorcode":-2146893779, "result":false})"}},
        {"NonStringFunctionRejectsTheRequest",
         {R"({"function":5,"params":[]})"},
         {R"({"function":"", "errorcode":-2146893779, "result":false})"}},
        {"UnknownFunctionCarriesItsNameAndId",
         {R"({"function":"Foo","params":[],"randomId":"x"})"},
         {R"({"function":"Foo", "errorcode":-2146893779, "result":false, "randomId":"x"})"}},
        {"TextAfterTheObjectIsIgnored", {kGetVersion + " trailing {"}, {kVersion}},
        {"EchoedNameAndIdAreJsonEscaped",
         {R"({"function":"a\"b\\c\n","params":[],"randomId":"q\"\t"})"},
         {R"({"function":"a\"b\\c\n", "errorcode":-2146893779, "result":false, "randomId":"q\"\t"})"}},
        {"EchoedNameCannotAddMembers",
         {R"({"function":"x\", \"errorcode\":0, \"result\":true, \"y\":\"","params":[]})"},
         {R"({"function":"x\", \"errorcode\":0, \"result\":true, \"y\":\"", "errorcode":-2146893779, "result":false})"}},
        {"EchoedInvalidUtf8BecomesReplacementCharacter",
         {"{\"function\":\"Fo\xff\",\"params\":[],\"randomId\":\"\xc3\"}",
          "{\"function\":\"GetVersion\",\"params\":[],\"randomId\":\"\xe2\x82\"}"},
         {"{\"function\":\"Fo\xef\xbf\xbd\", \"errorcode\":-2146893779, \"result\":false, "
          "\"randomId\":\"\xef\xbf\xbd\"}",
          "{\"function\":\"GetVersion\",\"errorcode\":0,\"result\":\"3.4.0.3\",\"randomId\":"
          "\"\xef\xbf\xbd\"}"}},
        {"ValidNonAsciiNameIsEchoedUnchanged",
         {R"({"function":"签名","params":[]})"},
         {R"({"function":"签名", "errorcode":-2146893779, "result":false})"}},
    });
}

TEST(HostDispatch, HandlersAndTheirParameters) {
    constexpr char kAgentFailure[] = "*";  // the agent was called (no certificate is chosen)
    const auto failed = [](const char* function, const std::string& code) {
        return "{\"function\":\""s + function + "\",\"errorcode\":" + code + ",\"result\":false}";
    };
    RunSessions({
        {"FunctionNameMatchesWithoutCase",
         {R"({"function":"selectcertificate","params":["","",""]})"},
         {failed("SelectCertificate", kAgentFailure)}},
        {"WrongCountAnswersMinusOne",
         {R"({"function":"GetSignCertInfo","params":[]})",
          R"({"function":"SelectCertificate","params":["",""]})",
          R"({"function":"SignMsgPKCS7","params":["text","SHA-1"]})",
          R"({"function":"SetSM2CSPList","params":["a","b"]})",
          R"({"function":"GetKeyID","params":null})",
          R"({"function":"GetLastErrorDesc","params":[0]})"},
         {failed("GetSignCertInfo", "-1"), failed("SelectCertificate", "-1"),
          failed("SignMsgPKCS7", "-1"), failed("SetSM2CSPList", "-1"), failed("GetKeyID", "-1"),
          failed("GetLastErrorDesc", "-1")}},
        {"WrongParameterTypeAnswersJsonParamType",
         {R"({"function":"GetSignCertInfo","params":[5]})",
          R"({"function":"GetSignCertInfo","params":[{"param":5}]})",
          R"({"function":"GetSignCertInfo","params":[{"value":"SubjectDN"}]})",
          R"({"function":"SignMsgPKCS7","params":["text","SHA-1","true"]})",
          R"({"function":"SignMsgPKCS7","params":["text","SHA-1",{}]})",
          R"({"function":"SelectCertificate","params":["","",null]})"},
         {failed("GetSignCertInfo", "-1610141180"), failed("GetSignCertInfo", "-1610141180"),
          failed("GetSignCertInfo", "-1610141180"), failed("SignMsgPKCS7", "-1610141180"),
          failed("SignMsgPKCS7", "-1610141180"), failed("SelectCertificate", "-1610141180")}},
        {"ParametersInAnyAcceptedFormReachTheAgent",
         {R"({"function":"GetSignCertInfo","params":[{"param":"SubjectDN"}]})",
          R"({"function":"GetSignCertInfo","params":{"first":"SubjectDN"}})",
          R"({"function":"SignMsgPKCS7","params":["text","SHA-1",true]})",
          R"({"function":"SignMsgPKCS7","params":["text","SHA-1",{"param":false}]})",
          R"({"function":"GetKeyID","params":["SN"]})"},
         {failed("GetSignCertInfo", kAgentFailure), failed("GetSignCertInfo", kAgentFailure),
          failed("SignMsgPKCS7", kAgentFailure), failed("SignMsgPKCS7", kAgentFailure),
          failed("GetKeyID", kAgentFailure)}},
        {"GetVersionDoesNotLookAtParams",
         {R"({"function":"GetVersion","params":"anything"})"},
         {kVersion}},
        {"HiddenAgentOperationIsNoFunction",
         {R"({"function":"VerifyMsgSignaturePKCS7Attached","params":[]})"},
         {R"({"function":"VerifyMsgSignaturePKCS7Attached", "errorcode":-2146893779, "result":false})"}},
    });
}

TEST(HostAgent, ProviderListAndErrorDescriptions) {
    const std::string invalid_arg_en =
        Description(PlatformText(0x80070057u, kEnglish), 0x80070057u);
    const std::string invalid_arg_zh =
        Description(PlatformText(0x80070057u, kChinese), 0x80070057u);
    const std::string success_en = Description("The operation completed successfully.", 0);
    const std::string set_ok = R"({"function":"SetSM2CSPList","errorcode":0,"result":true})";
    const std::string set_failed =
        R"({"function":"SetSM2CSPList","errorcode":-2147024809,"result":false})";
    RunSessions({
        {"NewAgentDescribesCodeZero", {kGetLastErrorDesc}, {success_en}},
        {"NewAgentDescribesCodeZeroInChinese",
         {kGetLastErrorDesc},
         {Description(PlatformText(0, kChinese), 0)},
         kChinese},
        {"ProviderListIsAccepted",
         {R"({"function":"SetSM2CSPList","params":["ProvA||ProvB"]})", kGetLastErrorDesc},
         {set_ok, success_en}},
        {"EmptyProviderListFailsAndIsDescribedTwiceAlike",
         {R"({"function":"SetSM2CSPList","params":[""]})", kGetLastErrorDesc, kGetLastErrorDesc},
         {set_failed, invalid_arg_en, invalid_arg_en}},
        {"DescriptionFollowsTheLanguage",
         {R"({"function":"SetSM2CSPList","params":[""]})", kGetLastErrorDesc},
         {set_failed, invalid_arg_zh},
         kChinese},
        {"HandlerFailuresLeaveTheLastResult",
         {R"({"function":"SetSM2CSPList","params":[""]})",
          R"({"function":"GetSignCertInfo","params":[]})",
          R"({"function":"GetSignCertInfo","params":[5]})",
          R"({"function":"GetLastErrorDesc","params":[0]})", R"({"function":"Foo","params":[]})",
          "not json", kGetLastErrorDesc},
         {set_failed, R"({"function":"GetSignCertInfo","errorcode":-1,"result":false})",
          R"({"function":"GetSignCertInfo","errorcode":-1610141180,"result":false})",
          R"({"function":"GetLastErrorDesc","errorcode":-1,"result":false})",
          R"({"function":"Foo", "errorcode":-2146893779, "result":false})",
          R"({"function":"", "errorcode":-2146893779, "result":false})", invalid_arg_en}},
        {"SuccessResetsTheDescription",
         {R"({"function":"SetSM2CSPList","params":[""]})", kGetLastErrorDesc,
          R"({"function":"SetSM2CSPList","params":[{"param":"ProvA"}]})", kGetLastErrorDesc},
         {set_failed, invalid_arg_en, set_ok, success_en}},
    });
}

TEST(HostBadInput, NeverStopsTheHost) {
    const std::string long_text(300000, 'p');
    const std::string long_id(100000, 'i');
    const std::string short_error = R"({"function":"", "errorcode":-2146893779, "result":false})";
    RunSessions({
        {"MalformedJson",
         {"hello", "{", R"({"function":"GetVersion","params":[)", "   "},
         {short_error, short_error, short_error, short_error}},
        {"NonObjectRoots",
         {"[" + kGetVersion + "]", R"("GetVersion")", "null", "{}"},
         {short_error, short_error, short_error, short_error}},
        {"NulByteEndsTheText",
         {kGetVersion + "\0garbage"s, "{\"function\":\"Get\0Version\",\"params\":[]}"s},
         {kVersion, short_error}},
        {"DeepNestingIsRefused",
         {R"({"function":"GetVersion","params":)" + std::string(100000, '[')},
         {short_error}},
        {"LongTexts",
         {R"({"function":"SetSM2CSPList","params":[")" + long_text + "\"]}",
          R"({"function":"GetVersion","params":[],"randomId":")" + long_id + "\"}",
          R"({"function":")" + long_text + "\",\"params\":[]}"},
         // A provider list beyond 16 KiB is refused (E_INVALIDARG).
         {R"({"function":"SetSM2CSPList","errorcode":-2147024809,"result":false})",
          R"({"function":"GetVersion","errorcode":0,"result":"3.4.0.3","randomId":")" + long_id +
              "\"}",
          R"({"function":")" + long_text + R"(", "errorcode":-2146893779, "result":false})"}},
        {"InvalidUtf8Parameter",
         {"{\"function\":\"SetSM2CSPList\",\"params\":[\"\xff\xfe\"]}"},
         {R"({"function":"SetSM2CSPList","errorcode":0,"result":true})"}},
    });
}

struct LoopEnd {
    const char* name;
    std::string input;
    std::vector<std::string> responses;
    int exit_code;
    std::string exact_output;  // when not empty: the whole of standard output
};

// The short error response for a name of `n` bytes is 56 + n bytes long.
std::string ErrorOfLength(size_t length) {
    return R"({"function":")" + std::string(length - 56, 'n') +
           R"(", "errorcode":-2146893779, "result":false})";
}
std::string RequestNaming(size_t response_length) {
    return R"({"function":")" + std::string(response_length - 56, 'n') + "\",\"params\":[]}";
}

TEST(HostLoop, EndsOnlyAtEndOfInputOrAFailedWrite) {
    const std::string version_frame = tessora::EncodeFrame(kGetVersion);
    ASSERT_EQ(ErrorOfLength(100).size(), 100u);
    const std::vector<LoopEnd> cases = {
        {"EmptyInput", "", {}, 0, ""},
        {"ZeroLengthEndsEvenWithMoreBytes", "\0\0\0\0"s + version_frame, {}, 0, ""},
        {"AllOnesLengthEndsEvenWithMoreBytes", "\xff\xff\xff\xff"s + version_frame, {}, 0, ""},
        {"EndOfInputInsideBody", version_frame + "\x20\0\0\0{\"fun"s, {kVersion}, 0, ""},
        {"EndOfInputInsideLength", version_frame + "\x20\0"s, {kVersion}, 0, ""},
        {"SeveralRequestsAnsweredInOrder",
         Frames({kGetVersion, "x", kGetLastErrorDesc}),
         {kVersion, R"({"function":"", "errorcode":-2146893779, "result":false})",
          Description("The operation completed successfully.", 0)},
         0,
         ""},
        {"ResponseOfExactlyTheLimitIsSent",
         Frames({RequestNaming(1048576), kGetVersion}),
         {ErrorOfLength(1048576), kVersion},
         0,
         ""},
        {"LongerResponseSendsOnlyTheSentinelAndEnds",
         Frames({RequestNaming(1048577), kGetVersion}),
         {},
         255,
         "\xff\xff\xff\xff"},
    };
    for (const LoopEnd& c : cases) {
        SCOPED_TRACE(c.name);
        const host_session::SessionResult r = RunSession(c.input);
        if (c.exact_output.empty()) {
            EXPECT_TRUE(r.only_frames);
            EXPECT_EQ(r.frames.size(), c.responses.size());
            EXPECT_TRUE(r.frames == c.responses);  // large texts: no dump
        } else {
            EXPECT_TRUE(r.output == c.exact_output);
        }
        EXPECT_EQ(r.errors, "");
        EXPECT_EQ(r.exit_code, c.exit_code);
    }
}

TEST(HostLoop, LengthArrivingInPiecesIsCompleted) {
    tessora::HostPipe host;
    ASSERT_TRUE(host.Start(TESSORA_HOST_PATH, LanguageEnvironment(kEnglish)));
    const std::string frame = tessora::EncodeFrame(kGetVersion);
    ASSERT_TRUE(host.Write(frame.substr(0, 1), host_session::kTimeoutMs));
    usleep(50 * 1000);
    ASSERT_TRUE(host.Write(frame.substr(1, 2), host_session::kTimeoutMs));
    usleep(50 * 1000);
    ASSERT_TRUE(host.Write(frame.substr(3), host_session::kTimeoutMs));
    std::string response;
    ASSERT_EQ(host.ReadFrame(&response, host_session::kTimeoutMs),
              tessora::HostPipe::ReadStatus::kFrame);
    EXPECT_EQ(response, kVersion);
    EXPECT_EQ(host.Finish(host_session::kTimeoutMs), 0);
    EXPECT_EQ(host.errors(), "");
}

TEST(HostLoop, StandardOutputIsNullWhileFramesUseAPrivateDescriptor) {
    tessora::HostPipe host;
    ASSERT_TRUE(host.Start(TESSORA_HOST_PATH, LanguageEnvironment(kEnglish)));
    ASSERT_TRUE(host.WriteFrame(kGetVersion, host_session::kTimeoutMs));
    std::string response;
    ASSERT_EQ(host.ReadFrame(&response, host_session::kTimeoutMs),
              tessora::HostPipe::ReadStatus::kFrame);
    // The host now waits for the next request, past its start-up.
    char target[PATH_MAX] = {};
    const std::string fd1 = "/proc/" + std::to_string(host.pid()) + "/fd/1";
    ASSERT_GT(readlink(fd1.c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "/dev/null");
    EXPECT_EQ(host.Finish(host_session::kTimeoutMs), 0);
}

}  // namespace
