#include "ui/ui_logic.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <tuple>

#include "platform/launcher_log.h"
#include "platform/wide_text.h"
#include "ui/links.h"
#include "ui/widgets.h"

using namespace qs;

namespace {

using namespace palette;

struct PlayRow {
    bool updating, clientReady, online, hovered;
    const char* label;
    ImU32 fill, icon, text;
};

TEST(UiPlayButton, RowsInOrderOfPrecedence) {
    const PlayRow rows[] = {
        {true, false, true, false, "CANCEL", kAccentVioletBusy, kWhite, kWhite},
        {true, true, false, false, "CANCEL", kAccentVioletBusy, kWhite, kWhite},
        {true, false, true, true, "CANCEL", kAccentViolet, kWhite, kWhite},
        {true, false, false, true, "CANCEL", kAccentViolet, kWhite, kWhite},
        {false, true, true, false, "PLAY NOW", kAccentViolet, kWhite, kWhite},
        {false, true, true, true, "PLAY NOW", kLightViolet, kWhite, kWhite},
        {false, true, false, true, "SERVER OFFLINE", kOfflineFill, kOfflineIcon, kOfflineLabel},
        {false, false, true, false, "CHECK FOR UPDATES", kAccentViolet, kWhite, kWhite},
        {false, false, false, false, "SERVER OFFLINE", kOfflineFill, kOfflineIcon, kOfflineLabel},
    };
    for (const PlayRow& row : rows) {
        SCOPED_TRACE(testing::Message()
                     << row.updating << row.clientReady << row.online << row.hovered);
        const PlayButtonLook look =
            ChoosePlayButton(row.updating, row.clientReady, row.online, row.hovered);
        EXPECT_STREQ(look.label, row.label);
        EXPECT_EQ(look.fill, row.fill);
        EXPECT_EQ(look.iconColour, row.icon);
        EXPECT_EQ(look.labelColour, row.text);
    }
}

TEST(UiProgress, UpdatingDownloadBoxAndRing) {
    struct Row {
        std::int32_t index, count;
        bool updating;
    } rows[] = {{0, 0, false}, {3, 12, true},  {12, 12, false}, {13, 12, false},
                {0, 1, true},  {0, -1, false}, {-1, 5, true}};
    for (const Row& row : rows) {
        EXPECT_EQ(IsUpdating(row.index, row.count), row.updating) << row.index << "/" << row.count;
        EXPECT_EQ(ShowDownloadBox(row.index, row.count), row.updating)
            << row.index << "/" << row.count;
    }
    EXPECT_FLOAT_EQ(DownloadFraction(12, 40), 0.3f);
    EXPECT_EQ(DownloadFraction(5, 0), 0.0f);
    EXPECT_EQ(RingSegmentCount(0.3f), 9);  // 30 % of the ring
    EXPECT_EQ(RingSegmentCount(0.02f), 2);
    EXPECT_EQ(RingSegmentCount(39.0f / 40.0f), 31);
}

TEST(UiServerPill, Texts) {
    const std::tuple<bool, std::int32_t, const char*> rows[] = {
        {false, 250, "OFFLINE"},
        {true, 0, "ONLINE"},
        {true, -3, "ONLINE"},
        {true, 1, "ONLINE 1"},
        {true, 2147483647, "ONLINE 2147483647"}};
    for (const auto& [online, players, text] : rows) {
        ServerStatus status;
        status.online = online;
        status.players = players;
        EXPECT_EQ(ServerPillText(status), text);
    }
}

TEST(UiDownloadDetail, ShortensAfterThePrefix) {
    const std::string twentyFour = "data/maps/zone_0001.pak1";
    const std::string twentyFive = "data/maps/zone_0001.pak12";
    ASSERT_EQ(twentyFour.size(), 24u);
    struct Row {
        std::string status, detail;
    } rows[] = {
        {"Downloading " + twentyFour, twentyFour},
        {"Downloading " + twentyFive, "data/maps/zone_0001.p..."},
        {"Checking for updates...", "Checking for updates..."},
        {"Downloading ", ""},
        {"downloading a.pak", "downloading a.pak"},  // the prefix is matched exactly
        {"", ""},
        {"Update complete.", "Update complete."},
        // 25 characters, 30 bytes: cut by characters, never inside one.
        {"Downloading \xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9" + std::string(20, 'x'),
         "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9" + std::string(16, 'x') + "..."},
        {"Downloading \xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9" + std::string(20, 'x'),
         "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9" + std::string(20, 'x')},
    };
    for (const Row& row : rows)
        EXPECT_EQ(DownloadDetailText(row.status), row.detail) << row.status;
}

TEST(UiAnimation, RatesAndLevels) {
    EXPECT_FLOAT_EQ(AnimationRate(1.0f / 60.0f, 12.0f), 0.2f);
    EXPECT_EQ(AnimationRate(0.5f, 12.0f), 1.0f);  // a long frame never overshoots
    EXPECT_EQ(AnimationRate(0.0f, 12.0f), 0.0f);
    EXPECT_EQ(AnimationRate(std::nanf(""), 12.0f), 0.0f);
    EXPECT_EQ(ApproachLevel(0.0f, 1.0f, AnimationRate(2.0f, 12.0f)), 1.0f);
    struct {
        float level;
        int full, alpha;
    } alphas[] = {{-0.5f, 250, 0}, {0.5f, 250, 125}, {0.999f, 255, 254}, {1.7f, 55, 55}};
    for (const auto& row : alphas)
        EXPECT_EQ(LevelAlpha(row.level, row.full), row.alpha) << row.level;
    struct {
        float selection, hover;
        int alpha;
    } fills[] = {
        {1.0f, 0.0f, 28}, {0.5f, 1.0f, 14}, {0.005f, 0.0f, 0}, {0.0f, 0.5f, 7}, {0.0f, 0.004f, 0}};
    for (const auto& row : fills)
        EXPECT_EQ(NavFillAlpha(row.selection, row.hover), row.alpha);
}

TEST(UiLinks, OnlyWebAddressesOpen) {
    for (const char* url :
         {"https://quillonsaga.example/discord", "HTTPS://QUILLONSAGA.EXAMPLE", "hTtP://x",
          "HTTPS://Quillonsaga.example/a?b=c#d", "https://example.com/caf\xC3\xA9"})
        EXPECT_TRUE(IsWebAddress(url)) << url;
    // Refused before any opener runs.
    for (const char* url :
         {"https://", "", "FILE:///etc/passwd", "javascript:alert(1)", "steam://run/1",
          "https:/quillonsaga.example", "https:///etc/passwd", " https://quillonsaga.example",
          "httpsx://quillonsaga.example", "/usr/bin/xterm", "--help", "https://example.com/a b",
          "https://example.com/\nfile:///x", "https://example.com/\x7F", "https://example.com/\xFF",
          "https://example.com/\xC3"}) {
        EXPECT_FALSE(IsWebAddress(url)) << url;
        EXPECT_FALSE(OpenWebAddress(url)) << url;
    }
}

TEST(UiLinks, AddressesLiveOnTheServiceHost) {
    EXPECT_EQ(CommunityInviteUrl(ServiceEndpoint{"launcher.quillonsaga.example", 443, ""}),
              "https://launcher.quillonsaga.example/discord");
    EXPECT_EQ(TrailerUrl(ServiceEndpoint{"localhost", 8443, ""}), "https://localhost:8443/trailer");
    EXPECT_TRUE(IsWebAddress(WebSiteUrl()));
}

TEST(UiTextBuffer, CopyTruncatedKeepsWholeCharacters) {
    struct Row {
        std::string text;
        std::size_t capacity;
        std::string copied;
    } rows[] = {
        {"abcdef", 4, "abc"},
        {"abcd\xC3\xA9", 6, "abcd"},        // the limit would split the two-byte letter
        {"abc\xC3\xA9", 6, "abc\xC3\xA9"},  // exactly fits
        {"ab\xE2\x80\x94z", 5, "ab"},       // a three-byte dash cut after its second byte
        {"ab\xF0\x9F\x98\x80", 6, "ab"},    // a four-byte sequence
        {"abc", 1, ""},
    };
    for (const Row& row : rows) {
        char buffer[16];
        std::memset(buffer, 'Z', sizeof buffer);
        CopyTruncated(buffer, row.capacity, row.text);
        EXPECT_EQ(std::string(buffer), row.copied);
    }
    std::string path(600, 'p');
    std::array<char, 512> field{};
    CopyTruncated(field.data(), field.size(), path);
    EXPECT_EQ(std::strlen(field.data()), 511u);
}

TEST(UiLerpColor, ChannelsInterpolateWithSignedDifferences) {
    struct Row {
        ImU32 a, b;
        float t;
        ImU32 result;
    } rows[] = {
        {IM_COL32(10, 20, 30, 40), IM_COL32(200, 100, 0, 255), -2.0f, IM_COL32(10, 20, 30, 40)},
        {IM_COL32(10, 20, 30, 40), IM_COL32(200, 100, 0, 255), 1.0f, IM_COL32(200, 100, 0, 255)},
        {IM_COL32(255, 255, 255, 255), IM_COL32(0, 0, 0, 0), 0.5f, IM_COL32(128, 128, 128, 128)},
    };
    for (const Row& row : rows)
        EXPECT_EQ(LerpColor(row.a, row.b, row.t), row.result) << row.t;
}

TEST(UiSanitizeText, Table) {
    struct Row {
        std::string in, out;
    } rows[] = {
        {"tab\tand\nline", "tab\tand\nline"},
        {"crlf\r\nend", "crlf\nend"},
        {std::string("nul\0byte\x07\x1B\x7F", 11), "nulbyte"},
        {"\xE2\x80\x98q\xE2\x80\x99 \xE2\x80\x9Cquoted\xE2\x80\x9D", "'q' \"quoted\""},
        {"a \xE2\x80\x93 b\xE2\x80\x94", "a - b-"},
        {"wait\xE2\x80\xA6 \xE2\x80\xA2", "wait... -"},
        {"x\xC2\xB7y\xC2\xA0z", "x-y z"},
        {"\xE2\x89\x88x", " x"},
        {"win \xF0\x9F\x8F\x86!", "win !"},  // emoji gone without a trace
        {"caf\xC3\xA9", "caf"},              // other letters dropped whole
        {"end\xE2\x80", "end"},              // truncated three-byte sequence
        {"\x80\xBFok", "ok"},                // stray continuation bytes
        {"\xF0\x9F\x98", ""},                // four-byte lead with too few bytes left
        {"", ""},
    };
    for (const Row& row : rows)
        EXPECT_EQ(SanitizeUiText(row.in), row.out) << testing::PrintToString(row.in);
}

// The click chime: a WAV that SDL can load (16-bit mono PCM at 44.1 kHz), silent at the start
// and after the last voice ends at 0.3 s, clearly audible in between, the same every time.
TEST(UiClickChime, IsAPlayableWaveOfTheRightShape) {
    const std::vector<std::uint8_t> wave = BuildClickSoundWave();
    ASSERT_EQ(wave.size(), 44u + 2u * kClickSoundSampleCount);
    const auto u32 = [&](std::size_t at) {
        return std::uint32_t(wave[at]) | wave[at + 1] << 8 | wave[at + 2] << 16 |
               std::uint32_t(wave[at + 3]) << 24;
    };
    const auto sample = [&](int n) {
        return int(
            std::int16_t(wave[44 + 2 * std::size_t(n)] | wave[45 + 2 * std::size_t(n)] << 8));
    };
    EXPECT_EQ(std::string(wave.begin(), wave.begin() + 4), "RIFF");
    EXPECT_EQ(u32(4), wave.size() - 8);
    EXPECT_EQ(std::string(wave.begin() + 8, wave.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(u32(16), 16u);
    EXPECT_EQ(u32(20), 0x10001u);  // PCM, mono
    EXPECT_EQ(u32(24), 44100u);
    EXPECT_EQ(u32(28), 88200u);
    EXPECT_EQ(u32(32), 0x100002u);  // 2-byte frames of 16 bits
    EXPECT_EQ(std::string(wave.begin() + 36, wave.begin() + 40), "data");
    EXPECT_EQ(u32(40), wave.size() - 44);
    EXPECT_EQ(sample(0), 0);
    int peak = 0;
    for (int n = 2000; n < 2600; ++n)
        peak = std::max(peak, std::abs(sample(n)));
    EXPECT_GT(peak, 1000);
    for (int n = 13240; n < kClickSoundSampleCount; ++n)
        ASSERT_EQ(sample(n), 0) << n;
    EXPECT_EQ(BuildClickSoundWave(), wave);
}

}  // namespace

TEST(UiProgress, SpeedTimeAndAmountsAsAPlayerReadsThem) {
    EXPECT_EQ(SpeedText(0.0), "");
    EXPECT_EQ(SpeedText(500.0), "1 KB/s");
    EXPECT_EQ(SpeedText(850.0 * 1024), "850 KB/s");
    EXPECT_EQ(SpeedText(12.4 * 1024 * 1024), "12.4 MB/s");
    const std::pair<double, const char*> times[] = {
        {-1, ""},           {0.2, "1 s left"},   {44.1, "45 s left"},
        {61, "2 min left"}, {180, "3 min left"}, {3900, "1 h 5 min left"}};
    for (const auto& [seconds, text] : times)
        EXPECT_EQ(TimeLeftText(seconds), text) << seconds;

    const double mb = 1024.0 * 1024.0;
    TransferRate rate{0.0, 0, 12.4 * mb};
    const ByteProgress bytes{static_cast<std::uint64_t>(1.2 * 1024 * mb),
                             static_cast<std::uint64_t>(4.8 * 1024 * mb), 0, 0.25};
    EXPECT_EQ(HomeProgressText(2, 9, bytes, rate),
              "1.2 of 4.8 GB \xC2\xB7 12.4 MB/s \xC2\xB7 5 min left");
    EXPECT_EQ(DownloadBoxDetail("Downloading data/a.pak", bytes, rate),
              "12.4 MB/s \xC2\xB7 5 min left");
    EXPECT_EQ(DownloadBoxDetail("Retrying (2 of 3)\xE2\x80\xA6", bytes, rate),
              "Retrying (2 of 3)\xE2\x80\xA6");
    // Before any speed is known, and without published sizes.
    EXPECT_EQ(DownloadBoxDetail("Downloading data/a.pak", bytes, TransferRate{}), "data/a.pak");
    EXPECT_EQ(HomeProgressText(2, 9, ByteProgress{3 << 20, 0, 0, 0}, TransferRate{}),
              "file 3 of 9 \xC2\xB7 3.0 MB");
    EXPECT_FLOAT_EQ(DownloadRingFraction(3, 12, ByteProgress{}), 0.25f);
    EXPECT_FLOAT_EQ(DownloadRingFraction(3, 12, bytes), 0.25f);
    // A patch: most of the bytes come from the old copy; what is left is what is fetched.
    const ByteProgress patch{static_cast<std::uint64_t>(4 * 1024 * mb - 38 * mb),
                             static_cast<std::uint64_t>(4 * 1024 * mb), 0, 0.99,
                             static_cast<std::uint64_t>(4 * 1024 * mb - 40 * mb)};
    EXPECT_EQ(HomeProgressText(0, 1, patch, rate),
              "4.0 GB \xE2\x80\x94 38.0 MB to download \xC2\xB7 12.4 MB/s \xC2\xB7 4 s left");
}

// Sampled twice a second, smoothed, and started afresh by a new run.
TEST(UiProgress, RateIsSmoothedAndRestartsWithANewRun) {
    TransferRate rate;
    UpdateTransferRate(rate, 0.0, 0);
    UpdateTransferRate(rate, 0.2, 500'000);  // too soon to sample
    EXPECT_EQ(rate.bytesPerSecond, 0.0);
    UpdateTransferRate(rate, 1.0, 1'000'000);
    EXPECT_DOUBLE_EQ(rate.bytesPerSecond, 1'000'000.0);
    UpdateTransferRate(rate, 2.0, 4'000'000);  // a burst of 3 MB/s moves it only part-way
    EXPECT_GT(rate.bytesPerSecond, 1'200'000.0);
    EXPECT_LT(rate.bytesPerSecond, 2'000'000.0);
    UpdateTransferRate(rate, 3.0, 1000);  // a new run
    EXPECT_EQ(rate.bytesPerSecond, 0.0);
}

TEST(UiOutcome, WhatARunOrPlayLeavesOnScreen) {
    using enum RunOutcome;
    const std::tuple<TaskKind, RunOutcome, OutcomeTone> finals[] = {
        {TaskKind::ClientUpdate, Ready, OutcomeTone::Success},
        {TaskKind::ClientUpdate, Cancelled, OutcomeTone::Neutral},
        {TaskKind::ClientUpdate, Failed, OutcomeTone::Warning},
        {TaskKind::LauncherUpdate, UpToDate, OutcomeTone::Success},
        {TaskKind::LauncherUpdate, InstallerStarted, OutcomeTone::Success},
        {TaskKind::LauncherUpdate, Cancelled, OutcomeTone::Warning},
        {TaskKind::LauncherUpdate, Failed, OutcomeTone::Warning},
    };
    for (const auto& [kind, ended, tone] : finals)
        EXPECT_EQ(OutcomeOf(kind, ended).tone, tone) << static_cast<int>(ended);
    const ActionOutcome failedRun{TaskKind::ClientUpdate, OutcomeTone::Warning};
    EXPECT_TRUE(ShowsOnHome(failedRun, TaskKind::None));
    EXPECT_FALSE(ShowsOnHome({TaskKind::LauncherUpdate, OutcomeTone::Warning}, TaskKind::None));
    EXPECT_EQ(OutcomeColour(OutcomeTone::Warning), palette::kWarning);
    // A failed run says where its log is; a success, a cancel or a failed Play does not.
    const std::filesystem::path data = std::filesystem::path("home") / "QuillonSagaLauncher";
    EXPECT_EQ(LogLocationLine(failedRun, data), "Details: " + LogPath(data / "launcher.log"));
    EXPECT_EQ(LogLocationLine({TaskKind::ClientUpdate, OutcomeTone::Success}, data), "");
    EXPECT_EQ(LogLocationLine({TaskKind::Play, OutcomeTone::Warning}, data), "");
    EXPECT_EQ(LogLocationLine(failedRun, {}), "");
}

// PLAY NOW stays for a client that was whole before a run that changed nothing.
TEST(UiOutcome, ClientReadyAfterEachKindOfRun) {
    using enum TaskKind;
    using enum OutcomeTone;
    const struct {
        const char* name;
        bool present, updating;
        ActionOutcome outcome;
        bool ready;
    } rows[] = {
        {"nothing ran yet", true, false, {}, true},
        {"no client", false, false, {}, false},
        {"no client, run left it as it was", false, false, {ClientUpdate, Warning, true}, false},
        {"files coming in", true, true, {}, false},
        {"run ended ready", true, false, {ClientUpdate, Success}, true},
        {"run failed after placing files", true, false, {ClientUpdate, Warning}, false},
        {"run cancelled after placing files", true, false, {ClientUpdate, Neutral}, false},
        {"service unreachable, whole before", true, false, {ClientUpdate, Warning, true}, true},
        {"cancelled before placing, whole before",
         true,
         false,
         {ClientUpdate, Neutral, true},
         true},
        {"Play failed", true, false, {Play, Warning}, true},
    };
    for (const auto& row : rows)
        EXPECT_EQ(ClientReady(row.present, row.updating, row.outcome), row.ready) << row.name;
}

// Focus steps over last frame's order; ids 1, 2, 3 stand for three items.
TEST(UiKeyboardFocus, TabStepsWrapsResumesAndStaysInADialog) {
    const auto item = [](ImGuiID id, bool trapped = false) {
        return FocusItem{id, ImVec2(), ImVec2(), trapped};
    };
    const std::vector<FocusItem> plain{item(1), item(2), item(3)};
    const std::vector<FocusItem> dialog{item(1), item(2, true), item(3, true)};
    const struct {
        const char* name;
        std::vector<FocusItem> order;
        ImGuiID focused;
        int focusedIndex;
        bool shift;
        ImGuiID expected;
    } cases[] = {
        {"next", plain, 2, 1, false, 3},
        {"previous", plain, 2, 1, true, 1},
        {"wraps forward", plain, 3, 2, false, 1},
        {"wraps back", plain, 1, 0, true, 3},
        {"from nothing: the first", plain, 0, -1, false, 1},
        {"from nothing back: the last", plain, 0, -1, true, 3},
        {"vanished: resumes at its place", {item(1), item(3)}, 2, 1, false, 3},
        {"vanished, back: the one before", {item(1), item(3)}, 2, 1, true, 1},
        {"a dialog keeps the keyboard", dialog, 1, 0, false, 2},
        {"and wraps inside", dialog, 3, 2, false, 2},
    };
    for (const auto& c : cases) {
        KeyboardFocus focus;
        focus.order = c.order;
        focus.focused = c.focused;
        focus.focusedIndex = c.focusedIndex;
        KeyPresses keys;
        keys.tab = true;
        keys.shift = c.shift;
        ApplyKeys(focus, keys);
        EXPECT_EQ(focus.focused, c.expected) << c.name;
        EXPECT_TRUE(focus.moved && focus.ringVisible) << c.name;
    }
}

// The mouse hiding the ring: UiKeyboard.EnterAndSpaceActivateAndTheRingFollowsTheLastInput.
TEST(UiKeyboardFocus, KeysShowTheRingAndEnterNamesTheItemForOneFrame) {
    KeyboardFocus focus;
    focus.focused = 7;
    KeyPresses activate;
    activate.activate = true;
    ApplyKeys(focus, activate);
    EXPECT_EQ(focus.activate, 7u);
    EXPECT_TRUE(focus.ringVisible);
    ApplyKeys(focus, KeyPresses{});  // one frame only
    EXPECT_EQ(focus.activate, 0u);
    EXPECT_TRUE(focus.ringVisible);

    // After the frame its items are the order, and the ring finds the focused one there.
    focus.current = {FocusItem{3}, FocusItem{7}};
    const FocusItem* ring = FinishFocusFrame(focus);
    ASSERT_NE(ring, nullptr);
    EXPECT_EQ(ring->id, 7u);
    EXPECT_EQ(focus.focusedIndex, 1);
    EXPECT_TRUE(focus.current.empty());
}
