// The main loop's request handling and the worker contract, with the update run, the client
// folder, the client launch and the launcher task replaced by test doubles.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>

#include "app/state.h"
#include "platform/wide_text.h"
#include "scratch.h"

using namespace qs;

namespace {

using namespace std::chrono_literals;

bool WaitUntilIdle(LauncherState& state) {
    return PollUntil([&] { return !state.busy.load(); });
}

// A state block whose hooks count calls; the update run reports two files once `gate` opens
// (bounded, so a fault fails rather than hangs) and then succeeds unless `runFails`.
class StateTest : public testing::Test {
protected:
    void SetUp() override {
        state.hooks.clientDirectory = [] { return std::filesystem::path("/nonexistent/client"); };
        state.hooks.runClientUpdate = [this](const std::filesystem::path&,
                                             const UpdateProgressCallback& progress) {
            ++runs;
            if (!PollUntil([this] { return gate.load(); }))
                return UpdateResult{false, L"gate timed out"};
            const wchar_t* messages[] = {L"Downloading a.dat", L"Downloading b.dat",
                                         L"Update complete."};
            for (int i = 0; i < 3; ++i) {
                qs::UpdateProgress report;
                report.fileIndex = i;
                report.fileCount = 2;
                report.message = messages[i];
                progress(report);
            }
            return runFails ? UpdateResult{false, L"Update server returned an error"}
                            : UpdateResult{true, L"Ready to play."};
        };
        state.hooks.launchClient = [this](const std::filesystem::path&,
                                          const std::filesystem::path&, std::wstring& error) {
            ++launches;
            if (launchFails)
                error = L"Could not start QSClient.exe.";
            return !launchFails;
        };
        state.hooks.launcherUpdate = [this](std::mutex*, std::wstring*, RunOutcome*,
                                            std::atomic<bool>* busy, const WindowCloser*) {
            ++launcherTasks;
            busy->exchange(false);
        };
        state.window = [this] { ++closes; };
        state.autoCheckPending = false;
    }
    void TearDown() override {
        gate = true;
        JoinWorker(state);
    }

    // One frame: clear and snapshot, let the "interface" raise requests, act on them.
    void Frame(bool update, bool play, bool launcher, bool verifyOnStart = true,
               bool closeOnLaunch = false) {
        BeginFrameRequests(state);
        state.requestUpdateCheck = update;
        state.requestPlay = play;
        state.requestLauncherUpdate = launcher;
        ActOnFrameRequests(state, verifyOnStart, closeOnLaunch);
    }

    std::wstring Status() {
        std::lock_guard<std::mutex> lock(state.statusMutex);
        return state.statusText;
    }

    std::atomic<bool> gate{false};
    std::atomic<int> runs{0}, launches{0}, launcherTasks{0}, closes{0};
    bool launchFails = false;
    std::atomic<bool> runFails{false};
    LauncherState state;
};

}  // namespace

TEST_F(StateTest, FirstFrameStartsTheAutomaticCheck) {
    state.autoCheckPending = true;
    BeginFrameRequests(state);
    EXPECT_EQ(state.statusSnapshot, L"Press Play to start the installed client.");
    ActOnFrameRequests(state, true, false);
    EXPECT_FALSE(state.autoCheckPending);
    BeginFrameRequests(state);
    EXPECT_EQ(state.statusSnapshot, L"Checking for updates...");
    gate = true;
    ASSERT_TRUE(WaitUntilIdle(state));
    BeginFrameRequests(state);
    EXPECT_EQ(state.statusSnapshot, L"Ready to play.");
    EXPECT_EQ(state.indexSnapshot, 0);
    EXPECT_EQ(state.countSnapshot, 0);
    EXPECT_EQ(runs.load(), 1);
}

// With "verify on start" off the first frame spends the automatic check; a press still works.
TEST_F(StateTest, AutomaticCheckIsSpentEvenWhenSwitchedOff) {
    state.autoCheckPending = true;
    Frame(false, false, false, /*verifyOnStart=*/false);
    EXPECT_FALSE(state.autoCheckPending);
    Frame(false, false, false, true);
    EXPECT_FALSE(state.busy.load());
    EXPECT_FALSE(state.worker.joinable());
    Frame(true, false, false, false);
    EXPECT_TRUE(state.busy.load());
}

