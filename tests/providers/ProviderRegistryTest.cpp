// The provider registry over real folders and files: what is taken, in which order, and which odd
// files are skipped without failing the rest.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "platform/crypt/ProviderRegistry.h"
#include "tests/fixtures/softskf/SoftSkfTesting.h"

namespace {

namespace fs = std::filesystem;

enum class Kind { kText, kDanglingLink, kFolder };

struct File {
    bool system;
    std::string name;
    std::string content;
    Kind kind = Kind::kText;
};

struct Expected {
    std::string name;
    std::string library;
    bool system;
};

struct RegistryCase {
    const char* title;
    std::vector<File> files;
    std::vector<Expected> entries;
    size_t skipped;
};

void PrintTo(const RegistryCase& c, std::ostream* os) { *os << c.title; }

class ProviderRegistryTest : public testing::TestWithParam<RegistryCase> {};

TEST_P(ProviderRegistryTest, ReadsWhatIsThereAndSkipsOddFiles) {
    const RegistryCase& c = GetParam();
    softskf_testing::TempDir dir;
    const ProviderFolders folders{(dir.path() / "system").string(), (dir.path() / "user").string()};
    for (const File& file : c.files) {
        const fs::path folder = file.system ? folders.system : folders.user;
        fs::create_directories(folder);
        const fs::path path = folder / file.name;
        switch (file.kind) {
            case Kind::kText:
                std::ofstream(path, std::ios::binary) << file.content;
                break;
            case Kind::kDanglingLink:
                fs::create_symlink(dir.path() / "nowhere", path);
                break;
            case Kind::kFolder:
                fs::create_directory(path);
                break;
        }
    }
    const ProviderRegistry registry = ReadProviderRegistry(folders);
    ASSERT_EQ(registry.entries.size(), c.entries.size());
    for (size_t i = 0; i < c.entries.size(); ++i) {
        EXPECT_EQ(registry.entries[i].name, c.entries[i].name) << i;
        EXPECT_EQ(registry.entries[i].library, c.entries[i].library) << i;
        EXPECT_EQ(registry.entries[i].scope,
                  c.entries[i].system ? ProviderScope::kSystem : ProviderScope::kUser)
            << i;
    }
    EXPECT_EQ(registry.skipped.size(), c.skipped);
    for (const SkippedProviderFile& skipped : registry.skipped)
        EXPECT_FALSE(skipped.reason.empty());
}

const File kGoodB{false, "b.conf", "name=B\nlibrary=/lib/b.so\n"};

INSTANTIATE_TEST_SUITE_P(
    Files, ProviderRegistryTest,
    testing::Values(
        RegistryCase{"BlanksCommentsAndTrimming",
                     {{false, "a.conf",
                       "\n# a comment\n   # indented comment\n  name =  Key A  \r\n"
                       "\tlibrary\t=\t/lib/a.so \n\nstray line without equals\n"}},
                     {{"Key A", "/lib/a.so", false}},
                     0},
        RegistryCase{"Utf8NamesAndEqualsInValues",
                     {{false, "a.conf", "name = 国密 Key=1\nlibrary = /lib/a=b.so\n"}},
                     {{"国密 Key=1", "/lib/a=b.so", false}},
                     0},
        RegistryCase{"MissingOrEmptyKeys",
                     {{false, "a.conf", "library=/lib/a.so\n"},
                      {false, "c.conf", "name=C\n"},
                      {false, "d.conf", "name=\nlibrary=/lib/d.so\n"},
                      {false, "e.conf", ""},
                      kGoodB},
                     {{"B", "/lib/b.so", false}},
                     4},
        RegistryCase{"RelativeLibraryPath",
                     {{false, "a.conf", "name=A\nlibrary=lib/a.so\n"},
                      {false, "c.conf", "name=C\nlibrary=./c.so\n"},
                      kGoodB},
                     {{"B", "/lib/b.so", false}},
                     2},
        RegistryCase{"UnreadableFiles",
                     {{false, "a.conf", "", Kind::kDanglingLink},
                      {false, "c.conf", "", Kind::kFolder},
                      kGoodB},
                     {{"B", "/lib/b.so", false}},
                     2},
        RegistryCase{"NamesThatCannotTravel",
                     {{false, "a.conf", "name=A||X\nlibrary=/lib/a.so\n"},
                      {false, "c.conf", "name=C\xff\nlibrary=/lib/c.so\n"},
                      {false, "d.conf", "name=" + std::string(260, 'D') + "\nlibrary=/lib/d.so\n"},
                      kGoodB},
                     {{"B", "/lib/b.so", false}},
                     3},
        RegistryCase{"OnlyConfFilesCount",
                     {{false, "a.conf.bak", "name=A\nlibrary=/lib/a.so\n"},
                      {false, "a.txt", "name=A\nlibrary=/lib/a.so\n"},
                      {false, "conf", "name=A\nlibrary=/lib/a.so\n"},
                      kGoodB},
                     {{"B", "/lib/b.so", false}},
                     0},
        RegistryCase{"SystemThenUserEachInByteOrder",
                     {{false, "a.conf", "name=UserA\nlibrary=/u/a.so\n"},
                      {true, "b.conf", "name=SysB\nlibrary=/s/b.so\n"},
                      {true, "\xc3\xa4.conf", "name=SysUmlaut\nlibrary=/s/u.so\n"},
                      {true, "a.conf", "name=SysA\nlibrary=/s/a.so\n"},
                      {true, "Z.conf", "name=SysZ\nlibrary=/s/z.so\n"}},
                     {{"SysZ", "/s/z.so", true},
                      {"SysA", "/s/a.so", true},
                      {"SysB", "/s/b.so", true},
                      {"SysUmlaut", "/s/u.so", true},
                      {"UserA", "/u/a.so", false}},
                     0},
        RegistryCase{"UserReplacesSystemInItsPlace",
                     {{true, "1.conf", "name=A\nlibrary=/s/a.so\n"},
                      {true, "2.conf", "name=B\nlibrary=/s/b.so\n"},
                      {false, "x.conf", "name=A\nlibrary=/u/a.so\n"},
                      {false, "y.conf", "name=C\nlibrary=/u/c.so\n"}},
                     {{"A", "/u/a.so", false}, {"B", "/s/b.so", true}, {"C", "/u/c.so", false}},
                     0},
        RegistryCase{"FirstFileOfAFolderKeepsAName",
                     {{true, "1.conf", "name=A\nlibrary=/s/one.so\n"},
                      {true, "2.conf", "name=A\nlibrary=/s/two.so\n"}},
                     {{"A", "/s/one.so", true}},
                     1},
        RegistryCase{"NoFolders", {}, {}, 0}),
    [](const testing::TestParamInfo<RegistryCase>& info) { return std::string(info.param.title); });

// The user folder follows XDG_CONFIG_HOME, else HOME; a relative XDG_CONFIG_HOME is not used.
TEST(ProviderFoldersTest, UserFolderFollowsTheXdgRules) {
    const struct {
        const char* config;  // null: unset
        const char* home;
        std::string user;
    } cases[] = {
        {"/cfg", "/home/a", "/cfg/tessora/providers.d"},
        {nullptr, "/home/a", "/home/a/.config/tessora/providers.d"},
        {"", "/home/a", "/home/a/.config/tessora/providers.d"},
        {"relative", "/home/a", "/home/a/.config/tessora/providers.d"},
    };
    const char* saved_config = std::getenv("XDG_CONFIG_HOME");
    const char* saved_home = std::getenv("HOME");
    const std::string config_copy = saved_config ? saved_config : "";
    const std::string home_copy = saved_home ? saved_home : "";
    for (const auto& c : cases) {
        if (c.config != nullptr) {
            setenv("XDG_CONFIG_HOME", c.config, 1);
        } else {
            unsetenv("XDG_CONFIG_HOME");
        }
        setenv("HOME", c.home, 1);
        const ProviderFolders folders = DefaultProviderFolders();
        EXPECT_EQ(folders.user, c.user) << (c.config ? c.config : "(unset)");
        EXPECT_EQ(folders.system, ProviderSystemDirectory());
    }
    if (saved_config != nullptr) {
        setenv("XDG_CONFIG_HOME", config_copy.c_str(), 1);
    } else {
        unsetenv("XDG_CONFIG_HOME");
    }
    if (saved_home != nullptr) setenv("HOME", home_copy.c_str(), 1);
}

}  // namespace
