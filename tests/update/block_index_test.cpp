// The block index: read back only as written, for the chunk index it names; and the plan of a
// changed run, whose blocks are looked for where the neighbours on either side put them.
#include <gtest/gtest.h>

#include "scratch.h"
#include "update/block_index.h"

namespace qs {
namespace {

struct Written {
    std::vector<Chunk> chunks;
    std::vector<BlockList> lists;
    std::string index;
    BlockIndexLayout layout;
    Digest chunkIndex;
};

Written WriteIndex(const std::string& bytes) {
    Written w;
    w.chunks = ChunkBytes(bytes);
    for (const Chunk& chunk : w.chunks)
        w.lists.push_back(BlockListOf(std::string_view(bytes).substr(chunk.offset, chunk.length)));
    w.chunkIndex = DigestOfBytes("the chunk index");
    w.index = BlockIndexBytes("the chunk index", w.lists);
    w.layout = LayoutOfBlockIndex(w.chunks);
    return w;
}

TEST(BlockIndex, ReadsBackOnlyAsWritten) {
    const Written w = WriteIndex(RandomBytes(3u << 20, 1));
    ASSERT_GT(w.layout.groups, 2u);
    ASSERT_EQ(w.index.size(), w.layout.groupAt.back());
    const std::string head(BlockIndexHead(w.index, w.layout));
    const Digest headDigest = DigestOfBytes(head);
    const auto groups = ParseBlockIndexHead(head, headDigest, w.chunkIndex, w.layout);
    ASSERT_TRUE(groups);
    for (std::size_t g = 0; g < w.layout.groups; ++g) {
        const std::string group =
            w.index.substr(w.layout.groupAt[g], w.layout.groupAt[g + 1] - w.layout.groupAt[g]);
        const auto lists = ParseBlockGroup(group, (*groups)[g], w.chunks, g);
        ASSERT_TRUE(lists);
        EXPECT_TRUE(
            std::equal(lists->begin(), lists->end(), w.lists.begin() + g * kBlockGroupChunks));
        EXPECT_FALSE(ParseBlockGroup(group, (*groups)[g], w.chunks, g + 1));
        EXPECT_FALSE(ParseBlockGroup(group.substr(8), (*groups)[g], w.chunks, g));
    }
    for (std::size_t at = 0; at < head.size(); at += 7) {
        std::string damaged = head;
        damaged[at] ^= 1;
        EXPECT_FALSE(ParseBlockIndexHead(damaged, headDigest, w.chunkIndex, w.layout)) << at;
        // Even with its own digest: a changed magic, chunk index or group count never passes.
        if (at < 44)
            EXPECT_FALSE(
                ParseBlockIndexHead(damaged, DigestOfBytes(damaged), w.chunkIndex, w.layout))
                << at;
    }
    EXPECT_FALSE(ParseBlockIndexHead(head, headDigest, DigestOfBytes("another"), w.layout));
    EXPECT_FALSE(ParseBlockIndexHead(head, headDigest, w.chunkIndex,
                                     LayoutOfBlockIndex(ChunkBytes(RandomBytes(5u << 20, 2)))));
}

// One changed chunk in the middle of its file, as each neighbour shift finds its blocks.
TEST(BlockIndex, PlansTheBlocksOfAChangedRunFromBothSides) {
    const std::string wanted = RandomBytes(2u << 20, 3);
    const std::vector<Chunk> chunks = ChunkBytes(wanted);
    ASSERT_GT(chunks.size(), 4u);
    const std::size_t c = chunks.size() / 2;
    const Chunk& chunk = chunks[c];
    ASSERT_GT(chunk.length, 4 * kBlockSize);
    const std::map<std::size_t, BlockList> lists{
        {c, BlockListOf(std::string_view(wanted).substr(chunk.offset, chunk.length))}};
    const std::uint64_t edit = chunk.offset + 2 * kBlockSize + 10;  // inside the third block
    const auto blocks = [](std::uint64_t from, std::uint64_t length) {
        return std::vector<BlockSegment>{{from, length, false, 0}};
    };
    struct Case {
        const char* name;
        std::string old;
        std::optional<std::int64_t> before, after;
        std::vector<BlockSegment> expected;
    };
    std::string edited = wanted;
    edited[edit] ^= 1;
    const std::uint64_t third = chunk.offset + 2 * kBlockSize;
    const std::uint64_t end = chunk.offset + chunk.length;
    const Case cases[] = {
        {"in place",
         edited,
         0,
         0,
         {{chunk.offset, 2 * kBlockSize, true, chunk.offset},
          {third, kBlockSize, false, 0},
          {third + kBlockSize, end - third - kBlockSize, true, third + kBlockSize}}},
        // The old copy lacks four bytes the new has: after them, its bytes lie 4 earlier.
        {"bytes removed in the old copy",
         wanted.substr(0, edit) + wanted.substr(edit + 4),
         0,
         -4,
         {{chunk.offset, 2 * kBlockSize, true, chunk.offset},
          {third, kBlockSize, false, 0},
          {third + kBlockSize, end - third - kBlockSize, true, third + kBlockSize - 4}}},
        {"no neighbour on either side", edited, std::nullopt, std::nullopt,
         blocks(chunk.offset, chunk.length)},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const OldBlockDigest oldDigest = [&](std::uint64_t from,
                                             std::uint32_t length) -> std::optional<BlockDigest> {
            if (from + length > k.old.size())
                return std::nullopt;
            return DigestOfBlock(std::string_view(k.old).substr(from, length));
        };
        EXPECT_EQ(PlanBlocks(chunks, c, 1, lists, k.before, k.after, oldDigest), k.expected);
    }
    EXPECT_EQ(PlanBlocks(chunks, c, 1, {}, 0, 0,
                         [](std::uint64_t, std::uint32_t) { return std::optional<BlockDigest>(); }),
              blocks(chunk.offset, chunk.length));
}

// Indexes repay their round trips on files from about 800 KiB: smaller ones come whole.
TEST(BlockIndex, IndexesOnlyFilesWorthThem) {
    const struct {
        std::uint64_t size;
        bool worth;
    } cases[] = {{0, false},
                 {64u << 10, false},
                 {300u << 10, false},
                 {768u << 10, false},
                 {1u << 20, true},
                 {4u << 20, true},
                 {256u << 20, true},
                 {kChunkedFileMin - kBlockSize, false},
                 {kChunkedFileMin, true}};
    for (const auto& c : cases)
        EXPECT_EQ(WorthIndexing(c.size), c.worth) << c.size;
}

}  // namespace
}  // namespace qs
