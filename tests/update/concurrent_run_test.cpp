// Several transfers at once, placed in plan order: a file that arrives early waits for its turn,
// the first failure in plan order ends the run and nothing after it is placed, the executable
// comes last.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/wide_text.h"
#include "scratch.h"
#include "tools/standin/service.h"
#include "update/update_run.h"

using namespace qs;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using qs::test::Fault;
using qs::test::TestService;

namespace {

const std::vector<std::string> kFiles = {"a.pak", "b.pak", "c.pak", "d.pak", "Quillon Saga.exe"};

class ConcurrentRunTest : public testing::Test {
protected:
    void SetUp() override {
        for (const std::string& name : kFiles)
            service.setFile(name, "new " + name);
    }

    UpdateEnvironment Environment() {
        UpdateEnvironment environment;
        environment.service = service.endpoint();
        environment.retryPauses = {};
        return environment;
    }

    // Runs the update, checking at every report that exactly the files before the reported one
    // are placed: none early, none out of order. `onReport` sees every report after the check.
    UpdateResult Run(bool checkOrder = true, std::optional<UpdateEnvironment> environment = {},
                     const UpdateProgressCallback& onReport = {}) {
        return RunClientUpdate(
            client,
            [&](const qs::UpdateProgress& progress) {
                for (std::size_t i = 0; checkOrder && i < kFiles.size(); ++i) {
                    const bool placed = ReadFile(client / kFiles[i]) == "new " + kFiles[i];
                    EXPECT_EQ(placed, static_cast<std::int32_t>(i) < progress.fileIndex)
                        << kFiles[i] << " at report " << progress.fileIndex;
                }
                if (onReport)
                    onReport(progress);
            },
            environment ? *environment : Environment());
    }

    TestService service;
    TempFolder folder;
    fs::path client = folder.path() / "client";
};

}  // namespace

TEST_F(ConcurrentRunTest, EarlyFilesWaitForTheirTurnAndTheExecutableComesLast) {
    service.setFault(service.filePath("a.pak"), Fault::slow(600ms));
    service.setFault(service.filePath("c.pak"), Fault::slow(300ms));
    const auto start = std::chrono::steady_clock::now();
    const UpdateResult result = Run();
    ASSERT_TRUE(result.ok) << WideToUtf8(result.message);
    for (const std::string& name : kFiles)
        EXPECT_EQ(ReadFile(client / name), "new " + name);
    // The slow files overlapped rather than following each other.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST_F(ConcurrentRunTest, MiddleFailureEndsTheRunWithLaterFilesInFlight) {
    service.setFault(service.filePath("a.pak"), Fault::slow(300ms));
    service.setFault(service.filePath("b.pak"), Fault::replyStatus(404));
    service.setFault(service.filePath("c.pak"), Fault::slow(500ms));
    const UpdateResult result = Run();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(WideToUtf8(result.message), "Update server returned an error: b.pak");
    EXPECT_EQ(ReadFile(client / "a.pak"), "new a.pak");
    for (const char* name : {"b.pak", "c.pak", "d.pak", "Quillon Saga.exe"})
        EXPECT_FALSE(fs::exists(client / name)) << name;
    // What arrived meanwhile is placed by the next run without a new request.
    service.clearFaultsAndHandlers();
    service.clearRequests();
    ASSERT_TRUE(Run(false).ok);
    for (const std::string& name : kFiles)
        EXPECT_EQ(ReadFile(client / name), "new " + name);
    EXPECT_EQ(service.requestCount(service.filePath("a.pak")), 0u);
}

// A proven download waiting for its turn that another program then rewrites in place at the same
// length, or swaps for a link, is never placed, and the file behind the link keeps its mode.
TEST_F(ConcurrentRunTest, WaitingDownloadTouchedByAnotherProgramIsNotPlaced) {
    const fs::path executable = client / "Quillon Saga.exe";
    const fs::path download = client / "Quillon Saga.exe.download";
    const fs::path victim = folder.path() / "victim.txt";
    struct Case {
        const char* name;
        std::function<void()> touch;
    };
    std::vector<Case> cases = {{"rewritten in place, same length", [&] {
                                    std::fstream file(
                                        download, std::ios::in | std::ios::out | std::ios::binary);
                                    file.write("NEW", 3);
                                }}};
    if (kCanMakeLinks)
        cases.push_back({"swapped for a link", [&] {
                             fs::remove(download);
                             fs::create_symlink(victim, download);
                         }});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(client);
        WriteFile(victim, "not the client's");
        fs::permissions(victim, fs::perms::owner_read | fs::perms::owner_write);
        service.setFault(service.filePath("a.pak"), Fault::slow(2500ms));
        bool touched = false;
        const UpdateResult result = Run(true, {}, [&](const qs::UpdateProgress& progress) {
            // Proven and flushed, waiting for a.pak.
            if (touched || progress.fileIndex != 0 || ReadFile(download) != "new Quillon Saga.exe")
                return;
            std::this_thread::sleep_for(300ms);
            c.touch();
            touched = true;
        });
        ASSERT_TRUE(touched) << WideToUtf8(result.message);
        EXPECT_FALSE(result.ok);
        EXPECT_FALSE(fs::exists(executable));
        EXPECT_EQ(fs::status(victim).permissions() & fs::perms::owner_exec, fs::perms::none);
    }
}

