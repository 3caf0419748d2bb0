// Many small files: 20,000 files of 4 KiB into an empty folder with every reply 20 ms late (a
// network's round trip), by the launcher and by aria2c -j16, over two routes: the stand-in
// service (HTTP/1.1 only; each reply held back by the server) and nginx with the shipped
// configuration (HTTP/2 offered; the link's delay made by bench/delay_proxy.py in front of it).
//
//   qs_bench_small_files --data=DIR [--files=N] [--delay_ms=N] [Google Benchmark flags]
//
// The launcher runs whole (manifest, downloads, verification, durable placement); "4 at once" is
// the launcher held to four transfers, as it fetched small files before. aria2c makes nothing
// durable. Every run starts on a settled disk.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <thread>

#include "bench/bench_support.h"
#include "net/https.h"
#include "platform/wide_text.h"
#include "tools/standin/authority.h"
#include "tools/standin/service.h"
#include "update/update_run.h"

using namespace qs;

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Route {
    ServiceEndpoint endpoint;
    std::string base;  // "https://localhost:PORT"
};

struct SmallFilesData {
    fs::path output;
    fs::path caFile;
    std::vector<std::string> paths;
    std::vector<Route> routes;  // the stand-in, then nginx behind the delay
    std::size_t fileBytes = 4096;
};

SmallFilesData* g_data = nullptr;

void WriteText(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush())
        throw std::runtime_error("cannot write " + file.string());
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at))
        text.replace(at, from.size(), to);
    return text;
}

// A child program started in the background, stopped on destruction; it dies with this process.
void WaitUntilServed(const std::string& url) {
    for (int i = 0; i < 100; ++i) {
        try {
            qs::bench::RunProgram({"curl", "-sf", "--max-time", "2", "--cacert",
                                   g_data->caFile.string(), "-o", "/dev/null", url});
            return;
        } catch (const std::exception&) {
            std::this_thread::sleep_for(100ms);
        }
    }
    throw std::runtime_error("not served: " + url);
}

void EmptyOutput(benchmark::State& state) {
    state.PauseTiming();
    fs::remove_all(g_data->output);
    fs::create_directories(g_data->output);
    ::sync();
    state.ResumeTiming();
}

void CountFiles(benchmark::State& state) {
    std::size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(g_data->output))
        files += entry.is_regular_file() && entry.file_size() == g_data->fileBytes;
    if (files != g_data->paths.size())
        state.SkipWithError("not every file arrived");
}

void RunLauncher(benchmark::State& state, int transfers, int smallFileTransfers) {
    UpdateEnvironment environment;
    environment.service = g_data->routes[static_cast<std::size_t>(state.range(0))].endpoint;
    environment.transfers = transfers;
    environment.smallFileTransfers = smallFileTransfers;
    for (auto _ : state) {
        EmptyOutput(state);
        const UpdateResult result = RunClientUpdate(
            g_data->output, [](const qs::UpdateProgress&) {}, environment);
        if (!result.ok)
            state.SkipWithError(("run failed: " + WideToUtf8(result.message)).c_str());
        CountFiles(state);
    }
}

void BM_SmallFilesLauncher(benchmark::State& state) {
    RunLauncher(state, kConcurrentTransfers, kSmallFileTransfers);
}

void BM_SmallFilesLauncherFourAtOnce(benchmark::State& state) {
    RunLauncher(state, kConcurrentTransfers, kConcurrentTransfers);
}

void BM_SmallFilesAria2j16(benchmark::State& state) {
    const Route& route = g_data->routes[static_cast<std::size_t>(state.range(0))];
    const fs::path input = g_data->output.parent_path() / "aria2-input.txt";
    std::string list;
    for (const std::string& path : g_data->paths)
        list += route.base + "/updater/files/" + path + "\n  out=" + path + "\n";
    WriteText(input, list);
    for (auto _ : state) {
        EmptyOutput(state);
        try {
            qs::bench::RunProgram({"aria2c", "-j16", "-x1", "--ca-certificate",
                                   g_data->caFile.string(), "-i", input.string(), "-d",
                                   g_data->output.string(), "--file-allocation=none",
                                   "--console-log-level=error", "--summary-interval=0",
                                   "--download-result=hide", "--auto-file-renaming=false"});
        } catch (const std::exception& failure) {
            state.SkipWithError(failure.what());
        }
        CountFiles(state);
    }
}

}  // namespace

