// Whole update runs against the HTTPS stand-in service on 127.0.0.1.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <vector>

#include "app/state.h"
#include "read_only_folder.h"
#include "test_folder.h"
#include "tools/standin/service.h"
#include "update/update_run.h"

using qs::test::Fault;
using qs::test::TestService;
using testing_files::ReadFile;
using testing_files::Sha256Hex;
using testing_files::TempFolder;
using testing_files::Upper;
using testing_files::WriteFile;

namespace {

struct Report {
    std::int32_t index, count;
    std::wstring message;
    bool operator==(const Report&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Report& report) {
    return out << report.index << "/" << report.count << " "
               << std::string(report.message.begin(), report.message.end());
}

class UpdateRunTest : public testing::Test {
protected:
    UpdateResult Run() {
        reports.clear();
        UpdateEnvironment environment;
        environment.service = service.endpoint();
        return RunClientUpdate(
            client,
            [this](const qs::UpdateProgress& progress) {
                EXPECT_EQ(progress.amountDone, 0u);
                EXPECT_EQ(progress.amountTotal, 0u);
                EXPECT_EQ(progress.fraction, 0.0);
                reports.push_back({progress.fileIndex, progress.fileCount, progress.message});
            },
            environment);
    }

    std::size_t FileRequests() const {
        std::size_t count = 0;
        for (const auto& request : service.requests())
            if (request.path.rfind("/updater/files/", 0) == 0)
                ++count;
        return count;
    }

    bool NoDownloadFilesLeft() const {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(client))
            if (entry.path().extension() == ".download")
                return false;
        return true;
    }

    TestService service;
    TempFolder folder;
    std::filesystem::path client = folder.path() / "Quillon Saga" / "QuillonSaga Game";
    std::vector<Report> reports;
};

const std::string kExe = "Quillon Saga.exe";

}  // namespace

TEST_F(UpdateRunTest, EmptyManifestIsUpToDateAndSendsTheExactRequest) {
    UpdateResult result = Run();
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.message, L"Ready to play.");
    EXPECT_EQ(reports, (std::vector<Report>{{0, 0, L"Client is up to date."}}));
    EXPECT_TRUE(std::filesystem::is_directory(client));

    auto request = service.lastRequest("/updater/updater.php");
    ASSERT_TRUE(request);
    EXPECT_EQ(request->method, "POST");
    EXPECT_EQ(request->body,
              R"({"args":{},"build":"","os":"windows","platform":"WIN32-WGL","version":1352})");
    EXPECT_EQ(request->header("Content-Type"), "application/json");
    EXPECT_EQ(service.requestCount(), 1u);
}

TEST_F(UpdateRunTest, CurrentFilesSendNoDownloadRequest) {
    service.setFile("data/a.dat", "alpha");
    service.setFile("b.dat", "beta");
    service.setFile(kExe, "exe");
    WriteFile(client / "data" / "a.dat", "alpha");
    WriteFile(client / "b.dat", "beta");
    WriteFile(client / kExe, "exe");
    UpdateResult result = Run();
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(reports, (std::vector<Report>{{0, 0, L"Client is up to date."}}));
    EXPECT_EQ(FileRequests(), 0u);
}

TEST_F(UpdateRunTest, TwoMissingFilesReportInKeyOrder) {
    service.setFile("z/second file.dat", "second");
    service.setFile("a/first.dat", "first");
    WriteFile(client / "unlisted" / "keep.me", "mine");
    UpdateResult result = Run();
    EXPECT_TRUE(result.ok) << std::string(result.message.begin(), result.message.end());
    EXPECT_EQ(reports, (std::vector<Report>{{0, 2, L"Downloading a/first.dat"},
                                            {1, 2, L"Downloading z/second file.dat"},
                                            {2, 2, L"Update complete."}}));
    EXPECT_EQ(ReadFile(client / "a" / "first.dat"), "first");
    EXPECT_EQ(ReadFile(client / "z" / "second file.dat"), "second");
    EXPECT_EQ(ReadFile(client / "unlisted" / "keep.me"), "mine");
    EXPECT_TRUE(NoDownloadFilesLeft());
    auto request = service.lastRequest("/updater/files/z/second file.dat");
    ASSERT_TRUE(request);
    EXPECT_EQ(request->target, "/updater/files/z/second%20file.dat");
}

