// Patch days beside zsync and casync: writes each old/new pair once, then times the launcher's
// patch path and its whole download over HTTPS on loopback (the stand-in service), at full speed
// and paced to 50 MB/s by the launcher's own limit. scripts/bench.sh (part `patchday`) runs the
// two tools on the same pairs and prints the table.
//   edits     16 changed 64 KiB regions
//   shifted   1 MiB inserted near the start, 1 MiB removed near the end
//   fewbytes  16 scattered edits of 8 bytes
//   fewfiles  200 files of 1 MiB, 3 of them with a 64 KiB region rewritten
//
//   qs_bench_patch_day --data=DIR [--size_mib=256] [--runs=3] [--pair=NAME] [--write_only]
//                      [--rtt_ms=N]
// Prints "launcher|unseen|whole <pair> <MBps> <most bytes a run fetched> <median seconds>" lines
// (with --rtt_ms, "launcher-rtt" and so on, through bench/delay_proxy.py at full speed): the
// patch of an old copy the launcher placed (its record and chunk list kept, as on a player's disk),
// of one it never saw (written beside it), and the whole download.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "bench/bench_support.h"
#include "tools/standin/service.h"
#include "update/block_index.h"
#include "update/chunker.h"
#include "update/digest.h"
#include "update/update_run.h"

