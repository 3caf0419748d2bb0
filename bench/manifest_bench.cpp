// What the manifest costs a start at 20,000 and 100,000 files, signed: a changed one (gzip on
// the wire over loopback, its signature and freshness checked, then planned) beside an unchanged
// one (a 304, the kept copy read back and checked, then planned), and the parts of each.
//
//   qs_bench_manifest [Google Benchmark flags]
#include <benchmark/benchmark.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "bench/bench_support.h"
#include "net/https.h"
#include "net/json_reply.h"
#include "scratch.h"
#include "tools/publish/gzip.h"
#include "tools/publish/signing.h"
#include "tools/standin/service.h"
#include "update/kept_manifest.h"
#include "update/update_run.h"
#include "update/update_signature.h"

namespace qs {
namespace {

namespace fs = std::filesystem;

// A signed manifest of `count` files laid out as the download benchmarks lay them out, with its
// signature, served by a stand-in and kept as a launcher keeps it.
struct Published {
    std::string body;
    std::string signature;
    std::string publicKey;
    std::unique_ptr<test::TestService> service;
    TempFolder scratch;
    fs::path kept;
};

Published& ManifestOf(std::size_t count) {
    static std::map<std::size_t, std::unique_ptr<Published>> made;
    std::unique_ptr<Published>& published = made[count];
    if (published)
        return *published;
    published = std::make_unique<Published>();
    bench::ByteStream bytes(count);
    std::string files, sizes;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string path = bench::DownloadClientPath(i, count);
        const std::string digest = test::Sha256Hex(bytes.Take(16));
        files += (i ? ",\"" : "\"") + path + "\":\"" + digest + "\"";
        sizes += (i ? ",\"" : "\"") + path + "\":" + std::to_string(4096 + i % 100000);
    }
    const std::int64_t now = UnixSecondsNow();
    published->body = "{\"files\":{" + files + "},\"sizes\":{" + sizes +
                      "},\"serial\":" + std::to_string(now) +
                      ",\"expires\":" + std::to_string(now + 86400) + "}";
    published->publicKey = publish::GenerateSigningKey(published->scratch.path() / "keys");
    // Kept as the launcher keeps it: without its line end.
    published->signature = publish::SignatureText(
        ReadFile(published->scratch.path() / "keys/update-key.pem"), published->body);
    published->signature.erase(published->signature.find_last_not_of("\r\n") + 1);
    published->service = std::make_unique<test::TestService>();
    published->service->setManifestJson(published->body);
    published->kept = published->scratch.path() / "manifest-kept.txt";
    HttpsConnection connection;
    const ConditionalReply reply =
        HttpsConditionalRequest(published->service->url("/updater/updater.php"), L"POST", "{}",
                                published->service->endpoint(), connection);
    if (!SaveKeptManifest(published->kept,
                          {published->body, published->signature, reply.validator}))
        throw std::runtime_error("the benchmark's manifest cannot be kept");
    return *published;
}

void Plan(const Published& published, std::string_view body) {
    const std::vector<UpdatePlanEntry> plan =
        PlanClientUpdate(published.scratch.path() / "client", body);
    benchmark::DoNotOptimize(plan.data());
}

void CheckSigned(const Published& published, std::string_view body, std::string_view signature) {
    if (!SignatureValid(published.publicKey, body, signature) || !ReadManifestFreshness(body))
        throw std::runtime_error("the benchmark's manifest does not verify");
}

// The request alone: the whole body gzip-encoded, or a 304 to the kept copy's validator.
void BM_ManifestRequest(benchmark::State& state) {
    Published& published = ManifestOf(static_cast<std::size_t>(state.range(0)));
    const bool unchanged = state.range(1) != 0;
    const ReplyValidator known =
        unchanged ? LoadKeptManifest(published.kept).kept.validator : ReplyValidator();
    for (auto _ : state) {
        HttpsConnection connection;
        const ConditionalReply reply =
            HttpsConditionalRequest(published.service->url("/updater/updater.php"), L"POST", "{}",
                                    published.service->endpoint(), connection, known);
        benchmark::DoNotOptimize(reply.body.data());
    }
    state.counters["manifest_bytes"] = static_cast<double>(published.body.size());
    state.counters["gzip_bytes"] = static_cast<double>(publish::GzipBytes(published.body).size());
}

// Everything after the request: a fresh body's checks, or the kept copy read and checked again;
// then, with range(2), the plan of an empty client (the parse and every path resolved).
void BM_ManifestAfterRequest(benchmark::State& state) {
    Published& published = ManifestOf(static_cast<std::size_t>(state.range(0)));
    const bool unchanged = state.range(1) != 0;
    const bool plan = state.range(2) != 0;
    for (auto _ : state) {
        if (unchanged) {
            const KeptManifestRead read = LoadKeptManifest(published.kept);
            CheckSigned(published, read.kept.body, read.kept.signature);
            if (plan)
                Plan(published, read.kept.body);
        } else {
            CheckSigned(published, published.body, published.signature);
            if (plan)
                Plan(published, published.body);
        }
    }
}

// The manifest's JSON parse alone, as planning parses it: what a 304 could still spare.
void BM_ManifestParse(benchmark::State& state) {
    Published& published = ManifestOf(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        const nlohmann::json parsed = ParseJsonReply(published.body, nullptr, kManifestMaxValues);
        benchmark::DoNotOptimize(parsed.size());
    }
}

// Files; 0: changed (200), 1: unchanged (304).
BENCHMARK(BM_ManifestRequest)
    ->ArgsProduct({{20000, 100000}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ManifestParse)->Arg(20000)->Arg(100000)->Unit(benchmark::kMillisecond);
// Files; changed or unchanged; without or with the plan.
BENCHMARK(BM_ManifestAfterRequest)
    ->ArgsProduct({{20000, 100000}, {0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace qs

BENCHMARK_MAIN();
