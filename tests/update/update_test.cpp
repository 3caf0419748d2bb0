// The update engine: pure pieces, single file fetches and whole runs against the HTTPS stand-in
// service on 127.0.0.1.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <atomic>
#include <cctype>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/folder_lock.h"
#include "platform/wide_text.h"
#include "read_only_folder.h"
#include "scratch.h"
#include "tools/standin/service.h"
#include "update/update_run.h"

using namespace qs;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using qs::test::Fault;
using qs::test::Sha256Hex;
using qs::test::TestService;

namespace {

const std::string kExe = "Quillon Saga.exe";

struct Report {
    std::int32_t index, count;
    std::wstring message;
    bool operator==(const Report&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Report& report) {
    return out << report.index << "/" << report.count << " " << WideToUtf8(report.message);
}

std::string Upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

class UpdateRunTest : public testing::Test {
protected:
    UpdateEnvironment Environment() const {
        UpdateEnvironment environment;
        environment.service = service.endpoint();
        environment.retryPauses = {1ms, 1ms};
        return environment;
    }

    UpdateResult Run() {
        reports.clear();
        return RunClientUpdate(
            client,
            [this](const qs::UpdateProgress& progress) {
                // Byte reports repeat the file's line; the lines are what a player reads.
                Report report{progress.fileIndex, progress.fileCount, progress.message};
                if (reports.empty() || !(reports.back() == report))
                    reports.push_back(std::move(report));
            },
            Environment());
    }

    std::string Fetch(const std::string& relative, const std::string& checksum) {
        return ErrorOf([&] { FetchFile(client / relative, relative, checksum, Environment()); });
    }

    std::size_t FileRequests() const {
        std::size_t count = 0;
        for (const auto& request : service.requests())
            count += request.path.starts_with("/updater/files/") ||
                     request.path.starts_with("/updater/objects/");
        return count;
    }

    bool NoDownloadFilesLeft() const {
        for (const auto& entry : fs::recursive_directory_iterator(client))
            if (entry.path().extension() == ".download")
                return false;
        return true;
    }

