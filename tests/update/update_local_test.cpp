// Update engine pieces that need no network: URL encoding, replacement, purge, planning and
// fetch decisions driven by an in-process request double.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "read_only_folder.h"
#include "test_folder.h"
#include "update/update_run.h"

using testing_files::ReadFile;
using testing_files::ReadOnlyFolder;
using testing_files::Sha256Hex;
using testing_files::TempFolder;
using testing_files::WriteFile;

namespace {

const std::string kExe = "Quillon Saga.exe";

// Answers file requests from a map; records every request so tests can prove none was sent.
struct RequestDouble {
    std::map<std::wstring, std::string> files;  // URL path -> body
    std::vector<std::wstring> requested;
    bool failAfterFirstChunk = false;

    UpdateEnvironment Environment() {
        UpdateEnvironment environment;
        environment.service = ServiceEndpoint{"files.test", 443, ""};
        environment.request = [this](const std::wstring& url, const std::wstring&,
                                     const std::string&) -> std::vector<std::uint8_t> {
            requested.push_back(url);
            throw std::runtime_error("Update server returned an error");
        };
        environment.requestToSink = [this](const std::wstring& url, const std::wstring&,
                                           const std::string&, const BodySink& sink) {
            requested.push_back(url);
            const std::wstring prefix = L"https://files.test";
            auto found = files.find(url.substr(prefix.size()));
            if (found == files.end())
                throw std::runtime_error("Update server returned an error");
            const std::string& body = found->second;
            for (std::size_t at = 0; at < body.size(); at += 7) {
                if (!sink(body.data() + at, std::min<std::size_t>(7, body.size() - at)))
                    throw std::runtime_error("HTTPS response read failed");
                if (failAfterFirstChunk)
                    throw std::runtime_error("HTTPS response read failed");
            }
        };
        return environment;
    }
};

std::string FailureOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& failure) {
        return failure.what();
    }
    return "<no failure>";
}

}  // namespace

TEST(DownloadUrlPath, CopiesTheSafeSetAndEncodesSpaces) {
    struct Case {
        std::string relative;
        std::wstring encoded;
    };
    for (const Case& c : std::vector<Case>{
             {"data/a.dat", L"data/a.dat"},
             {"Quillon Saga.exe", L"Quillon%20Saga.exe"},
             {"A-Z_a-z/0-9.x", L"A-Z_a-z/0-9.x"},
             {"two  spaces", L"two%20%20spaces"},
         })
        EXPECT_EQ(DownloadUrlPath(c.relative), c.encoded) << c.relative;
}

TEST(DownloadUrlPath, RefusesEveryOtherByte) {
    for (const std::string relative :
         {"a\\b", "a+b", "a~b", "caf\xC3\xA9", "a%20b", "a(b)", "a\tb", "a?b", "a#b", "a&b"})
        EXPECT_EQ(FailureOf([&] { DownloadUrlPath(relative); }),
                  "Manifest has an unsafe download path")
            << relative;
}

TEST(ReplaceFile, MovesOverAnExistingTarget) {
    TempFolder folder;
    WriteFile(folder.path() / "a.dat.download", "new");
    WriteFile(folder.path() / "a.dat", "old");
    std::wstring message = L"untouched";
    EXPECT_TRUE(ReplaceFile(folder.path() / "a.dat.download", folder.path() / "a.dat", message));
    EXPECT_EQ(ReadFile(folder.path() / "a.dat"), "new");
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "a.dat.download"));
    EXPECT_EQ(message, L"untouched");
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

TEST(ReplaceFile, ProtectedFolderGivesTheInUseMessage) {
    TempFolder folder;
    WriteFile(folder.path() / "c" / "Quillon Saga.exe.download", "new");
    WriteFile(folder.path() / "c" / "Quillon Saga.exe", "old");
    ReadOnlyFolder readOnly(folder.path() / "c");
    if (!readOnly.active())
        GTEST_SKIP() << "cannot protect a folder here";
    std::wstring message;
    EXPECT_FALSE(ReplaceFile(folder.path() / "c" / "Quillon Saga.exe.download",
                             folder.path() / "c" / "Quillon Saga.exe", message));
    EXPECT_EQ(message,
              L"Could not replace Quillon Saga.exe - file is in use. Please close the client and "
              L"try again.");
    EXPECT_EQ(ReadFile(folder.path() / "c" / "Quillon Saga.exe"), "old");
}