TEST_F(UpdateRunTest, CapitalChecksumMatchesAndIsNotFetched) {
    WriteFile(client / "a.dat", "alpha");
    service.setManifestJson(R"({"files":{"a.dat":")" + Upper(Sha256Hex("alpha")) + R"("}})");
    EXPECT_TRUE(Run().ok);
    EXPECT_EQ(FileRequests(), 0u);
}

TEST_F(UpdateRunTest, ExecutableComesLastWithItsExecuteBit) {
    service.setFile("a.dat", "alpha");
    service.setFile("zz.dat", "zulu");
    service.setFile(kExe, "#!/bin/sh\nexit 0\n");
    service.setManifestJson(R"({"binary":{"checksum":")" + Sha256Hex("#!/bin/sh\nexit 0\n") +
                            R"(","file":"/Quillon Saga.exe"},"files":{"a.dat":")" +
                            Sha256Hex("alpha") + R"(","zz.dat":")" + Sha256Hex("zulu") + R"("}})");
    UpdateResult result = Run();
    ASSERT_TRUE(result.ok) << std::string(result.message.begin(), result.message.end());
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports[2], (Report{2, 3, L"Downloading Quillon Saga.exe"}));
    struct stat info {};
    ASSERT_EQ(stat((client / kExe).c_str(), &info), 0);
    EXPECT_TRUE(info.st_mode & S_IXUSR);
}

struct ManifestCase {
    std::string manifest;
    bool ok;
    std::wstring message;
};

class ManifestVariants : public UpdateRunTest, public testing::WithParamInterface<ManifestCase> {};

TEST_P(ManifestVariants, EndAsExpectedBeforeAnyDownload) {
    service.setFile("a.dat", "alpha");
    service.setManifestJson(GetParam().manifest);
    UpdateResult result = Run();
    EXPECT_EQ(result.ok, GetParam().ok);
    EXPECT_EQ(result.message, GetParam().message);
    EXPECT_EQ(FileRequests(), 0u);
    EXPECT_FALSE(std::filesystem::exists(client / "a.dat"));
    if (!GetParam().ok) {
        EXPECT_TRUE(reports.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Manifests, ManifestVariants,
    testing::Values(
        ManifestCase{R"({"files":{},"binary":"Quillon Saga.exe"})", true, L"Ready to play."},
        ManifestCase{R"({"files":{},"binary":12})", true, L"Ready to play."},
        ManifestCase{R"({"files":{},"binary":null})", true, L"Ready to play."},
        ManifestCase{R"({"files":{},"binary":{"file":"Quillon Saga.exe"}})", false,
                     L"Malformed binary manifest"},
        ManifestCase{R"({"files":{},"binary":{"file":"/quillon saga.EXE","checksum":"00"}})", false,
                     L"Unexpected executable in manifest"},
        ManifestCase{R"({"files":{},"binary":{"file":"game.exe","checksum":"00"}})", false,
                     L"Unexpected executable in manifest"},
        ManifestCase{R"([])", false, L"Malformed update manifest"},
        ManifestCase{R"({"files":[]})", false, L"Malformed update manifest"},
        ManifestCase{R"({"files":7})", false, L"Malformed update manifest"},
        ManifestCase{R"({"files":{"a.dat":false}})", false, L"Malformed update manifest"},
        ManifestCase{R"({"files":{"a.dat":"00","b.dat":"00","zzz/../../evil":"00"}})", false,
                     L"Manifest contains an unsafe path"},
        ManifestCase{R"({"files":{"a.dat":"00",".":"00"}})", false,
                     L"Manifest contains an unsafe path"}));

TEST_F(UpdateRunTest, ReplyThatIsNotJsonEndsWithTheParseError) {
    service.setFault("/updater/updater.php", Fault::NotJson());
    UpdateResult result = Run();
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.message.find(L"parse error"), std::wstring::npos);
}

TEST_F(UpdateRunTest, FailureTextThatIsNotUtf8StillEndsTheRun) {
    // The parse error quotes the offending reply bytes.
    service.setManifestJson("{\"files\":{\"a\xFF\xFE\":\"00\"}}");
    UpdateResult result = Run();
    EXPECT_FALSE(result.ok);
    EXPECT_FALSE(result.message.empty());
}

TEST_F(UpdateRunTest, ServerErrorForTheManifest) {
    service.setFault("/updater/updater.php", Fault::Status(500));
    UpdateResult result = Run();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.message, L"Update server returned an error");
}