    TestService service;
    TempFolder folder;
    fs::path client = folder.path() / "Quillon Saga" / "QuillonSaga Game";
    std::vector<Report> reports;
};

}  // namespace

TEST(DownloadUrlPath, CopiesTheSafeSetEncodesBlanksAndRefusesTheRest) {
    const std::pair<std::string, std::wstring> accepted[] = {
        {"A-Z_a-z/0-9.x", L"A-Z_a-z/0-9.x"},
        {"two  spaces.exe", L"two%20%20spaces.exe"},
    };
    for (const auto& [relative, encoded] : accepted)
        EXPECT_EQ(DownloadUrlPath(relative), encoded) << relative;
    for (const std::string relative : {"a\\b", "a+b", "a~b", "caf\xC3\xA9", "a%20b", "a\tb", "a?b"})
        EXPECT_EQ(ErrorOf([&] { DownloadUrlPath(relative); }),
                  "Manifest has an unsafe download path")
            << relative;
}

TEST(ReplaceFile, NamesTheFileAndTheErrorNumber) {
    TempFolder folder;
    std::wstring message;
    // Missing source: ENOENT.
    EXPECT_FALSE(ReplaceFile(folder.path() / "gone.download", folder.path() / "gone.dat", message));
    EXPECT_EQ(message, L"Could not replace gone.dat (Error code: 2)");
    // A folder in the way: EISDIR; Windows refuses it as access denied, which reads as in use.
    WriteFile(folder.path() / "sub.download", "x");
    WriteFile(folder.path() / "sub" / "inside", "kept");
    EXPECT_FALSE(ReplaceFile(folder.path() / "sub.download", folder.path() / "sub", message));
#ifdef _WIN32
    EXPECT_EQ(message,
              L"Could not replace sub - file is in use. Please close the client and try again.");
#else
    EXPECT_EQ(message, L"Could not replace sub (Error code: 21)");
#endif
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
#ifndef _WIN32  // mingw's runtime cannot set a folder's time
    fs::last_write_time(folder.path() / "dir.download", now - 7200s);
#endif
    age(outside.path() / "foreign.download", 7200s);
    if (kCanMakeLinks) {
        fs::create_directory_symlink(outside.path(), folder.path() / "linked");
        fs::create_symlink(folder.path() / "nowhere", folder.path() / "broken.download");
    }
    for (int i = 0; i < 20; ++i)
        age(folder.path() / ("f" + std::to_string(i) + ".download"), 7200s);

    PurgeStaleDownloads(folder.path(), now);

    for (const Case& c : cases)
        EXPECT_EQ(fs::exists(folder.path() / c.name), !c.removed) << c.name;
    for (int i = 0; i < 20; ++i)
        EXPECT_FALSE(fs::exists(folder.path() / ("f" + std::to_string(i) + ".download")));
    EXPECT_TRUE(fs::is_directory(folder.path() / "dir.download"));
    EXPECT_TRUE(fs::exists(outside.path() / "foreign.download"));
    if (kCanMakeLinks) {
        EXPECT_TRUE(fs::is_symlink(folder.path() / "broken.download"));
    }
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
    const std::string upper = Upper(Sha256Hex("upper"));
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

// Keys that name one file plan it once, and the executable comes last whichever key lists it.
TEST(PlanClientUpdate, EachTargetOnceAndTheExecutableLastWhateverListsIt) {
    TempFolder folder;
#ifdef _WIN32
    const std::string sameFileOnWindows = R"("A.pak":")" + Sha256Hex("a") + R"(",)";
#else
    const std::string sameFileOnWindows;
#endif
    const std::string manifest =
        R"({"files":{"/Quillon Saga.exe":")" + Sha256Hex("exe") + R"(","/a.pak":")" +
        Sha256Hex("a") + R"(",)" + sameFileOnWindows + R"("a.pak":")" + Upper(Sha256Hex("a")) +
        R"(","x/y.dat":")" + Sha256Hex("y") + R"(","x\\y.dat":")" + Sha256Hex("y") +
        R"("},"binary":{"file":"Quillon Saga.exe","checksum":")" + Sha256Hex("exe") + R"("}})";
    std::vector<std::string> paths;
    for (const auto& entry : PlanClientUpdate(folder.path(), manifest))
        paths.push_back(entry.relativePath);
    EXPECT_EQ(paths, (std::vector<std::string>{"a.pak", "x/y.dat", "Quillon Saga.exe"}));
}

// A file counts as current only when every byte of its stamped size was read: one that cannot be
// opened is not taken for an empty file, nor one that reads other than its size (a /proc file,
// through a link) for what it gave.
TEST(PlanClientUpdate, FileNotReadToItsStampedSizeIsFetched) {
    TempFolder folder;
    WriteFile(folder.path() / "locked.pak", std::string(16, 'x'));
    std::string files = R"("locked.pak":")" + Sha256Hex("") + R"(")";
    std::vector<std::string> expected = {"locked.pak"};
    if (kCanMakeLinks && fs::exists("/proc/version")) {
        fs::create_symlink("/proc/version", folder.path() / "proc.pak");
        files += R"(,"proc.pak":")" + Sha256Hex(ReadFile("/proc/version")) + R"(")";
        expected.push_back("proc.pak");
    }
    UnreadableFile unreadable(folder.path() / "locked.pak");
    if (!unreadable.active())
        GTEST_SKIP() << "cannot make a file unreadable here";
    std::vector<std::string> paths;
    for (const auto& entry : PlanClientUpdate(folder.path(), "{\"files\":{" + files + "}}"))
        paths.push_back(entry.relativePath);
    EXPECT_EQ(paths, expected);
}

TEST_F(UpdateRunTest, EmptyManifestIsUpToDateAndSendsTheExactRequest) {
    UpdateResult result = Run();
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.message, L"Ready to play.");
    EXPECT_EQ(result.outcome, RunOutcome::Ready);
    EXPECT_EQ(reports, (std::vector<Report>{{0, 0, L"Client is up to date."}}));
    EXPECT_TRUE(fs::is_directory(client));

    auto request = service.lastRequest("/updater/updater.php");
    ASSERT_TRUE(request);
    EXPECT_EQ(request->method, "POST");
    EXPECT_EQ(request->body,
              R"({"args":{},"build":"","os":"windows","platform":"WIN32-WGL","version":1352})");
    EXPECT_EQ(request->header("Content-Type"), "application/json");
    EXPECT_EQ(service.requestCount(), 1u);
}