TEST(PurgeStaleDownloads, RemovesOnlyRegularDownloadFilesOfTheStaleAge) {
    using namespace std::chrono_literals;
    TempFolder folder;
    const auto now = std::filesystem::file_time_type::clock::now();
    struct Case {
        std::string name;
        std::chrono::seconds age;
        bool removed;
    };
    const std::vector<Case> cases = {
        {"two_hours.download", 7200s, true},  {"deep/er/nested.download", 7200s, true},
        {"exactly.download", 3601s, true},    {"just_young.download", 3600s, false},
        {"half_hour.download", 1800s, false}, {"future.download", -7200s, false},
        {".download", 7200s, false},          {"..download", 7200s, true},
        {"old.download.bak", 7200s, false},   {"old.dat", 7200s, false},
        {"old.DOWNLOAD", 7200s, false},
    };
    for (const Case& c : cases) {
        WriteFile(folder.path() / c.name, "x");
        std::filesystem::last_write_time(folder.path() / c.name, now - c.age);
    }
    // A folder with the extension is not a file; a link to a folder outside is not walked.
    std::filesystem::create_directories(folder.path() / "dir.download");
    std::filesystem::last_write_time(folder.path() / "dir.download", now - 7200s);
    TempFolder outside;
    WriteFile(outside.path() / "foreign.download", "x");
    std::filesystem::last_write_time(outside.path() / "foreign.download", now - 7200s);
    std::filesystem::create_directory_symlink(outside.path(), folder.path() / "linked");

    PurgeStaleDownloads(folder.path(), now);

    for (const Case& c : cases)
        EXPECT_EQ(std::filesystem::exists(folder.path() / c.name), !c.removed) << c.name;
    EXPECT_TRUE(std::filesystem::is_directory(folder.path() / "dir.download"));
    EXPECT_TRUE(std::filesystem::exists(outside.path() / "foreign.download"));
}

TEST(PurgeStaleDownloads, DanglingLinkDoesNotEndThePurge) {
    using namespace std::chrono_literals;
    TempFolder folder;
    const auto now = std::filesystem::file_time_type::clock::now();
    std::filesystem::create_symlink(folder.path() / "nowhere", folder.path() / "broken.download");
    for (int i = 0; i < 20; ++i) {
        auto file = folder.path() / ("f" + std::to_string(i) + ".download");
        WriteFile(file, "x");
        std::filesystem::last_write_time(file, now - 2h);
    }
    PurgeStaleDownloads(folder.path(), now);
    for (int i = 0; i < 20; ++i)
        EXPECT_FALSE(
            std::filesystem::exists(folder.path() / ("f" + std::to_string(i) + ".download")));
    EXPECT_TRUE(std::filesystem::is_symlink(folder.path() / "broken.download"));
}

TEST(PurgeStaleDownloads, MissingFolderIsQuiet) {
    TempFolder folder;
    EXPECT_NO_THROW(PurgeStaleDownloads(folder.path() / "absent",
                                        std::filesystem::file_time_type::clock::now()));
}

TEST(UpdateRequestBody, IsTheCompactSortedObject) {
    EXPECT_EQ(UpdateRequestBody(),
              R"({"args":{},"build":"","os":"windows","platform":"WIN32-WGL","version":1352})");
}

TEST(FailureMessage, KeepsReadableTextAndIsNeverEmpty) {
    EXPECT_EQ(FailureMessage("Malformed update manifest"), L"Malformed update manifest");
    EXPECT_EQ(FailureMessage("caf\xC3\xA9"), L"caf\u00e9");
    EXPECT_EQ(FailureMessage("bad \xFF byte"), L"bad \uFFFD byte");
    EXPECT_EQ(FailureMessage("cut \xE2\x82"), L"cut \uFFFD\uFFFD");
    EXPECT_EQ(FailureMessage(""), L"Update failed");
}

// --- Planning ---

struct PlanFailureCase {
    const char* manifest;
    const char* failure;
};

class PlanFailure : public testing::TestWithParam<PlanFailureCase> {};

