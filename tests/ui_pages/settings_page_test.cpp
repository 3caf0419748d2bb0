#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "app/settings.h"
#include "headless_frame.h"
#include "live/status_poller.h"
#include "temp_folder.h"
#include "ui/pages.h"

namespace fs = std::filesystem;

namespace {

const ImVec2 kCloseToggle(1184 + 17, 254 + 9);
const ImVec2 kSave(1152 + 40, 552 + 16);
const ImVec2 kCheckUpdates(1078 + 70, 377 + 16);
const ImVec2 kCheckLauncher(1058 + 80, 489 + 16);
const ImVec2 kClearData(1108 + 55, 433 + 16);
// The dialog box is centred: (1280 - 400) / 2 = 440, (760 - 140) / 2 = 310.
const ImVec2 kCancel(440 + 20 + 60, 310 + 84 + 18);
const ImVec2 kDelete(440 + 260 + 60, 310 + 84 + 18);

class SettingsPageTest : public testing::Test {
protected:
    void SetUp() override {
        // Settings and client folder live under the test's own folders, never the real home.
        setenv("XDG_CONFIG_HOME", configHome.path().c_str(), 1);
        setenv("XDG_DATA_HOME", dataHome.path().c_str(), 1);
        CurrentSettings() = LauncherSettings{};
    }

    void TearDown() override {
        if (state.worker.joinable())
            state.worker.join();
    }

    HeadlessFrame::Page Page() {
        return [this](ImDrawList* drawList, ImVec2 windowPos, float width, float height) {
            state.requestUpdateCheck = false;
            state.requestLauncherUpdate = false;
            DrawSettingsPage(ui, state, drawList, windowPos, width, height,
                             &state.requestUpdateCheck, &state.requestLauncherUpdate, 0, 0);
        };
    }

    fs::path ClientFolder() const { return dataHome.path() / "Quillon Saga" / "QuillonSaga Game"; }
    fs::path SettingsFile() const {
        return configHome.path() / "QuillonSagaLauncher" / "settings.ini";
    }

    void InstallClient() {
        WriteTextFile(ClientFolder() / "Quillon Saga.exe", "client");
        WriteTextFile(ClientFolder() / "data" / "world.pak", "pak");
    }