// A cancel that finds the transfer thread between two files (held there) ends the run at once.
TEST_F(ConcurrentRunTest, CancelBetweenTwoFilesEndsTheRun) {
    std::atomic<bool> cancel{false};
    std::atomic<int> taken{0};
    UpdateEnvironment environment = Environment();
    environment.transfers = 1;
    environment.smallFileTransfers = 1;
    environment.cancel = &cancel;
    environment.beforeNextFile = [&] {
        if (taken++ == 1)
            std::this_thread::sleep_for(300ms);
    };
    std::atomic<bool> ended{false};
    UpdateResult result;
    std::thread run([&] {
        result = Run(false, environment, [&](const qs::UpdateProgress& progress) {
            if (progress.fileIndex == 1)
                cancel = true;
        });
        ended = true;
    });
    if (!PollUntil([&] { return ended.load(); }, 5s)) {
        ADD_FAILURE() << "the run still waits after the cancel";
        std::_Exit(1);  // its thread never returns, so it cannot be joined
    }
    run.join();
    EXPECT_EQ(WideToUtf8(result.message), "Update cancelled.");
    EXPECT_EQ(ReadFile(client / "a.pak"), "new a.pak");
}

// Every folder the run placed a file in or created, up to the client folder, reaches the disk
// before the executable is placed and whichever way the run ends; a folder the disk does not
// confirm ends the run before the executable, with what was placed left in place.
TEST_F(ConcurrentRunTest, EveryFolderReachesTheDiskBeforeTheExecutableAndAtEveryEnd) {
    service.setFile("n1/n2/x.dat", "new x");
    const fs::path executable = client / "Quillon Saga.exe";
    struct Case {
        const char* name;
        std::optional<Fault> fault;  // on b.pak
        bool cancelAtB;
        fs::path refused;     // the folder the disk does not confirm
        const char* message;  // nullptr: success
    };
    const Case cases[] = {
        {"a whole run", std::nullopt, false, {}, nullptr},
        {"a failed run",
         Fault::replyStatus(404),
         false,
         {},
         "Update server returned an error: b.pak"},
        {"a cancelled run", Fault::slow(2s), true, {}, "Update cancelled."},
        {"a folder the disk refuses", std::nullopt, false, client / "n1", kDiskDidNotConfirm},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(client);
        service.clearFaultsAndHandlers();
        if (c.fault)
            service.setFault(service.filePath("b.pak"), *c.fault);
        std::vector<std::pair<fs::path, bool>> flushes;  // the folder, the executable there yet
        std::atomic<bool> cancel{false};
        UpdateEnvironment environment = Environment();
        environment.cancel = &cancel;
        environment.syncFolder = [&](const fs::path& synced) {
            flushes.emplace_back(synced, fs::exists(executable));
            return synced == c.refused ? 5 : 0;
        };
        const UpdateResult result =
            Run(false, environment, [&](const qs::UpdateProgress& progress) {
                if (c.cancelAtB && progress.fileIndex == 1)
                    cancel = true;
            });
        EXPECT_EQ(result.ok, c.message == nullptr);
        if (c.message) {
            EXPECT_EQ(WideToUtf8(result.message), c.message);
        }
        const auto flushed = [&](const fs::path& synced, bool withExecutable) {
            return std::find(flushes.begin(), flushes.end(), std::pair{synced, withExecutable}) !=
                   flushes.end();
        };
        EXPECT_TRUE(flushed(client, false));  // a.pak's
        if (!c.fault) {
            EXPECT_EQ(ReadFile(client / "n1" / "n2" / "x.dat"), "new x");
            EXPECT_TRUE(flushed(client / "n1", false));
            EXPECT_TRUE(flushed(client / "n1" / "n2", false));
        }
        EXPECT_EQ(fs::exists(executable), c.message == nullptr);
        EXPECT_EQ(flushed(client, true), c.message == nullptr);
    }
}