TEST_P(PlanFailure, EndsWithItsText) {
    TempFolder folder;
    EXPECT_EQ(FailureOf([&] { PlanClientUpdate(folder.path(), GetParam().manifest); }),
              GetParam().failure)
        << GetParam().manifest;
}

INSTANTIATE_TEST_SUITE_P(
    Manifests, PlanFailure,
    testing::Values(
        PlanFailureCase{"[]", "Malformed update manifest"},
        PlanFailureCase{R"({"files":[]})", "Malformed update manifest"},
        PlanFailureCase{R"({"files":3})", "Malformed update manifest"},
        PlanFailureCase{R"({"other":{}})", "Malformed update manifest"},
        PlanFailureCase{R"({"files":{"a":1}})", "Malformed update manifest"},
        PlanFailureCase{R"({"files":{},"binary":{"file":"Quillon Saga.exe"}})",
                        "Malformed binary manifest"},
        PlanFailureCase{R"({"files":{},"binary":{"checksum":"00"}})", "Malformed binary manifest"},
        PlanFailureCase{R"({"files":{},"binary":{"file":1,"checksum":"00"}})",
                        "Malformed binary manifest"},
        PlanFailureCase{R"({"files":{},"binary":{"file":"Quillon Saga.exe","checksum":null}})",
                        "Malformed binary manifest"},
        PlanFailureCase{R"({"files":{},"binary":{"file":"quillon saga.exe","checksum":"00"}})",
                        "Unexpected executable in manifest"},
        PlanFailureCase{R"({"files":{},"binary":{"file":"other.exe","checksum":"00"}})",
                        "Unexpected executable in manifest"},
        PlanFailureCase{R"({"files":{"a":"00","b":"00","zz/../x":"00"}})",
                        "Manifest contains an unsafe path"},
        PlanFailureCase{R"({"files":{"a..b":"00"}})", "Manifest contains an unsafe path"},
        PlanFailureCase{R"({"files":{"C:/x":"00"}})", "Manifest contains an unsafe path"},
        PlanFailureCase{R"({"files":{".":"00"}})", "Manifest contains an unsafe path"},
        PlanFailureCase{R"({"files":{"/":"00"}})", "Manifest contains an unsafe path"},
        PlanFailureCase{R"({"files":{"sub/":"00"}})", "Manifest contains an unsafe path"},
        PlanFailureCase{R"({"files":{"sub/.":"00"}})", "Manifest contains an unsafe path"}));

TEST(PlanClientUpdate, ParseErrorsAreTheJsonLibraryText) {
    TempFolder folder;
    for (const char* reply : {"", "{", R"({"files":{}} trailing)", "/* c */ {\"files\":{}}"}) {
        std::string failure = FailureOf([&] { PlanClientUpdate(folder.path(), reply); });
        EXPECT_NE(failure.find("[json.exception.parse_error"), std::string::npos) << reply;
    }
}

TEST(PlanClientUpdate, ExistingFolderAsTargetIsUnsafeAndStays) {
    TempFolder folder;
    WriteFile(folder.path() / "data" / "kept.dat", "kept");
    EXPECT_EQ(FailureOf([&] { PlanClientUpdate(folder.path(), R"({"files":{"data":"00"}})"); }),
              "Manifest contains an unsafe path");
    EXPECT_EQ(ReadFile(folder.path() / "data" / "kept.dat"), "kept");
}

TEST(PlanClientUpdate, KeyOrderThenExecutableAndOnlyDifferingFiles) {
    TempFolder folder;
    WriteFile(folder.path() / "current.dat", "same");
    WriteFile(folder.path() / "upper.dat", "upper");
    WriteFile(folder.path() / "stale.dat", "old");
    const std::string manifest =
        R"({"files":{"/z/last.dat":"1111111111111111111111111111111111111111111111111111111111111111",)"
        R"("current.dat":")" +
        Sha256Hex("same") +
        R"(",)"
        R"("upper.dat":")" +
        testing_files::Upper(Sha256Hex("upper")) +
        R"(",)"
        R"("stale.dat":")" +
        Sha256Hex("new") +
        R"(",)"
        R"("a/first.dat":"not-a-checksum"},)"
        R"("binary":{"file":"/Quillon Saga.exe","checksum":")" +
        Sha256Hex("exe") +
        R"(","x":1},)"
        R"("ignored":true})";
    std::vector<UpdatePlanEntry> plan = PlanClientUpdate(folder.path(), manifest);
    std::vector<std::string> paths;
    for (const auto& entry : plan)
        paths.push_back(entry.relativePath);
    // Raw key order: "/z/last.dat" sorts before "a/first.dat"; the plan holds the trimmed path.
    EXPECT_EQ(paths, (std::vector<std::string>{"z/last.dat", "a/first.dat", "stale.dat", kExe}));
    EXPECT_EQ(plan[1].checksum, "not-a-checksum");
}