    bool WaitUntilIdle() {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (state.busy.load()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    TempFolder configHome;
    TempFolder dataHome;
    HeadlessFrame frame;
    UiState ui;
    LauncherState state;
};

TEST_F(SettingsPageTest, ToggleOnAndOffLeavesSaveInactive) {
    frame.Click(Page(), kCloseToggle);
    EXPECT_TRUE(CurrentSettings().closeOnLaunch);
    EXPECT_TRUE(CurrentSettings().unsavedChanges);
    frame.Click(Page(), kCloseToggle);
    EXPECT_FALSE(CurrentSettings().closeOnLaunch);
    EXPECT_FALSE(CurrentSettings().unsavedChanges);

    frame.Click(Page(), kSave);
    EXPECT_FALSE(fs::exists(SettingsFile()));
}

TEST_F(SettingsPageTest, SaveWritesTheFileAndClearsUnsavedChanges) {
    frame.Click(Page(), kCloseToggle);
    ASSERT_TRUE(CurrentSettings().unsavedChanges);
    frame.Click(Page(), kSave);
    EXPECT_FALSE(CurrentSettings().unsavedChanges);
    EXPECT_EQ(ReadTextFile(SettingsFile()), "CloseOnLaunch=1\nVerifyOnStart=1\n");

    frame.Click(Page(), kCloseToggle);  // back to the saved value's opposite: dirty again
    EXPECT_TRUE(CurrentSettings().unsavedChanges);
}

TEST_F(SettingsPageTest, ButtonsRaiseTheirRequests) {
    frame.Click(Page(), kCheckUpdates);
    EXPECT_TRUE(state.requestUpdateCheck);
    EXPECT_FALSE(state.requestLauncherUpdate);
    frame.Click(Page(), kCheckLauncher);
    EXPECT_FALSE(state.requestUpdateCheck);
    EXPECT_TRUE(state.requestLauncherUpdate);
}

TEST_F(SettingsPageTest, DialogOpensCancelsAndConfirms) {
    InstallClient();
    frame.Click(Page(), kClearData);
    ASSERT_TRUE(ui.clearConfirmOpen);
    frame.Click(Page(), kCancel);
    EXPECT_FALSE(ui.clearConfirmOpen);
    EXPECT_TRUE(fs::exists(ClientFolder() / "Quillon Saga.exe"));

    frame.Click(Page(), kClearData);
    ASSERT_TRUE(ui.clearConfirmOpen);
    frame.Click(Page(), kDelete);
    EXPECT_FALSE(ui.clearConfirmOpen);
    ASSERT_TRUE(WaitUntilIdle());
    EXPECT_TRUE(fs::is_directory(ClientFolder()));
    EXPECT_TRUE(fs::is_empty(ClientFolder()));
    EXPECT_FALSE(state.requestUpdateCheck);  // the next update request downloads it again

    frame.Click(Page(), kClearData);  // no client any more: grey and inert
    EXPECT_FALSE(ui.clearConfirmOpen);
}

// After DELETE the Home page's button no longer plays: it asks for the update that brings the
// client back.
TEST_F(SettingsPageTest, AfterDeleteHomeAsksForUpdates) {
    StatusPoller poller(BuiltInService(), StatusPollTiming(),
                        [](const std::wstring&, std::size_t) -> std::optional<std::string> {
                            return R"({"online":true,"players":3})";
                        });
    poller.pollOnce();
    SetCurrentStatusPoller(&poller);
    HeadlessFrame::Page home = [this](ImDrawList* drawList, ImVec2 windowPos, float width,
                                      float height) {
        state.requestUpdateCheck = false;
        state.requestPlay = false;
        DrawHomePage(ui, drawList, windowPos, width, height, &state.requestUpdateCheck,
                     &state.requestPlay, "", 0, 0);
    };
    const ImVec2 play(141 + 80, 462 + 21);

    InstallClient();
    frame.Click(home, play);
    EXPECT_TRUE(state.requestPlay);
    EXPECT_FALSE(state.requestUpdateCheck);

    frame.Click(Page(), kClearData);
    frame.Click(Page(), kDelete);
    ASSERT_TRUE(WaitUntilIdle());
    frame.Click(home, play);
    EXPECT_FALSE(state.requestPlay);
    EXPECT_TRUE(state.requestUpdateCheck);
    SetCurrentStatusPoller(nullptr);
}

TEST_F(SettingsPageTest, DialogSurvivesLeavingThePage) {
    InstallClient();
    frame.Click(Page(), kClearData);
    frame.Run([](ImDrawList*, ImVec2, float, float) {});  // another page for a frame
    frame.Run(Page());
    EXPECT_TRUE(ui.clearConfirmOpen);
}

TEST_F(SettingsPageTest, ClearDataDoesNothingWhileBusy) {
    InstallClient();
    state.busy = true;
    frame.Click(Page(), kClearData);
    EXPECT_FALSE(ui.clearConfirmOpen);

    // An update that starts while the dialog is open keeps its files: DELETE is refused.
    state.busy = false;
    frame.Click(Page(), kClearData);
    ASSERT_TRUE(ui.clearConfirmOpen);
    state.busy = true;
    frame.Click(Page(), kDelete);
    EXPECT_FALSE(ui.clearConfirmOpen);
    EXPECT_FALSE(state.worker.joinable());
    EXPECT_TRUE(fs::exists(ClientFolder() / "data" / "world.pak"));
    state.busy = false;
}

TEST_F(SettingsPageTest, PathFieldCannotBeTypedInto) {
    const char path[] = "/home/player/.local/share/Quillon Saga/QuillonSaga Game";
    std::copy(std::begin(path), std::end(path), ui.gameDirBuffer.begin());
    frame.Click(Page(), ImVec2(480 + 100, 167 + 14));
    ImGui::GetIO().AddInputCharacter('x');
    frame.Run(Page(), ImVec2(480 + 100, 167 + 14));
    EXPECT_STREQ(ui.gameDirBuffer.data(), path);
}

}  // namespace
