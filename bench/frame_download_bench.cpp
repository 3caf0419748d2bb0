// Frame pacing while an update run works in the background, against the same frames with nothing
// running, in one process: a 60 Hz loop draws the Home page (with the run's progress, copied under
// the status lock as the launcher does) and records how late each frame starts after its tick and
// how long it takes. Three phases, taken in turn for several rounds:
//   idle      nothing runs;
//   download  RunClientUpdate fetches 200 MiB in 500 files over its concurrent transfers into an
//             empty folder (the download benchmark's content);
//   check     RunClientUpdate as a repair over the complete folder: the digest pass alone;
//   plan      with --large=N, the start-up check of a client of N sparse files that a record
//             vouches for: the manifest read and the plan made, nothing fetched.
//
//   qs_bench_frame_download [--rounds=N] [--data=DIR] [--large=N]
//
// The service runs in a child process, as a remote one would not share this process. A frame that
// ends after the next tick is counted as missed.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "bench/frame_scene.h"
#include "net/client_location.h"
#include "net/https.h"
#include "platform/launcher_log.h"
#include "platform/wide_text.h"
#include "tools/standin/service.h"
#include "update/update_run.h"

using namespace qs;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kFileCount = 500;
constexpr std::uint64_t kTotalBytes = 200ull << 20;
constexpr auto kTick = std::chrono::nanoseconds(1'000'000'000 / 60);

void Fill(qs::test::TestService& service) {
    const auto sizes = qs::bench::FileSizes(kFileCount, kTotalBytes, 16 << 10, 800 << 10, 11);
    qs::bench::ByteStream bytes(500);
    for (std::size_t i = 0; i < kFileCount; ++i)
        service.setFile(qs::bench::DownloadClientPath(i, kFileCount), bytes.Take(sizes[i]));
    service.setManifestJson(service.manifestJson());
}

struct FrameTimes {
    std::vector<double> lateMs;  // tick to the frame's start
    std::vector<double> workMs;  // the frame's own time
    std::size_t missed = 0;
};

// Frames on the 60 Hz grid until `running` reads false (or `frames` were drawn when it is null).
void DrawFrames(qs::bench::HeadlessInterface& interface, UiState& ui, LauncherState& state,
                FrameTimes& times, const std::atomic<bool>* running, std::size_t frames) {
    Clock::time_point tick = Clock::now() + kTick;
    for (std::size_t drawn = 0; running ? running->load() : drawn < frames; ++drawn) {
        std::this_thread::sleep_until(tick);
        const Clock::time_point start = Clock::now();
        interface.Frame(ui, state, /*copyStatus=*/true);
        const Clock::time_point end = Clock::now();
        times.lateMs.push_back(std::chrono::duration<double, std::milli>(start - tick).count());
        times.workMs.push_back(std::chrono::duration<double, std::milli>(end - start).count());
        // As with vsync: a frame that overran waits for the first tick after its end.
        tick += kTick;
        if (end > tick) {
            ++times.missed;
            while (tick < end)
                tick += kTick;
        }
    }
}

// One update run on a worker thread, as the launcher starts it, with frames drawn meanwhile.
bool RunWithFrames(qs::bench::HeadlessInterface& interface, UiState& ui, LauncherState& state,
                   FrameTimes& times, const fs::path& folder, UpdateEnvironment environment) {
    state.busy = true;
    state.runningTask = TaskKind::ClientUpdate;
    std::atomic<bool> running{true};
    UpdateResult result;
    std::thread worker([&] {
        const ProgressSink sink(&state.statusMutex, &state.progressIndex, &state.progressCount,
                                &state.statusText, &state.bytes);
        result = RunClientUpdate(
            folder, [&sink](const qs::UpdateProgress& progress) { sink(progress); }, environment);
        {
            std::lock_guard lock(state.statusMutex);
            state.statusText = result.message;
            state.progressIndex = 0;
            state.progressCount = 0;
            state.bytes = {};
        }
        running = false;
    });
    DrawFrames(interface, ui, state, times, &running, 0);
    worker.join();
    state.busy = false;
    if (!result.ok)
        std::cerr << "frame-download: the run failed: " << WideToUtf8(result.message) << "\n";
    return result.ok;
}

double Percentile(std::vector<double> values, double fraction) {
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const auto at =
        static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

void Print(const char* phase, const FrameTimes& times) {
    std::printf(
        "%s frames %zu late_ms_median %.3f late_ms_p99 %.3f work_ms_median %.3f "
        "work_ms_p99 %.3f missed %zu\n",
        phase, times.lateMs.size(), Percentile(times.lateMs, 0.5), Percentile(times.lateMs, 0.99),
        Percentile(times.workMs, 0.5), Percentile(times.workMs, 0.99), times.missed);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = std::stoi(qs::bench::ArgumentValue(argc, argv, "rounds", "8"));
    const fs::path root =
        fs::path(qs::bench::ArgumentValue(argc, argv, "data", "build/bench-data")) /
        "frame-download";
    const std::size_t largeFiles = std::stoul(qs::bench::ArgumentValue(argc, argv, "large", "0"));
    const fs::path sparse = root.parent_path() / "frame-plan";
    std::optional<qs::bench::ForkedService> service, largeService;
    try {
        service.emplace(Fill);
        if (largeFiles > 0) {
            qs::bench::WriteSparseClient(sparse / "client", sparse / "verified.txt", largeFiles);
            largeService.emplace([largeFiles](qs::test::TestService& large) {
                large.setManifestJson(qs::bench::SparseClientManifest(largeFiles));
            });
        }
    } catch (const std::exception& failure) {
        std::cerr << "frame-download: " << failure.what() << "\n";
        return 1;
    }
    UpdateEnvironment download;
    download.service = service->endpoint();
    UpdateEnvironment check = download;
    check.hashEverything = true;
    UpdateEnvironment plan;
    if (largeService) {
        plan.service = largeService->endpoint();
        plan.verifiedRecord = sparse / "verified.txt";
    }

    int status = 1;
    try {
        InitializeHttps();
        StartLauncherLog(root / "log");  // the run logs as in the launcher
        qs::bench::HeadlessInterface interface;
        UiState ui;
        LauncherState state;
        state.autoCheckPending = false;
        ui.activePage = ActivePage::Home;
        const fs::path folder = root / "client";
        FrameTimes idle, downloading, checking, planning;
        DrawFrames(interface, ui, state, idle, nullptr, 120);  // the sidebar animation settles
        idle = {};
        bool ok = true;
        for (int round = 0; round < rounds && ok; ++round) {
            DrawFrames(interface, ui, state, idle, nullptr, 60);
            fs::remove_all(folder);
            fs::create_directories(folder);
            ok = RunWithFrames(interface, ui, state, downloading, folder, download) &&
                 RunWithFrames(interface, ui, state, checking, folder, check) &&
                 (!largeService ||
                  RunWithFrames(interface, ui, state, planning, sparse / "client", plan));
        }
        StopLauncherLog();
        fs::remove_all(root);
        if (ok) {
            Print("idle", idle);
            Print("download", downloading);
            Print("check", checking);
            if (largeService)
                Print("plan", planning);
            status = 0;
        }
    } catch (const std::exception& failure) {
        std::cerr << "frame-download: " << failure.what() << "\n";
    }
    return status;
}
