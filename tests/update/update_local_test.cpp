// Update engine pieces that need no network: URL encoding, replacement, purge and planning.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include "scratch.h"
#include "tools/standin/service.h"
#include "update/update_run.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using qs::test::Sha256Hex;

namespace {

std::string FailureOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& failure) {
        return failure.what();
    }
    return "<no failure>";
}

TEST(DownloadUrlPath, CopiesTheSafeSetEncodesBlanksAndRefusesTheRest) {
    const std::pair<std::string, std::wstring> accepted[] = {
        {"A-Z_a-z/0-9.x", L"A-Z_a-z/0-9.x"},
        {"two  spaces.exe", L"two%20%20spaces.exe"},
    };
    for (const auto& [relative, encoded] : accepted)
        EXPECT_EQ(DownloadUrlPath(relative), encoded) << relative;
    for (const std::string relative : {"a\\b", "a+b", "a~b", "caf\xC3\xA9", "a%20b", "a\tb", "a?b"})
        EXPECT_EQ(FailureOf([&] { DownloadUrlPath(relative); }),
                  "Manifest has an unsafe download path")
            << relative;
}

TEST(ReplaceFile, NamesTheFileAndTheErrorNumber) {
    TempFolder folder;
    std::wstring message;
    // Missing source: ENOENT.
    EXPECT_FALSE(ReplaceFile(folder.path() / "gone.download", folder.path() / "gone.dat", message));
    EXPECT_EQ(message, L"Could not replace gone.dat (Error code: 2)");
    // A folder in the way: EISDIR.
    WriteFile(folder.path() / "sub.download", "x");
    WriteFile(folder.path() / "sub" / "inside", "kept");
    EXPECT_FALSE(ReplaceFile(folder.path() / "sub.download", folder.path() / "sub", message));
    EXPECT_EQ(message, L"Could not replace sub (Error code: 21)");
    EXPECT_EQ(ReadFile(folder.path() / "sub" / "inside"), "kept");
}

TEST(PurgeStaleDownloads, RemovesOnlyRegularDownloadFilesOfTheStaleAge) {
    TempFolder folder, outside;
    const auto now = fs::file_time_type::clock::now();
    const auto age = [&](const fs::path& file, std::chrono::seconds seconds) {
        WriteFile(file, "x");
        fs::last_write_time(file, now - seconds);
    };
    struct Case {
        std::string name;
        std::chrono::seconds age;
        bool removed;
    };
    const std::vector<Case> cases = {
        {"deep/er/nested.download", 7200s, true},
        {"exactly.download", 3601s, true},
        {"just_young.download", 3600s, false},
        {"future.download", -7200s, false},
        {".download", 7200s, false},
        {"..download", 7200s, true},
        {"old.download.bak", 7200s, false},
        {"old.DOWNLOAD", 7200s, false},
    };
    for (const Case& c : cases)
        age(folder.path() / c.name, c.age);
    // A folder with the extension is not a file; a link to a folder outside is not walked; a
    // dangling link does not end the walk.
    fs::create_directories(folder.path() / "dir.download");
    fs::last_write_time(folder.path() / "dir.download", now - 7200s);
    age(outside.path() / "foreign.download", 7200s);
    fs::create_directory_symlink(outside.path(), folder.path() / "linked");
    fs::create_symlink(folder.path() / "nowhere", folder.path() / "broken.download");
    for (int i = 0; i < 20; ++i)
        age(folder.path() / ("f" + std::to_string(i) + ".download"), 7200s);

    PurgeStaleDownloads(folder.path(), now);

    for (const Case& c : cases)
        EXPECT_EQ(fs::exists(folder.path() / c.name), !c.removed) << c.name;
    for (int i = 0; i < 20; ++i)
        EXPECT_FALSE(fs::exists(folder.path() / ("f" + std::to_string(i) + ".download")));
    EXPECT_TRUE(fs::is_directory(folder.path() / "dir.download"));
    EXPECT_TRUE(fs::exists(outside.path() / "foreign.download"));
    EXPECT_TRUE(fs::is_symlink(folder.path() / "broken.download"));
    EXPECT_NO_THROW(PurgeStaleDownloads(folder.path() / "absent", now));
}

TEST(FailureMessage, KeepsReadableTextAndIsNeverEmpty) {
    EXPECT_EQ(FailureMessage("caf\xC3\xA9"), L"caf\u00e9");
    EXPECT_EQ(FailureMessage("bad \xFF byte"), L"bad \uFFFD byte");
    EXPECT_EQ(FailureMessage("cut \xE2\x82"), L"cut \uFFFD\uFFFD");
    EXPECT_EQ(FailureMessage(""), L"Update failed");
}

// Raw key order (so "/z/last.dat" sorts before "a/first.dat"), the executable last, and only
// files whose digest differs in any letter case; the plan holds the trimmed path.
TEST(PlanClientUpdate, KeyOrderThenExecutableAndOnlyDifferingFiles) {
    TempFolder folder;
    WriteFile(folder.path() / "current.dat", "same");
    WriteFile(folder.path() / "upper.dat", "upper");
    WriteFile(folder.path() / "stale.dat", "old");
    std::string upper = Sha256Hex("upper");
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string manifest = R"({"files":{"/z/last.dat":")" + std::string(64, '1') +
                                 R"(","current.dat":")" + Sha256Hex("same") + R"(","upper.dat":")" +
                                 upper + R"(","stale.dat":")" + Sha256Hex("new") +
                                 R"(","a/first.dat":"not-a-checksum"},)" +
                                 R"("binary":{"file":"/Quillon Saga.exe","checksum":")" +
                                 Sha256Hex("exe") + R"(","x":1},"ignored":true})";
    const std::vector<UpdatePlanEntry> plan = PlanClientUpdate(folder.path(), manifest);
    std::vector<std::string> paths;
    for (const auto& entry : plan)
        paths.push_back(entry.relativePath);
    EXPECT_EQ(paths, (std::vector<std::string>{"z/last.dat", "a/first.dat", "stale.dat",
                                               "Quillon Saga.exe"}));
    EXPECT_EQ(plan[1].checksum, "not-a-checksum");
}

}  // namespace