// Current files, one of them under a capital-letter checksum, send no download request.
TEST_F(UpdateRunTest, CurrentFilesSendNoDownloadRequest) {
    WriteFile(client / "data" / "a.dat", "alpha");
    WriteFile(client / "b.dat", "beta");
    WriteFile(client / kExe, "exe");
    service.setManifestJson(R"({"files":{"data/a.dat":")" + Sha256Hex("alpha") + R"(","b.dat":")" +
                            Upper(Sha256Hex("beta")) +
                            R"("},"binary":{"file":"Quillon Saga.exe","checksum":")" +
                            Sha256Hex("exe") + R"("}})");
    UpdateResult result = Run();
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(reports, (std::vector<Report>{{0, 0, L"Client is up to date."}}));
    EXPECT_EQ(FileRequests(), 0u);
}

// Missing files come in key order, the executable last with its execute bit; other files stay.
TEST_F(UpdateRunTest, MissingFilesReportInKeyOrderExecutableLast) {
    service.setFile(kExe, "#!/bin/sh\nexit 0\n");
    service.setFile("z/second file.dat", "second");
    service.setFile("a/first.dat", "first");
    WriteFile(client / "unlisted" / "keep.me", "mine");
    service.setObjectsNamed(false);  // files by their encoded paths, as before content addresses
    UpdateResult result = Run();
    EXPECT_TRUE(result.ok) << WideToUtf8(result.message);
    EXPECT_EQ(reports, (std::vector<Report>{{0, 3, L"Downloading a/first.dat"},
                                            {1, 3, L"Downloading z/second file.dat"},
                                            {2, 3, L"Downloading Quillon Saga.exe"},
                                            {3, 3, L"Update complete."}}));
    EXPECT_EQ(ReadFile(client / "a" / "first.dat"), "first");
    EXPECT_EQ(ReadFile(client / "z" / "second file.dat"), "second");
    EXPECT_EQ(ReadFile(client / "unlisted" / "keep.me"), "mine");
    EXPECT_TRUE(NoDownloadFilesLeft());
#ifndef _WIN32
    struct stat info {};
    ASSERT_EQ(stat((client / kExe).c_str(), &info), 0);
    EXPECT_TRUE(info.st_mode & S_IXUSR);
#endif
    auto request = service.lastRequest(service.filePath("z/second file.dat"));
    ASSERT_TRUE(request);
    EXPECT_EQ(request->target, "/updater/files/z/second%20file.dat");
}

// Every manifest variant ends before any download; an unsafe path as the last key included.
TEST_F(UpdateRunTest, ManifestVariantsEndBeforeAnyDownload) {
    struct Case {
        std::string manifest;
        std::wstring message;  // empty: a successful run
    };
    const Case cases[] = {
        {R"({"files":{},"binary":"Quillon Saga.exe"})", L""},
        {R"({"files":{},"binary":null})", L""},
        {R"({"files":{},"binary":{"file":"Quillon Saga.exe"}})", L"Malformed binary manifest"},
        {R"({"files":{},"binary":{"file":1,"checksum":"00"}})", L"Malformed binary manifest"},
        {R"({"files":{},"binary":{"file":"/quillon saga.EXE","checksum":"00"}})",
         L"Unexpected executable in manifest"},
        {R"([])", L"Malformed update manifest"},
        {R"({"files":[]})", L"Malformed update manifest"},
        {R"({"other":{}})", L"Malformed update manifest"},
        {R"({"files":{"a.dat":false}})", L"Malformed update manifest: a.dat"},
        {R"({"files":{"a.dat":"00","b.dat":"00","zzz/../../evil":"00"}})",
         L"Manifest contains an unsafe path: zzz/../../evil"},
        {R"({"files":{"a.dat":"00",".":"00"}})", L"Manifest contains an unsafe path: ."},
        {R"({"files":{},"x":)" + std::string(70, '[') + std::string(70, ']') + "}",
         L"JSON reply is nested too deeply"},
        {R"({"files":{"a.dat":"00","sub/":"00"}})", L"Manifest contains an unsafe path: sub/"},
        // Keys naming one file with two digests: two transfers would write one download.
        {R"({"files":{"/a.dat":"00","a.dat":"11"}})",
         L"Malformed update manifest: two digests for a.dat"},
        {R"({"files":{"x/a.dat":"00","x\\a.dat":"11"}})",
         L"Malformed update manifest: two digests for x\\a.dat"},
        {R"({"files":{"Quillon Saga.exe":"00"},"binary":{"file":"Quillon Saga.exe","checksum":"11"}})",
         L"Malformed update manifest: two digests for Quillon Saga.exe"},
        // The update lock's file: placed over while the run holds it, the lock would be lost.
        {R"({"files":{"/)" + std::string(FolderLockFileName()) + R"(":"00"}})",
         L"Manifest contains an unsafe path: " + Utf8ToWide(FolderLockFileName())},
    };
    service.setFile("a.dat", "alpha");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.manifest);
        service.setManifestJson(c.manifest);
        UpdateResult result = Run();
        EXPECT_EQ(result.ok, c.message.empty());
        EXPECT_EQ(result.message, c.message.empty() ? L"Ready to play." : c.message);
        if (!result.ok) {
            EXPECT_TRUE(reports.empty());
        }
    }
    EXPECT_EQ(FileRequests(), 0u);
    EXPECT_FALSE(fs::exists(client / "a.dat"));
}

