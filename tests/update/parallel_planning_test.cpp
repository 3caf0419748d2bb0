// The planning pass over many files: digests run on several threads, outcomes are read in key
// order.
#include <gtest/gtest.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/common/scratch.h"
#include "tools/standin/service.h"
#include "update/update_run.h"

using namespace qs;

using qs::test::Sha256Hex;

namespace {

constexpr int kFiles = 300;

std::string Name(int index) {
    char name[32];
    std::snprintf(name, sizeof name, "pack/file%03d.dat", index);
    return name;
}

std::string Content(int index) {
    return std::string(static_cast<std::size_t>(1000 + index * 37),
                       static_cast<char>('a' + index % 26));
}

// Every file on disk; every third differs from its manifest entry.
nlohmann::json WriteClient(const std::filesystem::path& folder) {
    nlohmann::json files = nlohmann::json::object();
    for (int i = 0; i < kFiles; ++i) {
        WriteFile(folder / Name(i), Content(i));
        files[Name(i)] = Sha256Hex(i % 3 == 0 ? Content(i) + "new" : Content(i));
    }
    return files;
}

}  // namespace

TEST(ParallelPlanning, PlansTheDifferingFilesInKeyOrder) {
    TempFolder folder;
    nlohmann::json files = WriteClient(folder.path());
    files["zz-missing.dat"] = Sha256Hex("x");
    const auto plan = PlanClientUpdate(folder.path(), nlohmann::json{{"files", files}}.dump());

    std::vector<std::string> expected;
    for (int i = 0; i < kFiles; i += 3)
        expected.push_back(Name(i));
    expected.push_back("zz-missing.dat");
    std::vector<std::string> planned;
    for (const auto& entry : plan)
        planned.push_back(entry.relativePath);
    EXPECT_EQ(planned, expected);
    EXPECT_EQ(plan.front().checksum, Sha256Hex(Content(0) + "new"));
}

TEST(ParallelPlanning, FirstFailureInKeyOrderWins) {
    TempFolder folder;
    const nlohmann::json client = WriteClient(folder.path());
    WriteFile(folder.path() / "pack" / "m-folder" / "kept.dat", "kept");

    struct Case {
        const char* what;
        std::vector<std::pair<std::string, nlohmann::json>> extra;
        const char* failure;
    };
    const Case cases[] = {
        // A file's own check (a folder as target) comes before a later malformed entry.
        {"folder, then malformed",
         {{"pack/m-folder", Sha256Hex("x")}, {"pack/zz", 5}},
         "Manifest contains an unsafe path: pack/m-folder"},
        // A malformed entry stops the pass before a later folder target is looked at.
        {"malformed, then folder",
         {{"pack/a-bad", nullptr}, {"pack/m-folder", Sha256Hex("x")}},
         "Malformed update manifest: pack/a-bad"},
        {"malformed after every file", {{"zz", true}}, "Malformed update manifest: zz"},
    };
    for (const Case& test : cases) {
        nlohmann::json files = client;
        for (const auto& [key, value] : test.extra)
            files[key] = value;
        const std::string manifest = nlohmann::json{{"files", files}}.dump();
        for (int round = 0; round < 5; ++round)
            EXPECT_EQ(ErrorOf([&] { PlanClientUpdate(folder.path(), manifest); }), test.failure)
                << test.what;
    }
    EXPECT_EQ(ReadFile(folder.path() / "pack" / "m-folder" / "kept.dat"), "kept");
}