TEST(PlanClientUpdate, BinaryOfAnotherTypeIsIgnored) {
    TempFolder folder;
    for (const char* binary : {R"("Quillon Saga.exe")", "3", "null", "[]"}) {
        std::string manifest = std::string(R"({"files":{},"binary":)") + binary + "}";
        EXPECT_TRUE(PlanClientUpdate(folder.path(), manifest).empty()) << manifest;
    }
}

// --- FetchFile decisions ---

class FetchFileTest : public testing::Test {
protected:
    TempFolder folder;
    RequestDouble service;
    std::filesystem::path target = folder.path() / "data" / "a.dat";
    std::filesystem::path download = folder.path() / "data" / "a.dat.download";
};

TEST_F(FetchFileTest, MalformedChecksumOrPathFailsBeforeAnyRequest) {
    struct Case {
        std::string relative, checksum, failure;
    };
    const std::string good = Sha256Hex("x");
    for (const Case& c : std::vector<Case>{
             {"data/a.dat", good.substr(0, 63), "Manifest has an invalid SHA-256 checksum"},
             {"data/a.dat", good + "0", "Manifest has an invalid SHA-256 checksum"},
             {"data/a.dat", "g" + good.substr(1), "Manifest has an invalid SHA-256 checksum"},
             {"data/a+b.dat", good, "Manifest has an unsafe download path"},
             {"data/caf\xC3\xA9", good, "Manifest has an unsafe download path"},
         }) {
        EXPECT_EQ(
            FailureOf([&] { FetchFile(target, c.relative, c.checksum, service.Environment()); }),
            c.failure);
    }
    EXPECT_TRUE(service.requested.empty());
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "data"));
}

TEST_F(FetchFileTest, CreatesFoldersAndLeavesNoDownloadFile) {
    service.files[L"/updater/files/data/a.dat"] = "fresh content";
    FetchFile(target, "data/a.dat", Sha256Hex("fresh content"), service.Environment());
    EXPECT_EQ(ReadFile(target), "fresh content");
    EXPECT_FALSE(std::filesystem::exists(download));
    EXPECT_EQ(service.requested,
              std::vector<std::wstring>{L"https://files.test/updater/files/data/a.dat"});
}

TEST_F(FetchFileTest, EmptyReplyIsAnEmptyFile) {
    service.files[L"/updater/files/data/a.dat"] = "";
    FetchFile(target, "data/a.dat", Sha256Hex(""), service.Environment());
    EXPECT_TRUE(std::filesystem::exists(target));
    EXPECT_EQ(std::filesystem::file_size(target), 0u);
}

TEST_F(FetchFileTest, WrongDigestLeavesTargetAndRemovesDownload) {
    WriteFile(target, "old");
    service.files[L"/updater/files/data/a.dat"] = "tampered";
    EXPECT_EQ(FailureOf([&] {
                  FetchFile(target, "data/a.dat", Sha256Hex("genuine"), service.Environment());
              }),
              "Downloaded file failed SHA-256 verification");
    EXPECT_EQ(ReadFile(target), "old");
    EXPECT_FALSE(std::filesystem::exists(download));
}

TEST_F(FetchFileTest, VerifiedLeftoverIsPlacedWithoutARequest) {
    WriteFile(target, "old");
    WriteFile(download, "genuine");
    FetchFile(target, "data/a.dat", testing_files::Upper(Sha256Hex("genuine")),
              service.Environment());
    EXPECT_EQ(ReadFile(target), "genuine");
    EXPECT_FALSE(std::filesystem::exists(download));
    EXPECT_TRUE(service.requested.empty());
}

