// Patch days beside zsync and casync: writes each old/new pair once, then times the launcher's
// patch path and its whole download over HTTPS on loopback (the stand-in service), at full speed
// and paced to 50 MB/s by the launcher's own limit. scripts/bench.sh (part `patchday`) runs the
// two tools on the same pairs and prints the table.
//   edits     16 changed 64 KiB regions
//   shifted   1 MiB inserted near the start, 1 MiB removed near the end
//   fewbytes  16 scattered edits of 8 bytes
//
//   qs_bench_patch_day --data=DIR [--size_mib=256] [--runs=3] [--pair=NAME] [--write_only]
// Prints "launcher|unseen|whole <pair> <MBps> <bytes fetched> <median seconds>" lines: the patch
// of an old copy the launcher placed (its record and chunk list kept, as on a player's disk), of
// one it never saw (written beside it), and the whole download.
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

bool Update(test::TestService& service, const fs::path& folder, const fs::path& record) {
    UpdateEnvironment environment;
    environment.service = service.endpoint();
    environment.verifiedRecord = record;
    return RunClientUpdate(
               folder, [](const UpdateProgress&) {}, environment)
        .ok;
}

// The old copy as the launcher leaves it: built by its chunks from a copy a few bytes apart (so
// its chunk list is kept), then proven by a later start, so the record vouches for it. nullopt
// (a copy the launcher never saw) leaves only the bytes, and no record.
void PlaceOld(const fs::path& folder, const std::string& old, test::TestService* installed,
              const fs::path& record) {
    fs::remove_all(folder);
    fs::remove_all(record.parent_path());
    fs::create_directories(folder);
    if (!installed) {
        WriteAll(folder / "archive.pak", old);
        return;
    }
    std::string before = old;
    before.replace(old.size() / 2, 8, "patched!");
    WriteAll(folder / "archive.pak", before);
    const auto settled = std::chrono::steady_clock::now() + std::chrono::milliseconds(2100);
    if (!Update(*installed, folder, record))
        std::exit(1);
    std::this_thread::sleep_until(settled);  // the record vouches only for settled stamps
    if (!Update(*installed, folder, record))
        std::exit(1);
}

// One run from the manifest request to the file placed and flushed.
Measured RunOnce(test::TestService& service, const fs::path& folder, const std::string& old,
                 std::uint64_t bytesPerSecond, test::TestService* installed,
                 const fs::path& record) {
    PlaceOld(folder, old, installed, record);
    ::sync();  // the old copy's writeback is not the run's
    std::atomic<std::uint64_t> limit{bytesPerSecond};
    UpdateEnvironment environment;
    environment.service = service.endpoint();
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

}  // namespace
}  // namespace qs

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    const fs::path data = qs::bench::ArgumentValue(argc, argv, "data", "build/bench-data");
    const std::size_t size = std::stoull(qs::bench::ArgumentValue(argc, argv, "size_mib", "256"))
                             << 20;
    const int runs = std::stoi(qs::bench::ArgumentValue(argc, argv, "runs", "3"));
    const fs::path root = data / "patch-day";
    qs::WritePairs(root, size);
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--write_only") == 0)
            return 0;

    qs::test::TestService service;
    qs::test::TestService installed;  // the old version, as the player's launcher placed it
    const fs::path folder = root / "launcher-client";
    const fs::path record = root / "launcher-private" / "verified.txt";
    const std::string only = qs::bench::ArgumentValue(argc, argv, "pair", "");
    for (const qs::Pair& pair : qs::kPairs) {
        if (!only.empty() && only != pair.name)
            continue;
        const std::string old = qs::ReadAll(root / pair.name / "old.pak");
        installed.setFile("archive.pak", old);
        std::string wanted = qs::ReadAll(root / pair.name / "new.pak");
        const std::string sha = qs::test::Sha256Hex(wanted);
        service.setFile("archive.pak", std::move(wanted));
        // The launcher on a copy it placed, on a copy it never saw, and its whole download.
        const struct {
            const char* name;
            bool chunked;
            bool placed;
        } kinds[] = {{"launcher", true, true}, {"unseen", true, false}, {"whole", false, true}};
        for (const auto& kind : kinds) {
            if (!kind.chunked)  // the same manifest without the indexes
                service.setManifestJson(R"({"files":{"archive.pak":")" + sha +
                                        R"("},"sizes":{"archive.pak":)" + std::to_string(size) +
                                        "}}");
            for (const std::uint64_t mbps : {0, 50}) {
                std::vector<double> seconds;
                std::uint64_t fetched = 0;
                for (int run = 0; run < runs; ++run) {
                    const qs::Measured measured =
                        qs::RunOnce(service, folder, old, mbps * 1000 * 1000,
                                    kind.placed ? &installed : nullptr, record);
                    seconds.push_back(measured.seconds);
                    fetched = measured.fetched;
                }
                std::sort(seconds.begin(), seconds.end());
                std::printf("%s %s %llu %llu %.3f\n", kind.name, pair.name,
                            static_cast<unsigned long long>(mbps),
                            static_cast<unsigned long long>(fetched), seconds[seconds.size() / 2]);
                std::fflush(stdout);
            }
        }
        service.setManifestJson(std::nullopt);
    }
    fs::remove_all(folder);
    fs::remove_all(record.parent_path());
    return 0;
}
