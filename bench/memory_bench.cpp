// Peak resident memory of an update run that downloads one 1 GiB file, or (--files=500) 200 MiB in
// 500 files over the run's concurrent transfers; with --check, of the start-up check of a client
// of that many sparse 1 MiB files that a valid record vouches for; with --kept as well, that check
// when the manifest is unchanged (a 304 to the copy kept by an earlier run).
//
//   qs_bench_memory --data=DIR [--files=500] [--check=1 [--kept=1]]
//
// The service runs in a child process (it holds the file in memory); this process only runs the
// update, so its own high-water mark (getrusage RUSAGE_SELF) is the launcher's.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "bench/bench_support.h"
#include "platform/wide_text.h"
#include "tools/standin/service.h"
#include "update/update_run.h"
#include "update/verified_record.h"

using namespace qs;

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kFileBytes = 1ull << 30;
constexpr char kFilePath[] = "archives/world.pak";

std::size_t g_files = 1;
bool g_check = false;
bool g_kept = false;

std::string PathOf(std::size_t index) {
    return g_files == 1 ? std::string(kFilePath) : "assets/asset-" + std::to_string(index) + ".pak";
}

// In a child process, so that none of it counts in this process's peak: the sparse files (kept
// between runs) and a record vouching for every one.
void PrepareSparseClient(const fs::path& client, const fs::path& record) {
    const pid_t child = fork();
    if (child == 0) {
        try {
            qs::bench::WriteSparseClient(client, record, g_files);
        } catch (const std::exception&) {
            _exit(1);
        }
        _exit(0);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        throw std::runtime_error("cannot prepare the sparse client");
}

// The child: serve the files until the parent closes its end of `hold`.
void Fill(qs::test::TestService& service) {
    if (g_check) {
        service.setManifestJson(qs::bench::SparseClientManifest(g_files));
        return;
    }
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
    g_check = qs::bench::ArgumentValue(argc, argv, "check", "0") == "1";
    g_kept = g_check && qs::bench::ArgumentValue(argc, argv, "kept", "0") == "1";
    const fs::path data = qs::bench::ArgumentValue(argc, argv, "data", "build/bench-data");
    const fs::path root = g_check ? data / "memory-check" / "client" : data / "memory";
    std::optional<qs::bench::ForkedService> service;
    try {
        if (g_check)
            PrepareSparseClient(root, root.parent_path() / "verified.txt");
        service.emplace(Fill);
    } catch (const std::exception& failure) {
        std::cerr << "memory: " << failure.what() << "\n";
        return 1;
    }
    UpdateEnvironment environment;
    environment.service = service->endpoint();
    if (g_check)
        environment.verifiedRecord = root.parent_path() / "verified.txt";

    InitializeHttps();
    if (g_kept) {
        // The earlier run that kept the manifest, in a child: none of it counts here.
        environment.keptManifest = root.parent_path() / "manifest-kept.txt";
        fs::remove(environment.keptManifest);
        const pid_t child = fork();
        if (child == 0)
            _exit(RunClientUpdate(
                      root, [](const qs::UpdateProgress&) {}, environment)
                          .ok
                      ? 0
                      : 1);
        int status = 0;
        if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0) {
            std::cerr << "memory: the run that keeps the manifest failed\n";
            return 1;
        }
    }
    if (!g_check) {
        fs::remove_all(root);
        fs::create_directories(root);
    }
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
    const auto placed = g_check ? 0 : fs::file_size(root / PathOf(0), ignored);
    if (!g_check)
        fs::remove_all(root, ignored);

    const bool done = g_check
                          ? last == L"Client is up to date."
                          : last == L"Update complete." &&
                                placed == (g_files == 1 ? kFileBytes : (200ull << 20) / g_files);
    if (!result.ok || !done) {
        std::cerr << "memory: the run failed: " << WideToUtf8(result.message) << "\n";
        return 1;
    }
    std::printf("peak_rss_kib_before_run %ld\n", before.ru_maxrss);
    std::printf("peak_rss_kib %ld\n", after.ru_maxrss);
    std::printf("seconds %.3f\n", seconds);
    std::printf("files %zu\n", g_files);
    if (!g_check)
        std::printf("mib_per_second %.1f\n",
                    double(g_files == 1 ? kFileBytes : 200ull << 20) / (1 << 20) / seconds);
    return 0;
}
