// Several transfers at once, placed in plan order: a file that arrives early waits for its turn,
// the first failure in plan order ends the run and nothing after it is placed, the executable
// comes last.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/wide_text.h"
#include "scratch.h"
#include "tools/standin/service.h"
#include "update/update_run.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using qs::test::Fault;
using qs::test::TestService;

namespace {

const std::vector<std::string> kFiles = {"a.pak", "b.pak", "c.pak", "d.pak", "Quillon Saga.exe"};

class ConcurrentRunTest : public testing::Test {
protected:
    void SetUp() override {
        for (const std::string& name : kFiles)
            service.setFile(name, "new " + name);
    }

    // Runs the update, checking at every report that exactly the files before the reported one
    // are placed: none early, none out of order.
    UpdateResult Run(bool checkOrder = true) {
        UpdateEnvironment environment;
        environment.service = service.endpoint();
        environment.retryPauses = {};
        return RunClientUpdate(
            client,
            [this, checkOrder](const qs::UpdateProgress& progress) {
                for (std::size_t i = 0; checkOrder && i < kFiles.size(); ++i) {
                    const bool placed = ReadFile(client / kFiles[i]) == "new " + kFiles[i];
                    EXPECT_EQ(placed, static_cast<std::int32_t>(i) < progress.fileIndex)
                        << kFiles[i] << " at report " << progress.fileIndex;
                }
            },
            environment);
    }

    TestService service;
    TempFolder folder;
    fs::path client = folder.path() / "client";
};

}  // namespace

TEST_F(ConcurrentRunTest, EarlyFilesWaitForTheirTurnAndTheExecutableComesLast) {
    service.setFault("/updater/files/a.pak", Fault::Slow(600ms));
    service.setFault("/updater/files/c.pak", Fault::Slow(300ms));
    const auto start = std::chrono::steady_clock::now();
    const UpdateResult result = Run();
    ASSERT_TRUE(result.ok) << WideToUtf8(result.message);
    for (const std::string& name : kFiles)
        EXPECT_EQ(ReadFile(client / name), "new " + name);
    // The slow files overlapped rather than following each other.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST_F(ConcurrentRunTest, MiddleFailureEndsTheRunWithLaterFilesInFlight) {
    service.setFault("/updater/files/a.pak", Fault::Slow(300ms));
    service.setFault("/updater/files/b.pak", Fault::Status(404));
    service.setFault("/updater/files/c.pak", Fault::Slow(500ms));
    const UpdateResult result = Run();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(WideToUtf8(result.message), "Update server returned an error");
    EXPECT_EQ(ReadFile(client / "a.pak"), "new a.pak");
    for (const char* name : {"b.pak", "c.pak", "d.pak", "Quillon Saga.exe"})
        EXPECT_FALSE(fs::exists(client / name)) << name;
    // What arrived meanwhile is placed by the next run without a new request.
    service.clearFaultsAndHandlers();
    service.clearRequests();
    ASSERT_TRUE(Run(false).ok);
    for (const std::string& name : kFiles)
        EXPECT_EQ(ReadFile(client / name), "new " + name);
    EXPECT_EQ(service.requestCount("/updater/files/a.pak"), 0u);
}
