// Verify pass: an up-to-date client of 2 GiB in 2,000 files, read from the page cache. The
// launcher's planning pass (the whole RunClientUpdate of a current client: manifest request, then
// a digest of every file, no download) beside sha256sum and openssl dgst over the same files.
//
//   qs_bench_verify --data=DIR [Google Benchmark flags]
//
// The client is written once under DIR/verify and reused while its stamp matches.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "app/client.h"
#include "bench/bench_support.h"
#include "net/https.h"
#include "tools/standin/service.h"
#include "update/digest.h"
#include "update/update_run.h"
#include "update/verified_record.h"

using namespace qs;

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kFileCount = 2000;
constexpr std::uint64_t kTotalBytes = 2ull << 30;
constexpr char kStamp[] = "verify-client v1 2000 files 2147483648 bytes";

struct VerifyData {
    fs::path client;
    std::vector<fs::path> files;  // every client file, the executable last
    std::string manifest;
    std::uint64_t totalBytes = 0;
};

VerifyData* g_data = nullptr;
qs::test::TestService* g_service = nullptr;

std::string ReadText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteText(const fs::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush())
        throw std::runtime_error("cannot write " + file.string());
}

std::string RelativePath(std::size_t index) {
    if (index + 1 == kFileCount)
        return WideToUtf8(ClientExecutableName);
    char name[64];
    std::snprintf(name, sizeof name, "data/pack%02zu/chunk%04zu.bin", index / 100, index);
    return name;
}

// Writes the client and its manifest unless an earlier run left them complete.
VerifyData PrepareClient(const fs::path& root) {
    VerifyData data;
    data.client = root / "client";
    const fs::path stamp = root / "complete";
    const fs::path manifestFile = root / "manifest.json";
    const auto sizes = qs::bench::FileSizes(kFileCount, kTotalBytes, 64 << 10, 1984 << 10, 7);
    for (std::size_t i = 0; i < kFileCount; ++i)
        data.files.push_back(data.client / RelativePath(i));
    data.totalBytes = kTotalBytes;

    if (fs::exists(stamp) && ReadText(stamp) == kStamp) {
        data.manifest = ReadText(manifestFile);
        return data;
    }
    std::cerr << "verify: writing the 2 GiB client under " << data.client << "\n";
    fs::remove(stamp);
    fs::remove_all(data.client);
    nlohmann::json manifest = {{"files", nlohmann::json::object()}};
    qs::bench::ByteStream bytes(2024);
    std::vector<char> buffer;
    for (std::size_t i = 0; i < kFileCount; ++i) {
        fs::create_directories(data.files[i].parent_path());
        buffer.resize(sizes[i]);
        bytes.Fill(buffer.data(), buffer.size());
        {
            std::ofstream out(data.files[i], std::ios::binary | std::ios::trunc);
            out.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            if (!out.flush())
                throw std::runtime_error("cannot write " + data.files[i].string());
        }
        const std::string digest = qs::bench::Sha256OfFile(data.files[i]);
        if (i + 1 == kFileCount)
            manifest["binary"] = {{"file", RelativePath(i)}, {"checksum", digest}};
        else
            manifest["files"][RelativePath(i)] = digest;
    }
    data.manifest = manifest.dump();
    WriteText(manifestFile, data.manifest);
    WriteText(stamp, kStamp);
    return data;
}

// Clients of 20,000 and 100,000 sparse files of 1 MiB (20 and 100 GiB that take no disk) with a
// record vouching for every one: with the record the check costs a stamp per file, whatever the
// files' size, and the cost per file should not grow with their count.
struct LargeClient {
    fs::path client;
    fs::path record;
    std::unique_ptr<qs::test::TestService> service;
};
std::map<std::int64_t, LargeClient>* g_large = nullptr;
fs::path g_record;

// Folders of 100 files, as a packed game client lays out its data.
LargeClient PrepareLargeClient(const fs::path& root, std::size_t files) {
    LargeClient large{root / "client", root / "verified.txt",
                      std::make_unique<qs::test::TestService>()};
    qs::bench::WriteSparseClient(large.client, large.record, files);
    large.service->setManifestJson(qs::bench::SparseClientManifest(files));
    return large;
}

