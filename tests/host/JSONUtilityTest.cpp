// The parameter readers and the response builder in-process, for what no host function can
// reach: positions past the end, negative positions, and the value kinds no handler uses.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "host/JSONUtility.h"

namespace {

struct ReaderCase {
    const char* params;
    int index;
    int string_result;  // ConverJSONArrayItemtoNULLEndString
    const char* text;   // its text on success
    int bool_result;    // ConverJSONArrayItemtobool
    int flag;           // its flag on success
};

TEST(JsonParameterReaders, ReadByPosition) {
    constexpr int kType = static_cast<int>(0xA0073204u);  // VELK_E_JSON_PARAM_TYPE
    const ReaderCase cases[] = {
        {R"(["abc",true])", 0, 0, "abc", kType, 0},
        {R"(["abc",true])", 1, kType, nullptr, 0, 1},
        {R"([{"param":"abc"},{"param":false}])", 0, 0, "abc", kType, 0},
        {R"([{"param":"abc"},{"param":false}])", 1, kType, nullptr, 0, 0},
        {R"({"first":"abc","second":true})", 0, 0, "abc", kType, 0},  // members in order
        {R"([{},{"param":null}])", 0, kType, nullptr, kType, 0},      // no "param" member
        {R"([{},{"param":null}])", 1, kType, nullptr, kType, 0},
        {R"([5,"true",[]])", 2, kType, nullptr, kType, 0},
        {R"(["abc"])", 1, 87, nullptr, 87, 0},  // past the last parameter
        {R"([])", 0, 87, nullptr, 87, 0},
        {R"(["abc"])", -1, 87, nullptr, 87, 0},
        {R"("abc")", 0, 87, nullptr, 87, 0},  // a string has no children
    };
    for (const ReaderCase& c : cases) {
        SCOPED_TRACE(std::string(c.params) + " at " + std::to_string(c.index));
        cJSON* params = cJSON_Parse(c.params);
        ASSERT_NE(params, nullptr);
        char* text = nullptr;
        EXPECT_EQ(ConverJSONArrayItemtoNULLEndString(c.index, params, &text), c.string_result);
        if (c.text != nullptr) {
            ASSERT_NE(text, nullptr);
            EXPECT_STREQ(text, c.text);
        } else {
            EXPECT_EQ(text, nullptr);
        }
        free(text);
        uint8_t flag = 9;
        EXPECT_EQ(ConverJSONArrayItemtobool(c.index, params, &flag), c.bool_result);
        if (c.bool_result == 0) {
            EXPECT_EQ(flag, c.flag);
        }
        cJSON_Delete(params);
    }
    EXPECT_EQ(ConverJSONArrayItemtoNULLEndString(0, nullptr, nullptr), 87);
    EXPECT_EQ(ConverJSONArrayItemtobool(0, nullptr, nullptr), 87);
}

TEST(ConstructResponseJSON, ValueKinds) {
    const uint8_t yes = 1;
    const double number = 2.5;
    const int32_t integer = -7;
    struct Case {
        int32_t code;
        int kind;
        const void* value;
        int result;
        const char* printed;  // null: no object
    };
    const Case cases[] = {
        {0, RESPONSE_VALUE_TRUE, &yes, 0, R"({"function":"F","errorcode":0,"result":true})"},
        {0, RESPONSE_VALUE_NUMBER, &number, 0, R"({"function":"F","errorcode":0,"result":2.5})"},
        {0, RESPONSE_VALUE_INT, &integer, 0, R"({"function":"F","errorcode":0,"result":-7})"},
        {0, RESPONSE_VALUE_STRING, nullptr, 0, R"({"function":"F","errorcode":0})"},
        {-5, RESPONSE_VALUE_STRING, "text", 0, R"({"function":"F","errorcode":-5,"result":false})"},
        {-5, 2, &yes, 0, R"({"function":"F","errorcode":-5,"result":false})"},
        {0, 2, &yes, -1, nullptr},  // a kind outside the table
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        cJSON* response = nullptr;
        EXPECT_EQ(ConstructResponseJSON(&response, "F", c.code, c.kind, c.value), c.result);
        if (c.printed == nullptr) {
            EXPECT_EQ(response, nullptr);
            continue;
        }
        ASSERT_NE(response, nullptr);
        char* printed = cJSON_PrintUnformatted(response);
        EXPECT_STREQ(printed, c.printed);
        free(printed);
        cJSON_Delete(response);
    }
    cJSON* response = nullptr;
    EXPECT_EQ(ConstructResponseJSON(&response, "", 0, RESPONSE_VALUE_STRING, "x"), 87);
    EXPECT_EQ(response, nullptr);
}

}  // namespace
