// Content-defined chunks: where the cuts fall, that they survive edits elsewhere, and the index
// that carries them from the publisher to the launcher.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <tuple>

#include "scratch.h"
#include "update/chunker.h"

using namespace qs;

namespace {

// Share of `edited`'s bytes in chunks that also occur in `original`.
double SharedShare(const std::string& original, const std::string& edited) {
    std::set<Digest> known;
    for (const Chunk& chunk : ChunkBytes(original))
        known.insert(chunk.digest);
    std::uint64_t shared = 0;
    for (const Chunk& chunk : ChunkBytes(edited))
        if (known.count(chunk.digest))
            shared += chunk.length;
    return static_cast<double>(shared) / edited.size();
}

}  // namespace

TEST(Chunker, GearTableIsFixed) {
    EXPECT_EQ(GearTable()[0], 0xd5a60eec7d2ca391ULL);
    EXPECT_EQ(GearTable()[255], 0x825ea92b5f652ff0ULL);
}

TEST(Chunker, ChunksCoverTheFileWithinBounds) {
    const std::string bytes = RandomBytes(8u << 20, 1);
    const std::vector<Chunk> chunks = ChunkBytes(bytes);
    ASSERT_FALSE(chunks.empty());
    std::uint64_t offset = 0;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        EXPECT_EQ(chunks[i].offset, offset);
        EXPECT_LE(chunks[i].length, kChunkMax);
        if (i + 1 < chunks.size()) {
            EXPECT_GE(chunks[i].length, kChunkMin);
        }
        offset += chunks[i].length;
    }
    EXPECT_EQ(offset, bytes.size());
    const double average = static_cast<double>(bytes.size()) / chunks.size();
    EXPECT_GT(average, kChunkAverage / 2.0);
    EXPECT_LT(average, kChunkAverage * 2.0);
    EXPECT_EQ(ChunkBytes(bytes), chunks);  // deterministic
    // Uniform bytes never cut by hash: every chunk is as long as allowed.
    for (const Chunk& chunk : ChunkBytes(std::string(kChunkMax * 3, '\0')))
        EXPECT_EQ(chunk.length, kChunkMax);
}

TEST(Chunker, StreamingInAnyPiecesGivesTheSameChunks) {
    const std::string bytes = RandomBytes(1u << 20, 2);
    const std::vector<Chunk> whole = ChunkBytes(bytes);
    for (std::size_t piece : {std::size_t{1}, std::size_t{4093}, std::size_t{300000}}) {
        if (piece == 1) {
            Chunker chunker;  // byte by byte over a part only: slow under the sanitizers
            const std::string part = bytes.substr(0, 100000);
            for (char c : part)
                chunker.update(&c, 1);
            EXPECT_EQ(chunker.finish(), ChunkBytes(part));
            continue;
        }
        Chunker chunker;
        for (std::size_t at = 0; at < bytes.size(); at += piece)
            chunker.update(bytes.data() + at, std::min(piece, bytes.size() - at));
        EXPECT_EQ(chunker.finish(), whole) << piece;
    }
}

TEST(Chunker, EditsMoveOnlyNearbyCuts) {
    const std::string original = RandomBytes(8u << 20, 3);
    struct Case {
        const char* name;
        std::string edited;
    };
    std::string overwritten = original;
    overwritten.replace(5u << 20, 4096, RandomBytes(4096, 4));
    const Case cases[] = {
        {"insert", original.substr(0, 3u << 20) + "inserted" + original.substr(3u << 20)},
        {"delete", original.substr(0, 3u << 20) + original.substr((3u << 20) + 1000)},
        {"overwrite", overwritten},
        {"prepend", RandomBytes(100, 5) + original},
    };
    for (const Case& c : cases)
        EXPECT_GT(SharedShare(original, c.edited), 0.9) << c.name;
}

TEST(Chunker, EmptyAndShortFiles) {
    EXPECT_TRUE(ChunkBytes("").empty());
    const std::vector<Chunk> one = ChunkBytes("short");
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].length, 5u);
}

TEST(ChunkIndex, RoundTripsAndRefusesDamage) {
    const std::string bytes = RandomBytes(1u << 20, 6);
    ChunkIndex index;
    index.file = *DigestFromHex(std::wstring(64, L'a'));
    index.size = bytes.size();
    index.chunks = ChunkBytes(bytes);
    const std::string good = ChunkIndexBytes(index);
    const auto parsed = ParseChunkIndex(good, index.file);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->chunks, index.chunks);
    EXPECT_EQ(parsed->size, index.size);

    std::string flipped = good;
    flipped[60] ^= 1;
    ChunkIndex wrongSize = index;
    wrongSize.size += 1;
    const std::pair<const char*, std::string> bad[] = {
        {"flipped", flipped},
        {"truncated", good.substr(0, good.size() - 1)},
        {"empty", ""},
        {"sizes disagree", ChunkIndexBytes(wrongSize)},
    };
    for (const auto& [name, text] : bad)
        EXPECT_FALSE(ParseChunkIndex(text, index.file)) << name;
    EXPECT_FALSE(ParseChunkIndex(good, *DigestFromHex(std::wstring(64, L'b'))));
    EXPECT_FALSE(DigestFromHex(std::wstring(63, L'a')));
    EXPECT_FALSE(DigestFromHex(std::wstring(64, L'g')));
}