TEST_F(FetchFileTest, WrongLeftoverIsDownloadedAgain) {
    WriteFile(download, "a much longer partial leftover from an earlier run");
    service.files[L"/updater/files/data/a.dat"] = "genuine";
    FetchFile(target, "data/a.dat", Sha256Hex("genuine"), service.Environment());
    EXPECT_EQ(ReadFile(target), "genuine");
    EXPECT_EQ(service.requested.size(), 1u);
}

TEST_F(FetchFileTest, TransferFailureKeepsTargetAndDropsThePartialFile) {
    WriteFile(target, "old");
    service.files[L"/updater/files/data/a.dat"] = std::string(100, 'n');
    service.failAfterFirstChunk = true;
    EXPECT_EQ(FailureOf([&] {
                  FetchFile(target, "data/a.dat", Sha256Hex(std::string(100, 'n')),
                            service.Environment());
              }),
              "HTTPS response read failed");
    EXPECT_EQ(ReadFile(target), "old");
    EXPECT_FALSE(std::filesystem::exists(download));
}

TEST_F(FetchFileTest, ServerRefusalLeavesEarlierLeftoverAlone) {
    WriteFile(download, "leftover");
    EXPECT_EQ(
        FailureOf([&] { FetchFile(target, "data/a.dat", Sha256Hex("x"), service.Environment()); }),
        "Update server returned an error");
    EXPECT_EQ(ReadFile(download), "leftover");
}

TEST_F(FetchFileTest, UnwritableDownloadGivesTheWriteText) {
    service.files[L"/updater/files/data/a.dat"] = "content";
    // A link under the download name is never written through.
    TempFolder outside;
    std::filesystem::create_directories(download.parent_path());
    std::filesystem::create_symlink(outside.path() / "victim", download);
    EXPECT_EQ(FailureOf([&] {
                  FetchFile(target, "data/a.dat", Sha256Hex("content"), service.Environment());
              }),
              "Cannot write update download");
    EXPECT_FALSE(std::filesystem::exists(outside.path() / "victim"));
    EXPECT_FALSE(std::filesystem::exists(target));
}

TEST_F(FetchFileTest, FolderCannotBeCreatedNamesTheOperation) {
    WriteFile(folder.path() / "data", "a file where a folder should be");
    service.files[L"/updater/files/data/a.dat"] = "content";
    std::string failure = FailureOf(
        [&] { FetchFile(target, "data/a.dat", Sha256Hex("content"), service.Environment()); });
    EXPECT_NE(failure.find("create_directories"), std::string::npos) << failure;
}

TEST_F(FetchFileTest, FolderTargetIsRefusedAndKept) {
    WriteFile(target / "inside.dat", "kept");
    service.files[L"/updater/files/data/a.dat"] = "content";
    EXPECT_EQ(FailureOf([&] {
                  FetchFile(target, "data/a.dat", Sha256Hex("content"), service.Environment());
              }),
              "Manifest contains an unsafe path");
    EXPECT_EQ(ReadFile(target / "inside.dat"), "kept");
    EXPECT_TRUE(service.requested.empty());
}

TEST_F(FetchFileTest, ExecutableGetsItsExecuteBit) {
    service.files[L"/updater/files/Quillon%20Saga.exe"] = "#!/bin/sh\n";
    const auto exe = folder.path() / kExe;
    FetchFile(exe, kExe, Sha256Hex("#!/bin/sh\n"), service.Environment(), true);
    struct stat info {};
    ASSERT_EQ(stat(exe.c_str(), &info), 0);
    EXPECT_TRUE(info.st_mode & S_IXUSR);
}

TEST_F(FetchFileTest, ProtectedFolderGivesTheInUseMessage) {
    WriteFile(target, "old");
    WriteFile(download, "genuine");
    ReadOnlyFolder readOnly(target.parent_path());
    if (!readOnly.active())
        GTEST_SKIP() << "cannot protect a folder here";
    EXPECT_EQ(FailureOf([&] {
                  FetchFile(target, "data/a.dat", Sha256Hex("genuine"), service.Environment());
              }),
              "Could not replace a.dat - file is in use. Please close the client and try again.");
    EXPECT_EQ(ReadFile(target), "old");
}
