// Kills a separate process in the middle of an update, many times at random moments, and
// proves that no target is ever left half-written and that a rerun repairs everything.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include "scratch.h"
#include "tools/standin/service.h"

using namespace qs;

extern char** environ;

using qs::test::Fault;
using qs::test::TestService;

namespace {

struct Target {
    std::string path;
    std::optional<std::string> before;  // nullopt: absent before the update
    std::string after;
};

class CrashSafetyTest : public testing::Test {
protected:
    void SetUp() override {
        // Large enough to be published in chunks: brought up to date from its old copy.
        const std::string archive = RandomBytes(5u << 20, 11);
        std::string patched = archive;
        patched.replace(3u << 20, 20000, RandomBytes(20000, 12));
        targets = {
            {"a/small.dat", "old small", "new small"},
            {"a/absent.dat", std::nullopt, RandomBytes(70000, 'a')},
            {"b/big one.pak", RandomBytes(900000, 'o'), RandomBytes(1500000, 'n')},
            {"b/same.dat", "unchanged", "unchanged"},
            {"c/d/e/deep.bin", RandomBytes(3000, 'd'), RandomBytes(5000, 'D')},
            {"empty.dat", "was not empty", ""},
            {"mid.pak", std::nullopt, RandomBytes(600000, 'm')},
            {"Quillon Saga.exe", "old exe", RandomBytes(200000, 'x')},
            {"d/archive.pak", archive, patched},
        };
        for (const Target& target : targets)
            service.setFile(target.path, target.after);
        // Slow the large files down so kills land inside their transfers too.
        service.setFault(service.filePath("b/big one.pak"),
                         Fault::drip(std::chrono::milliseconds(1), 8192));
        service.setFault(service.filePath("mid.pak"),
                         Fault::drip(std::chrono::milliseconds(1), 8192));
        service.setFault(service.filePath("d/archive.pak"),
                         Fault::drip(std::chrono::milliseconds(1), 4096));
        caFile = scratch.path() / "ca.pem";
        WriteFile(caFile, service.caPem());
        client = scratch.path() / "client";
    }

    void ResetClient() {
        std::filesystem::remove_all(client);
        for (const Target& target : targets)
            if (target.before)
                WriteFile(client / target.path, *target.before);
        WriteFile(client / "unlisted" / "save.cfg", "player data");
    }

    pid_t StartHelper() {
        std::string port = std::to_string(service.port());
        std::string ca = caFile.string();
        std::string folder = client.string();
        char* argv[] = {const_cast<char*>(QS_CRASH_HELPER), port.data(), ca.data(), folder.data(),
                        nullptr};
        pid_t pid = 0;
        if (posix_spawn(&pid, QS_CRASH_HELPER, nullptr, nullptr, argv, environ) != 0)
            return -1;
        return pid;
    }

    int RunHelperToEnd() {
        pid_t pid = StartHelper();
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Every target holds its old bytes (or is still absent) or its new bytes, nothing else.
    void ExpectOldOrNew(int attempt) {
        for (const Target& target : targets) {
            const auto file = client / target.path;
            if (!std::filesystem::exists(file)) {
                EXPECT_FALSE(target.before) << target.path << " vanished, attempt " << attempt;
                continue;
            }
            std::string content = ReadFile(file);
            bool old = target.before && content == *target.before;
            EXPECT_TRUE(old || content == target.after)
                << target.path << " is neither old nor new (" << content.size()
                << " bytes), attempt " << attempt;
        }
        EXPECT_EQ(ReadFile(client / "unlisted" / "save.cfg"), "player data");
    }

    void ExpectExactlyTheManifest() {
        std::map<std::string, std::string> expected;
        for (const Target& target : targets)
            expected[target.path] = target.after;
        expected["unlisted/save.cfg"] = "player data";
        std::map<std::string, std::string> actual;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(client))
            if (entry.is_regular_file())
                actual[std::filesystem::relative(entry.path(), client).string()] =
                    ReadFile(entry.path());
        EXPECT_EQ(actual, expected);
    }

    // Kills runs at random moments, each time checking every target is old or new, then lets one
    // run to its end.
    void KillAtRandomMoments() {
        // How long one whole run takes here bounds the random kill moments.
        ResetClient();
        auto started = std::chrono::steady_clock::now();
        ASSERT_EQ(RunHelperToEnd(), 0);
        auto fullRun = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - started);
        ExpectExactlyTheManifest();

        std::mt19937 random(std::random_device{}());
        std::uniform_int_distribution<long long> moment(0, fullRun.count() * 11 / 10);
        constexpr int kAttempts = 30;
        for (int attempt = 0; attempt < kAttempts; ++attempt) {
            // Half the attempts start from the old client, half go on from the previous kill.
            if (attempt % 2 == 0)
                ResetClient();
            pid_t pid = StartHelper();
            ASSERT_GT(pid, 0);
            std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
            kill(pid, SIGKILL);
            int status = 0;
            waitpid(pid, &status, 0);
            ExpectOldOrNew(attempt);
            if (HasFailure())
                return;
        }
        ASSERT_EQ(RunHelperToEnd(), 0);
        ExpectExactlyTheManifest();
    }

    TestService service;
    TempFolder scratch;
    std::filesystem::path caFile;
    std::filesystem::path client;
    std::vector<Target> targets;
};

}  // namespace

TEST_F(CrashSafetyTest, KilledAtRandomMomentsEveryTargetIsOldOrNew) {
    KillAtRandomMoments();
}

// Hundreds of small files, fetched many at once and flushed to the disk in batches, in a few
// folders: a kill anywhere still leaves each one old or new. Nothing drips, so the kills land
// among the small files.
TEST_F(CrashSafetyTest, ManySmallFilesKilledAtRandomMomentsAreEachOldOrNew) {
    service.clearFaultsAndHandlers();
    for (int i = 0; i < 300; ++i) {
        const std::string path = "many/" + std::to_string(i % 5) + "/" + std::to_string(i) + ".dat";
        targets.push_back({path, i % 2 ? std::optional<std::string>("old " + path) : std::nullopt,
                           RandomBytes(4096, static_cast<std::uint64_t>(i))});
        service.setFile(path, targets.back().after);
    }
    KillAtRandomMoments();
}

// Two updaters started together on one folder: one works, the other stops at once without
// touching anything, and the folder ends exactly as the manifest says.
TEST_F(CrashSafetyTest, TwoRunsAtOnceNeverInterleave) {
    ResetClient();
    const pid_t first = StartHelper();
    const pid_t second = StartHelper();
    ASSERT_GT(first, 0);
    ASSERT_GT(second, 0);
    int exits[2] = {-1, -1};
    for (int i = 0; i < 2; ++i) {
        int status = 0;
        waitpid(i == 0 ? first : second, &status, 0);
        exits[i] = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    EXPECT_EQ(exits[0] + exits[1], 1) << "one run succeeds, the other finds the folder busy";
    ExpectExactlyTheManifest();
}