// Two keys naming one file with one digest: it is fetched once and placed, nothing left behind.
TEST_F(UpdateRunTest, TwoKeysForOneFileFetchItOnce) {
    service.setFile("a.pak", "alpha");
    service.setManifestJson(R"({"files":{"/a.pak":")" + Sha256Hex("alpha") + R"(","a.pak":")" +
                            Sha256Hex("alpha") + R"("}})");
    const UpdateResult result = Run();
    EXPECT_TRUE(result.ok) << WideToUtf8(result.message);
    EXPECT_EQ(ReadFile(client / "a.pak"), "alpha");
    EXPECT_TRUE(NoDownloadFilesLeft());
    EXPECT_EQ(FileRequests(), 1u);
}

// With several transfers at once, a file's failure names it by its manifest path (control
// characters shown as '?'); the text begins as it always did.
TEST_F(UpdateRunTest, FileFailuresNameTheFile) {
    service.setFile("data/a.dat", "alpha");
    fs::create_directories(client / "data" / "a.dat.download" / "in the way");
    EXPECT_EQ(Run().message, L"Cannot write update download: data/a.dat");
#ifndef _WIN32  // Windows refuses such a name before any transfer
    service.setManifestJson(R"({"files":{"data/b\u0007.dat":")" + Sha256Hex("b") + R"("}})");
    EXPECT_EQ(Run().message, L"Manifest has an unsafe download path: data/b?.dat");
#endif
}

// An existing folder as a target is never replaced or emptied.
TEST_F(UpdateRunTest, ExistingFolderAsTargetIsUnsafeAndStays) {
    WriteFile(client / "data" / "kept.dat", "kept");
    service.setManifestJson(R"({"files":{"data":")" + Sha256Hex("x") + R"("}})");
    EXPECT_EQ(Run().message, L"Manifest contains an unsafe path: data");
    EXPECT_EQ(ReadFile(client / "data" / "kept.dat"), "kept");
    EXPECT_EQ(FileRequests(), 0u);
}

TEST_F(UpdateRunTest, UnreadableManifestEndsTheRun) {
    service.setFault("/updater/updater.php", Fault::notJson());
    UpdateResult result = Run();
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.message.find(L"parse error"), std::wstring::npos);

    service.setFault("/updater/updater.php", Fault::replyStatus(500));
    EXPECT_EQ(Run().message, L"Update server returned an error");

    // The parse error quotes the offending reply bytes, which are not UTF-8.
    service.clearFaultsAndHandlers();
    service.setManifestJson("{\"files\":{\"a\xFF\xFE\":\"00\"}}");
    result = Run();
    EXPECT_FALSE(result.ok);
    EXPECT_FALSE(result.message.empty());
}

