#include "ui_harness.h"

#include <imgui_internal.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include "app/settings.h"
#include "platform/folders.h"
#include "ui/pages.h"
#include "ui/theme.h"

using namespace qs;

#ifdef _WIN32
namespace {

void RemoveLauncherFolders(const ScratchHomes& homes) {
    std::error_code ignored;
    std::filesystem::remove_all(homes.clientFolder(), ignored);
    std::filesystem::remove_all(homes.settingsFile().parent_path(), ignored);
}

}  // namespace

ScratchHomes::ScratchHomes() {
    if (!RunningUnderWine())
        throw std::runtime_error(
            "the interface tests use the launcher's own folders: run them "
            "under Wine (make test-windows), not on a player's Windows");
    exclusive_ = CreateMutexW(nullptr, FALSE, L"Local\\QuillonSagaTestHomes");
    if (!exclusive_ || WaitForSingleObject(exclusive_, INFINITE) == WAIT_FAILED)
        throw std::runtime_error("cannot take the test homes");
    RemoveLauncherFolders(*this);
    CurrentSettings() = LauncherSettings{};
}

ScratchHomes::~ScratchHomes() {
    RemoveLauncherFolders(*this);
    CurrentSettings() = LauncherSettings{};
    ReleaseMutex(exclusive_);
    CloseHandle(exclusive_);
}

std::filesystem::path ScratchHomes::clientFolder() const {
    return RoamingDataFolder().value() / "Quillon Saga" / "QuillonSaga Game";
}

std::filesystem::path ScratchHomes::settingsFile() const {
    return LocalDataFolder().value() / "QuillonSagaLauncher" / "settings.ini";
}
#else
ScratchHomes::ScratchHomes() {
    std::filesystem::create_directories(root() / "data");
    std::filesystem::create_directories(root() / "config");
    CurrentSettings() = LauncherSettings{};
}

ScratchHomes::~ScratchHomes() {
    CurrentSettings() = LauncherSettings{};
}

std::filesystem::path ScratchHomes::clientFolder() const {
    return root() / "data" / "Quillon Saga" / "QuillonSaga Game";
}

std::filesystem::path ScratchHomes::settingsFile() const {
    return root() / "config" / "QuillonSagaLauncher" / "settings.ini";
}
#endif

FakeServer::FakeServer(bool online, int players) {
    poller_ = std::make_unique<StatusPoller>(
        ServiceEndpoint{"localhost", 1, ""}, LiveTiming{},
        [this](const std::wstring&, std::size_t) -> std::optional<std::string> { return body_; });
    set(online, players);
    SetCurrentStatusPoller(poller_.get());
}

void FakeServer::set(bool online, int players) {
    body_ = std::string("{\"online\":") + (online ? "true" : "false") +
            ",\"players\":" + std::to_string(players) + ",\"maxPlayers\":100}";
    poller_->pollOnce();
}

UiHarness::UiHarness(FontMode fonts, ImVec2 displaySize, float scale) {
#ifndef _WIN32
    setenv("SDL_AUDIODRIVER", "dummy", 0);  // clicks chime into nothing, on any test machine
#endif
    context_ = ImGui::CreateContext();
    ImGuiIO& io = ImGui::GetIO();
    io.IniFilename = nullptr;
    io.LogFilename = nullptr;
    io.DisplaySize = ImVec2(displaySize.x * scale, displaySize.y * scale);
    io.DeltaTime = 1.0f / 60.0f;
    // Keys by their ImGui names; the digits for Ctrl+1/2/3 after them.
    for (int key = 0; key < ImGuiKey_COUNT; ++key)
        io.KeyMap[key] = key;
    ui.scale = scale;
    ui.pageKeys = {ImGuiKey_COUNT, ImGuiKey_COUNT + 1, ImGuiKey_COUNT + 2};
    ApplyLauncherStyle(scale);
    Fonts() = UiFonts{};
    if (fonts == FontMode::Real)
        LoadUiFonts(scale);
    if (fonts == FontMode::Default) {
        font = io.Fonts->AddFontDefault();
        UiFonts& f = Fonts();
        for (ImFont** slot :
             {&f.fontMedium9, &f.fontMedium10, &f.fontMedium11, &f.fontLight13, &f.fontMedium12,
              &f.fontBold18, &f.fontRegular28, &f.fontBold52, &f.fontSystem14, &f.iconSolid10,
              &f.iconSolid12, &f.iconSolid14, &f.iconSolid16, &f.iconBrands10, &f.iconBrands14})
            *slot = font;
    }
    unsigned char* pixels = nullptr;
    int width = 0, height = 0;
    io.Fonts->GetTexDataAsRGBA32(&pixels, &width, &height);
    // Images are only handles to the draw list: any non-null value is drawn.
    const auto image = reinterpret_cast<ImTextureID>(static_cast<std::intptr_t>(2));
    Textures() =
        UiTextures{image, image, image, image, image, image, image, image, image, image, image};
    io.MousePos = ImVec2(-FLT_MAX, -FLT_MAX);
}

