// The SKF module loader and the device functions against softskf, in this process: what the
// host's answers cannot show (reference counts, the name list as handed on, entry points).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "common/ResultCodes.h"
#include "common/Utf.h"
#include "tests/fixtures/softskf/SoftSkfTesting.h"
#include "usbkey/SKFDevice.h"
#include "usbkey/SKFModule.h"

namespace {

using softskf_testing::Device;
using softskf_testing::RawNameList;

class SkfModuleTest : public ::testing::Test {
  protected:
    SkfModuleTest() : state_(dir_.path() / "state") {
        setenv("SOFTSKF_STATE", state_.path().c_str(), 1);
    }
    ~SkfModuleTest() override {
        SKFreeModule(&module_);
        unsetenv("SOFTSKF_STATE");
    }

    HRESULT Load(const std::string& library) {
        return SKLoadModule(Utf8ToUtf16String(library).c_str(), &module_);
    }

    softskf_testing::TempDir dir_;
    softskf_testing::StateFile state_;
    SKFModule* module_ = nullptr;
};

TEST_F(SkfModuleTest, ConnectedDeviceHoldsTheLibraryUntilItIsReleased) {
    state_.Write(Device("KEY1", "4A31000123"));
    ASSERT_EQ(Load(SOFTSKF_LIBRARY), S_OK);
    ASSERT_NE(module_, nullptr);
    EXPECT_EQ(module_->nRefCount, 1);

    SKFDevice* device = nullptr;
    ASSERT_EQ(SKGetDevice(module_, &device), S_OK);
    ASSERT_NE(device, nullptr);
    EXPECT_STREQ(device->pszDeviceName, "KEY1");
    EXPECT_EQ(module_->nRefCount, 2);

    EXPECT_EQ(SkDisconnectDevice(&device), S_OK);
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(module_->nRefCount, 1);
    EXPECT_EQ(state_.Unloads(), 0);

    SKFreeModule(&module_);
    EXPECT_EQ(module_, nullptr);
    EXPECT_EQ(state_.Loads(), 1);
    EXPECT_EQ(state_.Unloads(), 1);
    EXPECT_EQ(state_.UnloadsWithOpenHandles(), 0);
}

TEST_F(SkfModuleTest, LoaderFailuresBecomeResultCodes) {
    const auto not_a_library = dir_.path() / "libtext.so";
    std::ofstream(not_a_library) << "not a shared object\n";
    struct Case {
        std::string path;
        uint32_t code;
    } cases[] = {
        {(dir_.path() / "absent.so").string(), 0x8007007E},
        {(dir_.path() / "no-such-dir" / "absent.so").string(), 0x8007007E},
        {not_a_library.string(), 0x800700C1},
        {dir_.path().string(), 0x800700C1},  // a folder in the library's place
        {"", 0x80070057},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(static_cast<uint32_t>(Load(c.path)), c.code);
        EXPECT_EQ(module_, nullptr);
    }
    EXPECT_EQ(static_cast<uint32_t>(SKLoadModule(nullptr, &module_)), 0x80070057u);
    EXPECT_EQ(static_cast<uint32_t>(SKLoadModule(u"/x.so", nullptr)), 0x80070057u);
}

TEST_F(SkfModuleTest, LibraryWithoutEnumDevLoadsAndFailsOnlyAtEnumeration) {
    state_.Write(Device("KEY1", "4A31000123"));
    ASSERT_EQ(Load(SOFTSKF_NO_ENUMDEV_LIBRARY), S_OK);
    EXPECT_EQ(module_->pstEntryPoints->SKF_EnumDev, nullptr);
    EXPECT_NE(module_->pstEntryPoints->SKF_ConnectDev, nullptr);
    EXPECT_NE(module_->pstEntryPoints->SKF_GetDevInfo, nullptr);
    EXPECT_EQ(module_->pstEntryPoints->SKF_RSASignData, nullptr);  // softskf has no RSA keys

    char* names = nullptr;
    EXPECT_EQ(static_cast<uint32_t>(SkEnumDevice(module_, &names)), 0xA0074003u);
    EXPECT_EQ(names, nullptr);
}

struct NameListCase {
    const char* label;
    std::string configuration;
    uint32_t enum_code;
    const char* text;      // what SkEnumDevice hands on
    uint32_t device_code;  // what SKGetDevice makes of it
    bool fills;            // whether the list is fetched after the size query
};

void PrintTo(const NameListCase& c, std::ostream* os) { *os << c.label; }

class NameListTest : public SkfModuleTest, public ::testing::WithParamInterface<NameListCase> {};

TEST_P(NameListTest, ListIsCheckedAndJoined) {
    const NameListCase& c = GetParam();
    state_.Write(Device("KEY1", "4A31000123") + softskf_testing::LogCalls() + c.configuration);
    ASSERT_EQ(Load(SOFTSKF_LIBRARY), S_OK);

    char* names = nullptr;
    EXPECT_EQ(static_cast<uint32_t>(SkEnumDevice(module_, &names)), c.enum_code);
    EXPECT_EQ(names == nullptr ? std::string("(none)") : std::string(names), c.text);
    std::free(names);
    EXPECT_EQ(state_.Events("call").size(), c.fills ? 2u : 1u);

    SKFDevice* device = nullptr;
    EXPECT_EQ(static_cast<uint32_t>(SKGetDevice(module_, &device)), c.device_code);
    EXPECT_EQ(device != nullptr, c.device_code == 0);
    if (device != nullptr) {
        EXPECT_EQ(SkDisconnectDevice(&device), S_OK);
    }
    EXPECT_EQ(module_->nRefCount, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, NameListTest,
    ::testing::Values(
        NameListCase{"OneName", RawNameList("4b4559310000"), 0, "KEY1", 0, true},
        NameListCase{"TwoNames", RawNameList("4b45593100 4b45593200 00"), 0, "KEY1|KEY2",
                     0xA0071601, true},
        NameListCase{"SizeTwo", RawNameList("0000"), 0xA0074005, "(none)", 0xA0074005, false},
        NameListCase{"SizeOne", RawNameList("00"), 0xA0074005, "(none)", 0xA0074005, false},
        NameListCase{"EndsInLetterAndOneNul", RawNameList("4b45593100 4b455932 00"), 0xA0074004,
                     "(none)", 0xA0074004, true},
        NameListCase{"OnlyTerminators", RawNameList("000000"), 0, "|", 0x80070004, true},
        // The filling call claims more bytes than the buffer it was given.
        NameListCase{"SizeBeyondBuffer", RawNameList("4b4559310000", "fill_size = 64\n"),
                     0xA0074004, "(none)", 0xA0074004, true}),
    [](const ::testing::TestParamInfo<NameListCase>& info) { return info.param.label; });

TEST_F(SkfModuleTest, NullRecordsAreRefused) {
    char* names = nullptr;
    SKFDevice* device = nullptr;
    EXPECT_EQ(SkEnumDevice(nullptr, &names), 87);
    EXPECT_EQ(SkConnectDevice(&device, nullptr, "KEY1"), 87);
    EXPECT_EQ(SkDisconnectDevice(&device), 87);
    EXPECT_EQ(SkDisconnectDevice(nullptr), 87);
    EXPECT_EQ(static_cast<uint32_t>(SKGetDevice(nullptr, &device)), 0x80070057u);
    SKFreeModule(nullptr);  // nothing to release, and no crash
}

}  // namespace
