// The frame composer driven headless: simulated mouse over real frames, assertions on what the
// main loop and the shell would read afterwards. Every test runs with no fonts and with the real
// ones: a missing font hides text but never a hit area.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <optional>
#include <tuple>
#include <vector>

#include "app/client.h"
#include "app/settings.h"
#include "live/news_feed.h"
#include "ui/pages.h"
#include "ui_harness.h"

using namespace qs;

namespace {

constexpr float kPlayX = 141.0f + 80.0f, kPlayY = 462.0f + 21.0f;
constexpr float kNavX = 36.0f;
constexpr float kNavHomeY = 141.0f, kNavNewsY = 189.0f, kNavSettingsY = 237.0f;

class UiFrame : public testing::TestWithParam<FontMode> {
protected:
    ScratchHomes homes;
};

TEST_P(UiFrame, PlayButtonRequests) {
    struct Case {
        const char* name;
        bool installed;
        std::optional<bool> online;  // nullopt: no server answer yet
        bool updating;
        bool play, update;
        bool cancel = false;
        ActionOutcome outcome = {};
    };
    const ActionOutcome failedRun{TaskKind::ClientUpdate, OutcomeTone::Warning};
    const ActionOutcome cancelledRun{TaskKind::ClientUpdate, OutcomeTone::Neutral};
    const ActionOutcome failedPlay{TaskKind::Play, OutcomeTone::Warning};
    const ActionOutcome refusedBeforePlacing{TaskKind::ClientUpdate, OutcomeTone::Warning, true};
    const Case cases[] = {
        {"server offline", true, false, false, false, false},
        {"no answer yet counts as offline", true, std::nullopt, false, false, false},
        {"first start without client", false, true, false, false, true},
        {"installed and online", true, true, false, true, false},
        {"during an update: cancel", true, true, true, false, false, true},
        {"during an update, server offline: still cancel", true, false, true, false, false, true},
        {"after a failed run: check again", true, true, false, false, true, false, failedRun},
        {"after a cancelled run: check again", true, true, false, false, true, false, cancelledRun},
        {"after a failed Play: play again", true, true, false, true, false, false, failedPlay},
        {"service down, client whole before: play", true, true, false, true, false, false,
         refusedBeforePlacing},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(homes.clientFolder());
        if (c.installed)
            homes.installClient();
        std::optional<FakeServer> server;
        if (c.online)
            server.emplace(*c.online, 3);
        UiHarness h(GetParam());
        if (c.updating) {
            h.state.indexSnapshot = 3;
            h.state.countSnapshot = 12;
        }
        h.state.outcome = c.outcome;
        h.moveTo(kPlayX, kPlayY);
        const bool enabled = c.play || c.update || c.cancel;
        EXPECT_EQ(h.lastCursor, enabled ? ImGuiMouseCursor_Hand : ImGuiMouseCursor_Arrow);
        h.click(kPlayX, kPlayY);
        EXPECT_EQ(h.state.requestPlay, c.play);
        EXPECT_EQ(h.state.requestUpdateCheck, c.update);
        EXPECT_EQ(h.state.requestCancel, c.cancel);
        h.frame();  // a request lives for one frame only
        EXPECT_FALSE(h.state.requestPlay || h.state.requestUpdateCheck || h.state.requestCancel);
    }
}

TEST_P(UiFrame, ServerGoingOfflineDisablesPlayOnTheNextFrame) {
    homes.installClient();
    FakeServer server(true, 1);
    UiHarness h(GetParam());
    h.moveTo(kPlayX, kPlayY);
    EXPECT_EQ(h.lastCursor, ImGuiMouseCursor_Hand);
    server.set(false);
    h.moveTo(kPlayX, kPlayY);
    EXPECT_EQ(h.lastCursor, ImGuiMouseCursor_Arrow);
}

TEST_P(UiFrame, NewsButtonMarksNewsSeenEvenWhenAlreadySelected) {
    NewsFeed feed(ServiceEndpoint{"localhost", 1, ""}, LiveTiming{}, homes.root() / "news_seen.txt",
                  [](const std::wstring&, std::size_t) -> std::optional<std::string> {
                      return std::nullopt;
                  });
    SetCurrentNewsFeed(&feed);
    NewsItem item;
    item.id = "first";
    feed.publish({item});
    ASSERT_TRUE(NewsHasUnseen());

    UiHarness h(GetParam());
    h.click(kNavX, kNavNewsY);
    EXPECT_EQ(h.ui.activePage, ActivePage::News);
    EXPECT_FALSE(NewsHasUnseen());

    item.id = "second";
    feed.publish({item});
    ASSERT_TRUE(NewsHasUnseen());
    h.click(kNavX, kNavNewsY);
    EXPECT_FALSE(NewsHasUnseen());
    // The page's own copy follows the feed.
    ASSERT_EQ(h.ui.news.items.size(), 1u);
    EXPECT_EQ(h.ui.news.items.front().id, "second");
    SetCurrentNewsFeed(nullptr);
}

TEST_P(UiFrame, ActivePageButtonGetsNoHoverFillOrTooltip) {
    UiHarness h(GetParam());
    for (int i = 0; i < 30; ++i)
        h.moveTo(kNavX, kNavHomeY);
    EXPECT_EQ(h.ui.sidebar.homeHover, 0.0f);
    EXPECT_EQ(h.ui.sidebar.homeTooltip, 0.0f);
    EXPECT_EQ(h.lastCursor, ImGuiMouseCursor_Hand);  // still clickable

    for (int i = 0; i < 30; ++i)
        h.moveTo(kNavX, kNavNewsY);
    EXPECT_GT(h.ui.sidebar.newsHover, 0.9f);
    EXPECT_GT(h.ui.sidebar.newsTooltip, 0.9f);
    for (int i = 0; i < 60; ++i)
        h.moveTo(640.0f, 600.0f);
    EXPECT_LT(h.ui.sidebar.newsHover, 0.01f);
    EXPECT_LT(h.ui.sidebar.newsTooltip, 0.01f);
}

// The window buttons and the links along the bottom follow the display's size.
TEST_P(UiFrame, WindowButtonsAndLinksFollowTheDisplaySize) {
    for (const ImVec2 display : {ImVec2(1280.0f, 760.0f), ImVec2(1600.0f, 900.0f)}) {
        SCOPED_TRACE(display.x);
        UiHarness h(GetParam(), display);
        const float bottom = display.y;
        const ImVec2 links[] = {{612.0f + 260.0f, 210.0f + 160.0f},
                                {168.0f, bottom - 24.0f},
                                {254.0f, bottom - 24.0f},
                                {36.0f, bottom - 79.0f},
                                {36.0f, bottom - 37.0f}};
        for (ImVec2 at : links) {
            h.moveTo(at.x, at.y);
            EXPECT_EQ(h.lastCursor, ImGuiMouseCursor_Hand) << at.x << "," << at.y;
        }
        h.moveTo(560.0f, 300.0f);  // plain text area
        EXPECT_EQ(h.lastCursor, ImGuiMouseCursor_Arrow);

        h.click(1280.0f - 24.0f, 30.0f);
        EXPECT_EQ(h.ui.requestClose, display.x == 1280.0f);
        h.click(display.x - 60.0f, 30.0f);
        EXPECT_TRUE(h.ui.requestMinimize);
        h.click(display.x - 24.0f, 30.0f);
        EXPECT_TRUE(h.ui.requestClose);
    }
}

TEST_P(UiFrame, FirstFrameLoadsSettingsAndFillsTheGameFolderOnce) {
    WriteFile(homes.settingsFile(), "CloseOnLaunch=1\nVerifyOnStart=0\n");
    UiHarness h(GetParam());
    h.frame();
    EXPECT_TRUE(CurrentSettings().closeOnLaunch);
    EXPECT_FALSE(CurrentSettings().verifyOnStart);
    EXPECT_EQ(std::string(h.ui.gameDirBuffer.data()), ClientDirectory().string());

    WriteFile(homes.settingsFile(), "CloseOnLaunch=0\n");
    CurrentSettings().verifyOnStart = true;  // an edit on the Settings page
    h.frame();
    EXPECT_TRUE(CurrentSettings().closeOnLaunch);  // not read again
    EXPECT_TRUE(CurrentSettings().verifyOnStart);
}

TEST_P(UiFrame, StatusLineIsRebuiltEveryFrame) {
    UiHarness h(GetParam());
    h.state.statusSnapshot = L"Downloading data/maps/zone_0001.pak";
    h.state.indexSnapshot = 12;
    h.state.countSnapshot = 40;
    h.frame();
    EXPECT_STREQ(h.ui.statusLine.data(), "Downloading data/maps/zone_0001.pak");
    h.state.statusSnapshot = std::wstring(1, static_cast<wchar_t>(0xD800));  // not convertible
    h.frame();
    EXPECT_STREQ(h.ui.statusLine.data(), "");
    h.state.statusSnapshot = std::wstring(400, L'x');
    h.frame();
    EXPECT_EQ(std::strlen(h.ui.statusLine.data()), 255u);
}

// The download box's ring cancels the run; outside a download there is no box to press.
TEST_P(UiFrame, DownloadBoxRingCancels) {
    UiHarness h(GetParam());
    const float ringX = 72.0f + (1280.0f - 72.0f) / 2.0f - 100.0f + 178.0f;
    h.click(ringX, 30.0f);
    EXPECT_FALSE(h.state.requestCancel);
    h.state.indexSnapshot = 3;
    h.state.countSnapshot = 12;
    h.click(ringX, 30.0f);
    EXPECT_TRUE(h.state.requestCancel);
}

// At every scale the same design point of the display hits the same control: PLAY, Home's
// SETTINGS, each navigation button (and nothing between them) and the window buttons.
TEST_P(UiFrame, ControlsAnswerAtTheirScaledPositions) {
    homes.installClient();
    FakeServer server(true, 3);
    for (const float scale : {1.0f, 1.25f, 1.5f, 2.0f}) {
        SCOPED_TRACE(scale);
        UiHarness h(GetParam(), ImVec2(1280.0f, 760.0f), scale);
        const auto click = [&](float x, float y) { h.click(x * scale, y * scale); };
        click(kPlayX, kPlayY);
        EXPECT_TRUE(h.state.requestPlay);
        click(309.0f + 57.0f, 462.0f + 21.0f);  // Home's SETTINGS
        EXPECT_EQ(h.ui.activePage, ActivePage::Settings);
        click(kNavX, kNavNewsY);
        EXPECT_EQ(h.ui.activePage, ActivePage::News);
        click(kNavX, 164.0f);  // between two navigation buttons
        EXPECT_EQ(h.ui.activePage, ActivePage::News);
        click(kNavX, kNavSettingsY);
        EXPECT_EQ(h.ui.activePage, ActivePage::Settings);
        click(kNavX, kNavHomeY);
        EXPECT_EQ(h.ui.activePage, ActivePage::Home);
        click(1280.0f - 60.0f, 30.0f);
        EXPECT_TRUE(h.ui.requestMinimize);
        click(1280.0f - 24.0f, 30.0f);
        EXPECT_TRUE(h.ui.requestClose);
    }
}

// Keyboard use: a table of pages and the order Tab takes through them, which is the order the
// page submits its hit areas (disabled ones left out), then the fields.
class UiKeyboard : public testing::Test {
protected:
    std::vector<ImGuiID> Ids(UiHarness& h, std::initializer_list<const char*> names) {
        std::vector<ImGuiID> ids;
        for (const char* name : names)
            ids.push_back(h.idOf(name));
        return ids;
    }
    ScratchHomes homes;
};

TEST_F(UiKeyboard, TabOrderFollowsEachPage) {
    FakeServer server(false);  // offline: PLAY is disabled and is no stop
    const auto chrome = {"##nav_home",     "##nav_news", "##nav_settings", "##side_discord",
                         "##side_website", "##close",    "##minimize"};
    const struct {
        ActivePage page;
        std::vector<const char*> stops;
    } cases[] = {
        {ActivePage::Home, {"##settings_btn", "##trailer", "##ftr_discord", "##ftr_website"}},
        {ActivePage::News, {"##featured_details", "##news_ftr_discord", "##news_ftr_website"}},
        {ActivePage::Settings,
         {"##gamedir", "##open_dir", "##tgl_close", "##tgl_verify", "##check_upd",
          "##check_launcher_upd", "##limit_up", "##open_log"}},
    };
    for (const auto& c : cases) {
        UiHarness h(FontMode::Null);
        h.ui.activePage = c.page;
        h.frame();
        std::vector<ImGuiID> expected = Ids(h, chrome);
        for (const char* stop : c.stops)
            expected.push_back(h.idOf(stop));
        EXPECT_EQ(h.focusOrder(), expected) << static_cast<int>(c.page);

        // Tab walks the order and wraps; Shift+Tab walks back.
        for (std::size_t i = 0; i <= expected.size(); ++i) {
            h.pressKey(ImGuiKey_Tab);
            EXPECT_EQ(h.ui.focus.focused, expected[i % expected.size()]) << i;
        }
        h.pressKey(ImGuiKey_Tab, true);
        EXPECT_EQ(h.ui.focus.focused, expected.back());
        h.pressKey(ImGuiKey_Tab, true);
        EXPECT_EQ(h.ui.focus.focused, expected[expected.size() - 2]);
    }
}

TEST_F(UiKeyboard, EnterAndSpaceActivateAndTheRingFollowsTheLastInput) {
    homes.installClient();
    FakeServer server(true, 3);
    UiHarness h(FontMode::Null);
    h.frame();
    EXPECT_FALSE(h.ui.focus.ringVisible);
    for (int i = 0; i < 8; ++i)  // the chrome, then PLAY NOW
        h.pressKey(ImGuiKey_Tab);
    EXPECT_TRUE(h.ui.focus.ringVisible);
    EXPECT_EQ(h.ui.focus.focused, h.idOf("##play"));
    // Each key presses PLAY NOW once, in the frame it goes down (requests last one frame).
    ImGuiIO& io = ImGui::GetIO();
    for (const ImGuiKey key : {ImGuiKey_Enter, ImGuiKey_Space, ImGuiKey_KeyPadEnter}) {
        io.KeysDown[io.KeyMap[key]] = true;
        h.frame();
        EXPECT_TRUE(h.state.requestPlay) << key;
        h.frame();  // held: no repeat
        EXPECT_FALSE(h.state.requestPlay) << key;
        io.KeysDown[io.KeyMap[key]] = false;
        h.frame();
    }

    h.pressKey(ImGuiKey_Tab);  // SETTINGS
    h.pressKey(ImGuiKey_Space);
    EXPECT_EQ(h.ui.activePage, ActivePage::Settings);

    h.moveTo(640.0f, 600.0f);  // the mouse hides the ring; the focus stays
    EXPECT_FALSE(h.ui.focus.ringVisible);
    EXPECT_EQ(h.ui.focus.focused, h.idOf("##settings_btn"));
}

TEST_F(UiKeyboard, CtrlDigitsSwitchPages) {
    UiHarness h(FontMode::Null);
    h.frame();
    for (const auto& [digit, page, nav] : {std::tuple{2, ActivePage::News, "##nav_news"},
                                           std::tuple{3, ActivePage::Settings, "##nav_settings"},
                                           std::tuple{1, ActivePage::Home, "##nav_home"}}) {
        h.pressPageKey(digit);
        EXPECT_EQ(h.ui.activePage, page) << digit;
        EXPECT_EQ(h.ui.focus.focused, h.idOf(nav)) << digit;  // Tab goes on from there
    }
    // The digit alone does nothing.
    ImGuiIO& io = ImGui::GetIO();
    io.KeysDown[h.ui.pageKeys[1]] = true;
    h.frame();
    io.KeysDown[h.ui.pageKeys[1]] = false;
    h.frame();
    EXPECT_EQ(h.ui.activePage, ActivePage::Home);
}

INSTANTIATE_TEST_SUITE_P(Ui, UiFrame, testing::Values(FontMode::Null, FontMode::Real),
                         [](const testing::TestParamInfo<FontMode>& param) {
                             return param.param == FontMode::Real ? "RealFonts" : "NullFonts";
                         });

}  // namespace
