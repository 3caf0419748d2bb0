// A patch day through the cache tier as shipped (deploy/varnish/): many launchers' update runs
// at once (the engine library, each with its own client folder) through the TLS edge, Varnish
// and the origin nginx on loopback. A bounded run: one client published, one run alone against a
// cold cache (three times), then `--runs` simultaneous runs against another cold cache. Prints the
// file bodies that reached the origin, the origin's bytes against the bytes served to launchers,
// and the slowest simultaneous run against the run alone.
//   qs_bench_cdn [--runs=50] [--files=200] [--mib=20]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <regex>
#include <thread>

#include "bench_support.h"
#include "net/https.h"
#include "platform/wide_text.h"
#include "scratch.h"
#include "tools/publish/publish.h"
#include "update/update_run.h"
#include "web_servers.h"

using namespace qs;
using namespace qs::test;
namespace fs = std::filesystem;

namespace {

struct Traffic {
    std::uint64_t fileBodies = 0, bytes = 0;
};

// Bodies of files, objects and chunk indexes (200 or 206), and every body byte, in a log.
Traffic Count(const std::vector<std::string>& log) {
    static const std::regex file("^/updater/(files|objects|chunks)/");
    Traffic traffic;
    for (const LoggedRequest& request : ParseLog(log)) {
        if ((request.status == "200" || request.status == "206") &&
            std::regex_search(request.path, file))
            ++traffic.fileBodies;
        traffic.bytes += std::stoull(request.bytes);
    }
    return traffic;
}

struct Run {
    double seconds = 0;
    bool ok = false;
};

Run UpdateOnce(const fs::path& game, const ServiceEndpoint& service) {
    UpdateEnvironment environment;
    environment.service = service;
    const auto start = std::chrono::steady_clock::now();
    const UpdateResult result = RunClientUpdate(
        game, [](const UpdateProgress&) {}, environment);
    if (!result.ok)
        std::fprintf(stderr, "run failed: %s\n", WideToUtf8(result.message).c_str());
    return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
            result.ok};
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = std::stoi(bench::ArgumentValue(argc, argv, "runs", "50"));
    const std::size_t files = std::stoul(bench::ArgumentValue(argc, argv, "files", "200"));
    const std::uint64_t bytes = std::stoull(bench::ArgumentValue(argc, argv, "mib", "20")) << 20;
    InitializeHttps();
    TempFolder scratch;
    qs::publish::PublishOptions options;
    options.clientDir = scratch.path() / "client";
    options.outDir = scratch.path() / "tree";
    const auto sizes = bench::FileSizes(files, bytes, 4096, bytes / files * 4, 7);
    bench::ByteStream stream(11);
    for (std::size_t i = 0; i < files; ++i)
        WriteFile(options.clientDir / bench::DownloadClientPath(i, files), stream.Take(sizes[i]));
    qs::publish::Publish(options);

    // The run alone: the median of three, each against a cold cache of its own.
    std::vector<Run> alones;
    for (int i = 0; i < 3; ++i) {
        const fs::path folder = scratch.path() / ("alone" + std::to_string(i));
        CacheTier tier(folder / "tier", options.outDir);
        alones.push_back(UpdateOnce(folder / "game", tier.edge.endpoint()));
    }
    std::sort(alones.begin(), alones.end(), [](auto& a, auto& b) { return a.seconds < b.seconds; });
    const Run alone = alones[1];
    CacheTier tier(scratch.path() / "tier", options.outDir);
    std::vector<Run> results(runs);
    std::vector<std::thread> threads;
    std::atomic<bool> go{false};
    for (int i = 0; i < runs; ++i)
        threads.emplace_back([&, i] {
            while (!go)
                std::this_thread::yield();
            results[i] =
                UpdateOnce(scratch.path() / ("game" + std::to_string(i)), tier.edge.endpoint());
        });
    const auto start = std::chrono::steady_clock::now();
    go = true;
    for (std::thread& thread : threads)
        thread.join();
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    const Traffic origin = Count(tier.origin.log()), served = Count(tier.edge.log());
    const auto slowest = std::max_element(results.begin(), results.end(),
                                          [](auto& a, auto& b) { return a.seconds < b.seconds; });
    const long failed =
        std::count_if(results.begin(), results.end(), [](auto& r) { return !r.ok; });
    std::printf("client: %zu files, %.1f MiB\n", files, static_cast<double>(bytes) / (1 << 20));
    std::printf("one run alone (cold cache, median of 3): %.2f s%s\n", alone.seconds,
                alone.ok ? "" : " FAILED");
    std::printf(
        "%d simultaneous runs: %ld failed, all done in %.2f s, slowest %.2f s = %.1fx the run "
        "alone\n",
        runs, failed, wall, slowest->seconds, slowest->seconds / alone.seconds);
    std::printf(
        "file bodies: %llu reached the origin, %llu served to launchers (%.1f runs' worth)\n",
        static_cast<unsigned long long>(origin.fileBodies),
        static_cast<unsigned long long>(served.fileBodies),
        static_cast<double>(served.fileBodies) / static_cast<double>(files));
    std::printf("bytes: %.1f MiB from the origin, %.1f MiB served to launchers (%.1f%%)\n",
                static_cast<double>(origin.bytes) / (1 << 20),
                static_cast<double>(served.bytes) / (1 << 20),
                100.0 * static_cast<double>(origin.bytes) / static_cast<double>(served.bytes));
    if (failed > 0)  // what the servers said, before the scratch folder goes
        for (const char* log : {"edge/error.log", "origin/error.log", "varnish/varnishd.out"})
            std::fprintf(stderr, "== %s\n%s", log,
                         ReadFile(scratch.path() / "tier" / log).substr(0, 4000).c_str());
    return failed == 0 && alone.ok ? 0 : 1;
}
