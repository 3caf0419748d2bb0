// CPU time to build and render one interface frame without a window: the frame composer with the
// launcher's real fonts and images (as handles), Home page and News page with a full list. What is
// timed is ImGui::NewFrame, the composer and ImGui::Render (the draw-data build); the GPU upload
// is not part of it.
#include <benchmark/benchmark.h>
#include <imgui.h>
#include <unistd.h>

#include <cfloat>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/state.h"
#include "live/news_feed.h"
#include "live/status_poller.h"
#include "resources/resources.h"
#include "ui/pages.h"
#include "ui/theme.h"
#include "ui/ui_state.h"

namespace {

namespace fs = std::filesystem;

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

struct Scene {
    UiState ui;
    LauncherState state;
};
Scene* g_scene = nullptr;

void RunFrame(Scene& scene) {
    ImGui::NewFrame();
    DrawLauncherFrame(scene.ui, scene.state);
    ImGui::Render();
}

void RunPage(benchmark::State& state, ActivePage page) {
    Scene& scene = *g_scene;
    scene.ui.activePage = page;
    scene.ui.newsPage = 0;
    for (int i = 0; i < 120; ++i)
        RunFrame(scene);  // two seconds of frames: the sidebar animation has settled
    std::int64_t vertices = 0;
    for (auto _ : state) {
        RunFrame(scene);
        vertices = ImGui::GetDrawData()->TotalVtxCount;
    }
    state.counters["vertices"] = static_cast<double>(vertices);
}

void BM_FrameHome(benchmark::State& state) {
    RunPage(state, ActivePage::Home);
}

void BM_FrameNews(benchmark::State& state) {
    RunPage(state, ActivePage::News);
}

}  // namespace

BENCHMARK(BM_FrameHome)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FrameNews)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);

    // The composer reads the settings and shows the client folder: keep both out of the real home.
    char folderTemplate[] = "/tmp/qs-frame-bench-XXXXXX";
    const fs::path home = mkdtemp(folderTemplate);
    setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
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
        std::fprintf(stderr, "frame: the launcher's fonts did not load\n");
        return 1;
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

    const LiveFetch noFetch = [](const std::wstring&, std::size_t) -> std::optional<std::string> {
        return std::nullopt;
    };
    StatusPoller poller(
        BuiltInService(), StatusPollTiming(),
        [](const std::wstring&, std::size_t) -> std::optional<std::string> {
            return std::string(R"({"online":true,"players":1234,"maxPlayers":5000})");
        });
    poller.pollOnce();
    SetCurrentStatusPoller(&poller);
    NewsFeed feed(BuiltInService(), NewsFetchTiming(), home / "news_seen.txt", noFetch);
    feed.publish(FullNewsList());
    SetCurrentNewsFeed(&feed);

    Scene scene;
    g_scene = &scene;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_scene = nullptr;

    SetCurrentNewsFeed(nullptr);
    SetCurrentStatusPoller(nullptr);
    ImGui::DestroyContext();
    Fonts() = UiFonts{};
    Textures() = UiTextures{};
    std::error_code ignored;
    fs::remove_all(home, ignored);
    return 0;
}