TEST_F(UpdateRunTest, WrongBytesStopTheRunAfterEarlierFilesArePlaced) {
    service.setFile("a.dat", "alpha");
    service.setFile("b.dat", "beta");
    service.setFile("c.dat", "gamma");
    WriteFile(client / "b.dat", "old beta");
    service.setFault(service.filePath("b.dat"), Fault::wrongBytes());
    UpdateResult result = Run();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.message, L"Downloaded file failed SHA-256 verification: b.dat");
    EXPECT_EQ(ReadFile(client / "a.dat"), "alpha");
    EXPECT_EQ(ReadFile(client / "b.dat"), "old beta");
    EXPECT_FALSE(fs::exists(client / "b.dat.download"));
    // A later file may have arrived meanwhile: it stays a proven download, not placed.
    EXPECT_FALSE(fs::exists(client / "c.dat"));
}

// A run that fails before it placed a file says the client is as it was, and whole when the
// last run that changed it ended ready; a run that placed files and then failed leaves it
// unproven until a run ends ready.
TEST_F(UpdateRunTest, RunsSayWhetherTheyPlacedFilesIntoAClientThatWasWhole) {
    const fs::path mark = folder.path() / "data" / "client-whole.txt";
    const auto run = [&] {
        UpdateEnvironment environment = Environment();
        environment.wholeMark = mark;
        return RunClientUpdate(
            client, [](const qs::UpdateProgress&) {}, environment);
    };
    const auto expect = [](const UpdateResult& result, bool ok, bool placed, bool provenBefore) {
        EXPECT_EQ(result.ok, ok) << WideToUtf8(result.message);
        EXPECT_EQ(result.placedFiles, placed);
        EXPECT_EQ(result.provenBefore, provenBefore);
    };
    const auto serviceDown = [&] {
        service.setFault("/updater/updater.php", Fault::replyStatus(503));
        const UpdateResult result = run();
        service.clearFaultsAndHandlers();
        return result;
    };
    service.setFile("a.dat", "alpha");
    service.setFile("b.dat", "beta");
    expect(serviceDown(), false, false, false);  // nothing was ever proven
    expect(run(), true, true, false);
    expect(serviceDown(), false, false, true);
    expect(run(), true, false, true);  // nothing to do writes nothing
    expect(serviceDown(), false, false, true);

    service.setFile("a.dat", "alpha 2");
    service.setFile("b.dat", "beta 2");
    service.setFault(service.filePath("b.dat"), Fault::wrongBytes());
    expect(run(), false, true, true);
    EXPECT_EQ(ReadFile(client / "a.dat"), "alpha 2");
    expect(serviceDown(), false, false, false);
    expect(run(), true, true, false);
    expect(serviceDown(), false, false, true);
    // Another client folder is not vouched for.
    client = folder.path() / "other";
    expect(serviceDown(), false, false, false);
}

TEST_F(UpdateRunTest, DownloadCutShortEveryTimeLeavesTheTargetAndKeepsThePart) {
    service.setFile("a.dat", std::string(200000, 'a'));
    WriteFile(client / "a.dat", "old");
    service.setFault(service.filePath("a.dat"), Fault::truncate());
    EXPECT_EQ(Run().message, L"HTTPS response read failed: a.dat");
    EXPECT_EQ(ReadFile(client / "a.dat"), "old");
    EXPECT_EQ(ReadFile(client / "a.dat.download"), std::string(100000, 'a'));
    EXPECT_EQ(FileRequests(), 3u);
}

TEST_F(UpdateRunTest, VerifiedLeftoverIsPlacedWithoutARequest) {
    service.setFile("a.dat", "alpha");
    WriteFile(client / "a.dat", "old");
    WriteFile(client / "a.dat.download", "alpha");
    const UpdateResult result = Run();
    EXPECT_TRUE(result.ok) << WideToUtf8(result.message);
    EXPECT_EQ(ReadFile(client / "a.dat"), "alpha");
    EXPECT_EQ(FileRequests(), 0u);
    EXPECT_TRUE(NoDownloadFilesLeft());
}

