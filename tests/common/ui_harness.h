#pragma once
// A Dear ImGui context with no window: frames are run by hand, the mouse is simulated, and the
// frame composer (or any page) is driven as the shell drives it.
#include <imgui.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "app/state.h"
#include "live/status_poller.h"
#include "scratch.h"
#include "ui/ui_state.h"

using namespace qs;

// Null: no fonts at all; Default: ImGui's built-in face in every role (known metrics);
// Real: the launcher's embedded fonts.
enum class FontMode { Null, Default, Real };
inline void PrintTo(FontMode mode, std::ostream* out) {
    *out << (mode == FontMode::Null   ? "no fonts"
             : mode == FontMode::Real ? "real fonts"
                                      : "default");
}

// Data and config homes in a scratch folder, so the client folder and the settings file never
// touch the real user's; the settings in memory start from their defaults. Windows takes the
// folders from the shell, not from the environment: there the launcher's own folders are used,
// emptied before and after, one test program at a time, and only under Wine (whose prefix is
// thrown away after the run); elsewhere construction throws rather than touch a player's files.
class ScratchHomes {
public:
    ScratchHomes();
    ~ScratchHomes();
    ScratchHomes(const ScratchHomes&) = delete;
    ScratchHomes& operator=(const ScratchHomes&) = delete;
    const std::filesystem::path& root() const { return root_.path(); }
    std::filesystem::path clientFolder() const;
    std::filesystem::path settingsFile() const;
    void installClient() const {
        WriteFile(clientFolder() / "Quillon Saga.exe", "client");
        WriteFile(clientFolder() / "data" / "world.pak", "pak");
    }

private:
    TempFolder root_;
#ifdef _WIN32
    void* exclusive_ = nullptr;  // a named mutex held for the guard's lifetime
#else
    ScopedEnv data_{"XDG_DATA_HOME", (root() / "data").string()};
    ScopedEnv config_{"XDG_CONFIG_HOME", (root() / "config").string()};
#endif
};

// A status poller fed by a canned body instead of the network, registered as the current one.
class FakeServer {
public:
    explicit FakeServer(bool online, int players = 0);
    ~FakeServer() { SetCurrentStatusPoller(nullptr); }
    void set(bool online, int players = 0);

private:
    std::string body_;
    std::unique_ptr<StatusPoller> poller_;
};

class UiHarness {
public:
    // `displaySize` in design units; the display itself is that times `scale`.
    explicit UiHarness(FontMode fonts, ImVec2 displaySize = ImVec2(1280.0f, 760.0f),
                       float scale = 1.0f);
    ~UiHarness();
    UiHarness(const UiHarness&) = delete;
    UiHarness& operator=(const UiHarness&) = delete;

    // One frame of the composer; the per-frame requests are cleared first, as the main loop does.
    void frame();
    // One frame that runs `body` inside a full-size window instead of the composer.
    void frameWith(const std::function<void()>& body);
    void moveTo(float x, float y);
    // Hover, press and release over (x, y): three frames; the press lands on the release.
    void click(float x, float y);
    void clickWith(float x, float y, const std::function<void()>& body);
    // Press and release of a key in two frames: Tab, Enter, Space, Escape...
    void pressKey(ImGuiKey key, bool shift = false);
    // Ctrl and the digit 1, 2 or 3.
    void pressPageKey(int digit);
    // Where the keyboard focus is, by the id a HitButton was given ("##play"); 0 for none.
    ImGuiID idOf(const char* id) const;
    // The ids of last frame's focus order.
    std::vector<ImGuiID> focusOrder() const;

    UiState ui;
    LauncherState state;
    ImGuiMouseCursor lastCursor = ImGuiMouseCursor_Arrow;
    ImFont* font = nullptr;  // the built-in face in FontMode::Default

private:
    void pressAt(float x, float y, const std::function<void()>& runFrame);
    void keyFrames(int keyIndex, bool shift, bool ctrl);
    ImGuiContext* context_ = nullptr;
    int framesRun_ = 0;
};
