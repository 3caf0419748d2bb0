// An update run keeps one connection for its requests: every request still carries exactly the
// headers of a one-shot request, and a connection the server has dropped is replaced.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/scratch.h"
#include "tools/standin/service.h"
#include "update/update_run.h"

using namespace qs;

namespace {

class RunConnectionTest : public testing::Test {
protected:
    UpdateResult Run(const UpdateProgressCallback& progress = [](const qs::UpdateProgress&) {}) {
        UpdateEnvironment environment;
        environment.service = service.endpoint();
        return RunClientUpdate(client.path(), progress, environment);
    }

    qs::test::TestService service;
    TempFolder client;
};

std::string Content(int index) {
    return "content of file " + std::to_string(index) + std::string(5000, 'x');
}

}  // namespace

// More files than the stand-in serves on one connection, so the run also opens a second one.
TEST_F(RunConnectionTest, EveryRequestIsSentAsAFreshRequest) {
    constexpr int kFiles = 12;
    for (int i = 0; i < kFiles; ++i)
        service.setFile("pack/file" + std::to_string(i) + ".dat", Content(i));
    ASSERT_TRUE(Run().ok);
    for (int i = 0; i < kFiles; ++i)
        EXPECT_EQ(ReadFile(client.path() / "pack" / ("file" + std::to_string(i) + ".dat")),
                  Content(i));

    const auto requests = service.requests();
    ASSERT_EQ(requests.size(), kFiles + 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
    const auto downloadHeaders = requests[1].headerNames();
    for (std::size_t i = 1; i < requests.size(); ++i) {
        SCOPED_TRACE(requests[i].target);
        EXPECT_EQ(requests[i].method, "GET");
        EXPECT_TRUE(requests[i].body.empty());
        EXPECT_FALSE(requests[i].hasHeader("Content-Type"));
        EXPECT_FALSE(requests[i].hasHeader("Content-Length"));
        EXPECT_EQ(requests[i].headerNames(), downloadHeaders);
        EXPECT_EQ(requests[i].header("Cache-Control"), "no-cache, no-store, must-revalidate");
    }
}

// The stand-in closes an idle connection after a second; the next download opens a new one.
TEST_F(RunConnectionTest, ConnectionDroppedWhileIdleIsReplaced) {
    service.setFile("a.dat", Content(1));
    service.setFile("b.dat", Content(2));
    const UpdateResult result = Run([](const qs::UpdateProgress& progress) {
        if (progress.fileIndex == 1)
            std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    });
    EXPECT_TRUE(result.ok) << std::string(result.message.begin(), result.message.end());
    EXPECT_EQ(ReadFile(client.path() / "a.dat"), Content(1));
    EXPECT_EQ(ReadFile(client.path() / "b.dat"), Content(2));
}

// A failed download ends the run; the next run starts on a connection of its own and completes.
TEST_F(RunConnectionTest, RunAfterAFailedTransferCompletes) {
    service.setFile("a.dat", Content(1));
    service.setFile("b.dat", Content(2));
    service.setFault(service.filePath("b.dat"), qs::test::Fault::truncate());
    EXPECT_EQ(Run().message, L"HTTPS response read failed: b.dat");
    service.clearFault(service.filePath("b.dat"));
    EXPECT_TRUE(Run().ok);
    EXPECT_EQ(ReadFile(client.path() / "b.dat"), Content(2));
}
