// A changed file brought up to date from its old copy: only the missing chunks come over the
// network, each as part of one closed range; anything amiss ends in the whole download.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <set>
#include <string>

#include "scratch.h"
#include "tools/standin/service.h"
#include "update/block_index.h"
#include "update/chunker.h"
#include "update/kept_chunks.h"
#include "update/transfer.h"
#include "update/update_run.h"

using namespace qs;

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
    index.size = chunks.empty() ? 0 : chunks.back().offset + chunks.back().length;
    index.chunks = std::move(chunks);
    return ChunkIndexBytes(index);
}

std::string BlockIndexPath(const std::string& bytes) {
    return "/updater/chunks/" + Sha256Hex(bytes) + ".blk";
}

// The block index of `bytes` (chunk index `indexBytes`), its lists taken from `source` at the
// chunks' places (`bytes` itself for a true index).
std::string BlockIndexOf(const std::string& indexBytes, const std::string& bytes,
                         const std::string& source) {
    std::vector<qs::BlockList> lists;
    for (const Chunk& chunk : ChunkBytes(bytes))
        lists.push_back(qs::BlockListOf(std::string_view(source).substr(
            std::min<std::size_t>(chunk.offset, source.size()), chunk.length)));
    return qs::BlockIndexBytes(indexBytes, lists);
}

std::string HeadDigest(const std::string& blockIndex, const std::string& bytes) {
    return Sha256Hex(
        std::string(qs::BlockIndexHead(blockIndex, qs::LayoutOfBlockIndex(ChunkBytes(bytes)))));
}

