#include <gtest/gtest.h>

#include <imgui_internal.h>

#include "app/settings.h"
#include "ui/pages.h"
#include "ui_harness.h"

using namespace qs;

namespace fs = std::filesystem;

namespace {

const ImVec2 kCloseToggle(1184 + 17, 254 + 9);
const ImVec2 kSave(1152 + 40, 626 + 16);
const ImVec2 kLimitUp(1194 + 12, 575 + 12);
const ImVec2 kLimitDown(1080 + 12, 575 + 12);
const ImVec2 kCheckUpdates(1078 + 70, 377 + 16);
const ImVec2 kCheckLauncher(1058 + 80, 489 + 16);
const ImVec2 kClearData(1108 + 55, 433 + 16);
const ImVec2 kOpenLogFolder(124 + 70, 626 + 16);
// The dialog box is centred: (1280 - 400) / 2 = 440, (760 - 140) / 2 = 310.
const ImVec2 kCancel(440 + 20 + 60, 310 + 84 + 18);
const ImVec2 kDelete(440 + 260 + 60, 310 + 84 + 18);
const ImVec2 kPlay(141 + 80, 462 + 21);

class SettingsPageTest : public testing::Test {
protected:
    void TearDown() override {
        if (h.state.worker.joinable())
            h.state.worker.join();
    }

    // A click on the Settings page, or on the Home page, through the frame composer.
    void Click(ImVec2 at, ActivePage page = ActivePage::Settings) {
        h.ui.activePage = page;
        h.click(at.x, at.y);
    }

