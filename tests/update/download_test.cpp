// Downloads a player can watch and trust: resume, retry, the disk check, the speed limit and the
// progress arithmetic, against the HTTPS stand-in where the network takes part.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/wide_text.h"
#include "scratch.h"
#include "tools/standin/service.h"
#include "update/transfer.h"
#include "update/update_run.h"

using namespace qs;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using qs::test::Fault;
using qs::test::Sha256Hex;
using qs::test::TestService;

namespace {

std::string Pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i * 131 + i / 251);
    return bytes;
}

}  // namespace

TEST(TransferArithmetic, SizesAsAPlayerReadsThem) {
    const std::pair<std::uint64_t, const char*> cases[] = {
        {0, "0 bytes"},         {1023, "1023 bytes"},
        {1024, "1 KB"},         {1536, "2 KB"},
        {12u << 20, "12.0 MB"}, {(13u << 20) - (600u << 10), "12.4 MB"},
        {3435973837, "3.2 GB"}, {std::uint64_t{5} << 40, "5.0 TB"}};
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(FormatBytes(bytes), text) << bytes;
    EXPECT_EQ(DiskSpaceShortfall(3435973837, 1181116006),
              "Not enough disk space: 3.2 GB needed, 1.1 GB free.");
    // The figure needed is the one compared, margin included: never less than what is free.
    EXPECT_EQ(DiskSpaceShortfall(6 << 10, 4'089'446),
              "Not enough disk space: 16.0 MB needed, 3.9 MB free.");
    EXPECT_EQ(DiskSpaceShortfall(UINT64_MAX, UINT64_MAX - 1),
              "Not enough disk space: 16777216.0 TB needed, 16777216.0 TB free.");
    EXPECT_EQ(DiskSpaceShortfall(100, 100 + kDiskSpaceMargin), std::nullopt);
    EXPECT_NE(DiskSpaceShortfall(100, 99 + kDiskSpaceMargin), std::nullopt);
}

TEST(TransferArithmetic, RangeRepliesDecideAppendRestartOrRefetch) {
    struct Case {
        long status;
        const char* range;
        std::optional<std::uint64_t> size;
        RangeReply expected;
    };
    const Case cases[] = {
        {206, "bytes 100-999/1000", 1000, RangeReply::Append},
        {206, "bytes 100-999/1000", std::nullopt, RangeReply::Append},
        {206, "bytes 0-999/1000", 1000, RangeReply::Refetch},     // not where we stopped
        {206, "bytes 100-499/1000", 1000, RangeReply::Refetch},   // stops short
        {206, "bytes 100-999/*", 1000, RangeReply::Refetch},      // no total
        {206, "bytes 100-1199/1200", 1000, RangeReply::Refetch},  // not the published size
        {206, "bytes 100-999/999", 1000, RangeReply::Refetch},    // last past the total
        {206, "", 1000, RangeReply::Refetch},
        {200, "", 1000, RangeReply::Restart},  // the server ignored Range
        {416, "bytes */1000", 1000, RangeReply::Refetch},
        {404, "", 1000, RangeReply::Other},
        {503, "", 1000, RangeReply::Other},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ClassifyRangeReply(100, c.status, c.range, c.size), c.expected)
            << c.status << " " << c.range;
    EXPECT_EQ(ParseContentRange("bytes 5-9/10")->total, 10u);
    for (const char* bad :
         {"bytes 9-5/10", "bytes 5-9/", "items 5-9/10", "bytes 5-9/10 ", "bytes -9/10"})
        EXPECT_FALSE(ParseContentRange(bad)) << bad;
}

// The pacing by a fake clock: 10 MB in 64 KiB pieces at 2 MB/s take five seconds, a raised
// limit takes effect at once, and no limit never waits.
TEST(TransferArithmetic, PacerHoldsTheAverageRate) {
    std::chrono::steady_clock::time_point now{};
    auto clock = [&] { return now; };
    auto sleep = [&](std::chrono::nanoseconds wait) { now += wait; };
    std::atomic<std::uint64_t> limit{2'000'000};
    RatePacer pacer(&limit, nullptr, clock, sleep);
    for (int i = 0; i < 10'000'000 / 65536; ++i)
        pacer.account(65536);
    EXPECT_NEAR(std::chrono::duration<double>(now.time_since_epoch()).count(), 5.0, 0.2);

    limit = 0;
    const auto before = now;
    pacer.account(std::uint64_t{1} << 30);
    EXPECT_EQ(now, before);
    EXPECT_EQ(PaceDelay(std::uint64_t{1} << 40, 0ns, 1), std::chrono::nanoseconds::max());
    EXPECT_EQ(PaceDelay(3'000'000, 1s, 2'000'000), 500ms);
}

