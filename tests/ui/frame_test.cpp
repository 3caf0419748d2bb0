// The frame composer driven headless: simulated mouse over real frames, assertions on what the
// main loop and the shell would read afterwards. Every test runs with no fonts and with the real
// ones: a missing font hides text but never a hit area.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "app/client.h"
#include "app/settings.h"
#include "live/news_feed.h"
#include "ui/pages.h"
#include "ui_harness.h"

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
    const Case cases[] = {
        {"server offline", true, false, false, false, false},
        {"no answer yet counts as offline", true, std::nullopt, false, false, false},
        {"first start without client", false, true, false, false, true},
        {"installed and online", true, true, false, true, false},
        {"during an update: cancel", true, true, true, false, false, true},
        {"during an update, server offline: still cancel", true, false, true, false, false, true},
        {"after a failed run: check again",
         true,
         true,
         false,
         false,
         true,
         false,
         {TaskKind::ClientUpdate, OutcomeTone::Warning}},
        {"after a cancelled run: check again",
         true,
         true,
         false,
         false,
         true,
         false,
         {TaskKind::ClientUpdate, OutcomeTone::Neutral}},
        {"after a failed Play: play again",
         true,
         true,
         false,
         true,
         false,
         false,
         {TaskKind::Play, OutcomeTone::Warning}},
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

TEST_P(UiFrame, SettingsButtonAndNavigationSelectPages) {
    UiHarness h(GetParam());
    h.frame();
    EXPECT_EQ(h.ui.activePage, ActivePage::Home);
    h.click(309.0f + 57.0f, 462.0f + 21.0f);  // the Home page's SETTINGS button
    EXPECT_EQ(h.ui.activePage, ActivePage::Settings);
    h.click(kNavX, kNavHomeY);
    EXPECT_EQ(h.ui.activePage, ActivePage::Home);
    h.click(kNavX, kNavNewsY);
    EXPECT_EQ(h.ui.activePage, ActivePage::News);
    h.click(kNavX, kNavSettingsY);
    EXPECT_EQ(h.ui.activePage, ActivePage::Settings);
    h.click(kNavX, 164.0f);  // between the buttons nothing is hit
    EXPECT_EQ(h.ui.activePage, ActivePage::Settings);
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

TEST_P(UiFrame, WindowButtonsFollowTheDisplayWidth) {
    for (const ImVec2 display : {ImVec2(1280.0f, 760.0f), ImVec2(1600.0f, 900.0f)}) {
        UiHarness h(GetParam(), display);
        h.click(1280.0f - 24.0f, 30.0f);
        EXPECT_EQ(h.ui.requestClose, display.x == 1280.0f);
        h.click(display.x - 60.0f, 30.0f);
        EXPECT_TRUE(h.ui.requestMinimize);
        h.click(display.x - 24.0f, 30.0f);
        EXPECT_TRUE(h.ui.requestClose);
    }
}

TEST_P(UiFrame, HandCursorOverEveryLink) {
    for (const ImVec2 display : {ImVec2(1280.0f, 760.0f), ImVec2(1600.0f, 900.0f)}) {
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

INSTANTIATE_TEST_SUITE_P(Ui, UiFrame, testing::Values(FontMode::Null, FontMode::Real),
                         [](const testing::TestParamInfo<FontMode>& param) {
                             return param.param == FontMode::Real ? "RealFonts" : "NullFonts";
                         });

}  // namespace