TEST_F(UpdateRunTest, WrongBytesStopTheRunAfterEarlierFilesArePlaced) {
    service.setFile("a.dat", "alpha");
    service.setFile("b.dat", "beta");
    service.setFile("c.dat", "gamma");
    WriteFile(client / "b.dat", "old beta");
    service.setFault("/updater/files/b.dat", Fault::WrongBytes());
    UpdateResult result = Run();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.message, L"Downloaded file failed SHA-256 verification");
    EXPECT_EQ(ReadFile(client / "a.dat"), "alpha");
    EXPECT_EQ(ReadFile(client / "b.dat"), "old beta");
    EXPECT_FALSE(std::filesystem::exists(client / "c.dat"));
    EXPECT_TRUE(NoDownloadFilesLeft());
}

TEST_F(UpdateRunTest, TruncatedDownloadLeavesTheTarget) {
    service.setFile("a.dat", std::string(200000, 'a'));
    WriteFile(client / "a.dat", "old");
    service.setFault("/updater/files/a.dat", Fault::Truncate());
    UpdateResult result = Run();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(ReadFile(client / "a.dat"), "old");
}

TEST_F(UpdateRunTest, VerifiedLeftoverIsPlacedWithoutARequest) {
    service.setFile("a.dat", "alpha");
    WriteFile(client / "a.dat", "old");
    WriteFile(client / "a.dat.download", "alpha");
    EXPECT_TRUE(Run().ok);
    EXPECT_EQ(ReadFile(client / "a.dat"), "alpha");
    EXPECT_EQ(FileRequests(), 0u);
    EXPECT_TRUE(NoDownloadFilesLeft());
}

TEST_F(UpdateRunTest, StaleDownloadsArePurgedAtTheStart) {
    using namespace std::chrono_literals;
    const auto now = std::filesystem::file_time_type::clock::now();
    WriteFile(client / "deep" / "old.dat.download", "x");
    WriteFile(client / "young.dat.download", "y");
    std::filesystem::last_write_time(client / "deep" / "old.dat.download", now - 2h);
    std::filesystem::last_write_time(client / "young.dat.download", now - 30min);
    EXPECT_TRUE(Run().ok);
    EXPECT_FALSE(std::filesystem::exists(client / "deep" / "old.dat.download"));
    EXPECT_TRUE(std::filesystem::exists(client / "young.dat.download"));
}

TEST_F(UpdateRunTest, ProtectedFolderGivesTheInUseMessage) {
    service.setFile(kExe, "new exe");
    WriteFile(client / kExe, "running exe");
    WriteFile(client / (kExe + ".download"), "new exe");
    testing_files::ReadOnlyFolder readOnly(client);
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

TEST_F(UpdateRunTest, ClientUpdateTaskShowsEveryReportThenTheResult) {
    service.setFile("a.dat", "alpha");
    service.setFile("b.dat", "beta");
    LauncherState state;
    state.busy = true;
    std::vector<Report> shown;
    WorkerHooks hooks;
    hooks.clientDirectory = [this] { return client; };
    hooks.runClientUpdate = [&](const std::filesystem::path& clientFolder,
                                const UpdateProgressCallback& progress) {
        UpdateEnvironment environment;
        environment.service = service.endpoint();
        return RunClientUpdate(
            clientFolder,
            [&](const qs::UpdateProgress& report) {
                progress(report);
                std::lock_guard<std::mutex> lock(state.statusMutex);
                shown.push_back({state.progressIndex, state.progressCount, state.statusText});
            },
            environment);
    };
    ClientUpdateTask(&state.statusMutex, &state.progressIndex, &state.progressCount,
                     &state.statusText, &state.busy, hooks);
    EXPECT_EQ(shown, (std::vector<Report>{{0, 2, L"Downloading a.dat"},
                                          {1, 2, L"Downloading b.dat"},
                                          {2, 2, L"Update complete."}}));
    EXPECT_EQ(state.statusText, L"Ready to play.");
    EXPECT_EQ(state.progressIndex, 0);
    EXPECT_EQ(state.progressCount, 0);
    EXPECT_FALSE(state.busy.load());
}
