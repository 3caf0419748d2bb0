// Download: 200 MiB in 500 files from the stand-in service over HTTPS on loopback, into an empty
// folder, by the launcher and by curl; and one 1 GiB file.
//
//   qs_bench_download --data=DIR [--delay_ms=N] [Google Benchmark flags]
//
// --delay_ms holds every reply back that long, as a round trip over a real network would.
// Launcher: a whole RunClientUpdate (manifest, downloads, verification, durable placement) with
// its concurrent transfers, and the same one file at a time. curl: one process per file; one
// process with "Connection: close" (a connection per file without the process start); one process
// reusing its connection; the same followed by one syncfs (the cheapest way to make its files
// durable); and --parallel --parallel-max 4. Every run starts on a settled disk: the previous
// run's bytes are written back before the clock starts, so no run pays for another's.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>

#include "app/client.h"
#include "bench/bench_support.h"
#include "net/https.h"
#include "platform/launcher_log.h"
#include "platform/wide_text.h"
#include "tools/standin/service.h"
#include "update/update_run.h"

using namespace qs;

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kFileCount = 500;
constexpr std::uint64_t kTotalBytes = 200ull << 20;

struct DownloadData {
    fs::path output;
    fs::path caFile;
    fs::path curlConfigClose;
    fs::path curlConfigReuse;
    std::vector<std::string> paths;
    std::vector<std::string> urls;
    qs::test::TestService* largeService = nullptr;
};

DownloadData* g_data = nullptr;
qs::test::TestService* g_service = nullptr;

void WriteText(const fs::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush())
        throw std::runtime_error("cannot write " + file.string());
}

std::size_t FileRequests() {
    std::size_t count = 0;
    for (const auto& request : g_service->requests())
        if (request.path.rfind("/updater/files/", 0) == 0)
            ++count;
    return count;
}

void EmptyOutput(benchmark::State& state) {
    state.PauseTiming();
    fs::remove_all(g_data->output);
    fs::create_directories(g_data->output);
    g_service->clearRequests();
    ::sync();
    state.ResumeTiming();
}

void RunLauncher(benchmark::State& state, const UpdateEnvironment& environment) {
    for (auto _ : state) {
        EmptyOutput(state);
        std::wstring last;
        const auto progress = [&last](const qs::UpdateProgress& report) { last = report.message; };
        const UpdateResult result = RunClientUpdate(g_data->output, progress, environment);
        if (!result.ok || last != L"Update complete." || FileRequests() != kFileCount)
            state.SkipWithError(("download run failed: " + WideToUtf8(result.message)).c_str());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kTotalBytes));
}

void BM_DownloadLauncher(benchmark::State& state) {
    UpdateEnvironment environment;
    environment.service = g_service->endpoint();
    RunLauncher(state, environment);
}

// The same with the launcher's log written, as the launcher always runs: the difference is what
// the log costs.
void BM_DownloadLauncherLogged(benchmark::State& state) {
    UpdateEnvironment environment;
    environment.service = g_service->endpoint();
    StartLauncherLog(g_data->output.parent_path() / "log");
    RunLauncher(state, environment);
    StopLauncherLog();
}

void BM_DownloadLauncherOneAtATime(benchmark::State& state) {
    UpdateEnvironment environment;
    environment.service = g_service->endpoint();
    environment.transfers = 1;
    RunLauncher(state, environment);
}

// One large file: concurrency has nothing to share out, and must cost nothing.
void RunLargeFile(benchmark::State& state, int transfers) {
    const fs::path output = g_data->output.parent_path() / "large";
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(output);
        ::sync();
        state.ResumeTiming();
        UpdateEnvironment environment;
        environment.service = g_data->largeService->endpoint();
        environment.transfers = transfers;
        const UpdateResult result = RunClientUpdate(
            output, [](const qs::UpdateProgress&) {}, environment);
        if (!result.ok)
            state.SkipWithError(("large download failed: " + WideToUtf8(result.message)).c_str());
    }
    fs::remove_all(output);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * (1ull << 30)));
}

void BM_DownloadLargeFileLauncher(benchmark::State& state) {
    RunLargeFile(state, kConcurrentTransfers);
}

void BM_DownloadLargeFileOneAtATime(benchmark::State& state) {
    RunLargeFile(state, 1);
}

void SyncFileSystem(const fs::path& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = fd >= 0 && ::syncfs(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    if (!synced)
        throw std::runtime_error("syncfs failed");
}

void RunCurl(benchmark::State& state, const std::vector<std::vector<std::string>>& commands,
             bool durable = false) {
    for (auto _ : state) {
        EmptyOutput(state);
        try {
            for (const auto& command : commands)
                qs::bench::RunProgram(command);
            if (durable)
                SyncFileSystem(g_data->output);
        } catch (const std::exception& failure) {
            state.SkipWithError(failure.what());
        }
        if (FileRequests() != kFileCount)
            state.SkipWithError("curl did not fetch every file");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kTotalBytes));
}