void RunLauncherPass(benchmark::State& state, const fs::path& record = {}, bool repair = false) {
    UpdateEnvironment environment;
    environment.service = g_service->endpoint();
    environment.verifiedRecord = record;
    environment.hashEverything = repair;
    std::wstring last;
    const auto progress = [&last](const qs::UpdateProgress& report) { last = report.message; };
    const UpdateResult result = RunClientUpdate(g_data->client, progress, environment);
    if (!result.ok || last != L"Client is up to date.")
        state.SkipWithError("the verify pass did not find the client up to date");
    g_service->clearRequests();
}

// range(0): 1 = pinned to one core, 0 = every core.
void BM_VerifyLauncher(benchmark::State& state) {
    std::unique_ptr<qs::bench::OneCore> pin;
    if (state.range(0) == 1)
        pin = std::make_unique<qs::bench::OneCore>();
    for (auto _ : state)
        RunLauncherPass(state);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_data->totalBytes));
}

// The start-up check with a valid record: a stamp per file instead of a digest.
void BM_CheckWithRecord(benchmark::State& state) {
    for (auto _ : state)
        RunLauncherPass(state, g_record);
}

// The same with one 1 MiB file touched since the record: that file alone is read.
void BM_CheckWithRecordOneTouched(benchmark::State& state) {
    const fs::path touched = g_data->files.front();
    for (auto _ : state) {
        state.PauseTiming();
        fs::last_write_time(touched, fs::file_time_type::clock::now() - std::chrono::hours(1));
        state.ResumeTiming();
        RunLauncherPass(state, g_record);
    }
}

// A repair reads every file, as the check always did.
void BM_CheckRepair(benchmark::State& state) {
    for (auto _ : state)
        RunLauncherPass(state, g_record, true);
}

// The manifest request alone: what the check costs beyond it is the check.
void BM_ManifestRequest(benchmark::State& state) {
    for (auto _ : state) {
        HttpsConnection connection;
        const auto reply = HttpsRequest(g_service->url("/updater/updater.php"), L"POST",
                                        UpdateRequestBody(), g_service->endpoint(), connection);
        benchmark::DoNotOptimize(reply.data());
    }
}

// The calling thread's time on a CPU and waiting for one, from the scheduler (nanoseconds).
struct ThreadTimes {
    double onCpu = 0;
    double runnable = 0;
};
ThreadTimes ThisThreadTimes() {
    ThreadTimes times;
    std::ifstream("/proc/thread-self/schedstat") >> times.onCpu >> times.runnable;
    return times;
}

// range(0): the number of files; range(1): 1 = the manifest kept from the last run, so the
// service answers 304 (as the launcher asks), and the record was made against it. Reported per
// file as well, to compare the two sizes, and the wall time of the run's thread split into its
// time on a CPU, waiting for one (other processes' load) and off it (blocked: disk, locks, joins).
void BM_CheckWithRecordLarge(benchmark::State& state) {
    const LargeClient& large = g_large->at(state.range(0));
    const bool kept = state.range(1) == 1;
    UpdateEnvironment environment;
    environment.service = large.service->endpoint();
    environment.verifiedRecord = large.record;
    std::wstring last;
    const auto run = [&] {
        const UpdateResult result = RunClientUpdate(
            large.client, [&last](const qs::UpdateProgress& report) { last = report.message; },
            environment);
        if (!result.ok || last != L"Client is up to date.")
            state.SkipWithError("the large check did not find the client up to date");
        large.service->clearRequests();
    };
    if (kept) {
        // Its own record and kept copy, primed by one run that fetches the manifest whole.
        environment.verifiedRecord = large.record.parent_path() / "verified-kept.txt";
        environment.keptManifest = large.record.parent_path() / "manifest-kept.txt";
        fs::copy_file(large.record, environment.verifiedRecord,
                      fs::copy_options::overwrite_existing);
        fs::remove(environment.keptManifest);
        run();
    }
    double wall = 0, onCpu = 0, runnable = 0;
    for (auto _ : state) {
        const ThreadTimes before = ThisThreadTimes();
        const auto start = std::chrono::steady_clock::now();
        run();
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const ThreadTimes after = ThisThreadTimes();
        onCpu += (after.onCpu - before.onCpu) / 1e9;
        runnable += (after.runnable - before.runnable) / 1e9;
    }
    state.counters["files"] = static_cast<double>(state.range(0));
    const auto average = [](double seconds) {
        return benchmark::Counter(seconds, benchmark::Counter::kAvgIterations);
    };
    state.counters["thread_cpu_s"] = average(onCpu);
    state.counters["runnable_s"] = average(runnable);
    state.counters["blocked_s"] = average(wall - onCpu - runnable);
}

