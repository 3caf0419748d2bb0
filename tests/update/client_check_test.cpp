// The start-up check walks the client's folders through handles: a link anywhere in a path is
// never followed (and a linked folder is replaced by a real one before a download), and the record
// of proven files vouches for files in any folders, in any key order, without reading them.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "platform/wide_text.h"
#include "scratch.h"
#include "tools/standin/service.h"
#include "update/update_run.h"
#include "update/verified_record.h"

namespace fs = std::filesystem;
using qs::test::Sha256Hex;

namespace qs {
namespace {

std::vector<std::string> Planned(const fs::path& client,
                                 const std::vector<std::pair<std::string, std::string>>& files,
                                 const VerifiedRecord* record = nullptr) {
    std::string manifest = R"({"files":{)";
    for (const auto& [path, content] : files)
        manifest +=
            (manifest.back() == '{' ? "\"" : ",\"") + path + R"(":")" + Sha256Hex(content) + "\"";
    std::vector<std::string> paths;
    for (const auto& entry : PlanClientUpdate(client, manifest + "}}", nullptr, record))
        paths.push_back(entry.relativePath);
    return paths;
}

// Files reached through a link, at their name or at a folder on their way, hold the manifest's
// bytes and are fetched all the same: they are not the client's own files.
TEST(ClientCheck, LinksAnywhereInAPathAreNotFollowed) {
    if (!kCanMakeLinks)
        GTEST_SKIP() << "no symbolic links here";
    TempFolder scratch;
    const fs::path client = scratch.path() / "client";
    const fs::path outside = scratch.path() / "outside";
    WriteFile(outside / "a.pak", "a");
    WriteFile(outside / "inner" / "b.pak", "b");
    WriteFile(client / "real" / "c.pak", "c");
    fs::create_directories(client / "deep");
    fs::create_symlink(outside / "a.pak", client / "a.pak");
    fs::create_directory_symlink(outside / "inner", client / "linked");
    fs::create_directory_symlink(outside, client / "deep" / "up");
    EXPECT_EQ(Planned(client, {{"a.pak", "a"},
                               {"linked/b.pak", "b"},
                               {"deep/up/inner/b.pak", "b"},
                               {"real/c.pak", "c"}}),
              (std::vector<std::string>{"a.pak", "deep/up/inner/b.pak", "linked/b.pak"}));
}

// A linked folder in the client folder becomes a real one before anything is written: the files
// land inside the client folder, what the link led to stays as it was, and the next start accepts
// them without fetching again.
TEST(ClientCheck, LinkedFolderIsReplacedByARealOne) {
    if (!kCanMakeLinks)
        GTEST_SKIP() << "no symbolic links here";
    TempFolder scratch;
    const fs::path client = scratch.path() / "client";
    const fs::path outside = scratch.path() / "outside";
    WriteFile(outside / "a.pak", "old");
    fs::create_directories(client);
    fs::create_directory_symlink(outside, client / "data");
    test::TestService service;
    service.setFile("data/a.pak", "a");
    service.setFile("data/sub/b.pak", "b");
    UpdateEnvironment environment;
    environment.service = service.endpoint();
    environment.verifiedRecord = scratch.path() / "verified-files.txt";
    for (int run = 0; run < 2; ++run) {
        const UpdateResult result = RunClientUpdate(
            client, [](const UpdateProgress&) {}, environment);
        ASSERT_TRUE(result.ok) << WideToUtf8(result.message);
    }
    EXPECT_FALSE(fs::is_symlink(client / "data"));
    EXPECT_EQ(ReadFile(client / "data" / "a.pak"), "a");
    EXPECT_EQ(ReadFile(client / "data" / "sub" / "b.pak"), "b");
    EXPECT_EQ(ReadFile(outside / "a.pak"), "old");
    EXPECT_EQ(std::distance(fs::directory_iterator(outside), fs::directory_iterator()), 1);
    EXPECT_EQ(service.requestCount(service.filePath("data/a.pak")), 1u);
    EXPECT_EQ(service.requestCount(service.filePath("data/sub/b.pak")), 1u);
}

// Folders whose names sort between each other's files ("a/b-x" < "a/b/..." < "a/b0"): each file
// is still looked at in its own folder. The record vouches for bytes the files do not hold, so a
// file that was read instead would be planned.
TEST(ClientCheck, RecordVouchesInEveryFolderWithoutReading) {
    TempFolder scratch;
    const fs::path client = scratch.path() / "client";
    const std::vector<std::string> names = {"a/b-x.dat", "a/b/c.dat", "a/b/d/e.dat",
                                            "a/b0.dat",  "z.dat",     "a\\b\\f.dat"};
    std::vector<std::pair<std::string, std::string>> files;
    VerifiedRecord record;
    for (const std::string& name : names) {
        std::string local = name;
        std::replace(local.begin(), local.end(), '\\', '/');
        WriteFile(client / local, "held");
        const FileStamp stamp = *StampOfFile(client / local);
        record.remember(name, Sha256Hex("vouched"),
                        {stamp, std::max(stamp.modifiedNs, stamp.changedNs) + 10'000'000'000});
        files.emplace_back(name == "a\\b\\f.dat" ? "a\\\\b\\\\f.dat" : name, "vouched");
    }
    EXPECT_EQ(Planned(client, files, &record), std::vector<std::string>{});
    files.emplace_back("a/b/g.dat", "absent");
    EXPECT_EQ(Planned(client, files, &record), std::vector<std::string>{"a/b/g.dat"});
}

// Files are planned in key order whatever order the manifest lists them in, and of a key listed
// twice the last value stands, as a parsed document keeps it.
TEST(ClientCheck, ManifestFilesInKeyOrderTheLastOfAKeyStanding) {
    TempFolder scratch;
    WriteFile(scratch.path() / "m.pak", "m");
    const std::string manifest = R"({"files":{"z.pak":")" + Sha256Hex("z") + R"(","m.pak":")" +
                                 Sha256Hex("old") + R"(","a.pak":")" + Sha256Hex("a") +
                                 R"(","m.pak":")" + Sha256Hex("m") + R"("}})";
    std::vector<std::string> paths;
    for (const auto& entry : PlanClientUpdate(scratch.path(), manifest))
        paths.push_back(entry.relativePath);
    EXPECT_EQ(paths, (std::vector<std::string>{"a.pak", "z.pak"}));
}

}  // namespace
}  // namespace qs
