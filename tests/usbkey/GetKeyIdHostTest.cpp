// GetKeyID through the real host, built with its system library directory pointing into the
// folder each test runs it in. softskf stands in for the USB key and its library.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tests/fixtures/softskf/SoftSkfTesting.h"
#include "tests/support/HostSession.h"

namespace {

namespace fs = std::filesystem;
using host_session::HostSession;
using host_session::Response;
using softskf_testing::Device;
using softskf_testing::Failure;
using softskf_testing::RawNameList;

constexpr char kLibraryName[] = "libVELK_UKEY_GMAPI.so";

enum class Library { kSoftSkf, kNoEnumDev, kNoGetDevInfo, kAbsent, kNotALibrary };

class GetKeyIdHostTest : public ::testing::Test {
  protected:
    GetKeyIdHostTest() : state_(dir_.path() / "state") {}

    ~GetKeyIdHostTest() override {
        if (host_) {
            EXPECT_EQ(host_->Finish(), 0) << host_->errors();
        }
    }

    // Puts the library (or what stands in its place) where the host looks for it.
    void Install(Library library) {
        const fs::path folder = dir_.path() / TEST_SYSTEM_LIBDIR;
        fs::create_directories(folder);
        const fs::path target = folder / kLibraryName;
        fs::remove(target);
        switch (library) {
            case Library::kSoftSkf:
                fs::copy_file(SOFTSKF_LIBRARY, target);
                break;
            case Library::kNoEnumDev:
                fs::copy_file(SOFTSKF_NO_ENUMDEV_LIBRARY, target);
                break;
            case Library::kNoGetDevInfo:
                fs::copy_file(SOFTSKF_NO_GETDEVINFO_LIBRARY, target);
                break;
            case Library::kAbsent:
                break;
            case Library::kNotALibrary:
                std::ofstream(target) << "not a shared object\n";
                break;
        }
    }

    // The host resolves its relative system directory against its working folder.
    void StartHost() {
        const fs::path previous = fs::current_path();
        fs::current_path(dir_.path());
        host_.emplace(std::vector<std::string>{state_.EnvironmentEntry(), "LC_ALL", "LC_MESSAGES",
                                               "LANG=C.UTF-8"});
        fs::current_path(previous);
        ASSERT_TRUE(host_->started());
    }

    Response GetKeyID(const std::string& key_type = "") {
        return host_->Call("GetKeyID", {host_session::JsonString(key_type)});
    }
    std::string LastErrorDesc() { return host_->Call("GetLastErrorDesc", {}).result; }

    std::string ProcPath(const char* entry) const {
        return "/proc/" + std::to_string(host_->pid()) + "/" + entry;
    }

