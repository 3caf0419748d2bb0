#include "bench/bench_support.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "app/client.h"
#include "platform/wide_text.h"
#include "tools/standin/service.h"
#include "update/verified_record.h"

extern char** environ;

namespace qs::bench {

std::uint64_t ByteStream::Next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 0x2545F4914F6CDD1DULL;
}

void ByteStream::Fill(char* out, std::size_t size) {
    while (size >= 8) {
        const std::uint64_t word = Next();
        std::memcpy(out, &word, 8);
        out += 8;
        size -= 8;
    }
    if (size > 0) {
        const std::uint64_t word = Next();
        std::memcpy(out, &word, size);
    }
}

std::string ByteStream::Take(std::size_t size) {
    std::string bytes(size, '\0');
    Fill(bytes.data(), size);
    return bytes;
}

std::vector<std::uint64_t> FileSizes(std::size_t count, std::uint64_t totalBytes,
                                     std::uint64_t minBytes, std::uint64_t maxBytes,
                                     std::uint64_t seed) {
    ByteStream random(seed);
    std::vector<std::uint64_t> sizes(count);
    std::uint64_t sum = 0;
    for (auto& size : sizes) {
        std::uint64_t draw = 0;
        random.Fill(reinterpret_cast<char*>(&draw), sizeof draw);
        size = minBytes + draw % (maxBytes - minBytes + 1);
        sum += size;
    }
    // Spread the difference over the files, keeping each within its bounds.
    for (std::size_t i = 0; sum != totalBytes; i = (i + 1) % count) {
        if (sum < totalBytes && sizes[i] < maxBytes) {
            const std::uint64_t add =
                std::min({totalBytes - sum, maxBytes - sizes[i], (totalBytes - sum) / count + 1});
            sizes[i] += add;
            sum += add;
        } else if (sum > totalBytes && sizes[i] > minBytes) {
            const std::uint64_t cut =
                std::min({sum - totalBytes, sizes[i] - minBytes, (sum - totalBytes) / count + 1});
            sizes[i] -= cut;
            sum -= cut;
        }
    }
    return sizes;
}

void RunProgram(const std::vector<std::string>& argv) {
    std::vector<char*> pointers;
    for (const auto& argument : argv)
        pointers.push_back(const_cast<char*>(argument.c_str()));
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int error = posix_spawnp(&pid, pointers[0], &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(error));
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            throw std::runtime_error("waitpid failed");
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(argv[0] + " failed");
}

std::string ArgumentValue(int argc, char** argv, const std::string& name,
                          const std::string& fallback) {
    const std::string prefix = "--" + name + "=";
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], prefix.c_str(), prefix.size()) == 0)
            return argv[i] + prefix.size();
    return fallback;
}

OneCore::OneCore() : previous_(sizeof(cpu_set_t)) {
    auto* previous = reinterpret_cast<cpu_set_t*>(previous_.data());
    if (sched_getaffinity(0, sizeof(cpu_set_t), previous) != 0)
        throw std::runtime_error("sched_getaffinity failed");
    cpu_set_t first;
    CPU_ZERO(&first);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, previous)) {
            CPU_SET(cpu, &first);
            break;
        }
    if (sched_setaffinity(0, sizeof first, &first) != 0)
        throw std::runtime_error("sched_setaffinity failed");
}

OneCore::~OneCore() {
    sched_setaffinity(0, sizeof(cpu_set_t), reinterpret_cast<cpu_set_t*>(previous_.data()));
}

std::string Sha256OfFile(const std::filesystem::path& file) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    &EVP_MD_CTX_free);
    EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr);
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("cannot read " + file.string());
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t got = read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(got));
    }
    close(fd);
    unsigned char digest[32];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context.get(), digest, &length);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : digest) {
        text.push_back(kHex[byte >> 4]);
        text.push_back(kHex[byte & 0x0F]);
    }
    return text;
}

void WarmPageCache(const std::vector<std::filesystem::path>& files) {
    std::vector<char> buffer(1 << 20);
    for (const auto& file : files) {
        const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            throw std::runtime_error("cannot read " + file.string());
        while (read(fd, buffer.data(), buffer.size()) > 0) {
        }
        close(fd);
    }
}

namespace {

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

}  // namespace

