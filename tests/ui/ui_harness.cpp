#include "ui_harness.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "app/client.h"
#include "app/settings.h"
#include "ui/pages.h"
#include "ui/theme.h"
#include "update/text.h"

namespace {

void Remember(const char* name, std::string& value, bool& had) {
    const char* current = std::getenv(name);
    had = current != nullptr;
    if (had)
        value = current;
}

void Restore(const char* name, const std::string& value, bool had) {
    if (had) {
        setenv(name, value.c_str(), 1);
    } else {
        unsetenv(name);
    }
}

}  // namespace

ScratchHomes::ScratchHomes() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qs_ui_test_XXXXXX").string();
    root_ = mkdtemp(pattern.data());
    std::filesystem::create_directories(root_ / "data");
    std::filesystem::create_directories(root_ / "config");
    Remember("XDG_DATA_HOME", oldData_, hadData_);
    Remember("XDG_CONFIG_HOME", oldConfig_, hadConfig_);
    setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
    CurrentSettings() = LauncherSettings{};
}

ScratchHomes::~ScratchHomes() {
    Restore("XDG_DATA_HOME", oldData_, hadData_);
    Restore("XDG_CONFIG_HOME", oldConfig_, hadConfig_);
    CurrentSettings() = LauncherSettings{};
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

std::filesystem::path ScratchHomes::clientExecutable() const {
    return ClientDirectory() / ClientExecutableName;
}

void ScratchHomes::installClient() const {
    std::filesystem::create_directories(ClientDirectory());
    std::ofstream(clientExecutable()) << "client";
}

FakeServer::FakeServer(bool online, int players) {
    poller_ = std::make_unique<StatusPoller>(
        ServiceEndpoint{"localhost", 1, ""}, LiveTiming{},
        [this](const std::wstring&, std::size_t) -> std::optional<std::string> { return body_; });
    set(online, players);
    SetCurrentStatusPoller(poller_.get());
}

FakeServer::~FakeServer() {
    SetCurrentStatusPoller(nullptr);
}

void FakeServer::set(bool online, int players) {
    body_ = std::string("{\"online\":") + (online ? "true" : "false") +
            ",\"players\":" + std::to_string(players) + ",\"maxPlayers\":100}";
    poller_->pollOnce();
}

UiHarness::UiHarness(FontMode fonts, ImVec2 displaySize) {
    setenv("SDL_AUDIODRIVER", "dummy", 0);  // clicks chime into nothing, on any test machine
    context_ = ImGui::CreateContext();
    ImGuiIO& io = ImGui::GetIO();
    io.IniFilename = nullptr;
    io.LogFilename = nullptr;
    io.DisplaySize = displaySize;
    io.DeltaTime = 1.0f / 60.0f;
    ApplyLauncherStyle();
    Fonts() = UiFonts{};
    Textures() = UiTextures{};
    if (fonts == FontMode::Real)
        LoadUiFonts();
    unsigned char* pixels = nullptr;
    int width = 0, height = 0;
    io.Fonts->GetTexDataAsRGBA32(&pixels, &width, &height);
    io.MousePos = ImVec2(-FLT_MAX, -FLT_MAX);
}

UiHarness::~UiHarness() {
    Fonts() = UiFonts{};
    ImGui::DestroyContext(context_);
}

void UiHarness::frame() {
    state.requestUpdateCheck = false;
    state.requestPlay = false;
    state.requestLauncherUpdate = false;
    ImGui::NewFrame();
    DrawLauncherFrame(ui, state);
    lastCursor = ImGui::GetMouseCursor();
    ImGui::Render();
    ++framesRun;
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
    ++framesRun;
}

void UiHarness::moveTo(float x, float y) {
    ImGui::GetIO().MousePos = ImVec2(x, y);
    // ImGui finds the hovered window from the previous frame's layout, so the very first frame
    // of a fresh context sees no hover; a second frame settles it, as a real pointer would.
    if (framesRun == 0)
        frame();
    frame();
}

void UiHarness::click(float x, float y) {
    pressAt(x, y, [this] { frame(); });
}

void UiHarness::clickWith(float x, float y, const std::function<void()>& body) {
    pressAt(x, y, [&] { frameWith(body); });
}

void UiHarness::pressAt(float x, float y, const std::function<void()>& runFrame) {
    ImGuiIO& io = ImGui::GetIO();
    io.MousePos = ImVec2(x, y);
    if (framesRun == 0)
        runFrame();
    for (bool down : {false, true, false}) {
        io.MouseDown[0] = down;
        runFrame();
    }
}