// The large manifest's request alone, to tell the check from the transfer.
void BM_LargeManifestRequest(benchmark::State& state) {
    const LargeClient& large = g_large->at(state.range(0));
    for (auto _ : state) {
        HttpsConnection connection;
        const auto reply = HttpsRequest(large.service->url("/updater/updater.php"), L"POST",
                                        UpdateRequestBody(), large.service->endpoint(), connection);
        benchmark::DoNotOptimize(reply.data());
        large.service->clearRequests();
    }
}

void RunTool(benchmark::State& state, std::vector<std::string> command) {
    qs::bench::OneCore pin;
    for (const auto& file : g_data->files)
        command.push_back(file.string());
    // The tool's own CPU time: on a busy machine a steadier comparison than the wall clock.
    struct rusage before {};
    getrusage(RUSAGE_CHILDREN, &before);
    for (auto _ : state) {
        try {
            qs::bench::RunProgram(command);
        } catch (const std::exception& failure) {
            state.SkipWithError(failure.what());
        }
    }
    struct rusage after {};
    getrusage(RUSAGE_CHILDREN, &after);
    auto seconds = [](const timeval& time) { return double(time.tv_sec) + time.tv_usec / 1e6; };
    state.counters["tool_cpu_s"] =
        benchmark::Counter(seconds(after.ru_utime) + seconds(after.ru_stime) -
                               seconds(before.ru_utime) - seconds(before.ru_stime),
                           benchmark::Counter::kAvgIterations);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_data->totalBytes));
}

void BM_VerifySha256sum(benchmark::State& state) {
    RunTool(state, {"sha256sum"});
}

void BM_VerifyOpensslDgst(benchmark::State& state) {
    RunTool(state, {"openssl", "dgst", "-sha256"});
}

}  // namespace

BENCHMARK(BM_VerifyLauncher)
    ->ArgName("one_core")
    ->Arg(1)
    ->Arg(0)
    ->Iterations(1)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CheckWithRecord)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CheckWithRecordOneTouched)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CheckRepair)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ManifestRequest)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CheckWithRecordLarge)
    ->ArgNames({"files", "kept"})
    ->ArgsProduct({{20000, 100000}, {0, 1}})
    ->Iterations(1)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LargeManifestRequest)
    ->ArgName("files")
    ->Arg(20000)
    ->Arg(100000)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VerifySha256sum)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VerifyOpensslDgst)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const fs::path root =
        fs::path(qs::bench::ArgumentValue(argc, argv, "data", "build/bench-data")) / "verify";
    // --large_only=1: only the sparse clients, for a quick look at the start-up check (the
    // benchmarks of the 2 GiB client must then be left out by --benchmark_filter).
    const bool largeOnly = qs::bench::ArgumentValue(argc, argv, "large_only", "0") == "1";
    try {
        fs::create_directories(root);
        InitializeHttps();
        VerifyData data;
        qs::test::TestService service;
        g_data = &data;
        g_service = &service;
        // A record from a full pass, dated past the two seconds in which it would not vouch for
        // files written just before it.
        g_record = root / "verified.txt";
        if (!largeOnly) {
            data = PrepareClient(root);
            qs::bench::WarmPageCache(data.files);
            service.setManifestJson(data.manifest);
            UpdateEnvironment environment;
            environment.service = service.endpoint();
            environment.verifiedRecord = g_record;
            RunClientUpdate(
                data.client, [](const qs::UpdateProgress&) {}, environment);
            // Fresh downloads vouch for nothing until their stamps have settled: a later pass
            // reads them once more and records them for good.
            std::this_thread::sleep_for(std::chrono::milliseconds(4100));
            RunClientUpdate(
                data.client, [](const qs::UpdateProgress&) {}, environment);
        }
        std::map<std::int64_t, LargeClient> large;
        for (const std::size_t files : {20000, 100000})
            large.emplace(files,
                          PrepareLargeClient(root / ("sparse-" + std::to_string(files)), files));
        g_large = &large;
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        g_service = nullptr;
    } catch (const std::exception& failure) {
        std::cerr << "verify: " << failure.what() << "\n";
        return 1;
    }
    return 0;
}
