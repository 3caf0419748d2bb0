// Peak resident memory of an update run that downloads one 1 GiB file, or (--files=500) 200 MiB in
// 500 files over the run's concurrent transfers.
//
//   qs_bench_memory --data=DIR [--files=500]
//
// The service runs in a child process (it holds the file in memory); this process only runs the
// update, so its own high-water mark (getrusage RUSAGE_SELF) is the launcher's.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "bench/bench_support.h"
#include "tools/standin/service.h"
#include "update/text.h"
#include "update/update_run.h"

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kFileBytes = 1ull << 30;
constexpr char kFilePath[] = "archives/world.pak";

bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote <= 0)
            return false;
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

std::string ReadAll(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0)
            return text;
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

std::size_t g_files = 1;

std::string PathOf(std::size_t index) {
    return g_files == 1 ? std::string(kFilePath) : "assets/asset-" + std::to_string(index) + ".pak";
}

// The child: serve the files until the parent closes its end of `hold`.
[[noreturn]] void Serve(int report, int hold) {
    try {
        qs::test::TestService service;
        qs::bench::ByteStream stream(1024);
        nlohmann::json manifest = {{"files", nlohmann::json::object()}};
        for (std::size_t i = 0; i < g_files; ++i) {
            std::string bytes = stream.Take(g_files == 1 ? kFileBytes : (200ull << 20) / g_files);
            manifest["files"][PathOf(i)] = qs::test::Sha256Hex(bytes);
            service.setFile(PathOf(i), std::move(bytes));
        }
        service.setManifestJson(manifest.dump());
        const std::string hello = std::to_string(service.port()) + "\n" + service.caPem();
        WriteAll(report, hello);
        close(report);
        char ignored;
        while (read(hold, &ignored, 1) > 0) {
        }
    } catch (const std::exception& failure) {
        std::cerr << "memory: service failed: " << failure.what() << "\n";
        _exit(1);
    }
    _exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    g_files = std::stoul(qs::bench::ArgumentValue(argc, argv, "files", "1"));
    const fs::path root =
        fs::path(qs::bench::ArgumentValue(argc, argv, "data", "build/bench-data")) / "memory";
    int reportPipe[2], holdPipe[2];
    if (pipe(reportPipe) != 0 || pipe(holdPipe) != 0)
        return 1;
    // Fork before any thread exists in this process.
    const pid_t child = fork();
    if (child < 0)
        return 1;
    if (child == 0) {
        close(reportPipe[0]);
        close(holdPipe[1]);
        Serve(reportPipe[1], holdPipe[0]);
    }
    close(reportPipe[1]);
    close(holdPipe[0]);

    const std::string hello = ReadAll(reportPipe[0]);
    close(reportPipe[0]);
    const auto newline = hello.find('\n');
    if (newline == std::string::npos) {
        std::cerr << "memory: the service did not start\n";
        return 1;
    }
    UpdateEnvironment environment;
    environment.service = ServiceEndpoint{
        "localhost", static_cast<std::uint16_t>(std::stoi(hello.substr(0, newline))),
        hello.substr(newline + 1)};

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

    close(holdPipe[1]);
    int status = 0;
    waitpid(child, &status, 0);
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