// A large file is chunked in two halves at once: the chunks are those of one pass, also where
// the halves never fall into step (a file of one repeated byte cuts at fixed lengths).
TEST(Chunker, FileInHalvesGivesTheChunksOfOnePass) {
    TempFolder folder;
    const std::string noise = RandomBytes((20u << 20) + 12345, 9);
    const std::pair<const char*, std::string> files[] = {
        {"noise", noise},
        {"one repeated byte", std::string((17u << 20) + 777, '\0')},
        {"noise, a long run, noise",
         noise.substr(0, 5u << 20) + std::string(9u << 20, 'z') + noise.substr(0, 4u << 20)},
    };
    for (const auto& [name, bytes] : files) {
        SCOPED_TRACE(name);
        WriteFile(folder.path() / "file", bytes);
        EXPECT_EQ(ChunkFile(folder.path() / "file"), ChunkBytes(bytes));
    }
    const std::atomic<bool> cancelled{true};
    EXPECT_FALSE(ChunkFile(folder.path() / "file", &cancelled));
}

// The sampled estimate: a few windows of the old copy against the wanted index.
TEST(Chunker, SampleOfTheOldCopyTellsWhetherChunkingPays) {
    TempFolder folder;
    const std::string wanted = RandomBytes(40u << 20, 5);
    const std::vector<Chunk> index = ChunkBytes(wanted);
    std::string edited = wanted;
    for (std::size_t at = 0; at < edited.size(); at += 4u << 20)
        edited.replace(at + 999, 4000, RandomBytes(4000, at));
    std::string shifted = RandomBytes(1u << 20, 6) + wanted;
    shifted.erase(shifted.size() - (2u << 20), 1u << 20);
    const struct {
        const char* name;
        std::string old;
        bool worth;
    } cases[] = {
        {"edited here and there", edited, true},
        {"1 MiB inserted and 1 MiB removed", shifted, true},
        {"unrelated", RandomBytes(40u << 20, 7), false},
        {"small: left to the full chunking", RandomBytes(1u << 20, 8), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(folder.path() / "old", c.old);
        const std::optional<SampledShare> sample = SampleShare(folder.path() / "old", index);
        ASSERT_TRUE(sample);
        EXPECT_EQ(SampleWorthChunking(*sample), c.worth);
    }
    EXPECT_FALSE(SampleShare(folder.path() / "absent", index));
}

TEST(ChunkAssembly, LocalChunksByDigestAndMissingRunsCoalesced) {
    const auto chunk = [](std::uint64_t offset, std::uint32_t length, std::uint8_t tag) {
        Chunk c{offset, length, {}};
        c.digest[0] = tag;
        return c;
    };
    // Wanted A B C D E; the old copy holds E, B (moved) and A with another length.
    const std::vector<Chunk> wanted = {chunk(0, 10, 'A'), chunk(10, 20, 'B'), chunk(30, 5, 'C'),
                                       chunk(35, 5, 'D'), chunk(40, 7, 'E')};
    const std::vector<Chunk> local = {chunk(0, 7, 'E'), chunk(7, 20, 'B'), chunk(27, 11, 'A')};
    const std::vector<AssemblyPiece> expected = {
        {false, 0, 10, 0, 1}, {true, 7, 20, 1, 1}, {false, 30, 10, 2, 2}, {true, 0, 7, 4, 1}};
    const auto pieces = PlanAssembly(wanted, local);
    EXPECT_EQ(pieces, expected);
    EXPECT_EQ(ReusedBytes(pieces), 27u);

    // Chunks lying in a row in the old copy are read as one, up to the run's limit.
    std::vector<Chunk> row;
    for (std::uint8_t tag = 0; tag < 40; ++tag)
        row.push_back(chunk(std::uint64_t{tag} << 17, 1u << 17, tag));
    const std::vector<AssemblyPiece> runs = {{true, 0, kLocalRunMax, 0, 32},
                                             {true, kLocalRunMax, 8u << 17, 32, 8}};
    EXPECT_EQ(PlanAssembly(row, row), runs);

    const std::tuple<std::uint64_t, std::uint64_t, bool> worth[] = {
        {20, 100, true}, {19, 100, false}, {0, 0, false}, {100, 100, true}};
    for (const auto& [reused, total, expect] : worth)
        EXPECT_EQ(WorthAssembling(reused, total), expect) << reused << "/" << total;
}