TEST_F(StateTest, RequestsWhileBusyAreDropped) {
    Frame(true, false, false);
    ASSERT_TRUE(state.busy.load());
    for (int frame = 0; frame < 5; ++frame)
        Frame(true, true, true);
    EXPECT_EQ(Status(), L"Checking for updates...");
    gate = true;
    ASSERT_TRUE(WaitUntilIdle(state));
    EXPECT_EQ(runs.load(), 1);
    EXPECT_EQ(launches.load(), 0);
    EXPECT_EQ(launcherTasks.load(), 0);
    // After the run the same presses work.
    Frame(false, true, false);
    EXPECT_EQ(launches.load(), 1);
    EXPECT_EQ(Status(), L"Client started.");
}

TEST_F(StateTest, SameFrameCombinations) {
    struct Case {
        bool update, play, launcher;
        int runs, launches, launcherTasks;
    };
    for (const Case& c : {Case{true, false, true, 1, 0, 0}, Case{true, true, false, 1, 0, 0},
                          Case{false, true, true, 0, 1, 1}, Case{true, true, true, 1, 0, 0}}) {
        runs = launches = launcherTasks = 0;
        gate = false;  // the run must still be going when Play and the launcher are decided
        Frame(c.update, c.play, c.launcher);
        gate = true;
        ASSERT_TRUE(WaitUntilIdle(state));
        JoinWorker(state);
        EXPECT_EQ(runs.load(), c.runs);
        EXPECT_EQ(launches.load(), c.launches);
        EXPECT_EQ(launcherTasks.load(), c.launcherTasks);
    }
}

TEST_F(StateTest, LauncherCheckAnnouncesItselfAndReturnsToIdle) {
    state.hooks.launcherUpdate = [&](std::mutex* statusMutex, std::wstring* statusText, RunOutcome*,
                                     std::atomic<bool>* busy, const WindowCloser* window) {
        PollUntil([this] { return gate.load(); });
        {
            std::lock_guard<std::mutex> lock(*statusMutex);
            *statusText = L"Installer started.";
        }
        busy->exchange(false);
        (*window)();
    };
    Frame(false, false, true);
    EXPECT_EQ(Status(), L"Checking for launcher updates...");
    Frame(true, true, false);  // dropped: the launcher task owns the launcher
    gate = true;
    ASSERT_TRUE(WaitUntilIdle(state));
    JoinWorker(state);
    EXPECT_EQ(Status(), L"Installer started.");
    EXPECT_EQ(closes.load(), 1);
    EXPECT_EQ(runs.load() + launches.load(), 0);
}

// The run's text, success or failure, and zeroed progress are in place before busy clears.
TEST_F(StateTest, FinalStatusAndZeroProgressAreInPlaceBeforeBusyClears) {
    gate = true;
    for (int run = 0; run < 200; ++run) {
        runFails = run % 2 == 1;
        Frame(true, false, false);
        ASSERT_TRUE(WaitUntilIdle(state));
        // No lock-free peek: the lock is the contract; what matters is the order.
        std::lock_guard<std::mutex> lock(state.statusMutex);
        ASSERT_EQ(state.statusText,
                  runFails ? L"Update server returned an error" : L"Ready to play.")
            << "run " << run;
        ASSERT_EQ(state.progressIndex, 0);
        ASSERT_EQ(state.progressCount, 0);
    }
    EXPECT_EQ(runs.load(), 200);
}

