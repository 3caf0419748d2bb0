#include "shell/frame_loop.h"

#include <imgui.h>

#include <cstdlib>
#include <thread>

#include "app/settings.h"
#include "app/state.h"
#include "net/client_location.h"
#include "net/service.h"
#include "platform/folders.h"
#include "platform/host_system.h"
#include "platform/launcher_log.h"
#include "platform/process.h"
#include "resources/resources.h"
#include "selfupdate/launcher_update.h"
#include "shell/window_rules.h"
#include "ui/pages.h"
#include "ui/ui_state.h"

namespace qs {

namespace {

// Shared with the context, which does not own it: it must outlive the context.
std::unique_ptr<ImFontAtlas> g_atlas;

std::unique_ptr<ImFontAtlas> BuildAtlas(float scale) {
    auto atlas = std::make_unique<ImFontAtlas>();
    LoadUiFonts(*atlas, FindResourceData, SystemFontCandidates(), scale);
    unsigned char* pixels = nullptr;
    int width = 0, height = 0;
    atlas->GetTexDataAsRGBA32(&pixels, &width, &height);  // what the renderer will ask for
    return atlas;
}

}  // namespace

InterfaceAssets::InterfaceAssets(float scale)
    : atlas_(std::async(std::launch::async, BuildAtlas, scale)) {}

InterfaceAssets::~InterfaceAssets() {
    if (atlas_.valid())
        atlas_.wait();
    if (images_.valid())
        images_.wait();
}

std::unique_ptr<ImFontAtlas> InterfaceAssets::takeAtlas() {
    return atlas_.get();
}

void InterfaceAssets::afterFrame(const TextureUploader& upload) {
    if (!imagesStarted_) {
        imagesStarted_ = true;
        images_ = std::async(std::launch::async, [] { return DecodeUiImages(FindResourceData); });
        return;
    }
    if (!images_.valid() || images_.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        return;
    DecodedUiImages images = images_.get();
    UploadUiImages(images, upload);
}

void CreateLauncherInterface(InterfaceAssets& assets, float scale) {
    IMGUI_CHECKVERSION();
    g_atlas = assets.takeAtlas();
    ImGui::CreateContext(g_atlas.get());
    // The window has no ImGui windows worth remembering; never write "imgui.ini" into
    // whatever folder the launcher was started from.
    ImGui::GetIO().IniFilename = nullptr;
    ApplyLauncherStyle(scale);
}

void RescaleLauncherInterface(float scale) {
    ImFontAtlas& atlas = *ImGui::GetIO().Fonts;
    atlas.Clear();
    LoadUiFonts(atlas, FindResourceData, SystemFontCandidates(), scale);
    unsigned char* pixels = nullptr;
    int width = 0, height = 0;
    atlas.GetTexDataAsRGBA32(&pixels, &width, &height);
    ApplyLauncherStyle(scale);
}

void DestroyLauncherInterface(const std::function<void(ImTextureID)>& release) {
    ImGui::DestroyContext();
    g_atlas.reset();
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
    if (ui.requestOpenLogFolder) {
        ui.requestOpenLogFolder = false;
        OpenWithDesktop(LogPath(LauncherDataFolder()));
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

void StartLog() {
    StartLauncherLog(LauncherDataFolder());
    const ServiceEndpoint& service = BuiltInService();
    LogEvent(std::string("launcher ") + LauncherVersion + " started on " +
             (kHostSystem == HostSystem::Windows ? "Windows" : "Linux") + ", service " +
             service.host + ":" + std::to_string(service.port) +
             (service.updateKey.empty() ? ", updates unsigned" : ", updates signed"));
}

void StopLog() {
    LogEvent("launcher closed");
    StopLauncherLog();
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

}  // namespace qs