class DownloadTest : public testing::Test {
protected:
    UpdateEnvironment Environment() {
        UpdateEnvironment environment;
        environment.service = service.endpoint();
        environment.retryPauses = {1ms, 1ms};
        environment.cancel = &cancel;
        environment.speedLimit = &limit;
        return environment;
    }

    UpdateResult Run() { return Run(Environment()); }
    UpdateResult Run(const UpdateEnvironment& environment) {
        lines.clear();
        last = {};
        return RunClientUpdate(
            client,
            [this](const qs::UpdateProgress& progress) {
                EXPECT_GE(progress.fraction, last.fraction);
                EXPECT_GE(progress.amountFetched, last.amountFetched);
                last = progress;
                if (lines.empty() || lines.back() != progress.message)
                    lines.push_back(progress.message);
            },
            environment);
    }

    std::vector<qs::test::RecordedRequest> FileRequests(const std::string& path) {
        std::vector<qs::test::RecordedRequest> found;
        for (auto& request : service.requests())
            if (request.path == service.filePath(path))
                found.push_back(request);
        return found;
    }

    TestService service;
    TempFolder folder;
    fs::path client = folder.path() / "client";
    std::atomic<bool> cancel{false};
    std::atomic<std::uint64_t> limit{0};
    std::vector<std::wstring> lines;
    qs::UpdateProgress last;
};

// A transfer cut at 70 % is continued from there and proven whole; the second request asks
// only for the rest.
TEST_F(DownloadTest, CutTransferIsResumedAndVerified) {
    const std::string bytes = Pattern(1 << 20);
    service.setFile("big.pak", bytes);
    service.setFault(service.filePath("big.pak"), Fault::truncate(734003).only(1));
    const UpdateResult result = Run();
    ASSERT_TRUE(result.ok) << WideToUtf8(result.message);
    EXPECT_EQ(ReadFile(client / "big.pak"), bytes);
    const auto requests = FileRequests("big.pak");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].header("Range"), "bytes=734003-");
    EXPECT_EQ(last.amountFetched, bytes.size());  // 70 % then 30 %, nothing twice
    EXPECT_EQ(last.amountTotal, bytes.size());
    EXPECT_EQ(last.fraction, 1.0);
    EXPECT_NE(std::find(lines.begin(), lines.end(), L"Retrying (2 of 3)\u2026"), lines.end());
}

// What a leftover part meets: a server that ignores Range, one that answers another range, one
// that has nothing past it, and a part that was wrong all along. Each ends with the right file.
TEST_F(DownloadTest, EveryResumeReplyEndsWithTheRightFile) {
    const std::string bytes = Pattern(300000);
    struct Case {
        const char* name;
        std::string part;
        std::optional<Fault> fault;
        std::size_t requests;
        bool lastAsksForAll;
    };
    const Case cases[] = {
        {"server ignores Range", bytes.substr(0, 1000), Fault::ignoreRange(), 1, false},
        {"server answers another range", bytes.substr(0, 1000), Fault::wrongRange().only(1), 2,
         true},
        {"part as long as the file but wrong", std::string(bytes.size(), 'x'), std::nullopt, 1,
         true},
        {"part that is not a prefix", std::string(1000, 'x'), std::nullopt, 2, true},
    };
    service.setFile("a.pak", bytes);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(client);
        WriteFile(client / "a.pak.download", c.part);
        service.clearRequests();
        service.clearFaultsAndHandlers();
        if (c.fault)
            service.setFault(service.filePath("a.pak"), *c.fault);
        const UpdateResult result = Run();
        ASSERT_TRUE(result.ok) << WideToUtf8(result.message);
        EXPECT_EQ(ReadFile(client / "a.pak"), bytes);
        const auto requests = FileRequests("a.pak");
        ASSERT_EQ(requests.size(), c.requests);
        EXPECT_EQ(requests.back().header("Range").empty(), c.lastAsksForAll);
    }
}

