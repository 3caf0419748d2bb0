#pragma once
// The steps of start-up, one frame and shutdown that every window shell shares; the shell
// supplies its window, GPU and ImGui backends.
#include <chrono>
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

// What the title strip's buttons do to the window.
struct WindowActions {
    std::function<void()> minimize;
    std::function<void()> close;
};

// After presentation: the window buttons, then the client update, Play and launcher update.
void ActOnRequests(UiState& ui, LauncherState& state, const WindowActions& window);

using FrameClock = std::chrono::steady_clock;

// Sleeps out the rest of MinimumFrameMilliseconds for a frame begun at `frameStart`.
void PaceFrame(FrameClock::time_point frameStart, bool vsyncActive, bool minimized);
