// quillon-publish on a 2 GiB / 2,000-file client (page cache warm): the first publish (copy,
// digest and flush of every file) beside sha256sum and openssl dgst over the same files, and a
// republish with one file changed or none. With --large=1 also a client of 100,000 files of
// 1 KiB: its first publish, a republish with one file changed (with the time of its own scan and
// of everything after it), and the scan of its stamps alone (what a republish cannot do without).
//
//   qs_bench_publish --data=DIR [--large=1] [Google Benchmark flags]
//
// The client is written once under DIR/publish and reused while its stamp matches.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "bench/bench_support.h"
#include "tools/publish/publish.h"

using namespace qs;

namespace {

namespace fs = std::filesystem;
using qs::publish::Publish;
using qs::publish::PublishOptions;

constexpr std::size_t kFileCount = 2000;
constexpr std::uint64_t kTotalBytes = 2ull << 30;
constexpr char kStamp[] = "publish-client v1 2000 files 2147483648 bytes";

fs::path g_root;
std::vector<fs::path> g_files;

constexpr std::size_t kLargeCount = 100000;
constexpr char kLargeStamp[] = "publish-large v1 100000 files of 1024 bytes";
fs::path g_largeRoot;  // empty unless --large=1
std::vector<fs::path> g_largeFiles;

std::string ReadText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteBytes(const fs::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out.flush())
        throw std::runtime_error("cannot write " + file.string());
    // Older than the publisher's settling time, as a client prepared for release is.
    fs::last_write_time(file, fs::file_time_type::clock::now() - std::chrono::hours(1));
}

void PrepareClient() {
    const fs::path client = g_root / "client";
    const auto sizes = qs::bench::FileSizes(kFileCount, kTotalBytes, 64 << 10, 1984 << 10, 11);
    for (std::size_t i = 0; i < kFileCount; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "data/pack%02zu/chunk%04zu.bin", i / 100, i);
        g_files.push_back(client / name);
    }
    if (ReadText(g_root / "complete") == kStamp)
        return;
    std::cerr << "publish: writing the 2 GiB client under " << client << "\n";
    fs::remove_all(client);
    qs::bench::ByteStream bytes(4048);
    for (std::size_t i = 0; i < kFileCount; ++i) {
        fs::create_directories(g_files[i].parent_path());
        WriteBytes(g_files[i], bytes.Take(sizes[i]));
    }
    std::ofstream(g_root / "complete") << kStamp;
}

// Folders of 100 files of 1 KiB.
void PrepareLargeClient() {
    const fs::path client = g_largeRoot / "client";
    for (std::size_t i = 0; i < kLargeCount; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "data/pack%04zu/file%06zu.bin", i / 100, i);
        g_largeFiles.push_back(client / name);
    }
    if (ReadText(g_largeRoot / "complete") == kLargeStamp)
        return;
    std::cerr << "publish: writing the 100,000-file client under " << client << "\n";
    fs::remove_all(g_largeRoot);
    qs::bench::ByteStream bytes(5050);
    for (const fs::path& file : g_largeFiles) {
        fs::create_directories(file.parent_path());
        WriteBytes(file, bytes.Take(1024));
    }
    std::ofstream(g_largeRoot / "complete") << kLargeStamp;
}

PublishOptions LargeOptions() {
    PublishOptions options;
    options.clientDir = g_largeRoot / "client";
    options.outDir = g_largeRoot / "out";
    return options;
}

bool SkipUnlessLarge(benchmark::State& state) {
    if (g_largeRoot.empty())
        state.SkipWithError("run with --large=1");
    return g_largeRoot.empty();
}

void BM_PublishLargeFirst(benchmark::State& state) {
    if (SkipUnlessLarge(state))
        return;
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(g_largeRoot / "out");
        state.ResumeTiming();
        if (Publish(LargeOptions()).hashedFiles != kLargeCount)
            state.SkipWithError("not every file was hashed");
    }
}

// Reading the client's stamps: the part of a republish that grows with the files whatever changed.
void BM_ScanLarge(benchmark::State& state) {
    if (SkipUnlessLarge(state))
        return;
    for (auto _ : state)
        if (qs::publish::ScanClient(g_largeRoot / "client").files.size() != kLargeCount)
            state.SkipWithError("the scan missed files");
}