// Which failures are tried again: the passing kinds up to three attempts, the rest never.
TEST_F(DownloadTest, OnlyFailuresThatMayPassAreRetried) {
    struct Case {
        const char* name;
        Fault fault;
        std::size_t requests;
        const char* message;
    };
    const Case cases[] = {
        {"503 once", Fault::replyStatus(503).only(1), 2, nullptr},
        {"502 every time", Fault::replyStatus(502), 3, "Update server returned an error"},
        {"500 then 504", Fault::replyStatus(500).only(2), 3, nullptr},
        {"cut short every time", Fault::truncate(), 3, "HTTPS response read failed"},
        {"404", Fault::replyStatus(404), 1, "Update server returned an error"},
        {"403", Fault::replyStatus(403), 1, "Update server returned an error"},
        {"redirect", Fault::redirect("https://localhost/elsewhere"), 1,
         "Update server returned an error"},
        {"wrong bytes twice", Fault::wrongBytes(), 2,
         "Downloaded file failed SHA-256 verification"},
        {"wrong bytes once", Fault::wrongBytes().only(1), 2, nullptr},
    };
    service.setFile("a.dat", Pattern(5000));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(client);
        service.clearRequests();
        service.clearFaultsAndHandlers();
        service.setFault(service.filePath("a.dat"), c.fault);
        const UpdateResult result = Run();
        EXPECT_EQ(result.ok, c.message == nullptr);
        if (c.message) {
            EXPECT_EQ(WideToUtf8(result.message), std::string(c.message) + ": a.dat");
        }
        EXPECT_EQ(FileRequests("a.dat").size(), c.requests);
    }
}

// A refused connection is retried too; a certificate that is not trusted never is.
TEST_F(DownloadTest, RefusedConnectionRetriesUntrustedServerDoesNot) {
    TestService untrusted(TestService::Certificate::Untrusted);
    untrusted.setFile("a.dat", "x");
    int retries = 0;
    FetchObserver observer;
    observer.retrying = [&](int, int) { ++retries; };
    UpdateEnvironment environment = Environment();
    for (const auto& [port, retriesAfter] :
         {std::pair{untrusted.port(), 0}, std::pair{qs::test::UnusedPort(), 2}}) {
        environment.service = {"localhost", port, service.caPem()};
        HttpsConnection connection;
        EXPECT_EQ(ErrorOf([&] {
                      FetchFile(client / "a.dat", "a.dat", Sha256Hex("x"), environment, false,
                                connection, observer);
                  }),
                  "HTTPS request failed");
        EXPECT_EQ(retries, retriesAfter) << port;
    }
}

// Cancelled in the middle of a file, the next run asks only for the rest.
TEST_F(DownloadTest, CancelledFileIsResumedByTheNextRun) {
    const std::string bytes = Pattern(1 << 20);
    service.setFile("big.pak", bytes);
    service.setFault(service.filePath("big.pak"), Fault::drip(5ms, 16384).only(1));
    UpdateEnvironment environment = Environment();
    environment.cancel = &cancel;
    bool cancelled = false;
    const UpdateResult first = RunClientUpdate(
        client,
        [&](const qs::UpdateProgress& progress) {
            if (!cancelled && progress.amountDone > 100000) {
                cancelled = true;
                cancel = true;
            }
        },
        environment);
    EXPECT_EQ(first.message, L"Update cancelled.");
    const std::uint64_t kept = fs::file_size(client / "big.pak.download");
    EXPECT_GT(kept, 100000u);
    cancel = false;
    ASSERT_TRUE(Run().ok);
    EXPECT_EQ(ReadFile(client / "big.pak"), bytes);
    EXPECT_EQ(FileRequests("big.pak").back().header("Range"),
              "bytes=" + std::to_string(kept) + "-");
    EXPECT_EQ(last.amountFetched, bytes.size() - kept);
}

// Not enough room: said before anything is fetched when the manifest gives the sizes, and as
// soon as the reply's length is known when it does not.
TEST_F(DownloadTest, NotEnoughDiskSpaceEndsTheRunBeforeWriting) {
    service.setFile("a.pak", Pattern(300000));
    UpdateEnvironment environment = Environment();
    environment.freeSpace = [](const fs::path&) { return std::optional<std::uint64_t>(1000); };
    const std::string expected = "Not enough disk space: 16.3 MB needed, 1000 bytes free.";
    EXPECT_EQ(WideToUtf8(Run(environment).message), expected);
    EXPECT_TRUE(FileRequests("a.pak").empty());

    const std::string withoutSizes =
        R"({"files":{"a.pak":")" + Sha256Hex(Pattern(300000)) + R"("}})";
    service.setManifestJson(withoutSizes);
    EXPECT_EQ(WideToUtf8(Run(environment).message), expected);
    EXPECT_EQ(FileRequests("a.pak").size(), 1u);
    EXPECT_FALSE(fs::exists(client / "a.pak.download"));
}

