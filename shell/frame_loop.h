#pragma once
// The steps of start-up, one frame and shutdown that every window shell shares; the shell
// supplies its window, GPU and ImGui backends.
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>

#include "ui/theme.h"

namespace qs {

struct LauncherState;
struct UiState;

// The start-up work that needs neither a window nor an ImGui context, on worker threads: the font
// atlas, begun as soon as the display's scale is known so that it is built while the window and
// the GPU come up; and the images, decoded once the first frame is on screen (it does not wait for
// them, and on two cores they would only slow the window's set-up).
class InterfaceAssets {
public:
    explicit InterfaceAssets(float scale);
    ~InterfaceAssets();
    InterfaceAssets(const InterfaceAssets&) = delete;
    InterfaceAssets& operator=(const InterfaceAssets&) = delete;

    // Waits for the atlas (the first frame needs its text).
    std::unique_ptr<ImFontAtlas> takeAtlas();
    // After each presented frame: the first call starts decoding the images, a later one uploads
    // them once decoded. Never waits.
    void afterFrame(const TextureUploader& upload);

private:
    std::future<std::unique_ptr<ImFontAtlas>> atlas_;
    std::future<DecodedUiImages> images_;
    bool imagesStarted_ = false;
};

// The ImGui context on the prepared atlas, with the launcher's style at `scale`, before the
// backends start. No ImGui context may exist before this while the atlas is being built.
void CreateLauncherInterface(InterfaceAssets& assets, float scale);
// Fonts rasterised and style sized for a new display scale, between two frames; the shell then
// makes its font texture again.
void RescaleLauncherInterface(float scale);
// After the backends have shut down: the context, the atlas, then every image.
void DestroyLauncherInterface(const std::function<void(ImTextureID)>& release);

// Clears the requests, snapshots the status, lets the backends begin their frame, then builds
// and finishes the interface (ImGui::Render); the shell draws and presents the result.
// `beforeDrawing`, when given, runs right after ImGui::NewFrame.
void BuildLauncherFrame(UiState& ui, LauncherState& state,
                        const std::function<void()>& beginBackendFrame,
                        const std::function<void()>& beforeDrawing = {});

// What the title strip's buttons, and a second start of the launcher, do to the window.
struct WindowActions {
    std::function<void()> minimize;
    std::function<void()> close;
    std::function<void()> show;  // restore, raise and focus
};

// Where the one-launcher-per-user lock lives: the user's runtime folder, else the launcher's
// data folder, else the temporary folder.
std::filesystem::path InstanceLockFolder();
inline constexpr char kInstanceName[] = "QuillonSagaLauncher";

// The log in the launcher's data folder, begun with which launcher this is and for which
// service, and ended with the close once the running task has ended.
void StartLog();
void StopLog();

// Shutdown, once the window is gone: cancels the running task, and ends the process after `limit`
// whatever still runs. Every client file is old or
// new at every instant, so ending there loses at most a partial download.
void BeginShutdown(LauncherState& state, std::chrono::milliseconds limit);
// Well inside the five seconds a player may wait for the process to go after closing the window.
inline constexpr std::chrono::milliseconds kShutdownLimit{4000};

// After presentation: the window buttons, then the client update, Play and launcher update.
void ActOnRequests(UiState& ui, LauncherState& state, const WindowActions& window);

using FrameClock = std::chrono::steady_clock;

// Sleeps out the rest of MinimumFrameMilliseconds for a frame begun at `frameStart`.
void PaceFrame(FrameClock::time_point frameStart, bool vsyncActive, bool minimized);

}  // namespace qs
