#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "agent/CryptoAgent.h"
#include "common/Utf.h"
#include "platform/runtime/Resources.h"

namespace {

class AgentCore : public ::testing::Test {
  protected:
    void SetUp() override {
        g_hInstance = GetModuleHandleW(nullptr);
        unsetenv("LC_ALL");
        unsetenv("LC_MESSAGES");
        setenv("LANG", "C.UTF-8", 1);
    }
    std::string Description() {
        BStr desc;
        EXPECT_EQ(S_OK, agent.GetLastErrorDesc(desc.Receive()));
        return Utf16ToUtf8String(desc.View());
    }
    CCryptoAgent agent;
};

TEST_F(AgentCore, NewAgentDescribesSuccess) {
    EXPECT_EQ("The operation completed successfully.\n(0x00000000)", Description());
    EXPECT_EQ(Description(), Description());  // asking twice changes nothing
}

TEST_F(AgentCore, SetSM2CSPListStoresTheTextOrClearsIt) {
    VARIANT_BOOL flag = 0;
    ASSERT_EQ(S_OK, agent.SetSM2CSPList(u"ProvA||ProvB", &flag));
    EXPECT_EQ(VARIANT_TRUE, flag);
    EXPECT_EQ(u"ProvA||ProvB", std::u16string(agent.m_lpwszSM2CSPList));

    // An invalid call also drops the stored list, and becomes the last result.
    for (const char16_t* bad :
         {static_cast<const char16_t*>(u""), static_cast<const char16_t*>(nullptr)}) {
        flag = VARIANT_TRUE;
        EXPECT_EQ(E_INVALIDARG, agent.SetSM2CSPList(bad, &flag));
        EXPECT_EQ(VARIANT_FALSE, flag);
        EXPECT_EQ(nullptr, agent.m_lpwszSM2CSPList);
        EXPECT_EQ(E_INVALIDARG, agent.m_hLastResult);
    }
    EXPECT_EQ("A parameter is not valid.\n(0x80070057)", Description());
    ASSERT_EQ(S_OK, agent.SetSM2CSPList(u"A", &flag));
    EXPECT_EQ("The operation completed successfully.\n(0x00000000)", Description());
}

// What one call may store is bounded: at the bound it is taken, one name or character more is
// refused like any invalid list, except that the list stored before stays.
TEST_F(AgentCore, SetSM2CSPListRefusesMoreThanItsBoundsAndKeepsTheStoredList) {
    auto names = [](size_t count, size_t length) {
        std::u16string list;
        for (size_t i = 0; i < count; ++i) {
            if (i > 0) list += u"||";
            list += std::u16string(length, u'a');
        }
        return list;
    };
    const size_t kNames = CCryptoAgent::kMaxSM2CSPNames, kChars = CCryptoAgent::kMaxSM2CSPListChars;
    struct Case {
        std::u16string list;
        HRESULT expected;
    } cases[] = {
        {names(kNames, 1), S_OK},
        {names(kNames + 1, 1), E_INVALIDARG},
        {names(1, kChars), S_OK},
        {names(1, kChars + 1), E_INVALIDARG},
        {names(2, (kChars - 2) / 2) + u"|", E_INVALIDARG},  // one character over, in two names
        // An empty piece ends the list: the names after it are never used, nor counted.
        {names(kNames, 1) + u"||||" + names(kNames, 1), S_OK},
    };
    for (const Case& c : cases) {
        VARIANT_BOOL flag = 0;
        ASSERT_EQ(S_OK, agent.SetSM2CSPList(u"Kept", &flag));
        flag = VARIANT_TRUE;
        EXPECT_EQ(c.expected, agent.SetSM2CSPList(c.list.c_str(), &flag)) << c.list.size();
        EXPECT_EQ(c.expected, agent.m_hLastResult);
        EXPECT_EQ(c.expected == S_OK ? VARIANT_TRUE : VARIANT_FALSE, flag);
        EXPECT_EQ(c.expected == S_OK ? c.list : u"Kept", std::u16string(agent.m_lpwszSM2CSPList));
    }
}

TEST_F(AgentCore, DescriptionsFollowTheCodeFamilyAndLanguage) {
    struct Case {
        uint32_t code;
        const char* lang;
        std::string text;
    } cases[] = {
        {0xA0071001u, "C.UTF-8", "There is no available certificate in store.\n(0xa0071001)"},
        {0xA0071001u, "zh_CN.UTF-8", "证书库中没有可用的证书\n(0xa0071001)"},
        {0xA0074005u, "en_US.UTF-8", "Device not available.\n(0xa0074005)"},
        {0xA0074005u, "zh_TW.UTF-8", "设备不存在\n(0xa0074005)"},
        {0x20001002u, "C", "User canceled operation.\n(0x20001002)"},
        {0xA0071601u, "C", "\n(0xa0071601)"},  // customer bit, no text
        {0xAA000001u, "C", "\n(0xaa000001)"},  // converted SAR value
        {0xFFFFFFFFu, "C", "\n(0xffffffff)"},  // -1 carries the customer bit
        {0x80070057u, "zh_CN", "参数无效。\n(0x80070057)"},
        {0x80090020u, "C", "\n(0x80090020)"},  // a platform code we have no text for
    };
    for (const Case& c : cases) {
        setenv("LANG", c.lang, 1);
        agent.m_hLastResult = static_cast<HRESULT>(c.code);
        EXPECT_EQ(c.text, Description()) << std::hex << c.code << " " << c.lang;
    }
}

TEST_F(AgentCore, LanguageComesFromTheFirstSetLocaleVariable) {
    struct Case {
        const char* lc_all;
        const char* lc_messages;
        const char* lang;
        uint16_t language;
    } cases[] = {
        {nullptr, nullptr, "zh_CN.UTF-8", 2052}, {"", "zh_CN", "C", 2052},
        {"C", "zh_CN", "zh_CN", 1033},           {nullptr, "", "de_DE", 1033},
        {nullptr, nullptr, nullptr, 1033},
    };
    for (const Case& c : cases) {
        const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
        const char* values[] = {c.lc_all, c.lc_messages, c.lang};
        for (int i = 0; i < 3; ++i) {
            if (values[i] == nullptr)
                unsetenv(names[i]);
            else
                setenv(names[i], values[i], 1);
        }
        EXPECT_EQ(c.language, GetUserDefaultUILanguage());
    }
}

TEST_F(AgentCore, LongTextsAreCutToTheBuffer) {
    char16_t buffer[8];
    EXPECT_EQ(7, LoadStringW(g_hInstance, 4097, 1033, buffer, 8));
    EXPECT_EQ(u"There i", std::u16string(buffer));
    EXPECT_EQ(0, LoadStringW(g_hInstance, 12345, 1033, buffer, 8));
    EXPECT_EQ(u"", std::u16string(buffer));
}

}  // namespace
