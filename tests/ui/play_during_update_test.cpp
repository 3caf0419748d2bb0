// Home's primary button against the main loop's state while a run places files, and after a run
// that found the client running.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "app/state.h"
#include "scratch.h"
#include "ui/ui_logic.h"

namespace qs {
namespace {

// The run reports its second of three files, then holds until `release`, then ends with `ending`.
class PlayDuringUpdate : public testing::Test {
protected:
    void SetUp() override {
        state.autoCheckPending = false;
        state.hooks.clientDirectory = [] { return std::filesystem::path("/nonexistent/client"); };
        state.hooks.runClientUpdate = [this](const std::filesystem::path&,
                                             const UpdateProgressCallback& progress) {
            qs::UpdateProgress report;
            report.fileIndex = 1;
            report.fileCount = 3;
            report.message = L"Downloading b.dat";
            progress(report);
            PollUntil([this] { return release.load(); });
            return ending;
        };
        state.hooks.launchClient = [this](const std::filesystem::path&,
                                          const std::filesystem::path&, std::wstring&) {
            ++launches;
            return true;
        };
    }
    void TearDown() override {
        release = true;
        JoinWorker(state);
    }

    // One frame as Home draws it, with an installed client and the server online; the player
    // presses the primary button when `press`.
    PlayButtonLook Frame(bool press) {
        BeginFrameRequests(state);
        const bool updating = IsUpdating(state.indexSnapshot, state.countSnapshot);
        const bool ready = ClientReady(true, updating, state.outcome);
        const PlayAction action = PlayButtonAction(press, true, ready, updating);
        state.requestPlay = action == PlayAction::Play;
        state.requestCancel = action == PlayAction::Cancel;
        state.requestUpdateCheck = action == PlayAction::UpdateCheck;
        ActOnFrameRequests(state, false, false);
        return ChoosePlayButton(updating, ready, true, false);
    }

    LauncherState state;
    std::atomic<bool> release{false};
    std::atomic<int> launches{0};
    UpdateResult ending{true, L"Ready to play."};
};

TEST_F(PlayDuringUpdate, PlacingFilesOffersCancelNeverPlay) {
    ASSERT_TRUE(StartClientUpdate(state));
    ASSERT_TRUE(PollUntil([this] {
        BeginFrameRequests(state);
        return state.countSnapshot == 3;
    }));
    EXPECT_EQ(std::string(Frame(false).label), "CANCEL");
    state.requestPlay = true;  // a press that reached the loop some other way
    ActOnFrameRequests(state, false, false);
    EXPECT_EQ(launches.load(), 0);
    EXPECT_EQ(std::string(Frame(true).label), "CANCEL");
    EXPECT_TRUE(state.cancelRequested.load());
    EXPECT_EQ(launches.load(), 0);
}

// A client that was whole but runs keeps no PLAY NOW: Home offers the check again.
TEST_F(PlayDuringUpdate, ClientRunningOffersTheCheckAgain) {
    ending = {false, L"Close Quillon Saga to update."};
    ending.outcome = RunOutcome::ClientRunning;
    ending.provenBefore = true;
    release = true;
    ASSERT_TRUE(StartClientUpdate(state));
    ASSERT_TRUE(PollUntil([this] { return !state.busy.load(); }));
    EXPECT_EQ(std::string(Frame(false).label), "CHECK FOR UPDATES");
    EXPECT_EQ(state.statusSnapshot, L"Close Quillon Saga to update.");
    EXPECT_EQ(state.outcome.tone, OutcomeTone::Warning);
    Frame(true);
    EXPECT_TRUE(state.busy.load() || state.runningTask == TaskKind::ClientUpdate);
    EXPECT_EQ(launches.load(), 0);
}

}  // namespace
}  // namespace qs
