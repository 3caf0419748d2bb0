#pragma once
// Shared pieces of the benchmark programs: deterministic content, child programs, CPU pinning.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/service.h"

namespace qs::test {
class TestService;
}

namespace qs::bench {

// Deterministic bytes that do not compress (xorshift64*), so every run sees the same content.
class ByteStream {
public:
    explicit ByteStream(std::uint64_t seed) : state_(seed | 1) {}
    void Fill(char* out, std::size_t size);
    std::string Take(std::size_t size);

private:
    std::uint64_t Next();
    std::uint64_t state_;
};

// `count` file sizes between `minBytes` and `maxBytes` that add up to exactly `totalBytes`.
std::vector<std::uint64_t> FileSizes(std::size_t count, std::uint64_t totalBytes,
                                     std::uint64_t minBytes, std::uint64_t maxBytes,
                                     std::uint64_t seed);

// Runs a program to completion with its output discarded (stderr kept); throws when it cannot
// start or does not exit with status 0.
void RunProgram(const std::vector<std::string>& argv);

// The value of "--name=value" among the arguments Google Benchmark left, else `fallback`.
std::string ArgumentValue(int argc, char** argv, const std::string& name,
                          const std::string& fallback);

// Restricts the calling thread, and every thread or process it starts from now on, to the first
// CPU; the destructor gives back the previous set.
class OneCore {
public:
    OneCore();
    ~OneCore();
    OneCore(const OneCore&) = delete;
    OneCore& operator=(const OneCore&) = delete;

private:
    std::vector<unsigned char> previous_;
};

// The stand-in service in a child process, filled there by `fill`: the process measured holds none
// of the served bytes and shares no CPU accounting with it, as with a remote service. Construct
// it before this process starts any thread (it forks); throws when the child cannot serve.
class ForkedService {
public:
    explicit ForkedService(const std::function<void(qs::test::TestService&)>& fill);
    ~ForkedService();  // the child ends once its hold pipe closes
    ForkedService(const ForkedService&) = delete;
    ForkedService& operator=(const ForkedService&) = delete;
    const ServiceEndpoint& endpoint() const { return endpoint_; }

private:
    void Stop();

    pid_t child_ = -1;
    int hold_ = -1;
    ServiceEndpoint endpoint_;
};

// A program run beside the benchmark until this object goes (SIGTERM, then reaped); it ends with
// the benchmark should that die first.
class ChildProgram {
public:
    // With `quiet`, what it prints goes nowhere.
    explicit ChildProgram(const std::vector<std::string>& argv, bool quiet = false);
    ~ChildProgram();
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;

private:
    pid_t pid_ = -1;
};

// A link with a round trip of `delayMs` in front of the TCP port `target` on 127.0.0.1
// (bench/delay_proxy.py, below `sourceDir`); returns once it accepts connections on `port`.
std::unique_ptr<ChildProgram> StartDelayLink(const std::filesystem::path& sourceDir,
                                             std::uint16_t port, std::uint16_t target, int delayMs);

// File `index` of a `count`-file client as the download benchmarks lay it out: groups of 50 under
// content/, the client executable last.
std::string DownloadClientPath(std::size_t index, std::size_t count);

// Lower-case SHA-256 of a file's bytes (for preparing manifests).
std::string Sha256OfFile(const std::filesystem::path& file);

// A large client as a packed game lays out its data: folders of 100 files of 1 MiB, here sparse
// files that take no disk, all of one content.
std::string SparseClientPath(std::size_t index);
const std::string& SparseClientChecksum();
// The manifest of the first `count` of them.
std::string SparseClientManifest(std::size_t count);
// Makes the first `count` of them below `client` (those there already are kept) and a record at
// `record` vouching for every one, as if taken once they had settled.
void WriteSparseClient(const std::filesystem::path& client, const std::filesystem::path& record,
                       std::size_t count);

// Reads every byte of the files once, so they are in the page cache.
void WarmPageCache(const std::vector<std::filesystem::path>& files);

}  // namespace qs::bench
