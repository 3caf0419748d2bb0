// Peak resident memory of an update run that downloads one 1 GiB file, or (--files=500) 200 MiB in
// 500 files over the run's concurrent transfers.
//
//   qs_bench_memory --data=DIR [--files=500]
//
// The service runs in a child process (it holds the file in memory); this process only runs the
// update, so its own high-water mark (getrusage RUSAGE_SELF) is the launcher's.
#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "bench/bench_support.h"
#include "platform/wide_text.h"
#include "tools/standin/service.h"
#include "update/update_run.h"

using namespace qs;

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kFileBytes = 1ull << 30;
constexpr char kFilePath[] = "archives/world.pak";

std::size_t g_files = 1;

std::string PathOf(std::size_t index) {
    return g_files == 1 ? std::string(kFilePath) : "assets/asset-" + std::to_string(index) + ".pak";
}

// The child: serve the files until the parent closes its end of `hold`.
void Fill(qs::test::TestService& service) {
    qs::bench::ByteStream stream(1024);
    nlohmann::json manifest = {{"files", nlohmann::json::object()}};
    for (std::size_t i = 0; i < g_files; ++i) {
        std::string bytes = stream.Take(g_files == 1 ? kFileBytes : (200ull << 20) / g_files);
        manifest["files"][PathOf(i)] = qs::test::Sha256Hex(bytes);
        service.setFile(PathOf(i), std::move(bytes));
    }
    service.setManifestJson(manifest.dump());
}

}  // namespace

int main(int argc, char** argv) {
    g_files = std::stoul(qs::bench::ArgumentValue(argc, argv, "files", "1"));
    const fs::path root =
        fs::path(qs::bench::ArgumentValue(argc, argv, "data", "build/bench-data")) / "memory";
    std::optional<qs::bench::ForkedService> service;
    try {
        service.emplace(Fill);
    } catch (const std::exception& failure) {
        std::cerr << "memory: " << failure.what() << "\n";
        return 1;
    }
    UpdateEnvironment environment;
    environment.service = service->endpoint();

    InitializeHttps();
    fs::remove_all(root);
    fs::create_directories(root);
    struct rusage before {};
    getrusage(RUSAGE_SELF, &before);
    const auto start = std::chrono::steady_clock::now();
    std::wstring last;
    const UpdateResult result = RunClientUpdate(
        root, [&last](const qs::UpdateProgress& report) { last = report.message; }, environment);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    struct rusage after {};
    getrusage(RUSAGE_SELF, &after);

    service.reset();
    std::error_code ignored;
    const auto placed = fs::file_size(root / PathOf(0), ignored);
    fs::remove_all(root, ignored);

    if (!result.ok || last != L"Update complete." ||
        placed != (g_files == 1 ? kFileBytes : (200ull << 20) / g_files)) {
        std::cerr << "memory: the run failed: " << WideToUtf8(result.message) << "\n";
        return 1;
    }
    std::printf("peak_rss_kib_before_run %ld\n", before.ru_maxrss);
    std::printf("peak_rss_kib %ld\n", after.ru_maxrss);
    std::printf("seconds %.3f\n", seconds);
    std::printf("files %zu\n", g_files);
    std::printf("mib_per_second %.1f\n",
                double(g_files == 1 ? kFileBytes : 200ull << 20) / (1 << 20) / seconds);
    return 0;
}