BENCHMARK(BM_SmallFilesLauncher)
    ->ArgName("nginx")
    ->DenseRange(0, 1)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SmallFilesAria2j16)
    ->ArgName("nginx")
    ->DenseRange(0, 1)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SmallFilesLauncherFourAtOnce)
    ->ArgName("nginx")
    ->DenseRange(0, 1)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const fs::path root =
        fs::path(qs::bench::ArgumentValue(argc, argv, "data", "build/bench-data")) / "small-files";
    const fs::path source = QS_SOURCE_DIR;
    try {
        fs::remove_all(root);
        fs::create_directories(root);
        InitializeHttps();
        const std::size_t count =
            std::stoul(qs::bench::ArgumentValue(argc, argv, "files", "20000"));
        const auto delay = std::chrono::milliseconds(
            std::stoll(qs::bench::ArgumentValue(argc, argv, "delay_ms", "20")));
        SmallFilesData data;
        g_data = &data;
        data.output = root / "client";
        data.caFile = root / "ca.pem";

        // The stand-in: every reply held back by the server.
        qs::test::TestService service;
        WriteText(data.caFile, service.caPem());
        qs::bench::ByteStream bytes(20);
        const fs::path tree = root / "tree";
        for (std::size_t i = 0; i < count; ++i) {
            char path[64];
            std::snprintf(path, sizeof path, "small/g%03zu/f%05zu.dat", i / 100, i);
            data.paths.push_back(path);
            const std::string content = bytes.Take(data.fileBytes);
            WriteText(tree / "updater" / "files" / path, content);
            service.setFile(path, content);
            service.setFault("/updater/files/" + data.paths.back(), qs::test::Fault::slow(delay));
        }
        service.setObjectsNamed(false);  // files by path, as the tree nginx and aria2c serve
        const std::string manifest = service.manifestJson();
        service.setManifestJson(manifest);
        service.setFault("/updater/updater.php", qs::test::Fault::slow(delay));
        data.routes.push_back(
            {service.endpoint(), "https://localhost:" + std::to_string(service.port())});

        // nginx serving the same files as published, behind a link that delays every reply.
        WriteText(tree / "updater" / "updater.php", manifest);
        const fs::path prefix = root / "nginx";
        fs::create_directories(prefix / "tmp");
        const auto certificate = qs::test::TestAuthority::shared().issueServer();
        WriteText(prefix / "cert.pem", certificate.certPem);
        WriteText(prefix / "key.pem", certificate.keyPem);
        std::ifstream standalone(source / "deploy/nginx/standalone.conf");
        std::ifstream serverBlock(source / "deploy/nginx/quillon.conf");
        std::string conf((std::istreambuf_iterator<char>(standalone)), {});
        std::string block((std::istreambuf_iterator<char>(serverBlock)), {});
        const std::uint16_t nginxPort = qs::test::UnusedPort();
        block = Replace(block, "@LISTEN@", "127.0.0.1:" + std::to_string(nginxPort));
        block = Replace(block, "@SERVER_NAME@", "localhost");
        block = Replace(block, "@ROOT@", tree.string());
        block = Replace(block, "@CERT@", (prefix / "cert.pem").string());
        block = Replace(block, "@KEY@", (prefix / "key.pem").string());
        // A worker per core, and no access log: nginx as a server is set up, not its test harness.
        conf = Replace(conf, "access_log access.log quillon;", "access_log off;");
        WriteText(prefix / "nginx.conf",
                  Replace(conf, "worker_processes 1;", "worker_processes 2;"));
        WriteText(prefix / "quillon-server.conf", block);
        const std::string global = ::geteuid() == 0 ? "daemon off; user root;" : "daemon off;";
        qs::bench::ChildProgram nginx({"nginx", "-p", prefix.string() + "/", "-c",
                                       (prefix / "nginx.conf").string(), "-g", global});
        const std::uint16_t linkPort = qs::test::UnusedPort();
        qs::bench::ChildProgram link({"python3", (source / "bench/delay_proxy.py").string(),
                                      std::to_string(linkPort), std::to_string(nginxPort),
                                      std::to_string(delay.count())});
        const std::string base = "https://localhost:" + std::to_string(linkPort);
        WaitUntilServed(base + "/updater/files/" + data.paths.front());
        data.routes.push_back({{"localhost", linkPort, service.caPem()}, base});

        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        fs::remove_all(data.output);
    } catch (const std::exception& failure) {
        std::cerr << "small files: " << failure.what() << "\n";
        return 1;
    }
    return 0;
}