std::vector<std::string> CurlBase() {
    return {"curl", "-sS", "--fail", "--create-dirs", "--cacert", g_data->caFile.string()};
}

void BM_DownloadCurlProcessPerFile(benchmark::State& state) {
    std::vector<std::vector<std::string>> commands;
    for (std::size_t i = 0; i < kFileCount; ++i) {
        auto command = CurlBase();
        command.insert(command.end(),
                       {"-o", (g_data->output / g_data->paths[i]).string(), g_data->urls[i]});
        commands.push_back(std::move(command));
    }
    RunCurl(state, commands);
}

void BM_DownloadCurlConnectionPerFile(benchmark::State& state) {
    auto command = CurlBase();
    command.insert(command.end(), {"-K", g_data->curlConfigClose.string()});
    RunCurl(state, {command});
}

void BM_DownloadCurlOneConnection(benchmark::State& state) {
    auto command = CurlBase();
    command.insert(command.end(), {"-K", g_data->curlConfigReuse.string()});
    RunCurl(state, {command});
}

void BM_DownloadCurlOneConnectionSynced(benchmark::State& state) {
    auto command = CurlBase();
    command.insert(command.end(), {"-K", g_data->curlConfigReuse.string()});
    RunCurl(state, {command}, /*durable=*/true);
}

void BM_DownloadCurlParallel4(benchmark::State& state) {
    auto command = CurlBase();
    command.insert(command.end(),
                   {"--parallel", "--parallel-max", "4", "-K", g_data->curlConfigReuse.string()});
    RunCurl(state, {command});
}

}  // namespace

BENCHMARK(BM_DownloadLauncher)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DownloadLauncherLogged)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DownloadLauncherOneAtATime)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DownloadCurlParallel4)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DownloadLargeFileLauncher)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DownloadLargeFileOneAtATime)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DownloadCurlProcessPerFile)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DownloadCurlConnectionPerFile)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DownloadCurlOneConnection)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DownloadCurlOneConnectionSynced)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const fs::path root =
        fs::path(qs::bench::ArgumentValue(argc, argv, "data", "build/bench-data")) / "download";
    try {
        fs::create_directories(root);
        InitializeHttps();
        qs::test::TestService service;
        DownloadData data;
        data.output = root / "client";
        data.caFile = root / "ca.pem";
        data.curlConfigClose = root / "curl-close.conf";
        data.curlConfigReuse = root / "curl-reuse.conf";
        WriteText(data.caFile, service.caPem());

        const auto sizes = qs::bench::FileSizes(kFileCount, kTotalBytes, 16 << 10, 800 << 10, 11);
        qs::bench::ByteStream bytes(500);
        std::string reuse, close = "header = \"Connection: close\"\n";
        for (std::size_t i = 0; i < kFileCount; ++i) {
            data.paths.push_back(qs::bench::DownloadClientPath(i, kFileCount));
            service.setFile(data.paths[i], bytes.Take(sizes[i]));
            data.urls.push_back(
                WideToUtf8(service.url("/updater/files/") + DownloadUrlPath(data.paths[i])));
            const std::string entry = "url = \"" + data.urls[i] + "\"\noutput = \"" +
                                      (data.output / data.paths[i]).string() + "\"\n";
            reuse += entry;
            close += entry;
        }
        WriteText(data.curlConfigClose, close);
        WriteText(data.curlConfigReuse, reuse);
        // Files by path, as curl fetches them; the manifest digested once, served as fixed text.
        service.setObjectsNamed(false);
        service.setManifestJson(service.manifestJson());
        const long long delayMs = std::stoll(qs::bench::ArgumentValue(argc, argv, "delay_ms", "0"));
        if (delayMs > 0) {
            const qs::test::Fault late = qs::test::Fault::slow(std::chrono::milliseconds(delayMs));
            service.setFault("/updater/updater.php", late);
            for (const std::string& path : data.paths)
                service.setFault("/updater/files/" + path, late);
        }
        qs::test::TestService largeService;
        largeService.setFile("archives/world.pak", qs::bench::ByteStream(7).Take(1ull << 30));
        largeService.setObjectsNamed(false);
        largeService.setManifestJson(largeService.manifestJson());
        data.largeService = &largeService;

        g_data = &data;
        g_service = &service;
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        g_service = nullptr;
        fs::remove_all(data.output);
    } catch (const std::exception& failure) {
        std::cerr << "download: " << failure.what() << "\n";
        return 1;
    }
    return 0;
}
