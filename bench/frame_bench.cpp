// CPU time to build and render one interface frame without a window: the frame composer with the
// launcher's real fonts and images (as handles), Home page and News page with a full list. What is
// timed is ImGui::NewFrame, the composer and ImGui::Render (the draw-data build); the GPU upload
// is not part of it.
#include <benchmark/benchmark.h>
#include <imgui.h>

#include <cstdint>
#include <cstdio>
#include <exception>

#include "bench/frame_scene.h"

using namespace qs;

namespace {

struct Scene {
    UiState ui;
    LauncherState state;
};
Scene* g_scene = nullptr;
qs::bench::HeadlessInterface* g_interface = nullptr;

void RunPage(benchmark::State& state, ActivePage page) {
    Scene& scene = *g_scene;
    scene.ui.activePage = page;
    scene.ui.newsPage = 0;
    for (int i = 0; i < 120; ++i)
        g_interface->Frame(scene.ui, scene.state);  // two seconds: the sidebar animation settled
    std::int64_t vertices = 0;
    for (auto _ : state) {
        g_interface->Frame(scene.ui, scene.state);
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
    try {
        qs::bench::HeadlessInterface interface;
        Scene scene;
        g_interface = &interface;
        g_scene = &scene;
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        g_scene = nullptr;
        g_interface = nullptr;
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "%s\n", failure.what());
        return 1;
    }
    return 0;
}