// A server that sends more than the download may hold is stopped at the first byte past it,
// even when the bytes would prove right: past the manifest's size, or without one and without a
// length, past the room the free-space check found. Nothing of it stays on the disk.
TEST_F(DownloadTest, BytesPastTheSignedSizeOrTheFreeSpaceEndTheRun) {
    const std::string bytes = Pattern(300000);
    service.setFile("a.pak", bytes);
    UpdateEnvironment environment = Environment();
    environment.freeSpace = [](const fs::path&) {
        return std::optional<std::uint64_t>(kDiskSpaceMargin + 100000);
    };
    const std::string digest = Sha256Hex(bytes);
    struct Case {
        const char* name;
        std::string manifest;
        std::optional<Fault> fault;
        const char* message;
    };
    const Case cases[] = {
        {"past the manifest's size",
         R"({"files":{"a.pak":")" + digest + R"("},"sizes":{"a.pak":1000}})", std::nullopt,
         "The update server sent more of a.pak than its published size"},
        {"no size, no length, past the free space", R"({"files":{"a.pak":")" + digest + R"("}})",
         Fault::ignoreRange(),
         "Not enough disk space: the update server sent more of a.pak than fits on the disk"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        service.setManifestJson(c.manifest);
        service.clearFaultsAndHandlers();
        if (c.fault)
            service.setFault(service.filePath("a.pak"), *c.fault);
        EXPECT_EQ(WideToUtf8(Run(environment).message), c.message);
        EXPECT_EQ(FileRequests("a.pak").size(), 1u) << "never tried again";
        EXPECT_FALSE(fs::exists(client / "a.pak"));
        EXPECT_FALSE(fs::exists(client / "a.pak.download"));
        service.clearRequests();
    }
}

// The limit holds a real transfer to its rate (bounded from below only: a loaded machine can
// only be slower).
TEST_F(DownloadTest, SpeedLimitHoldsTheTransferToItsRate) {
    service.setFile("a.pak", Pattern(1'500'000));
    limit = 1'000'000;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(Run().ok);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1200ms);
}

// Without published sizes the bytes still move, and the ring follows files.
TEST_F(DownloadTest, ProgressWithoutSizesFollowsFilesAndLengths) {
    service.setFile("a.dat", Pattern(200000));
    service.setFile("b.dat", Pattern(100000));
    service.setManifestJson(R"({"files":{"a.dat":")" + Sha256Hex(Pattern(200000)) +
                            R"(","b.dat":")" + Sha256Hex(Pattern(100000)) + R"("}})");
    ASSERT_TRUE(Run().ok);
    EXPECT_EQ(last.amountTotal, 0u);
    EXPECT_EQ(last.amountDone, 300000u);
    EXPECT_EQ(last.fraction, 1.0);
}

// A cancel while a very long local file is read, a leftover download before resuming or a client
// file in planning, ends the run within a second. The files are sparse: read fast, stored in no
// blocks, yet long enough to take many seconds.
TEST_F(DownloadTest, CancelWhileALongLocalFileIsReadEndsWithinASecond) {
    constexpr std::uint64_t kLength = std::uint64_t{8} << 30;
    service.setManifestJson(R"({"files":{"big.pak":")" + std::string(64, '0') +
                            R"("},"sizes":{"big.pak":)" + std::to_string(kLength + 1) + "}}");
    UpdateEnvironment environment = Environment();
    environment.freeSpace = [](const fs::path&) {
        return std::optional<std::uint64_t>(std::uint64_t{1} << 50);
    };
    for (const char* name : {"big.pak.download", "big.pak"}) {
        SCOPED_TRACE(name);
        fs::remove_all(client);
        WriteFile(client / name, "");
        fs::resize_file(client / name, kLength);
        cancel = false;
        std::atomic<std::chrono::steady_clock::rep> cancelledAt{0};
        std::thread canceller([&] {
            std::this_thread::sleep_for(300ms);
            cancelledAt = std::chrono::steady_clock::now().time_since_epoch().count();
            cancel = true;
        });
        const UpdateResult result = Run(environment);
        const auto ended = std::chrono::steady_clock::now().time_since_epoch().count();
        canceller.join();
        EXPECT_EQ(WideToUtf8(result.message), "Update cancelled.");
        EXPECT_LT(std::chrono::steady_clock::duration(ended - cancelledAt.load()), 1s);
    }
}
