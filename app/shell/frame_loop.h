#pragma once
// The steps of start-up, one frame and shutdown that every window shell shares; the shell
// supplies its window, GPU and ImGui backends.
#include <chrono>
#include <filesystem>
#include <functional>

#include "ui/theme.h"

struct LauncherState;
struct UiState;

// The ImGui context with the launcher's style, fonts and images, before the backends start.
void CreateLauncherInterface(const TextureUploader& upload);
// After the backends have shut down: the context, then every image.
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