ForkedService::ForkedService(const std::function<void(qs::test::TestService&)>& fill) {
    int report[2], hold[2];
    if (pipe(report) != 0)
        throw std::runtime_error("pipe failed");
    if (pipe(hold) != 0) {
        close(report[0]);
        close(report[1]);
        throw std::runtime_error("pipe failed");
    }
    child_ = fork();
    if (child_ == 0) {
        close(report[0]);
        close(hold[1]);
        try {
            qs::test::TestService service;
            fill(service);
            WriteAll(report[1], std::to_string(service.port()) + "\n" + service.caPem());
            close(report[1]);
            char ignored;
            while (read(hold[0], &ignored, 1) > 0) {
            }
        } catch (const std::exception& failure) {
            std::cerr << "service failed: " << failure.what() << "\n";
            _exit(1);
        }
        _exit(0);
    }
    close(report[1]);
    close(hold[0]);
    hold_ = hold[1];
    const std::string hello = child_ > 0 ? ReadAll(report[0]) : std::string();
    close(report[0]);
    const auto newline = hello.find('\n');
    if (newline == std::string::npos) {
        Stop();
        throw std::runtime_error("the service did not start");
    }
    endpoint_ = ServiceEndpoint{"localhost",
                                static_cast<std::uint16_t>(std::stoi(hello.substr(0, newline))),
                                hello.substr(newline + 1)};
}

ForkedService::~ForkedService() {
    Stop();
}

void ForkedService::Stop() {
    if (hold_ >= 0)
        close(hold_);
    hold_ = -1;
    if (child_ > 0) {
        int status = 0;
        waitpid(child_, &status, 0);
    }
    child_ = -1;
}

std::string DownloadClientPath(std::size_t index, std::size_t count) {
    if (index + 1 == count)
        return WideToUtf8(ClientExecutableName);
    char name[64];
    std::snprintf(name, sizeof name, "content/group%02zu/asset-%04zu.pak", index / 50, index);
    return name;
}

std::string SparseClientPath(std::size_t index) {
    char name[64];
    std::snprintf(name, sizeof name, "data/pack%04zu/chunk%06zu.bin", index / 100, index);
    return name;
}

const std::string& SparseClientChecksum() {
    static const std::string checksum = qs::test::Sha256Hex(std::string(1 << 20, '\0'));
    return checksum;
}

std::string SparseClientManifest(std::size_t count) {
    nlohmann::json manifest = {{"files", nlohmann::json::object()}};
    for (std::size_t i = 0; i < count; ++i)
        manifest["files"][SparseClientPath(i)] = SparseClientChecksum();
    return manifest.dump();
}

void WriteSparseClient(const std::filesystem::path& client, const std::filesystem::path& record,
                       std::size_t count) {
    VerifiedRecord proven;
    for (std::size_t i = 0; i < count; ++i) {
        const std::filesystem::path file = client / SparseClientPath(i);
        if (!std::filesystem::exists(file)) {
            std::filesystem::create_directories(file.parent_path());
            std::ofstream(file, std::ios::binary).close();
            std::filesystem::resize_file(file, 1 << 20);
        }
        proven.remember(SparseClientPath(i), SparseClientChecksum(),
                        {*StampOfFile(file), VerifiedRecord::Now() + 5'000'000'000LL});
    }
    if (!proven.save(record, client))
        throw std::runtime_error("cannot write the record of the sparse client");
}

ChildProgram::ChildProgram(const std::vector<std::string>& argv, bool quiet) {
    std::vector<char*> pointers;
    for (const auto& argument : argv)
        pointers.push_back(const_cast<char*>(argument.c_str()));
    pointers.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (const int nowhere = quiet ? ::open("/dev/null", O_WRONLY) : -1; nowhere >= 0)
            ::dup2(nowhere, STDOUT_FILENO);
        ::execvp(pointers[0], pointers.data());
        ::_exit(127);
    }
    if (pid_ < 0)
        throw std::runtime_error("cannot start " + argv[0]);
}

ChildProgram::~ChildProgram() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
}

std::unique_ptr<ChildProgram> StartDelayLink(const std::filesystem::path& sourceDir,
                                             std::uint16_t port, std::uint16_t target,
                                             int delayMs) {
    auto link = std::make_unique<ChildProgram>(
        std::vector<std::string>{"python3", (sourceDir / "bench/delay_proxy.py").string(),
                                 std::to_string(port), std::to_string(target),
                                 std::to_string(delayMs)},
        /*quiet=*/true);
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (qs::test::PortListening(port))
            return link;
        ::usleep(50000);
    }
    throw std::runtime_error("the delay link did not start");
}

}  // namespace qs::bench
