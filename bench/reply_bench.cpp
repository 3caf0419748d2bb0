// Time and peak resident memory of reading the worst service replies at their size caps: for
// each kind, one nested as deeply as the bytes allow and one as wide and flat as they allow.
// Each parse runs in a forked child, so one reply's memory never mixes with another's.
//
//   qs_bench_replies [--data=DIR] [Google Benchmark flags]
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "live/news_feed.h"
#include "live/status_poller.h"
#include "net/https.h"
#include "net/json_reply.h"
#include "scratch.h"
#include "update/update_run.h"

using namespace qs;

namespace {

namespace fs = std::filesystem;

fs::path g_clientFolder;

// `open`, then "<prefix><n><suffix>," repeated while the body stays within `cap`, then `close`.
std::string Wide(std::size_t cap, const std::string& open, const std::string& prefix,
                 const std::string& suffix, const std::string& close) {
    std::string body = open;
    for (std::size_t n = 0;; ++n) {
        std::string element =
            (n ? "," : "") + prefix + (prefix.empty() ? "" : std::to_string(n)) + suffix;
        if (body.size() + element.size() + close.size() > cap)
            break;
        body += element;
    }
    return body + close;
}

struct Reply {
    const char* name;
    std::function<std::string()> make;
    std::function<void(const std::string&)> read;  // what the launcher does with the body
};

void ReadManifest(const std::string& body) {
    try {
        PlanClientUpdate(g_clientFolder, body);
    } catch (const std::exception&) {
    }
}
void ReadRelease(const std::string& body) {
    try {
        // As the release check reads it: with its value budget.
        const nlohmann::json root = ParseJsonReply(body, nullptr, kReleaseMaxValues);
        benchmark::DoNotOptimize(root.is_object() && root.contains("version"));
    } catch (const std::exception&) {
    }
}
void ReadStatus(const std::string& body) {
    benchmark::DoNotOptimize(ParseServerStatus(body).online);
}
void ReadNews(const std::string& body) {
    benchmark::DoNotOptimize(ParseNewsItems(body).has_value());
}

const std::vector<Reply>& Replies() {
    static const std::vector<Reply> replies = {
        {"Manifest/deep", [] { return std::string(kManifestMaxBytes, '['); }, ReadManifest},
        {"Manifest/wide",
         [] { return Wide(kManifestMaxBytes, "{\"files\":{", "\"a", "\":\"\"", "}}"); },
         ReadManifest},
        {"Release/deep", [] { return std::string(kReleaseMaxBytes, '['); }, ReadRelease},
        {"Release/wide", [] { return Wide(kReleaseMaxBytes, "{", "\"a", "\":\"\"", "}"); },
         ReadRelease},
        {"Status/deep", [] { return std::string(kStatusMaxBytes, '['); }, ReadStatus},
        {"Status/wide", [] { return Wide(kStatusMaxBytes, "{", "\"a", "\":0", "}"); }, ReadStatus},
        {"News/deep", [] { return std::string(kNewsMaxBytes, '['); }, ReadNews},
        {"News/wide", [] { return Wide(kNewsMaxBytes, "[", "", "0", "]"); }, ReadNews},
        {"News/wide_objects", [] { return Wide(kNewsMaxBytes, "[", "", "{}", "]"); }, ReadNews},
    };
    return replies;
}

// One read in a child: its seconds and its peak resident memory above its start, in KiB.
bool ReadInChild(const Reply& reply, const std::string& body, double& seconds, long& peakKiB) {
    int ends[2];
    if (pipe(ends) != 0)
        return false;
    const pid_t child = fork();
    if (child < 0)
        return false;
    if (child == 0) {
        close(ends[0]);
        const long start = StatusKiB("VmRSS:");
        const auto begin = std::chrono::steady_clock::now();
        reply.read(body);
        const double report[2] = {
            std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count(),
            static_cast<double>(StatusKiB("VmHWM:") - start)};
        _exit(write(ends[1], report, sizeof report) == sizeof report ? 0 : 1);
    }
    close(ends[1]);
    double report[2] = {0, 0};
    const bool received = read(ends[0], report, sizeof report) == sizeof report;
    close(ends[0]);
    int status = 0;
    waitpid(child, &status, 0);
    seconds = report[0];
    peakKiB = static_cast<long>(report[1]);
    return received && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_Reply(benchmark::State& state, const Reply* reply) {
    const std::string body = reply->make();
    for (auto _ : state) {
        double seconds = 0;
        long peakKiB = 0;
        if (!ReadInChild(*reply, body, seconds, peakKiB)) {
            state.SkipWithError("the child failed");
            return;
        }
        state.SetIterationTime(seconds);
        state.counters["peak_mib"] = static_cast<double>(peakKiB) / 1024;
    }
    state.counters["reply_mib"] = static_cast<double>(body.size()) / (1 << 20);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    g_clientFolder =
        fs::path(qs::bench::ArgumentValue(argc, argv, "data", "build/bench-data")) / "replies";
    fs::remove_all(g_clientFolder);
    fs::create_directories(g_clientFolder);
    for (const Reply& reply : Replies()) {
        benchmark::RegisterBenchmark((std::string("BM_Reply/") + reply.name).c_str(), BM_Reply,
                                     &reply)
            ->Iterations(1)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    fs::remove_all(g_clientFolder, ignored);
    return 0;
}
