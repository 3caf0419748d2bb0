#pragma once
// Interface state kept across frames; owned by the shell, handed to the frame composer.
#include <imgui.h>

#include <array>
#include <cfloat>
#include <cstdint>
#include <vector>

#include "live/live.h"

namespace qs {

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

// Something Tab can reach, as the frame met it: buttons in the order HitButton ran, then fields.
struct FocusItem {
    ImGuiID id = 0;
    ImVec2 min{}, max{};   // on screen, for the ring
    bool trapped = false;  // inside a dialog that keeps the keyboard while it is open
};

// The keyboard focus: our own model rather than ImGui's nav, so the order is exactly the order
// in which the page submits its hit areas.
struct KeyboardFocus {
    ImGuiID focused = 0;    // 0: nothing yet
    int focusedIndex = -1;  // its place in `order`, for when it disappears (e.g. SAVE after a save)
    bool ringVisible = false;                // a key was used since the mouse last was
    ImVec2 lastPointer{-FLT_MAX, -FLT_MAX};  // where the mouse was last frame
    std::vector<FocusItem> order;            // last frame's items
    std::vector<FocusItem> current;          // this frame's, as they are met
    ImGuiID activate = 0;                    // pressed from the keyboard this frame
    bool moved = false;                      // the keyboard moved the focus this frame
    bool escape = false;                     // Escape this frame
    int trapDepth = 0;                       // inside a dialog's buttons while drawing
};

struct UiState {
    // The display's scale factor: every position, size and font of the pages is multiplied by it.
    float scale = 1.0f;
    // io.KeysDown indices of the digit keys 1, 2 and 3 (the backends number keys differently);
    // -1 leaves Ctrl+digit unused.
    std::array<int, 3> pageKeys{-1, -1, -1};
    KeyboardFocus focus;
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
    bool requestOpenLogFolder = false;  // Settings: the file manager on the launcher's data folder
};

}  // namespace qs