struct Fetched {
    std::uint64_t received = 0;
    std::uint64_t reused = 0;
    bool wholeAfterAll = false;  // told that the old copy could not be used
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
        service.setFile("data/big.pak", wanted);  // the service publishes its index
        target = folder.path() / "data" / "big.pak";
        fs::create_directories(target.parent_path());
        WriteFile(target, old);
    }

    Fetched Fetch(bool chunked = true, const std::string& blocks = {}) {
        Fetched fetched;
        FetchObserver observer;
        observer.received = [&](std::uint64_t bytes) { fetched.received += bytes; };
        observer.reused = [&](std::uint64_t bytes) { fetched.reused += bytes; };
        observer.wholeInstead = [&] { fetched.wholeAfterAll = true; };
        HttpsConnection connection;
        FetchFile(target, "data/big.pak", Sha256Hex(wanted), environment, false, connection,
                  observer, wanted.size(), chunked, blocks);
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

// Each range costs a round trip: the missing runs are asked for several at once, not one after
// another, and the file still comes out exact.
TEST_F(DeltaDownload, AsksForTheMissingRunsSeveralAtOnce) {
    service.setFault("/updater/files/data/big.pak", Fault::slow(std::chrono::milliseconds(150)));
    const Fetched fetched = Fetch();
    EXPECT_FALSE(fetched.wholeAfterAll);
    EXPECT_LT(fetched.received, wanted.size() / 10);
    EXPECT_GE(service.peakRequestsInFlight(), 2u);
}

// A range whose reply broke off (as on a kept connection the server had just closed) is asked
// again: the patch goes on instead of fetching the whole file.
TEST_F(DeltaDownload, ARangeCutShortIsAskedAgain) {
    service.setFault("/updater/files/data/big.pak", Fault::truncate().only(1));
    EXPECT_FALSE(Fetch().wholeAfterAll);
    const std::vector<std::string> ranges = FileRanges();
    EXPECT_EQ(std::count(ranges.begin(), ranges.end(), ""), 0);  // no whole-file request
}

// Old copies made of the wanted chunks, some changed: only the chunks the old copy lacks come
// over the network, and the result is exact.
TEST_F(DeltaDownload, AssemblesFromOldCopiesOfEveryShape) {
    const std::vector<Chunk> chunks = ChunkBytes(wanted);
    const std::size_t n = chunks.size();
    ASSERT_GT(n, 20u);
    const std::pair<const char*, std::function<bool(std::size_t)>> cases[] = {
        {"all reused", [](std::size_t) { return false; }},
        {"alternating", [](std::size_t i) { return i % 2 == 1; }},
        {"first and last changed", [n](std::size_t i) { return i == 0 || i == n - 1; }},
        {"middle third changed", [n](std::size_t i) { return i >= n / 3 && i < 2 * n / 3; }},
    };
    for (const auto& [name, changed] : cases) {
        SCOPED_TRACE(name);
        std::string older;
        for (std::size_t i = 0; i < n; ++i) {
            std::string piece = wanted.substr(chunks[i].offset, chunks[i].length);
            // A chunk's first bytes never decide a cut (no cut falls within the minimum
            // length), so this changes the chunk and keeps every cut where it was.
            if (changed(i))
                piece[0] = static_cast<char>(piece[0] ^ 0x55);
            older += piece;
        }
        std::set<Digest> held;
        for (const Chunk& chunk : ChunkBytes(older))
            held.insert(chunk.digest);
        std::uint64_t missing = 0;
        for (const Chunk& chunk : chunks)
            if (!held.contains(chunk.digest))
                missing += chunk.length;
        WriteFile(target, older);
        const Fetched fetched = Fetch();
        EXPECT_EQ(fetched.received, missing);
        EXPECT_EQ(fetched.reused, wanted.size() - missing);
    }
}

// A file of 1 MiB is patched by its chunks; one of a few hundred KiB comes whole, its index not
// even asked for, though the tree says it has one.
TEST_F(DeltaDownload, PatchesFilesWorthTheirIndexesOnly) {
    const struct {
        std::size_t size;
        bool patched;
    } cases[] = {{1u << 20, true}, {300u << 10, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        old = RandomBytes(c.size, c.size);
        wanted = old;
        wanted.replace(c.size / 3, 3000, RandomBytes(3000, 1));
        service.setFile("data/big.pak", wanted);
        WriteFile(target, old);
        const Fetched fetched = Fetch();
        EXPECT_EQ(service.requestCount(IndexPath(wanted)), c.patched ? 1u : 0u);
        EXPECT_EQ(fetched.received < c.size / 4, c.patched) << fetched.received;
    }
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
         [&](TestService& s) { s.setFault(IndexPath(wanted), Fault::replyStatus(404)); }},
        {"index corrupt", false,
         [&](TestService& s) { s.setResource(IndexPath(wanted), corrupt); }},
        {"index of another size than the manifest's", false,
         [&](TestService& s) {
             s.setResource(IndexPath(wanted), IndexOf(wanted, ChunkBytes(wanted + "more")));
         }},
        {"chunk mismatch", true,
         [&](TestService& s) { s.setResource(IndexPath(wanted), IndexOf(wanted, lying)); }},
        {"range ignored", true,
         [](TestService& s) {
             s.setFault("/updater/files/data/big.pak", Fault::ignoreRange().only(1));
         }},
        {"wrong range", true,
         [](TestService& s) {
             s.setFault("/updater/files/data/big.pak", Fault::wrongRange().only(1));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(target, old);
        service.clearFaultsAndHandlers();
        service.setResource(IndexPath(wanted), IndexOf(wanted, ChunkBytes(wanted)));
        c.setUp(service);
        service.clearRequests();
        EXPECT_TRUE(Fetch().wholeAfterAll);
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
        const Fetched fetched = Fetch();
        EXPECT_EQ(fetched.received, wanted.size());
        EXPECT_FALSE(fetched.wholeAfterAll);  // not a fault: nothing worth reusing
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

TEST_F(DeltaDownload, RunUsesTheManifestsChunkedListAndBlockIndex) {
    environment.verifiedRecord = folder.path() / "private" / "verified.txt";
    const std::string blocks = BlockIndexOf(IndexOf(wanted, ChunkBytes(wanted)), wanted, wanted);
    service.setManifestJson(R"({"files":{"data/big.pak":")" + Sha256Hex(wanted) +
                            R"("},"chunked":["/data/big.pak"],"sizes":{"data/big.pak":)" +
                            std::to_string(wanted.size()) + R"(},"blocks":{"/data/big.pak":")" +
                            HeadDigest(blocks, wanted) + R"("}})");
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
    EXPECT_LT(fetched, 64u << 10);  // blocks and indexes, not whole chunks
    EXPECT_GT(fetched, 0u);
    EXPECT_EQ(
        done,
        wanted.size());  // The placed file's chunks are kept for its stamp, for the next patch day.
    EXPECT_EQ(LoadKeptChunks(KeptChunksFolder(environment.verifiedRecord), "data/big.pak",
                             *StampOfFile(target)),
              ChunkBytes(wanted));
}

// The chunk list kept for the old copy's very stamp is planned from without chunking the copy;
// one kept for another stamp, or torn, is not. Here the list is the one of the copy before a few
// of its bytes changed: planned from, it picks wrong bytes, and the whole file's digest sends the
// download to the whole file.
TEST_F(DeltaDownload, PlansFromTheChunkListKeptForTheOldCopysStamp) {
    environment.verifiedRecord = folder.path() / "private" / "verified.txt";
    const fs::path kept = KeptChunksFolder(environment.verifiedRecord);
    const std::string hex = Sha256Hex(old);
    const ChunkIndex before{*DigestFromHex(std::wstring(hex.begin(), hex.end())), old.size(),
                            ChunkBytes(old)};
    const std::pair<const char*, std::function<bool(const FileStamp&)>> cases[] = {
        {"kept for this stamp",
         [&](const FileStamp& now) { return KeepChunks(kept, "data/big.pak", now, before); }},
        {"kept for another stamp",
         [&](const FileStamp& now) {
             FileStamp other = now;
             ++other.modifiedNs;
             return KeepChunks(kept, "data/big.pak", other, before);
         }},
        {"torn",
         [&](const FileStamp& now) {
             KeepChunks(kept, "data/big.pak", now, before);
             for (const auto& entry : fs::directory_iterator(kept))
                 fs::resize_file(entry.path(), fs::file_size(entry.path()) - 1);
             return true;
         }},
    };
    for (const auto& [name, keep] : cases) {
        SCOPED_TRACE(name);
        fs::remove_all(kept);
        std::string changed = old;
        changed[1u << 20] ^= 1;
        changed[4u << 20] ^= 1;
        WriteFile(target, changed);
        ASSERT_TRUE(keep(*StampOfFile(target)));
        const Fetched fetched = Fetch();
        EXPECT_EQ(fetched.wholeAfterAll, std::string_view(name) == "kept for this stamp");
        if (!fetched.wholeAfterAll) {
            EXPECT_LT(fetched.received, wanted.size() / 4);
        }
    }
}

