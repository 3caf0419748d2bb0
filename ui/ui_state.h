#pragma once
// Interface state kept across frames; owned by the shell, handed to the frame composer.
#include <array>
#include <cstdint>

#include "live/live.h"

enum class ActivePage { Home, News, Settings };

// The smoothed download speed; see UpdateTransferRate.
struct TransferRate {
    double sampleTime = -1.0;
    std::uint64_t sampleBytes = 0;
    double bytesPerSecond = 0.0;
};

struct SidebarAnimation {
    float indicatorY = 0.0f;
    float homeActive = 0.0f, newsActive = 0.0f, settingsActive = 0.0f;
    float homeHover = 0.0f, newsHover = 0.0f, settingsHover = 0.0f;
    float homeTooltip = 0.0f, newsTooltip = 0.0f, settingsTooltip = 0.0f;
    bool initialised = false;
};

struct UiState {
    ActivePage activePage = ActivePage::Home;
    bool firstFrameDone = false;
    std::array<char, 512> gameDirBuffer{};
    std::array<char, 256> statusLine{};
    SidebarAnimation sidebar;
    std::int32_t newsPage = 0;      // News page: 0 or 1
    NewsSnapshot news;              // News page: the list, copied again only when it changes
    TransferRate downloadRate;      // title strip and Home: the speed of the run under way
    bool clearConfirmOpen = false;  // Settings page: the drawn confirmation dialog
    // Window requests raised by the title strip; the shell acts on them.
    bool requestClose = false;
    bool requestMinimize = false;
};