void BM_RepublishLarge(benchmark::State& state) {
    if (SkipUnlessLarge(state))
        return;
    if (!fs::exists(g_largeRoot / "out" / "updater"))
        Publish(LargeOptions());
    const fs::path changed = g_largeFiles[kLargeCount / 2];
    qs::bench::ByteStream bytes(77);
    std::uint64_t hashed = 0;
    double scan = 0, beyond = 0;  // seconds: the publish's own scan, and all after it
    for (auto _ : state) {
        state.PauseTiming();
        WriteBytes(changed, bytes.Take(1024));
        state.ResumeTiming();
        PublishOptions options = LargeOptions();
        const auto start = std::chrono::steady_clock::now();
        auto scanned = start;
        options.onStep = [&](PublishOptions::Step step) {
            if (step == PublishOptions::Step::Scanned)
                scanned = std::chrono::steady_clock::now();
        };
        hashed += Publish(options).hashedFiles;
        scan += std::chrono::duration<double>(scanned - start).count();
        beyond += std::chrono::duration<double>(std::chrono::steady_clock::now() - scanned).count();
    }
    state.counters["hashed_files"] =
        benchmark::Counter(static_cast<double>(hashed), benchmark::Counter::kAvgIterations);
    state.counters["scan_s"] = benchmark::Counter(scan, benchmark::Counter::kAvgIterations);
    state.counters["beyond_scan_s"] =
        benchmark::Counter(beyond, benchmark::Counter::kAvgIterations);
}

PublishOptions Options(unsigned threads) {
    PublishOptions options;
    options.clientDir = g_root / "client";
    options.outDir = g_root / "out";
    options.threads = threads;
    return options;
}

// range(0): 1 = one thread pinned to one core, 0 = every core.
void BM_PublishFirst(benchmark::State& state) {
    std::unique_ptr<qs::bench::OneCore> pin;
    if (state.range(0) == 1)
        pin = std::make_unique<qs::bench::OneCore>();
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(g_root / "out");
        state.ResumeTiming();
        if (Publish(Options(state.range(0) == 1 ? 1 : 0)).hashedBytes != kTotalBytes)
            state.SkipWithError("not every byte was hashed");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kTotalBytes));
}

// range(0): 1 = one file changed since the last publish (same size, new bytes), 0 = none.
void BM_Republish(benchmark::State& state) {
    Publish(Options(0));
    const fs::path changed = g_files[kFileCount / 2];
    qs::bench::ByteStream bytes(99);
    std::uint64_t hashed = 0;
    for (auto _ : state) {
        if (state.range(0) == 1) {
            state.PauseTiming();
            WriteBytes(changed, bytes.Take(fs::file_size(changed)));
            state.ResumeTiming();
        }
        hashed += Publish(Options(0)).hashedBytes;
    }
    state.counters["hashed_mib"] = benchmark::Counter(static_cast<double>(hashed) / (1 << 20),
                                                      benchmark::Counter::kAvgIterations);
}

void RunTool(benchmark::State& state, std::vector<std::string> command) {
    qs::bench::OneCore pin;
    for (const auto& file : g_files)
        command.push_back(file.string());
    for (auto _ : state) {
        try {
            qs::bench::RunProgram(command);
        } catch (const std::exception& failure) {
            state.SkipWithError(failure.what());
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kTotalBytes));
}

void BM_Sha256sum(benchmark::State& state) {
    RunTool(state, {"sha256sum"});
}

void BM_OpensslDgst(benchmark::State& state) {
    RunTool(state, {"openssl", "dgst", "-sha256"});
}

}  // namespace

BENCHMARK(BM_PublishFirst)
    ->ArgName("one_core")
    ->Arg(1)
    ->Arg(0)
    ->Iterations(1)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Republish)
    ->ArgName("one_changed")
    ->Arg(1)
    ->Arg(0)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PublishLargeFirst)
    ->Iterations(1)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanLarge)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RepublishLarge)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sha256sum)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpensslDgst)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    g_root = fs::path(qs::bench::ArgumentValue(argc, argv, "data", "build/bench-data")) / "publish";
    const bool large = qs::bench::ArgumentValue(argc, argv, "large", "0") == "1";
    // --large_only=1: the large client alone (the 2 GiB benchmarks must then be filtered out).
    const bool largeOnly = qs::bench::ArgumentValue(argc, argv, "large_only", "0") == "1";
    try {
        fs::create_directories(g_root);
        if (!largeOnly) {
            PrepareClient();
            qs::bench::WarmPageCache(g_files);
        }
        if (large || largeOnly) {
            g_largeRoot = g_root.parent_path() / "publish-large";
            PrepareLargeClient();
        }
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
    } catch (const std::exception& failure) {
        std::cerr << "publish: " << failure.what() << "\n";
        return 1;
    }
    return 0;
}
