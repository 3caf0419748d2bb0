// The main loop's request handling and the worker contract, with the update run, the client
// folder, the client launch and the launcher task replaced by test doubles.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <stdexcept>
#include <thread>

#include "app/state.h"

namespace {

using namespace std::chrono_literals;

// A door the worker waits at until the test opens it; bounded so a fault fails, not hangs.
class Gate {
public:
    void Open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    void Close() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = false;
    }
    bool Wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, 60s, [this] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

bool WaitUntilIdle(LauncherState& state) {
    auto deadline = std::chrono::steady_clock::now() + 60s;
    while (state.busy.load()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

struct Counters {
    std::atomic<int> runs{0};
    std::atomic<int> launches{0};
    std::atomic<int> launcherTasks{0};
    std::atomic<int> closes{0};
};

// A state block whose hooks count calls; the update run reports two files once `gate` opens.
class StateTest : public testing::Test {
protected:
    void SetUp() override {
        state.hooks.clientDirectory = [] { return std::filesystem::path("/nonexistent/client"); };
        state.hooks.runClientUpdate = [this](const std::filesystem::path&,
                                             const UpdateProgressCallback& progress) {
            ++counters.runs;
            if (!gate.Wait())
                return UpdateResult{false, L"gate timed out"};
            qs::UpdateProgress report;
            report.fileCount = 2;
            report.message = L"Downloading a.dat";
            progress(report);
            report.fileIndex = 1;
            report.message = L"Downloading b.dat";
            progress(report);
            report.fileIndex = 2;
            report.message = L"Update complete.";
            progress(report);
            return UpdateResult{true, L"Ready to play."};
        };
        state.hooks.launchClient = [this](const std::filesystem::path&,
                                          const std::filesystem::path&, std::wstring& error) {
            ++counters.launches;
            if (launchFails)
                error = L"Could not start QSClient.exe.";
            return !launchFails;
        };
        state.hooks.launcherUpdate = [this](std::mutex* statusMutex, std::wstring* statusText,
                                            std::atomic<bool>* busy, const WindowCloser*) {
            ++counters.launcherTasks;
            {
                std::lock_guard<std::mutex> lock(*statusMutex);
                *statusText = L"Launcher is up to date.";
            }
            busy->exchange(false);
        };
        state.window = [this] { ++counters.closes; };
        state.autoCheckPending = false;
    }
    void TearDown() override {
        gate.Open();
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

    Gate gate;
    Counters counters;
    bool launchFails = false;
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
    gate.Open();
    ASSERT_TRUE(WaitUntilIdle(state));
    BeginFrameRequests(state);
    EXPECT_EQ(state.statusSnapshot, L"Ready to play.");
    EXPECT_EQ(state.indexSnapshot, 0);
    EXPECT_EQ(state.countSnapshot, 0);
    EXPECT_EQ(counters.runs.load(), 1);
}

TEST_F(StateTest, AutomaticCheckIsSpentEvenWhenSwitchedOff) {
    state.autoCheckPending = true;
    Frame(false, false, false, /*verifyOnStart=*/false);
    EXPECT_FALSE(state.autoCheckPending);
    EXPECT_FALSE(state.busy.load());
    EXPECT_FALSE(state.worker.joinable());
    Frame(false, false, false, true);
    EXPECT_FALSE(state.busy.load());
    // A press still works with the option off.
    Frame(true, false, false, false);
    EXPECT_TRUE(state.busy.load());
}

TEST_F(StateTest, RequestsWhileBusyAreDropped) {
    Frame(true, false, false);
    ASSERT_TRUE(state.busy.load());
    for (int frame = 0; frame < 5; ++frame)
        Frame(true, true, true);
    EXPECT_EQ(Status(), L"Checking for updates...");
    gate.Open();
    ASSERT_TRUE(WaitUntilIdle(state));
    EXPECT_EQ(counters.runs.load(), 1);
    EXPECT_EQ(counters.launches.load(), 0);
    EXPECT_EQ(counters.launcherTasks.load(), 0);
    // After the run the same presses work.
    Frame(false, true, false);
    EXPECT_EQ(counters.launches.load(), 1);
    EXPECT_EQ(Status(), L"Client started.");
}

TEST_F(StateTest, SameFrameCombinations) {
    struct Case {
        bool update, play, launcher;
        int runs, launches, launcherTasks;
    };
    for (const Case& c : {Case{true, false, true, 1, 0, 0}, Case{true, true, false, 1, 0, 0},
                          Case{false, true, true, 0, 1, 1}, Case{true, true, true, 1, 0, 0}}) {
        counters.runs = counters.launches = counters.launcherTasks = 0;
        gate.Close();  // the run must still be going when Play and the launcher are decided
        Frame(c.update, c.play, c.launcher);
        gate.Open();
        ASSERT_TRUE(WaitUntilIdle(state));
        JoinWorker(state);
        EXPECT_EQ(counters.runs.load(), c.runs);
        EXPECT_EQ(counters.launches.load(), c.launches);
        EXPECT_EQ(counters.launcherTasks.load(), c.launcherTasks);
    }
}

TEST_F(StateTest, LauncherCheckAnnouncesItselfAndReturnsToIdle) {
    Gate launcherGate;
    state.hooks.launcherUpdate = [&](std::mutex* statusMutex, std::wstring* statusText,
                                     std::atomic<bool>* busy, const WindowCloser* window) {
        launcherGate.Wait();
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
    launcherGate.Open();
    ASSERT_TRUE(WaitUntilIdle(state));
    JoinWorker(state);
    EXPECT_EQ(Status(), L"Installer started.");
    EXPECT_EQ(counters.closes.load(), 1);
    EXPECT_EQ(counters.runs.load(), 0);
    EXPECT_EQ(counters.launches.load(), 0);
}

TEST_F(StateTest, FinalStatusAndZeroProgressAreInPlaceBeforeBusyClears) {
    gate.Open();
    for (int run = 0; run < 200; ++run) {
        Frame(true, false, false);
        ASSERT_TRUE(WaitUntilIdle(state));
        // No lock-free peek: the lock is the contract; what matters is the order.
        std::lock_guard<std::mutex> lock(state.statusMutex);
        ASSERT_EQ(state.statusText, L"Ready to play.") << "run " << run;
        ASSERT_EQ(state.progressIndex, 0);
        ASSERT_EQ(state.progressCount, 0);
    }
    EXPECT_EQ(counters.runs.load(), 200);
}

TEST_F(StateTest, SnapshotsFollowTheRunWhileFramesKeepComing) {
    // Frames keep snapshotting while the worker reports: the snapshot is always one whole
    // report (a message with its own index), never a mix.
    Frame(true, false, false);
    gate.Open();
    auto deadline = std::chrono::steady_clock::now() + 60s;
    while (state.busy.load() && std::chrono::steady_clock::now() < deadline) {
        BeginFrameRequests(state);
        const std::wstring& text = state.statusSnapshot;
        std::int32_t expectedIndex = -1;
        if (text == L"Downloading a.dat")
            expectedIndex = 0;
        if (text == L"Downloading b.dat")
            expectedIndex = 1;
        if (text == L"Update complete.")
            expectedIndex = 2;
        if (text == L"Ready to play.")
            expectedIndex = 0;
        if (expectedIndex >= 0) {
            EXPECT_EQ(state.indexSnapshot, expectedIndex) << text;
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
    EXPECT_EQ(counters.closes.load(), 0);
    Frame(false, true, false, true, /*closeOnLaunch=*/true);
    EXPECT_EQ(counters.closes.load(), 1);
    launchFails = true;
    Frame(false, true, false, true, /*closeOnLaunch=*/true);
    EXPECT_EQ(Status(), L"Could not start QSClient.exe.");
    EXPECT_EQ(counters.closes.load(), 1);
    EXPECT_FALSE(state.busy.load());
}

TEST_F(StateTest, UnresolvableClientFolderIsShownAndNothingStaysBusy) {
    state.hooks.clientDirectory = []() -> std::filesystem::path {
        throw std::runtime_error("Cannot resolve AppData");
    };
    Frame(false, true, false);
    EXPECT_EQ(Status(), L"Cannot resolve AppData");
    EXPECT_EQ(counters.launches.load(), 0);

    {
        std::lock_guard<std::mutex> lock(state.statusMutex);
        state.progressIndex = 3;
        state.progressCount = 7;
    }
    Frame(true, false, false);
    ASSERT_TRUE(WaitUntilIdle(state));
    JoinWorker(state);
    EXPECT_EQ(Status(), L"Cannot resolve AppData");
    EXPECT_EQ(counters.runs.load(), 0);
    std::lock_guard<std::mutex> lock(state.statusMutex);
    EXPECT_EQ(state.progressIndex, 0);
    EXPECT_EQ(state.progressCount, 0);
}

TEST_F(StateTest, RunFailureTextBecomesTheStatus) {
    state.hooks.runClientUpdate = [](const std::filesystem::path&,
                                     const UpdateProgressCallback& progress) {
        qs::UpdateProgress report;
        report.fileCount = 2;
        progress(report);
        return UpdateResult{false, L"Update server returned an error"};
    };
    Frame(true, false, false);
    ASSERT_TRUE(WaitUntilIdle(state));
    JoinWorker(state);
    std::lock_guard<std::mutex> lock(state.statusMutex);
    EXPECT_EQ(state.statusText, L"Update server returned an error");
    EXPECT_EQ(state.progressCount, 0);
}
