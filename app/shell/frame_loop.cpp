#include "app/shell/frame_loop.h"

#include <imgui.h>

#include <cstdlib>
#include <thread>

#include "app/settings.h"
#include "app/shell/window_rules.h"
#include "app/state.h"
#include "platform/folders.h"
#include "resources/resources.h"
#include "ui/pages.h"
#include "ui/ui_state.h"
#include "update/client_location.h"

void CreateLauncherInterface(const TextureUploader& upload) {
    IMGUI_CHECKVERSION();
    ImGui::CreateContext();
    // The window has no ImGui windows worth remembering; never write "imgui.ini" into
    // whatever folder the launcher was started from.
    ImGui::GetIO().IniFilename = nullptr;
    ApplyLauncherStyle();
    LoadUiFonts();
    LoadUiTextures(FindResourceData, upload);
}

void DestroyLauncherInterface(const std::function<void(ImTextureID)>& release) {
    ImGui::DestroyContext();
    ReleaseUiTextures(release);
}

void BuildLauncherFrame(UiState& ui, LauncherState& state,
                        const std::function<void()>& beginBackendFrame,
                        const std::function<void()>& beforeDrawing) {
    BeginFrameRequests(state);
    beginBackendFrame();
    ImGui::NewFrame();
    if (beforeDrawing)
        beforeDrawing();
    DrawLauncherFrame(ui, state);
    ImGui::Render();
}

void ActOnRequests(UiState& ui, LauncherState& state, const WindowActions& window) {
    if (ui.requestMinimize) {
        ui.requestMinimize = false;
        window.minimize();
    }
    if (ui.requestClose) {
        ui.requestClose = false;
        window.close();
    }
    const LauncherSettings& settings = CurrentSettings();
    // A running download follows the limit as the player steps it.
    state.speedLimit.store(DownloadLimitBytesPerSecond(settings.downloadLimitMBps));
    ActOnFrameRequests(state, settings.verifyOnStart, settings.closeOnLaunch);
}

std::filesystem::path InstanceLockFolder() {
    if (auto runtime = RuntimeFolder())
        return *runtime;
    if (auto data = LauncherDataFolder(); !data.empty())
        return data;
    return TemporaryFolder();
}

void BeginShutdown(LauncherState& state, std::chrono::milliseconds limit) {
    CancelWork(state);
    try {
        std::thread([limit] {
            std::this_thread::sleep_for(limit);
            std::_Exit(0);
        }).detach();
    } catch (...) {
        // Without the deadline the cancelled work still ends on its own.
    }
}

void PaceFrame(FrameClock::time_point frameStart, bool vsyncActive, bool minimized) {
    const auto wait = std::chrono::milliseconds(MinimumFrameMilliseconds(vsyncActive, minimized)) -
                      (FrameClock::now() - frameStart);
    if (wait >= std::chrono::milliseconds(1))
        std::this_thread::sleep_for(wait);
}
