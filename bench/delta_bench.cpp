// Patch days for one large archive, each brought up to date from the old copy by chunks and by
// the whole download, in the same run against the stand-in service over HTTPS on loopback:
//   edits     16 modified regions of 64 KiB
//   shifted   1 MiB inserted near the start, 1 MiB removed near the end
//   unrelated nothing in common (the delta path must cost next to nothing)
// The link variants hold the transfer to 50 MB/s with the launcher's own limit, a fast home
// connection, where the bytes rather than the disk decide. The chunking of the old copy on one
// core is timed beside the digest of the same file.
//
//   qs_bench_delta [--size_mib=N] [Google Benchmark flags]
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>

#include <unistd.h>

#include "platform/sha256.h"
#include "tools/standin/service.h"
#include "update/chunker.h"
#include "update/digest.h"
#include "update/update_run.h"

using namespace qs;

namespace {

namespace fs = std::filesystem;

enum Scenario { kEdits, kShifted, kUnrelated };

std::size_t g_size = std::size_t{256} << 20;
qs::test::TestService* g_service = nullptr;
fs::path g_folder;
int g_served = -1;
std::string g_servedSha;
std::string g_old;

std::string RandomText(std::size_t size, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i + 8 <= size; i += 8) {
        const std::uint64_t value = random();
        std::memcpy(bytes.data() + i, &value, 8);
    }
    return bytes;
}

const std::string& OldArchive() {
    if (g_old.empty())
        g_old = RandomText(g_size, 42);
    return g_old;
}

std::string NewArchive(int scenario) {
    const std::string& old = OldArchive();
    switch (scenario) {
        case kEdits: {
            std::string edited = old;
            for (int region = 0; region < 16; ++region)
                edited.replace((g_size / 16) * region + 12345, 64u << 10,
                               RandomText(64u << 10, 100 + region));
            return edited;
        }
        case kShifted: {
            std::string shifted = old;
            shifted.erase(g_size - (8u << 20), 1u << 20);
            shifted.insert(4u << 20, RandomText(1u << 20, 7));
            return shifted;
        }
        default:
            return RandomText(g_size, 43);
    }
}

// The stand-in makes the archive's chunk index itself; the manifest lists it as chunked or not.
void Serve(int scenario, bool chunked) {
    if (g_served != scenario) {
        std::string bytes = NewArchive(scenario);
        g_servedSha = qs::test::Sha256Hex(bytes);
        g_service->setFile("archive.pak", std::move(bytes));
        g_served = scenario;
    }
    g_service->setManifestJson(R"({"files":{"archive.pak":")" + g_servedSha +
                               R"("},"sizes":{"archive.pak":)" + std::to_string(g_size) + "}" +
                               (chunked ? R"(,"chunked":["archive.pak"]})" : "}"));
}

// args: scenario, by chunks (1) or whole (0), link limit in MB/s (0: none)
void BM_Patch(benchmark::State& state) {
    const int scenario = static_cast<int>(state.range(0));
    const bool chunked = state.range(1) != 0;
    Serve(scenario, chunked);
    std::atomic<std::uint64_t> limit{static_cast<std::uint64_t>(state.range(2)) * 1000 * 1000};
    std::uint64_t fetched = 0;
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(g_folder);
        fs::create_directories(g_folder);
        std::ofstream(g_folder / "archive.pak", std::ios::binary) << OldArchive();
        ::sync();  // the old copy's writeback is not the run's
        state.ResumeTiming();
        UpdateEnvironment environment;
        environment.service = g_service->endpoint();
        environment.speedLimit = &limit;
        const UpdateResult result = RunClientUpdate(
            g_folder,
            [&fetched](const qs::UpdateProgress& progress) { fetched = progress.amountFetched; },
            environment);
        if (!result.ok) {
            state.SkipWithError(("update failed: " + WideToUtf8(result.message)).c_str());
            break;
        }
    }
    state.counters["fetched_share"] = static_cast<double>(fetched) / g_size;
    state.counters["fetched_MiB"] = static_cast<double>(fetched) / (1 << 20);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_size));
}

fs::path LocalCopy() {
    const fs::path file = g_folder / "local-copy.pak";
    if (!fs::exists(file)) {
        fs::create_directories(g_folder);
        std::ofstream(file, std::ios::binary) << OldArchive();
    }
    return file;
}

void BM_ChunkLocalCopy(benchmark::State& state) {
    const fs::path file = LocalCopy();
    for (auto _ : state)
        benchmark::DoNotOptimize(ChunkFile(file));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_size));
}

// The reference: the same file's digest, read the same way.
void BM_DigestLocalCopy(benchmark::State& state) {
    const fs::path file = LocalCopy();
    constexpr std::size_t kBlock = 1u << 20;
    auto buffer = std::make_unique<char[]>(kBlock);
    for (auto _ : state) {
        std::ifstream input(file, std::ios::binary);
        Sha256Stream digest;
        while (input) {
            input.read(buffer.get(), kBlock);
            digest.update(buffer.get(), static_cast<std::size_t>(input.gcount()));
        }
        benchmark::DoNotOptimize(digest.finish());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_size));
}

void PatchArguments(benchmark::internal::Benchmark* benchmark) {
    benchmark->ArgNames({"scenario", "chunked", "link_MBps"});
    for (int scenario : {kEdits, kShifted, kUnrelated})
        for (int chunked : {1, 0})
            benchmark->Args({scenario, chunked, 0});
    for (int scenario : {kEdits, kShifted})
        for (int chunked : {1, 0})
            benchmark->Args({scenario, chunked, 50});
}

}  // namespace

BENCHMARK(BM_Patch)
    ->Apply(PatchArguments)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ChunkLocalCopy)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DigestLocalCopy)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--size_mib=", 11) == 0)
            g_size = std::strtoull(argv[i] + 11, nullptr, 10) << 20;
    benchmark::Initialize(&argc, argv);
    qs::test::TestService service;
    g_service = &service;
    g_folder = fs::temp_directory_path() / ("qs_bench_delta_" + std::to_string(::getpid()));
    benchmark::RunSpecifiedBenchmarks();
    fs::remove_all(g_folder);
    benchmark::Shutdown();
    return 0;
}