TEST_F(UpdateRunTest, StaleDownloadsArePurgedAtTheStart) {
    const auto now = fs::file_time_type::clock::now();
    WriteFile(client / "deep" / "old.dat.download", "x");
    WriteFile(client / "young.dat.download", "y");
    fs::last_write_time(client / "deep" / "old.dat.download", now - 2h);
    fs::last_write_time(client / "young.dat.download", now - 30min);
    const UpdateResult result = Run();
    EXPECT_TRUE(result.ok) << WideToUtf8(result.message);
    EXPECT_FALSE(fs::exists(client / "deep" / "old.dat.download"));
    EXPECT_TRUE(fs::exists(client / "young.dat.download"));
}

TEST_F(UpdateRunTest, ProtectedFolderGivesTheInUseMessage) {
    service.setFile(kExe, "new exe");
    WriteFile(client / kExe, "running exe");
    WriteFile(client / (kExe + ".download"), "new exe");
    ReadOnlyFolder readOnly(client);
    if (!readOnly.active())
        GTEST_SKIP() << "cannot protect a folder here";
    UpdateResult result = Run();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.message,
              L"Could not replace Quillon Saga.exe - file is in use. Please close the client and "
              L"try again.");
    EXPECT_EQ(ReadFile(client / kExe), "running exe");
}

TEST_F(UpdateRunTest, UncreatableClientFolderNamesTheOperation) {
    WriteFile(folder.path() / "Quillon Saga", "a file in the way");
    UpdateResult result = Run();
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.message.find(L"create_directories"), std::wstring::npos);
    EXPECT_EQ(service.requestCount(), 0u);
}

// Checks that come before any request.
TEST_F(UpdateRunTest, FetchRefusesBadChecksumTextOrUnsafeUrlCharactersFirst) {
    const std::string good = Sha256Hex("x");
    const std::string invalid = "Manifest has an invalid SHA-256 checksum";
    EXPECT_EQ(Fetch("data/a.dat", good.substr(0, 63)), invalid);
    EXPECT_EQ(Fetch("data/a.dat", "g" + good.substr(1)), invalid);
    EXPECT_EQ(Fetch("data/a+b.dat", good), "Manifest has an unsafe download path");
    EXPECT_EQ(service.requestCount(), 0u);
    EXPECT_FALSE(fs::exists(client / "data"));
}

TEST_F(UpdateRunTest, FetchReplacesAWrongLeftoverAndPlacesAnEmptyFile) {
    service.setFile("a.dat", "genuine");
    service.setFile("empty.dat", "");
    WriteFile(client / "a.dat.download", "a much longer partial leftover from an earlier run");
    EXPECT_EQ(Fetch("a.dat", Sha256Hex("genuine")), "");
    EXPECT_EQ(ReadFile(client / "a.dat"), "genuine");
    EXPECT_EQ(Fetch("empty.dat", Sha256Hex("")), "");
    EXPECT_EQ(ReadFile(client / "empty.dat"), "");
    // The leftover is first taken for a part to continue; the server has nothing past it.
    EXPECT_EQ(FileRequests(), 3u);
    EXPECT_TRUE(NoDownloadFilesLeft());
}

TEST_F(UpdateRunTest, FetchRefusalLeavesAnEarlierLeftoverAlone) {
    WriteFile(client / "a.dat.download", "leftover");
    service.setFault(service.filePath("a.dat"), Fault::replyStatus(404));
    EXPECT_EQ(Fetch("a.dat", Sha256Hex("x")), "Update server returned an error");
    EXPECT_EQ(ReadFile(client / "a.dat.download"), "leftover");
}

// Whatever stands under the download name that is not a regular file is replaced, never written
// through, read through or placed: a dangling link, and a link to a file with the right bytes.
TEST_F(UpdateRunTest, LinkedDownloadFileIsReplacedNeverFollowed) {
    if (!kCanMakeLinks)
        GTEST_SKIP() << "no symbolic links here";
    service.setFile("a.dat", "content");
    service.setFile("b.dat", "bravo");
    fs::create_directories(client);
    fs::create_symlink(folder.path() / "victim", client / "a.dat.download");
    WriteFile(folder.path() / "outside", "bravo");
    fs::create_symlink(folder.path() / "outside", client / "b.dat.download");
    const UpdateResult result = Run();
    EXPECT_TRUE(result.ok) << WideToUtf8(result.message);
    EXPECT_FALSE(fs::exists(folder.path() / "victim"));
    EXPECT_EQ(ReadFile(folder.path() / "outside"), "bravo");
    for (const char* name : {"a.dat", "b.dat"})
        EXPECT_FALSE(fs::is_symlink(client / name)) << name;
    EXPECT_EQ(ReadFile(client / "a.dat"), "content");
    EXPECT_EQ(ReadFile(client / "b.dat"), "bravo");
    EXPECT_EQ(FileRequests(), 2u);
}