// What a finished task shows follows how it ended, whatever its text says; whether a failed run
// left a whole client untouched reaches the outcome Home reads.
TEST_F(StateTest, OutcomeFollowsHowTheTaskEndedNotItsText) {
    using enum RunOutcome;
    using enum OutcomeTone;
    const struct {
        UpdateResult result;
        OutcomeTone tone;
        bool asBefore;
    } clientRuns[] = {
        {{false, L"Unable to connect to update server", false, true}, Warning, true},
        {{false, L"Update cancelled.", false, true, Cancelled}, Neutral, true},
        {{false, L"HTTPS response read failed", true, true}, Warning, false},
        {{false, L"Unable to connect to update server", false, false}, Warning, false},
        {{true, L"Ready to play.", false, true}, Success, false},
        {{true, L"Update cancelled.", true, false, Ready}, Success, false},
        {{false, L"Ready to play.", false, true, Cancelled}, Neutral, true},
        {{false, L"Ready to play.", true, false, Failed}, Warning, false},
    };
    for (const auto& row : clientRuns) {
        state.hooks.runClientUpdate = [&](const std::filesystem::path&,
                                          const UpdateProgressCallback&) { return row.result; };
        Frame(true, false, false);
        ASSERT_TRUE(WaitUntilIdle(state));
        BeginFrameRequests(state);
        const std::string name = WideToUtf8(row.result.message);
        EXPECT_EQ(state.outcome.tone, row.tone) << name;
        EXPECT_EQ(state.outcome.clientAsBefore, row.asBefore) << name;
    }
    const struct {
        const wchar_t* text;
        RunOutcome ended;
        OutcomeTone tone;
    } launcherRuns[] = {
        {L"Launcher is up to date (v1.0.8)", UpToDate, Success},
        {L"Update check failed: HTTPS request failed", UpToDate, Success},
        {L"Launcher is up to date (v1.0.8)", Failed, Warning},
        {L"Installer launched successfully.", Cancelled, Warning},
        {L"", InstallerStarted, Success},
    };
    for (const auto& row : launcherRuns) {
        state.hooks.launcherUpdate = [&](std::mutex* statusMutex, std::wstring* statusText,
                                         RunOutcome* ended, std::atomic<bool>* busy,
                                         const WindowCloser*) {
            {
                std::lock_guard<std::mutex> lock(*statusMutex);
                *statusText = row.text;
                *ended = row.ended;
            }
            busy->exchange(false);
        };
        Frame(false, false, true);
        ASSERT_TRUE(WaitUntilIdle(state));
        BeginFrameRequests(state);
        EXPECT_EQ(state.outcome.tone, row.tone) << WideToUtf8(row.text);
    }
}

TEST_F(StateTest, SnapshotsFollowTheRunWhileFramesKeepComing) {
    // Frames keep snapshotting while the worker reports: the snapshot is always one whole
    // report (a message with its own index), never a mix.
    Frame(true, false, false);
    gate = true;
    auto deadline = std::chrono::steady_clock::now() + 60s;
    while (state.busy.load() && std::chrono::steady_clock::now() < deadline) {
        BeginFrameRequests(state);
        const std::wstring& text = state.statusSnapshot;
        const int expected = text == L"Downloading b.dat" ? 1 : text == L"Update complete." ? 2 : 0;
        if (text != L"Checking for updates...") {
            EXPECT_EQ(state.indexSnapshot, expected) << text;
        }
    }
    ASSERT_FALSE(state.busy.load());
}

TEST_F(StateTest, PlayPublishesItsOutcomeAndHonoursCloseOnLaunch) {
    auto counting = state.hooks.launchClient;
    state.hooks.launchClient = nullptr;  // the real launch, of a client that is not there
    Frame(false, true, false, true, /*closeOnLaunch=*/true);
    EXPECT_EQ(Status(), L"Could not start QSClient.exe.");
    state.hooks.launchClient = counting;
    Frame(false, true, false, true, /*closeOnLaunch=*/false);
    EXPECT_EQ(Status(), L"Client started.");
    EXPECT_EQ(closes.load(), 0);
    Frame(false, true, false, true, /*closeOnLaunch=*/true);
    EXPECT_EQ(closes.load(), 1);
    launchFails = true;
    Frame(false, true, false, true, /*closeOnLaunch=*/true);
    EXPECT_EQ(Status(), L"Could not start QSClient.exe.");
    EXPECT_EQ(closes.load(), 1);
    EXPECT_FALSE(state.busy.load());
}

TEST_F(StateTest, UnresolvableClientFolderIsShownAndNothingStaysBusy) {
    state.hooks.clientDirectory = []() -> std::filesystem::path {
        throw std::runtime_error("Cannot resolve AppData");
    };
    Frame(false, true, false);
    EXPECT_EQ(Status(), L"Cannot resolve AppData");
    EXPECT_EQ(launches.load(), 0);

    {
        std::lock_guard<std::mutex> lock(state.statusMutex);
        state.progressIndex = 3;
        state.progressCount = 7;
    }
    Frame(true, false, false);
    ASSERT_TRUE(WaitUntilIdle(state));
    JoinWorker(state);
    EXPECT_EQ(Status(), L"Cannot resolve AppData");
    EXPECT_EQ(runs.load(), 0);
    std::lock_guard<std::mutex> lock(state.statusMutex);
    EXPECT_EQ(state.progressIndex, 0);
    EXPECT_EQ(state.progressCount, 0);
}