// With the block index the manifest names, a changed chunk costs the blocks the old copy lacks:
// the 3000-byte edits span three, two and two blocks of 2 KiB, the appended tail one.
TEST_F(DeltaDownload, FetchesOnlyTheChangedBlocks) {
    const std::string blocks = BlockIndexOf(IndexOf(wanted, ChunkBytes(wanted)), wanted, wanted);
    const Fetched fetched = Fetch(true, HeadDigest(blocks, wanted));
    EXPECT_LE(fetched.received, 8u * 2048);
    EXPECT_EQ(fetched.received + fetched.reused, wanted.size());
    EXPECT_FALSE(fetched.wholeAfterAll);
    EXPECT_GE(service.requestCount(BlockIndexPath(wanted)), 2u);  // the head, then groups
}

// Shifted bytes: 100 KiB inserted near the start and 50 KiB removed near the end are found
// through the neighbours on either side of each changed run.
TEST_F(DeltaDownload, FindsShiftedBlocksBesideTheChangedRuns) {
    wanted = old;
    wanted.insert(200000, RandomBytes(100000, 5));
    wanted.erase(5000000, 50000);
    service.setFile("data/big.pak", wanted);
    const std::string blocks = BlockIndexOf(IndexOf(wanted, ChunkBytes(wanted)), wanted, wanted);
    const Fetched fetched = Fetch(true, HeadDigest(blocks, wanted));
    EXPECT_LE(fetched.received, 100000u + 4 * qs::kBlockSize);
}

// A block index that cannot be used leaves the whole chunks; one whose lists pick the wrong
// old bytes fails the chunk's digest and ends in the whole download.
TEST_F(DeltaDownload, DamagedBlockIndexFallsBack) {
    const std::string chunkIndex = IndexOf(wanted, ChunkBytes(wanted));
    const std::string blocks = BlockIndexOf(chunkIndex, wanted, wanted);
    const std::string head = HeadDigest(blocks, wanted);
    const std::uint64_t wholeChunks = Fetch().received;
    const std::size_t headBytes = qs::LayoutOfBlockIndex(ChunkBytes(wanted)).headBytes;
    const auto flipped = [&](std::size_t at) {
        std::string damaged = blocks;
        damaged[at] ^= 1;
        return damaged;
    };
    const std::string lying = BlockIndexOf(chunkIndex, wanted, old);
    std::vector<Chunk> forged = ChunkBytes(wanted);
    forged[1].digest[0] ^= 1;  // a chunk the old copy has, so it is looked for
    struct Case {
        const char* name;
        std::string manifestDigest;
        std::function<void(TestService&)> setUp;
        bool wholeFile;
        bool rangesTried = true;
    };
    const Case cases[] = {
        {"block index missing", head,
         [&](TestService& s) { s.setFault(BlockIndexPath(wanted), Fault::replyStatus(404)); },
         false},
        {"head damaged", head,
         [&](TestService& s) { s.setResource(BlockIndexPath(wanted), flipped(50)); }, false},
        {"group damaged", head,
         [&](TestService& s) { s.setResource(BlockIndexPath(wanted), flipped(headBytes + 3)); },
         false},
        {"range ignored", head,
         [&](TestService& s) { s.setFault(BlockIndexPath(wanted), Fault::ignoreRange()); }, false},
        {"head of another index", Sha256Hex("another"), [](TestService&) {}, false},
        {"lists that pick the wrong old bytes", HeadDigest(lying, wanted),
         [&](TestService& s) { s.setResource(BlockIndexPath(wanted), lying); }, true, false},
        {"chunk index other than the one the block index names", head,
         [&](TestService& s) { s.setResource(IndexPath(wanted), IndexOf(wanted, forged)); }, true,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(target, old);
        service.clearFaultsAndHandlers();
        service.setResource(BlockIndexPath(wanted), blocks);
        service.setResource(IndexPath(wanted), chunkIndex);
        c.setUp(service);
        service.clearRequests();
        const Fetched fetched = Fetch(true, c.manifestDigest);
        EXPECT_EQ(fetched.wholeAfterAll, c.wholeFile);
        EXPECT_EQ(FileRanges().front() != "", c.rangesTried);
        if (!c.wholeFile)
            EXPECT_EQ(fetched.received, wholeChunks);
    }
}