    ScratchHomes homes;
    UiHarness h{FontMode::Default};
};

// Toggled back to the saved value there is nothing to save; SAVE writes only real changes.
TEST_F(SettingsPageTest, ToggleAndSaveFollowTheSavedValues) {
    Click(kCloseToggle);
    EXPECT_TRUE(CurrentSettings().closeOnLaunch);
    EXPECT_TRUE(CurrentSettings().unsavedChanges);
    Click(kCloseToggle);
    EXPECT_FALSE(CurrentSettings().unsavedChanges);
    Click(kSave);
    EXPECT_FALSE(fs::exists(homes.settingsFile()));

    Click(kCloseToggle);
    Click(kSave);
    EXPECT_FALSE(CurrentSettings().unsavedChanges);
    LauncherSettings saved;
    saved.closeOnLaunch = true;
    EXPECT_EQ(ReadFile(homes.settingsFile()), SettingsFileText(saved));
    Click(kCloseToggle);  // away from the saved value: dirty again
    EXPECT_TRUE(CurrentSettings().unsavedChanges);
}

// The stepper walks the limit up and down and marks it unsaved.
TEST_F(SettingsPageTest, SpeedLimitStepsAndReachesTheRunningTask) {
    Click(kLimitUp);
    Click(kLimitUp);
    EXPECT_EQ(CurrentSettings().downloadLimitMBps, 2u);
    EXPECT_TRUE(CurrentSettings().unsavedChanges);
    Click(kLimitDown);
    Click(kLimitDown);
    Click(kLimitDown);  // already off: the button is inert
    EXPECT_EQ(CurrentSettings().downloadLimitMBps, 0u);
    EXPECT_FALSE(CurrentSettings().unsavedChanges);
}

TEST_F(SettingsPageTest, ButtonsRaiseTheirRequests) {
    Click(kCheckUpdates);
    EXPECT_TRUE(h.state.requestRepair);
    EXPECT_FALSE(h.state.requestUpdateCheck || h.state.requestLauncherUpdate);
    Click(kCheckLauncher);
    EXPECT_FALSE(h.state.requestRepair);
    EXPECT_TRUE(h.state.requestLauncherUpdate);
    Click(kOpenLogFolder);  // the shell opens the data folder, where the log is
    EXPECT_TRUE(h.ui.requestOpenLogFolder);
}

// DELETE empties the client folder, keeps it, and the Home button asks for the update that
// brings the client back.
TEST_F(SettingsPageTest, DialogOpensCancelsAndConfirms) {
    FakeServer server(true, 3);
    homes.installClient();
    Click(kPlay, ActivePage::Home);
    EXPECT_TRUE(h.state.requestPlay);

    Click(kClearData);
    ASSERT_TRUE(h.ui.clearConfirmOpen);
    h.ui.activePage = ActivePage::News;  // another page for a frame: the dialog stays open
    h.frame();
    h.ui.activePage = ActivePage::Settings;
    h.frame();
    EXPECT_TRUE(h.ui.clearConfirmOpen);
    Click(kCancel);
    EXPECT_FALSE(h.ui.clearConfirmOpen);
    EXPECT_TRUE(fs::exists(homes.clientFolder() / "Quillon Saga.exe"));

    Click(kClearData);
    ASSERT_TRUE(h.ui.clearConfirmOpen);
    Click(kDelete);
    EXPECT_FALSE(h.ui.clearConfirmOpen);
    ASSERT_TRUE(PollUntil([&] { return !h.state.busy.load(); }));
    EXPECT_TRUE(fs::is_directory(homes.clientFolder()));
    EXPECT_TRUE(fs::is_empty(homes.clientFolder()));
    EXPECT_FALSE(h.state.requestUpdateCheck);

    Click(kClearData);  // no client any more: grey and inert
    EXPECT_FALSE(h.ui.clearConfirmOpen);
    Click(kPlay, ActivePage::Home);
    EXPECT_FALSE(h.state.requestPlay);
    EXPECT_TRUE(h.state.requestUpdateCheck);
}

TEST_F(SettingsPageTest, ClearDataDoesNothingWhileBusy) {
    homes.installClient();
    h.state.busy = true;
    Click(kClearData);
    EXPECT_FALSE(h.ui.clearConfirmOpen);

    // An update that starts while the dialog is open keeps its files: DELETE is refused.
    h.state.busy = false;
    Click(kClearData);
    ASSERT_TRUE(h.ui.clearConfirmOpen);
    h.state.busy = true;
    Click(kDelete);
    EXPECT_FALSE(h.ui.clearConfirmOpen);
    EXPECT_FALSE(h.state.worker.joinable());
    EXPECT_TRUE(fs::exists(homes.clientFolder() / "data" / "world.pak"));
    h.state.busy = false;
}

TEST_F(SettingsPageTest, PathFieldCannotBeTypedInto) {
    const char path[] = "/home/player/.local/share/Quillon Saga/QuillonSaga Game";
    h.frame();  // the first frame fills the field once
    std::copy(std::begin(path), std::end(path), h.ui.gameDirBuffer.begin());
    Click(ImVec2(480 + 100, 167 + 14));
    ImGui::GetIO().AddInputCharacter('x');
    h.frame();
    EXPECT_STREQ(h.ui.gameDirBuffer.data(), path);
}

// From the keyboard: the path field takes the keyboard when Tab reaches it (so it can be
// selected and copied) and gives it up on the next Tab; the dialog opens on its CANCEL, keeps Tab
// between its two buttons, and Escape closes it with the focus back on CLEAR DATA.
TEST_F(SettingsPageTest, KeyboardReachesTheFieldAndDrivesTheDialog) {
    homes.installClient();
    h.ui.activePage = ActivePage::Settings;
    h.frame();
    const auto tabTo = [&](const char* id) {
        for (int i = 0; i < 30 && h.ui.focus.focused != h.idOf(id); ++i)
            h.pressKey(ImGuiKey_Tab);
        ASSERT_EQ(h.ui.focus.focused, h.idOf(id));
    };
    tabTo("##gamedir");
    EXPECT_EQ(ImGui::GetActiveID(), h.idOf("##gamedir"));
    h.pressKey(ImGuiKey_Tab);
    EXPECT_EQ(ImGui::GetActiveID(), 0u);

    tabTo("##clear_data");
    h.pressKey(ImGuiKey_Enter);
    ASSERT_TRUE(h.ui.clearConfirmOpen);
    EXPECT_EQ(h.ui.focus.focused, h.idOf("##cancel_clear"));
    for (const char* id : {"##confirm_clear", "##cancel_clear", "##confirm_clear"}) {
        h.pressKey(ImGuiKey_Tab);
        EXPECT_EQ(h.ui.focus.focused, h.idOf(id));
    }
    h.pressKey(ImGuiKey_Escape);
    EXPECT_FALSE(h.ui.clearConfirmOpen);
    EXPECT_EQ(h.ui.focus.focused, h.idOf("##clear_data"));
    EXPECT_TRUE(fs::exists(homes.clientFolder() / "Quillon Saga.exe"));
}

}  // namespace