// One writer per client folder: a run that finds the folder locked ends before any request.
TEST_F(UpdateRunTest, LockedFolderEndsTheRunWritingNothing) {
    service.setFile("a.dat", "alpha");
    WriteFile(client / "a.dat.download", "someone else's partial");
    FolderLock otherRun;
    ASSERT_EQ(otherRun.tryLock(client), FolderLock::Outcome::Locked);
    const UpdateResult result = Run();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(WideToUtf8(result.message), kClientFolderBusy);
    EXPECT_EQ(service.requestCount(), 0u);
    EXPECT_EQ(ReadFile(client / "a.dat.download"), "someone else's partial");
    EXPECT_FALSE(fs::exists(client / "a.dat"));
}

// Cancelling gives up the transfer in whatever phase it is, within about a second, and leaves
// every target as it was (a partial download stays for a later run).
TEST_F(UpdateRunTest, CancelEndsTheRunPromptlyInEveryPhase) {
    struct Case {
        const char* name;
        std::string path;
        Fault fault;
        bool blocksInWinHttp;  // waiting inside one WinHTTP call
    };
    service.setFile("big.pak", std::string(1 << 20, 'b'));
    const Case cases[] = {
        {"manifest never answered", "/updater/updater.php", Fault::stall(), true},
        {"file stalled after its first bytes", service.filePath("big.pak"), Fault::stallAfter(1000),
         true},
        {"file dripping", service.filePath("big.pak"), Fault::drip(20ms, 64), false},
    };
    WriteFile(client / "big.pak", "old");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Windows ends a blocked call when another thread closes its handle; Wine 8 lets it run
        // to its time-out. The shell's exit deadline covers that case.
        if (c.blocksInWinHttp && RunningUnderWine())
            continue;
        service.clearFaultsAndHandlers();
        service.clearRequests();
        service.setFault(c.path, c.fault);
        std::atomic<bool> cancel{false};
        UpdateEnvironment environment = Environment();
        environment.cancel = &cancel;
        std::chrono::steady_clock::time_point cancelledAt;
        std::thread canceller([&] {
            PollUntil([&] { return service.requestCount(c.path) > 0; }, 10s);
            std::this_thread::sleep_for(300ms);
            cancelledAt = std::chrono::steady_clock::now();
            cancel.store(true);
        });
        UpdateResult result = RunClientUpdate(
            client, [](const qs::UpdateProgress&) {}, environment);
        const auto endedAt = std::chrono::steady_clock::now();
        canceller.join();
        EXPECT_LT(endedAt - cancelledAt, 3s);
        EXPECT_EQ(result.message, L"Update cancelled.");
        EXPECT_EQ(result.outcome, RunOutcome::Cancelled);
        EXPECT_EQ(ReadFile(client / "big.pak"), "old");
    }
}

#ifndef _WIN32
// A FIFO would block the reader or writer forever: at a target it is refused at once, at the
// download name it is replaced.
TEST_F(UpdateRunTest, FifoAtAManifestPathNeverBlocks) {
    service.setFile("a.dat", "alpha");
    service.setFile("pipe.dat", "not a pipe");
    fs::create_directories(client);
    ASSERT_EQ(mkfifo((client / "a.dat.download").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((client / "pipe.dat").c_str(), 0600), 0);
    EXPECT_EQ(Run().message, L"Client file is not a regular file: pipe.dat");
    service.removeFile("pipe.dat");
    EXPECT_TRUE(Run().ok);
    EXPECT_EQ(ReadFile(client / "a.dat"), "alpha");
}
#endif