namespace qs {
namespace {

namespace fs = std::filesystem;

struct Pair {
    const char* name;
    std::string (*make)(const std::string& old);
};

std::string Random(std::size_t size, std::uint64_t seed) {
    return bench::ByteStream(seed).Take(size);
}

const Pair kPairs[] = {
    {"edits",
     [](const std::string& old) {
         std::string edited = old;
         for (std::size_t region = 0; region < 16; ++region)
             edited.replace((old.size() / 16) * region + 12345, 64u << 10,
                            Random(64u << 10, 100 + region));
         return edited;
     }},
    {"shifted",
     [](const std::string& old) {
         std::string shifted = old;
         shifted.erase(old.size() - (8u << 20), 1u << 20);
         shifted.insert(4u << 20, Random(1u << 20, 7));
         return shifted;
     }},
    {"fewbytes",
     [](const std::string& old) {
         std::string edited = old;
         for (std::size_t region = 0; region < 16; ++region)
             edited.replace((old.size() / 16) * region + 54321, 8, Random(8, 200 + region));
         return edited;
     }},
};

std::string ReadAll(const fs::path& file) {
    std::ifstream input(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(input), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
}

// The pairs under `root`/<name>/{old,new}.pak, written when missing.
void WritePairs(const fs::path& root, std::size_t size) {
    std::string old;
    for (const Pair& pair : kPairs) {
        const fs::path folder = root / pair.name;
        if (fs::exists(folder / "new.pak") && fs::file_size(folder / "old.pak") == size)
            continue;
        if (old.empty())
            old = Random(size, 42);
        fs::create_directories(folder);
        WriteAll(folder / "old.pak", old);
        WriteAll(folder / "new.pak", pair.make(old));
    }
}

struct Measured {
    std::uint64_t fetched = 0;
    double seconds = 0;
};

// A client's files by name: the old version on the player's disk, or the new one published.
using Files = std::vector<std::pair<std::string, std::string>>;

// Many files, a few of them changed: 200 files of 1 MiB, 3 with a 64 KiB region rewritten.
constexpr std::size_t kManyFiles = 200;
constexpr std::size_t kManyFileSize = 1u << 20;
bool ChangedAmongMany(std::size_t file) {
    return file == 17 || file == 101 || file == 180;
}
std::string ManyFileName(std::size_t file) {
    char name[16];
    std::snprintf(name, sizeof name, "f%03zu.pak", file);
    return name;
}

// Under `root`/fewfiles/{old,new}/, written when missing.
void WriteManyFiles(const fs::path& root) {
    const fs::path folder = root / "fewfiles";
    if (fs::exists(folder / "new" / ManyFileName(kManyFiles - 1)))
        return;
    fs::create_directories(folder / "old");
    fs::create_directories(folder / "new");
    for (std::size_t file = 0; file < kManyFiles; ++file) {
        std::string bytes = Random(kManyFileSize, 1000 + file);
        WriteAll(folder / "old" / ManyFileName(file), bytes);
        if (ChangedAmongMany(file))
            bytes.replace(300000, 64u << 10, Random(64u << 10, 2000 + file));
        WriteAll(folder / "new" / ManyFileName(file), bytes);
    }
}

Files ReadFolder(const fs::path& folder) {
    Files files;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().extension() == ".pak")  // not the tools' indexes beside them
            files.emplace_back(entry.path().filename().string(), ReadAll(entry.path()));
    std::sort(files.begin(), files.end());
    return files;
}

void Publish(test::TestService& service, const Files& files) {
    service.clearFiles();
    for (const auto& [name, bytes] : files)
        service.setFile(name, bytes);
}

// The manifest of `files` without their indexes.
std::string PlainManifest(const Files& files) {
    std::string digests;
    std::string sizes;
    for (const auto& [name, bytes] : files) {
        digests +=
            (digests.empty() ? "\"" : ",\"") + name + "\":\"" + test::Sha256Hex(bytes) + "\"";
        sizes += (sizes.empty() ? "\"" : ",\"") + name + "\":" + std::to_string(bytes.size());
    }
    return R"({"files":{)" + digests + R"(},"sizes":{)" + sizes + "}}";
}

bool Update(test::TestService& service, const fs::path& folder, const fs::path& record) {
    UpdateEnvironment environment;
    environment.service = service.endpoint();
    environment.verifiedRecord = record;
    return RunClientUpdate(
               folder, [](const UpdateProgress&) {}, environment)
        .ok;
}

// The old copies as the launcher leaves them: built by their chunks from copies a few bytes
// apart (so their chunk lists are kept), then proven by a later start, so the record vouches for
// them. Without `installed` (copies the launcher never saw), only the bytes and no record.
void PlaceOld(const fs::path& folder, const Files& old, test::TestService* installed,
              const fs::path& record) {
    fs::remove_all(folder);
    fs::remove_all(record.parent_path());
    fs::create_directories(folder);
    for (const auto& [name, bytes] : old) {
        std::string before = bytes;
        if (installed && bytes.size() >= kChunkedFileMin)
            before.replace(bytes.size() / 2, 8, "patched!");
        WriteAll(folder / name, before);
    }
    if (!installed)
        return;
    if (!Update(*installed, folder, record))
        std::exit(1);
    // The record vouches only for stamps at least 2 s old when taken.
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    if (!Update(*installed, folder, record))
        std::exit(1);
}

// One run from the manifest request to the files placed and flushed.
Measured RunOnce(const ServiceEndpoint& service, const fs::path& folder, const Files& old,
                 std::uint64_t bytesPerSecond, test::TestService* installed,
                 const fs::path& record) {
    PlaceOld(folder, old, installed, record);
    ::sync();  // the old copies' writeback is not the run's
    std::atomic<std::uint64_t> limit{bytesPerSecond};
    UpdateEnvironment environment;
    environment.service = service;
    environment.speedLimit = &limit;
    if (installed)
        environment.verifiedRecord = record;
    Measured measured;
    const auto start = std::chrono::steady_clock::now();
    const UpdateResult result = RunClientUpdate(
        folder,
        [&measured](const UpdateProgress& progress) { measured.fetched = progress.amountFetched; },
        environment);
    measured.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!result.ok) {
        std::fprintf(stderr, "update failed: %s\n", WideToUtf8(result.message).c_str());
        std::exit(1);
    }
    return measured;
}

// Every way the launcher takes `name`'s patch, each at full speed and at 50 MB/s: on copies it
// placed, on copies it never saw, and the whole download.
void MeasureShape(const char* name, const Files& old, const Files& wanted, int runs,
                  const fs::path& root, int roundTripMs) {
    test::TestService service;
    test::TestService installed;  // the old version, as the player's launcher placed it
    Publish(installed, old);
    Publish(service, wanted);
    // With a round trip, the runs reach the service through a link that holds every reply.
    ServiceEndpoint endpoint = service.endpoint();
    std::unique_ptr<bench::ChildProgram> link;
    if (roundTripMs > 0) {
        endpoint.port = test::UnusedPort();
        link = bench::StartDelayLink(QS_SOURCE_DIR, endpoint.port, service.port(), roundTripMs);
    }
    const fs::path folder = root / "launcher-client";
    const fs::path record = root / "launcher-private" / "verified.txt";
    const struct {
        const char* name;
        bool chunked;
        bool placed;
    } kinds[] = {{"launcher", true, true}, {"unseen", true, false}, {"whole", false, true}};
    for (const auto& kind : kinds) {
        if (!kind.chunked)
            service.setManifestJson(PlainManifest(wanted));
        for (const std::uint64_t mbps : {0, 50}) {
            if (roundTripMs > 0 && mbps != 0)
                continue;  // the link's round trip alone
            std::vector<double> seconds;
            std::uint64_t fetched = 0;
            for (int run = 0; run < runs; ++run) {
                const Measured measured = RunOnce(endpoint, folder, old, mbps * 1000 * 1000,
                                                  kind.placed ? &installed : nullptr, record);
                seconds.push_back(measured.seconds);
                fetched = std::max(fetched, measured.fetched);  // a run that fell back shows
            }
            std::sort(seconds.begin(), seconds.end());
            std::printf("%s%s %s %llu %llu %.3f\n", kind.name, roundTripMs > 0 ? "-rtt" : "", name,
                        static_cast<unsigned long long>(mbps),
                        static_cast<unsigned long long>(fetched), seconds[seconds.size() / 2]);
            std::fflush(stdout);
        }
    }
    fs::remove_all(folder);
    fs::remove_all(record.parent_path());
}

}  // namespace
}  // namespace qs

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    const fs::path data = qs::bench::ArgumentValue(argc, argv, "data", "build/bench-data");
    const std::size_t size = std::stoull(qs::bench::ArgumentValue(argc, argv, "size_mib", "256"))
                             << 20;
    const int runs = std::stoi(qs::bench::ArgumentValue(argc, argv, "runs", "3"));
    // --rtt_ms=N: the runs over a link with that round trip instead, at full speed only.
    const int roundTripMs = std::stoi(qs::bench::ArgumentValue(argc, argv, "rtt_ms", "0"));
    const fs::path root = data / "patch-day";
    qs::WritePairs(root, size);
    qs::WriteManyFiles(root);
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--write_only") == 0)
            return 0;

    const std::string only = qs::bench::ArgumentValue(argc, argv, "pair", "");
    for (const qs::Pair& pair : qs::kPairs)
        if (only.empty() || only == pair.name)
            qs::MeasureShape(pair.name,
                             {{"archive.pak", qs::ReadAll(root / pair.name / "old.pak")}},
                             {{"archive.pak", qs::ReadAll(root / pair.name / "new.pak")}}, runs,
                             root, roundTripMs);
    if (only.empty() || only == "fewfiles")
        qs::MeasureShape("fewfiles", qs::ReadFolder(root / "fewfiles" / "old"),
                         qs::ReadFolder(root / "fewfiles" / "new"), runs, root, roundTripMs);
    return 0;
}
