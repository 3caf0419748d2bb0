#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "scratch.h"
#include "update/manifest_path.h"

using namespace qs;

namespace fs = std::filesystem;

namespace {

class ClientFolder : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(client_);
        // Generic form: the same text on every system ('/' between names).
        base_ = fs::canonical(client_).generic_string();
    }
    std::string Refusal(const std::string& path) {
        return ErrorOf([&] { ResolveManifestPath(client_, path); });
    }

    TempFolder root_;
    fs::path client_ = root_.path() / "Quillon Saga" / "QuillonSaga Game";
    std::string base_;
};

TEST(TrimLeadingSlash, OnlyOneForwardSlashBeforeAName) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/data/a.dat", "data/a.dat"}, {"/", "/"}, {"//a", "//a"}, {"\\a", "\\a"}, {"", ""},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(TrimLeadingSlash(in), out) << in;
}

TEST_F(ClientFolder, AcceptedPathsResolveUnderTheFolder) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"data/./a.dat", "/data/a.dat"},
        {"data//a.dat", "/data/a.dat"},
        {"data\\a.dat", "/data/a.dat"},
        {"Quillon Saga.exe", "/Quillon Saga.exe"},
        {".", "/"},
        {"a/.", "/a/"},
    };
    for (const auto& [in, suffix] : cases)
        EXPECT_EQ(ResolveManifestPath(client_, in).generic_string(), base_ + suffix) << in;
}

TEST_F(ClientFolder, UnsafePathsAreRefused) {
    for (const std::string path : {"", "/", "//a", "\\a", "\\\\server\\share", "..", "a/../b",
                                   "a..b", "C:/x", "a:b", "a\\..\\b"})
        EXPECT_EQ(Refusal(path), "Manifest contains an unsafe path") << path;
    EXPECT_EQ(Refusal("a/\xFF"), "Invalid UTF-8");
}

TEST_F(ClientFolder, FolderReachedThroughALinkResolvesToItsFinalLocation) {
    if (!kCanMakeLinks)
        GTEST_SKIP() << "no symbolic links here";
    fs::create_directory_symlink(client_, root_.path() / "link");
    EXPECT_EQ(ResolveManifestPath(root_.path() / "link", "a/b").generic_string(), base_ + "/a/b");
}

}  // namespace

TEST(WindowsAliasedSegment, DeviceNamesAndStrippedEndingsOnly) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"nul", true},      {"NUL", true},        {"Con.txt", true},  {"aux.tar.gz", true},
        {"prn ", true},     {"com1", true},       {"LPT9.log", true}, {"nul .dat", true},
        {"a.", true},       {"a ", true},         {"com0", false},    {"com10", false},
        {"console", false}, {"nully.dat", false}, {"data", false},    {".", false},
        {"..", false},      {"", false},          {".hidden", false}, {"Quillon Saga.exe", false},
    };
    for (const auto& [segment, aliased] : cases)
        EXPECT_EQ(IsWindowsAliasedSegment(segment), aliased) << segment;
}

#ifdef _WIN32
TEST_F(ClientFolder, WindowsRefusesDeviceNamesInAnySegment) {
    for (const std::string path : {"nul", "data/con.txt", "data\\AUX", "a./b", "logs/com3.log"})
        EXPECT_EQ(Refusal(path), "Manifest contains an unsafe path") << path;
}
#endif

// Whatever the process locale, names outside ASCII keep their characters.
TEST_F(ClientFolder, NonAsciiNamesResolveToTheSameCharacters) {
    const fs::path target =
        ResolveManifestPath(client_, "donn\xC3\xA9\x65s\\\xC3\xA9p\xC3\xA9\x65.dat");
    EXPECT_EQ(target, fs::weakly_canonical(client_) / u8"donn\u00e9es" / u8"\u00e9p\u00e9e.dat");
}