UiHarness::~UiHarness() {
    Fonts() = UiFonts{};
    Textures() = UiTextures{};
    ImGui::DestroyContext(context_);
}

void UiHarness::frame() {
    state.requestUpdateCheck = false;
    state.requestPlay = false;
    state.requestLauncherUpdate = false;
    state.requestCancel = false;
    state.requestRepair = false;
    ImGui::NewFrame();
    DrawLauncherFrame(ui, state);
    lastCursor = ImGui::GetMouseCursor();
    ImGui::Render();
    ++framesRun_;
}

void UiHarness::frameWith(const std::function<void()>& body) {
    ImGui::NewFrame();
    ImGui::SetNextWindowPos(ImVec2(0.0f, 0.0f));
    ImGui::SetNextWindowSize(ImGui::GetIO().DisplaySize);
    ImGui::Begin("test", nullptr, ImGuiWindowFlags_NoDecoration | ImGuiWindowFlags_NoMove);
    body();
    ImGui::End();
    lastCursor = ImGui::GetMouseCursor();
    ImGui::Render();
    ++framesRun_;
}

void UiHarness::moveTo(float x, float y) {
    ImGui::GetIO().MousePos = ImVec2(x, y);
    // ImGui finds the hovered window from the previous frame's layout, so the very first frame
    // of a fresh context sees no hover; a second frame settles it, as a real pointer would.
    if (framesRun_ == 0)
        frame();
    frame();
}

void UiHarness::click(float x, float y) {
    pressAt(x, y, [this] { frame(); });
}

void UiHarness::clickWith(float x, float y, const std::function<void()>& body) {
    pressAt(x, y, [&] { frameWith(body); });
}

void UiHarness::keyFrames(int keyIndex, bool shift, bool ctrl) {
    ImGuiIO& io = ImGui::GetIO();
    if (framesRun_ == 0)
        frame();
    io.KeyShift = shift;
    io.KeyCtrl = ctrl;
    io.KeysDown[keyIndex] = true;
    frame();
    io.KeysDown[keyIndex] = false;
    io.KeyShift = io.KeyCtrl = false;
    frame();
}

void UiHarness::pressKey(ImGuiKey key, bool shift) {
    keyFrames(ImGui::GetIO().KeyMap[key], shift, false);
}

void UiHarness::pressPageKey(int digit) {
    keyFrames(ui.pageKeys[static_cast<std::size_t>(digit - 1)], false, true);
}

ImGuiID UiHarness::idOf(const char* id) const {
    // Every hit area lives in the composer's one window.
    return ImHashStr(id, 0, ImHashStr("QS", 0, 0));
}

std::vector<ImGuiID> UiHarness::focusOrder() const {
    std::vector<ImGuiID> ids;
    for (const FocusItem& item : ui.focus.order)
        ids.push_back(item.id);
    return ids;
}

void UiHarness::pressAt(float x, float y, const std::function<void()>& runFrame) {
    ImGuiIO& io = ImGui::GetIO();
    io.MousePos = ImVec2(x, y);
    if (framesRun_ == 0)
        runFrame();
    for (bool down : {false, true, false}) {
        io.MouseDown[0] = down;
        runFrame();
    }
}
