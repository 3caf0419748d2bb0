// Many small files: more of them in flight than large ones, within a bound, and their flushes to
// the disk paid together, each still for the very file that was proven.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/file_io.h"
#include "platform/wide_text.h"
#include "scratch.h"
#include "tools/standin/service.h"
#include "update/update_run.h"

namespace qs {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Fault;
using test::TestService;

// Every file held back as a round trip would; the most requests the server answered at once is
// how many transfers the run kept under way.
TEST(SmallFilesTest, MoreSmallFilesThanLargeOnesAreInFlightWithinTheirBound) {
    struct Case {
        const char* name;
        std::size_t files;
        std::size_t bytes;
        std::size_t fewest;  // in flight at once, at the busiest moment
        std::size_t most;
    };
    const Case cases[] = {
        {"small files", 80, 4096, kConcurrentTransfers + 1, kSmallFileTransfers},
        {"large files", 10, kSmallFileBytes, 2, kConcurrentTransfers},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestService service;
        TempFolder folder;
        const auto pathOf = [](std::size_t i) {
            return "f" + std::to_string(i % 7) + "/" + std::to_string(i) + ".dat";
        };
        for (std::size_t i = 0; i < c.files; ++i) {
            service.setFile(pathOf(i), RandomBytes(c.bytes, i));
            service.setFault(service.filePath(pathOf(i)), Fault::slow(300ms));
        }
        UpdateEnvironment environment;
        environment.service = service.endpoint();
        const UpdateResult result = RunClientUpdate(
            folder.path() / "client", [](const UpdateProgress&) {}, environment);
        ASSERT_TRUE(result.ok) << WideToUtf8(result.message);
        EXPECT_GE(service.peakRequestsInFlight(), c.fewest);
        EXPECT_LE(service.peakRequestsInFlight(), c.most);
        EXPECT_TRUE(ReadFile(folder.path() / "client" / pathOf(c.files - 1)) ==
                    RandomBytes(c.bytes, c.files - 1));
    }
}

// Downloads flushed together: only a download still exactly as proven counts as on the disk.
TEST(SmallFilesTest, DownloadsFlushedTogetherAreEachTheFileProven) {
    TempFolder folder;
    const auto proven = [&](const std::string& name) {
        const fs::path target = folder.path() / "sub" / name;
        WriteFile(DownloadFilePath(target), "proven " + name);
        return ProvenDownload{target, *RegularFileState(DownloadFilePath(target))};
    };
    std::vector<ProvenDownload> downloads = {proven("kept"), proven("grown"), proven("gone"),
                                             proven("also kept")};
    WriteFile(DownloadFilePath(downloads[1].target), "proven grown, and written to since");
    fs::remove(DownloadFilePath(downloads[2].target));

    const std::vector<std::exception_ptr> failures = FlushVerifiedTogether(downloads);
    ASSERT_EQ(failures.size(), downloads.size());
    EXPECT_FALSE(failures[0]);
    EXPECT_TRUE(failures[1]);
    EXPECT_TRUE(failures[2]);
    EXPECT_FALSE(failures[3]);
}

#ifndef _WIN32
// A disk slow to flush lets a thousand proven downloads queue up; each flush still holds only so
// many of them open, so the queue never runs into the descriptor limit ("Cannot write update
// download").
TEST(SmallFilesTest, ALongFlushQueueStaysWithinTheDescriptorLimit) {
    constexpr std::size_t kFiles = 1200;
    TestService service;
    TempFolder folder;
    for (std::size_t i = 0; i < kFiles; ++i)
        service.setFile("q/" + std::to_string(i) + ".dat", RandomBytes(64, i));
    std::atomic<std::size_t> claims{0};
    UpdateEnvironment environment;
    environment.service = service.endpoint();
    environment.beforeNextFile = [&claims] { ++claims; };
    environment.beforeFlush = [&claims] {
        const auto until = std::chrono::steady_clock::now() + 60s;
        while (claims.load() < kFiles && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(1ms);
    };
    rlimit usual{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &usual), 0);
    rlimit lowered = usual;
    lowered.rlim_cur = std::min<rlim_t>(usual.rlim_cur, 800);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    const UpdateResult result = RunClientUpdate(
        folder.path() / "client", [](const UpdateProgress&) {}, environment);
    setrlimit(RLIMIT_NOFILE, &usual);
    EXPECT_TRUE(result.ok) << WideToUtf8(result.message);
}
#endif

}  // namespace
}  // namespace qs
