#include "bench/frame_scene.h"

#include <imgui.h>
#include <stdlib.h>

#include <cfloat>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "live/news_feed.h"
#include "live/status_poller.h"
#include "resources/resources.h"
#include "ui/pages.h"
#include "ui/theme.h"

namespace qs::bench {

namespace {

std::vector<NewsItem> FullNewsList() {
    std::vector<NewsItem> items;
    const char* tags[] = {"EVENT", "CHANGELOG", "PATCH", "UPDATE"};
    for (int i = 0; i < 12; ++i) {
        NewsItem item;
        item.id = std::to_string(100 - i);
        item.tag = tags[i % 4];
        item.title = "Patch 1.4." + std::to_string(12 - i) + ": The Sunken Library opens its doors";
        item.summary =
            "Balance pass across every class: energy costs of the ranged techniques drop, the "
            "transformation timers reset on a duel's end, and the arena ladder keeps its season "
            "rewards for one more week while we watch the numbers.";
        item.date = "2024-04-" + std::to_string(28 - i);
        item.author = "The Quillon Saga team";
        item.url = "https://quillonsaga.example/news/" + item.id;
        item.featured = i == 0;
        items.push_back(item);
    }
    return items;
}

std::filesystem::path TemporaryHome() {
    char folderTemplate[] = "/tmp/qs-frame-bench-XXXXXX";
    if (!mkdtemp(folderTemplate))
        throw std::runtime_error("frame: no temporary folder");
    return folderTemplate;
}

}  // namespace

struct HeadlessInterface::Live {
    explicit Live(const std::filesystem::path& home)
        : poller(BuiltInService(), StatusPollTiming(),
                 [](const std::wstring&, std::size_t) -> std::optional<std::string> {
                     return std::string(R"({"online":true,"players":1234,"maxPlayers":5000})");
                 }),
          feed(BuiltInService(), NewsFetchTiming(), home / "news_seen.txt",
               [](const std::wstring&, std::size_t) -> std::optional<std::string> {
                   return std::nullopt;
               }) {}
    StatusPoller poller;
    NewsFeed feed;
};

HeadlessInterface::HeadlessInterface() : home_(TemporaryHome()) {
    // The composer reads the settings and shows the client folder: keep both out of the real home.
    setenv("XDG_CONFIG_HOME", (home_ / "config").c_str(), 1);
    setenv("XDG_DATA_HOME", (home_ / "data").c_str(), 1);
    setenv("SDL_AUDIODRIVER", "dummy", 1);

    ImGui::CreateContext();
    ImGuiIO& io = ImGui::GetIO();
    io.IniFilename = nullptr;
    io.LogFilename = nullptr;
    io.DisplaySize = ImVec2(1280, 760);
    io.DeltaTime = 1.0f / 60.0f;
    io.MousePos = ImVec2(-FLT_MAX, -FLT_MAX);
    ApplyLauncherStyle();
    LoadUiFonts();
    if (!Fonts().fontBold52 || !Fonts().fontSystem14 || !Fonts().iconSolid16) {
        ImGui::DestroyContext();
        throw std::runtime_error("frame: the launcher's fonts did not load");
    }
    // Images stand as handles: the draw lists reference them exactly as with GPU textures.
    std::intptr_t nextTexture = 2;
    LoadUiTextures(FindResourceData, [&nextTexture](const DecodedImage&) {
        return reinterpret_cast<ImTextureID>(nextTexture++);
    });
    unsigned char* pixels = nullptr;
    int width = 0, height = 0;
    io.Fonts->GetTexDataAsRGBA32(&pixels, &width, &height);
    io.Fonts->SetTexID(reinterpret_cast<ImTextureID>(static_cast<std::intptr_t>(1)));

    live_ = std::make_unique<Live>(home_);
    live_->poller.pollOnce();
    SetCurrentStatusPoller(&live_->poller);
    live_->feed.publish(FullNewsList());
    SetCurrentNewsFeed(&live_->feed);
}

HeadlessInterface::~HeadlessInterface() {
    SetCurrentNewsFeed(nullptr);
    SetCurrentStatusPoller(nullptr);
    live_.reset();
    ImGui::DestroyContext();
    Fonts() = UiFonts{};
    Textures() = UiTextures{};
    std::error_code ignored;
    std::filesystem::remove_all(home_, ignored);
}

void HeadlessInterface::Frame(UiState& ui, LauncherState& state, bool copyStatus) {
    if (copyStatus)
        BeginFrameRequests(state);
    ImGui::NewFrame();
    DrawLauncherFrame(ui, state);
    ImGui::Render();
}

}  // namespace qs::bench
