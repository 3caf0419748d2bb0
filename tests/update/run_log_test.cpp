// What an update run leaves in the launcher's log for a support desk, and a log that cannot be
// written never changing a run.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/launcher_log.h"
#include "read_only_folder.h"
#include "scratch.h"
#include "tools/standin/service.h"
#include "update/update_run.h"

using namespace qs;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using qs::test::Fault;
using qs::test::TestService;

namespace {

const std::string kExe = "Quillon Saga.exe";

class RunLogTest : public testing::Test {
protected:
    // One run with the log started on `data`; the log is flushed when it returns.
    UpdateResult LoggedRun(const fs::path& logFolder) {
        UpdateEnvironment environment;
        environment.service = service.endpoint();
        environment.retryPauses = {1ms, 1ms};
        StartLauncherLog(logFolder);
        UpdateResult result = RunClientUpdate(
            client, [](const qs::UpdateProgress&) {}, environment);
        StopLauncherLog();
        return result;
    }

    TestService service;
    TempFolder folder;
    fs::path client = folder.path() / "client";
    fs::path data = folder.path() / "data";
};

}  // namespace

// A failed run names the file and the error: a refused request, and a file that could not be
// placed with its path and system error code. No request body is kept.
TEST_F(RunLogTest, FailedRunNamesTheFileAndTheError) {
    service.setFile("a.dat", "new a");
    service.setFile(kExe, "new exe");
    service.setFault(service.filePath("a.dat"), Fault::replyStatus(404));
    EXPECT_FALSE(LoggedRun(data).ok);
    std::string log = ReadFile(data / "launcher.log");
    const std::string expectedLines[] = {"request POST /updater/updater.php -> 200",
                                         "plan: 2 files to fetch",
                                         "request GET " + service.filePath("a.dat") + " -> 404",
                                         "a.dat failed: Update server returned an error",
                                         "update run failed: Update server returned an error"};
    for (const std::string& expected : expectedLines)
        EXPECT_NE(log.find(expected), std::string::npos) << expected << "\n" << log;
    EXPECT_EQ(log.find(UpdateRequestBody()), std::string::npos);

    service.clearFaultsAndHandlers();
    service.removeFile("a.dat");
    WriteFile(client / kExe, "running exe");
    WriteFile(client / (kExe + ".download"), "new exe");
    ReadOnlyFolder readOnly(client);
    if (!readOnly.active())
        GTEST_SKIP() << "cannot protect a folder here";
    EXPECT_FALSE(LoggedRun(data).ok);
    log = ReadFile(data / "launcher.log");
    EXPECT_NE(log.find("could not place " + LogPath(client / kExe) + ": error "), std::string::npos)
        << log;
}

// A data folder that refuses the log: the run ends as it would without a log, and nothing hangs.
TEST_F(RunLogTest, UnwritableLogNeverChangesTheRun) {
    service.setFile(kExe, "new exe");
    fs::create_directories(data);
    ReadOnlyFolder readOnly(data);
    if (!readOnly.active())
        GTEST_SKIP() << "cannot protect a folder here";
    const UpdateResult result = LoggedRun(data);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(ReadFile(client / kExe), "new exe");
    EXPECT_FALSE(fs::exists(data / "launcher.log"));
}
