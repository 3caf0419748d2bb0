// A patch day for one large archive: 256 MiB with 16 modified 64 KiB regions, brought up to date
// from the old copy by chunks, and by the whole download, in the same run against the stand-in
// service over HTTPS on loopback.
//
//   qs_bench_delta [--size_mib=N] [Google Benchmark flags]
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>

#include <unistd.h>

#include "tools/standin/service.h"
#include "update/chunker.h"
#include "update/text.h"
#include "update/update_run.h"

namespace {

namespace fs = std::filesystem;

std::size_t g_size = std::size_t{256} << 20;
std::string* g_old = nullptr;
std::string* g_new = nullptr;
qs::test::TestService* g_service = nullptr;
fs::path g_folder;

void Generate() {
    std::mt19937_64 random(42);
    g_old = new std::string(g_size, '\0');
    for (std::size_t i = 0; i + 8 <= g_size; i += 8) {
        const std::uint64_t value = random();
        std::memcpy(g_old->data() + i, &value, 8);
    }
    g_new = new std::string(*g_old);
    for (int region = 0; region < 16; ++region) {
        const std::size_t at = (g_size / 16) * region + 12345;
        for (std::size_t i = 0; i < (64u << 10); ++i)
            (*g_new)[at + i] = static_cast<char>(random());
    }
}

void Serve(bool chunked) {
    const std::string sha = qs::test::Sha256Hex(*g_new);
    std::string manifest = R"({"files":{"archive.pak":")" + sha + R"("}})";
    if (chunked)
        manifest.insert(manifest.size() - 1, R"(,"chunked":["archive.pak"])");
    g_service->setManifestJson(manifest);
}

void Run(benchmark::State& state, bool chunked) {
    Serve(chunked);
    std::uint64_t fetched = 0;
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(g_folder);
        fs::create_directories(g_folder);
        std::ofstream(g_folder / "archive.pak", std::ios::binary) << *g_old;
        state.ResumeTiming();
        UpdateEnvironment environment;
        environment.service = g_service->endpoint();
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

void BM_PatchByChunks(benchmark::State& state) {
    Run(state, true);
}
void BM_PatchWholeFile(benchmark::State& state) {
    Run(state, false);
}

}  // namespace

BENCHMARK(BM_PatchByChunks)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PatchWholeFile)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--size_mib=", 11) == 0)
            g_size = std::strtoull(argv[i] + 11, nullptr, 10) << 20;
    benchmark::Initialize(&argc, argv);
    Generate();
    qs::test::TestService service;
    g_service = &service;
    service.setFile("archive.pak", *g_new);
    ChunkIndex index;
    const std::string sha = qs::test::Sha256Hex(*g_new);
    index.file = *DigestFromHex(std::wstring(sha.begin(), sha.end()));
    index.size = g_new->size();
    index.chunks = ChunkBytes(*g_new);
    service.setResource("/updater/chunks/" + sha + ".idx", ChunkIndexBytes(index));
    g_folder = fs::temp_directory_path() / ("qs_bench_delta_" + std::to_string(::getpid()));
    benchmark::RunSpecifiedBenchmarks();
    fs::remove_all(g_folder);
    benchmark::Shutdown();
    return 0;
}
