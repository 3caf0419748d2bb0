// Many small files: more of them in flight than large ones, within a bound, and their flushes to
// the disk paid together, each still for the very file that was proven.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

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

}  // namespace
}  // namespace qs
