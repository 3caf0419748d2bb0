// A changed file brought up to date from its old copy: only the missing chunks come over the
// network, each as part of one closed range; anything amiss ends in the whole download.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "scratch.h"
#include "tools/standin/service.h"
#include "update/chunker.h"
#include "update/transfer.h"
#include "update/update_run.h"

namespace fs = std::filesystem;
using qs::test::Fault;
using qs::test::Sha256Hex;
using qs::test::TestService;

namespace {

std::string IndexPath(const std::string& bytes) {
    return "/updater/chunks/" + Sha256Hex(bytes) + ".idx";
}

std::string IndexOf(const std::string& bytes, std::vector<Chunk> chunks) {
    ChunkIndex index;
    const std::string hex = Sha256Hex(bytes);
    index.file = *DigestFromHex(std::wstring(hex.begin(), hex.end()));
    index.size = bytes.size();
    index.chunks = std::move(chunks);
    return ChunkIndexBytes(index);
}

struct Fetched {
    std::uint64_t received = 0;
    std::uint64_t reused = 0;
};

class DeltaDownload : public ::testing::Test {
protected:
    void SetUp() override {
        environment.service = service.endpoint();
        environment.retryPauses = {};
        old = RandomBytes(6u << 20, 7);
        wanted = old;
        for (std::size_t at : {std::size_t{100000}, std::size_t{3u << 20}, std::size_t{5u << 20}})
            wanted.replace(at, 3000, RandomBytes(3000, at));
        wanted += "appended at the end";
        service.setFile("data/big.pak", wanted);
        service.setResource(IndexPath(wanted), IndexOf(wanted, ChunkBytes(wanted)));
        target = folder.path() / "data" / "big.pak";
        fs::create_directories(target.parent_path());
        WriteFile(target, old);
    }

    Fetched Fetch(bool chunked = true) {
        Fetched fetched;
        FetchObserver observer;
        observer.received = [&](std::uint64_t bytes) { fetched.received += bytes; };
        observer.reused = [&](std::uint64_t bytes) { fetched.reused += bytes; };
        HttpsConnection connection;
        FetchFile(target, "data/big.pak", Sha256Hex(wanted), environment, false, connection,
                  observer, wanted.size(), chunked);
        EXPECT_EQ(ReadFile(target), wanted);
        EXPECT_FALSE(fs::exists(DownloadFilePath(target)));
        return fetched;
    }

    // The Range header of every request for the file, in order ("" for a whole one).
    std::vector<std::string> FileRanges() const {
        std::vector<std::string> ranges;
        for (const auto& request : service.requests())
            if (request.path == "/updater/files/data/big.pak")
                ranges.push_back(request.header("Range"));
        return ranges;
    }

    TestService service;
    UpdateEnvironment environment;
    TempFolder folder;
    fs::path target;
    std::string old;
    std::string wanted;
};

}  // namespace

TEST_F(DeltaDownload, FetchesOnlyTheChangedRanges) {
    const Fetched fetched = Fetch();
    EXPECT_LT(fetched.received, wanted.size() / 10);
    EXPECT_EQ(fetched.received + fetched.reused, wanted.size());
    const std::vector<std::string> ranges = FileRanges();
    ASSERT_GE(ranges.size(), 3u);  // three edits and the appended tail, some perhaps coalesced
    std::uint64_t asked = 0;
    for (const std::string& range : ranges) {
        ASSERT_TRUE(range.starts_with("bytes=")) << range;
        const std::size_t dash = range.find('-');
        ASSERT_NE(dash, std::string::npos) << range;
        const std::uint64_t first = std::stoull(range.substr(6, dash - 6));
        const std::uint64_t last = std::stoull(range.substr(dash + 1));
        asked += last - first + 1;
    }
    EXPECT_EQ(asked, fetched.received);
    EXPECT_EQ(service.requestCount(IndexPath(wanted)), 1u);
}

TEST_F(DeltaDownload, AnythingAmissEndsInTheWholeDownload) {
    std::vector<Chunk> lying = ChunkBytes(wanted);
    lying[1].digest[0] ^= 1;  // a chunk the old copy has, so it is fetched and fails its check
    std::string corrupt = IndexOf(wanted, ChunkBytes(wanted));
    corrupt[100] ^= 1;
    struct Case {
        const char* name;
        bool triesRanges;
        std::function<void(TestService&)> setUp;
    };
    const Case cases[] = {
        {"index missing", false,
         [&](TestService& s) { s.setFault(IndexPath(wanted), Fault::Status(404)); }},
        {"index corrupt", false,
         [&](TestService& s) { s.setResource(IndexPath(wanted), corrupt); }},
        {"chunk mismatch", true,
         [&](TestService& s) { s.setResource(IndexPath(wanted), IndexOf(wanted, lying)); }},
        {"range ignored", true,
         [](TestService& s) {
             s.setFault("/updater/files/data/big.pak", Fault::IgnoreRange().only(1));
         }},
        {"wrong range", true,
         [](TestService& s) {
             s.setFault("/updater/files/data/big.pak", Fault::WrongRange().only(1));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(target, old);
        service.clearFaultsAndHandlers();
        service.setResource(IndexPath(wanted), IndexOf(wanted, ChunkBytes(wanted)));
        c.setUp(service);
        service.clearRequests();
        Fetch();
        const std::vector<std::string> ranges = FileRanges();
        ASSERT_FALSE(ranges.empty());
        EXPECT_EQ(ranges.front() != "", c.triesRanges);
        EXPECT_EQ(ranges.back(), "");  // ended with the whole file
    }
}

TEST_F(DeltaDownload, LittleSharedOrNoOldCopyFetchesTheWholeFile) {
    const std::pair<const char*, std::string> olds[] = {
        {"unrelated", RandomBytes(6u << 20, 99)},
        {"empty", ""},
        {"shorter than a chunk", wanted.substr(0, 1000)},
    };
    for (const auto& [name, bytes] : olds) {
        SCOPED_TRACE(name);
        WriteFile(target, bytes);
        service.clearRequests();
        EXPECT_EQ(Fetch().received, wanted.size());
        EXPECT_EQ(FileRanges(), std::vector<std::string>{""});
    }
    fs::remove(target);
    service.clearRequests();
    Fetch();
    EXPECT_EQ(service.requestCount(IndexPath(wanted)), 0u);
}

TEST_F(DeltaDownload, EmptyAndShortWantedFiles) {
    for (const std::string& bytes : {std::string(), std::string("tiny")}) {
        wanted = bytes;
        service.setFile("data/big.pak", wanted);
        service.setResource(IndexPath(wanted), IndexOf(wanted, ChunkBytes(wanted)));
        WriteFile(target, "tin");
        Fetch();
    }
}

TEST_F(DeltaDownload, RunUsesTheManifestsChunkedList) {
    service.setManifestJson(R"({"files":{"data/big.pak":")" + Sha256Hex(wanted) +
                            R"("},"chunked":["/data/big.pak"]})");
    std::uint64_t fetched = 0;
    std::uint64_t done = 0;
    const UpdateResult result = RunClientUpdate(
        folder.path(),
        [&](const qs::UpdateProgress& progress) {
            fetched = progress.amountFetched;
            done = std::max(done, progress.amountDone);
        },
        environment);
    ASSERT_TRUE(result.ok) << std::string(result.message.begin(), result.message.end());
    EXPECT_EQ(ReadFile(target), wanted);
    EXPECT_LT(fetched, wanted.size() / 10);
    EXPECT_GT(fetched, 0u);
    EXPECT_EQ(done, wanted.size());
}