    softskf_testing::TempDir dir_;
    softskf_testing::StateFile state_;
    std::optional<HostSession> host_;
};

std::string Hex(uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08x", code);
    return text;
}

struct KeyIdCase {
    const char* label;
    Library library;
    std::string configuration;
    uint32_t code;
    const char* key_id;       // on success
    const char* description;  // the string-table text, "" when the code has none, null for a
                              // platform code (whose text is the platform's own)
    const char* not_called = nullptr;  // an entry point the case must never reach
};

void PrintTo(const KeyIdCase& c, std::ostream* os) { *os << c.label; }

class KeyIdCaseTest : public GetKeyIdHostTest, public ::testing::WithParamInterface<KeyIdCase> {};

// Each case is asked twice, with an empty and with some key type: the type is not looked at.
TEST_P(KeyIdCaseTest, AnswersAndReleasesTheLibrary) {
    const KeyIdCase& c = GetParam();
    state_.Write(softskf_testing::LogCalls() + c.configuration);
    Install(c.library);
    StartHost();
    const bool loads = c.library != Library::kAbsent && c.library != Library::kNotALibrary;

    int calls = 0;
    for (const std::string key_type : {"", "SM2 USB key"}) {
        SCOPED_TRACE("key type '" + key_type + "'");
        const Response response = GetKeyID(key_type);
        ++calls;
        ASSERT_TRUE(response.framed);
        EXPECT_EQ(static_cast<uint32_t>(response.errorcode), c.code);
        EXPECT_EQ(response.string_result, c.code == 0);
        if (c.code == 0) {
            EXPECT_EQ(response.result, c.key_id);
        }

        const std::string description = LastErrorDesc();
        const std::string number = "\n(" + Hex(c.code) + ")";
        if (c.description != nullptr) {
            EXPECT_EQ(description, c.description + number);
        } else {
            EXPECT_TRUE(description.ends_with(number)) << description;
        }

        // Loaded once per call and released before the answer, with every handle closed.
        EXPECT_EQ(state_.Loads(), loads ? calls : 0);
        EXPECT_EQ(state_.Unloads(), state_.Loads());
        EXPECT_EQ(state_.UnloadsWithOpenHandles(), 0);
    }
    if (c.not_called != nullptr) {
        EXPECT_FALSE(state_.WasCalled(c.not_called));
    }
}

const std::string kOneKey = Device("KEY1", "4A31000123");

INSTANTIATE_TEST_SUITE_P(
    Cases, KeyIdCaseTest,
    ::testing::Values(
        KeyIdCase{"OneKey", Library::kSoftSkf, kOneKey, 0, "4A31000123", nullptr},
        KeyIdCase{"SerialOf32Bytes", Library::kSoftSkf,
                  Device("KEY1", "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"), 0,
                  "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", nullptr},
        // A library built with 8-byte ULONGs writes 328 bytes of device information.
        KeyIdCase{"DevInfoOfEightByteUlongs", Library::kSoftSkf,
                  Device("KEY1", "4A31000123", "devinfo_ulong = 8\n"), 0, "4A31000123", nullptr},
        KeyIdCase{"NoKey", Library::kSoftSkf, "", 0xA0074005, "", "Device not available."},
        KeyIdCase{"TwoKeys", Library::kSoftSkf, kOneKey + Device("KEY2", "4A31000124"), 0xA0071601,
                  "", ""},
        KeyIdCase{"LibraryAbsent", Library::kAbsent, kOneKey, 0x8007007E, "", nullptr},
        KeyIdCase{"NotALibrary", Library::kNotALibrary, kOneKey, 0x800700C1, "", nullptr},
        KeyIdCase{"EnumDevMissing", Library::kNoEnumDev, kOneKey, 0xA0074003, "",
                  "The specify function not available."},
        KeyIdCase{"GetDevInfoMissing", Library::kNoGetDevInfo, kOneKey, 0xA0074003, "",
                  "The specify function not available."},
        KeyIdCase{"DeviceInStateZero", Library::kSoftSkf,
                  Device("KEY1", "4A31000123", "state = 0\n"), 0xA0074005, "",
                  "Device not available.", "SKF_ConnectDev"},
        KeyIdCase{"ConnectDevReportsDeviceRemoved", Library::kSoftSkf,
                  kOneKey + Failure("SKF_ConnectDev", "0x0A000023"), 0xAA000023, "", ""},
        KeyIdCase{"GetDevInfoFails", Library::kSoftSkf,
                  kOneKey + Failure("SKF_GetDevInfo", "0x0A000001"), 0xAA000001, "", ""},
        // The serial number was read; a key pulled out before the disconnect changes nothing.
        KeyIdCase{"DisConnectDevFails", Library::kSoftSkf,
                  kOneKey + Failure("SKF_DisConnectDev", "0x0A000023"), 0, "4A31000123", nullptr},
        KeyIdCase{"ListEndsInLetterAndOneNul", Library::kSoftSkf,
                  kOneKey + RawNameList("4b45593100 4b455932 00"), 0xA0074004, "",
                  "Data format bad."},
        KeyIdCase{"ListWithoutNames", Library::kSoftSkf, kOneKey + RawNameList("000000"),
                  0x80070004, "", nullptr}),
    [](const ::testing::TestParamInfo<KeyIdCase>& info) { return info.param.label; });

TEST_F(GetKeyIdHostTest, KeyRemovedBetweenTwoCallsIsSeenByTheSecond) {
    state_.Write(Device("KEY1", "4A31000123"));
    Install(Library::kSoftSkf);
    StartHost();

    const Response first = GetKeyID();
    EXPECT_EQ(first.errorcode, 0);
    EXPECT_EQ(first.result, "4A31000123");

    state_.Write("");
    const Response second = GetKeyID();
    EXPECT_EQ(static_cast<uint32_t>(second.errorcode), 0xA0074005u);
    EXPECT_EQ(LastErrorDesc(), "Device not available.\n(0xa0074005)");
    EXPECT_EQ(state_.Loads(), 2);
    EXPECT_EQ(state_.Unloads(), 2);
}

std::multiset<std::string> OpenDescriptors(const std::string& fd_folder) {
    std::multiset<std::string> targets;
    for (const auto& entry : fs::directory_iterator(fd_folder)) {
        std::error_code error;
        targets.insert(fs::read_symlink(entry.path(), error).string());
    }
    return targets;
}

struct Mappings {
    int total = 0;
    std::set<std::string> files;  // every file mapped into the process
};

Mappings ReadMappings(const std::string& maps_path) {
    Mappings mappings;
    std::ifstream maps(maps_path);
    for (std::string line; std::getline(maps, line);) {
        ++mappings.total;
        const size_t path = line.find('/');
        if (path != std::string::npos) mappings.files.insert(line.substr(path));
    }
    return mappings;
}

bool MapsLibrary(const Mappings& mappings) {
    for (const std::string& file : mappings.files) {
        if (file.find(kLibraryName) != std::string::npos) return true;
    }
    return false;
}

TEST_F(GetKeyIdHostTest, ThousandCallsLeaveNoDescriptorOrMappingBehind) {
    state_.Write(Device("KEY1", "4A31000123"));
    Install(Library::kSoftSkf);
    StartHost();

    // A few calls first, so the host's own one-time allocations are behind us.
    for (int i = 0; i < 10; ++i) ASSERT_EQ(GetKeyID().errorcode, 0);
    const std::multiset<std::string> descriptors = OpenDescriptors(ProcPath("fd"));
    const Mappings before = ReadMappings(ProcPath("maps"));
    EXPECT_FALSE(MapsLibrary(before));

    constexpr int kCalls = 1000;
    for (int i = 0; i < kCalls; ++i) {
        const Response response = GetKeyID();
        ASSERT_EQ(response.errorcode, 0) << "call " << i;
        ASSERT_EQ(response.result, "4A31000123");
    }

    EXPECT_EQ(OpenDescriptors(ProcPath("fd")), descriptors);
    const Mappings after = ReadMappings(ProcPath("maps"));
    EXPECT_FALSE(MapsLibrary(after));
    EXPECT_EQ(after.files, before.files);
    // Allocators (the sanitizers' above all) map fresh anonymous regions as they go; a mapping
    // left behind by every call would add a thousand.
    EXPECT_LT(after.total, before.total + kCalls / 10);
    EXPECT_EQ(state_.Loads(), kCalls + 10);
    EXPECT_EQ(state_.Unloads(), kCalls + 10);
    EXPECT_EQ(state_.UnloadsWithOpenHandles(), 0);
}

}  // namespace
