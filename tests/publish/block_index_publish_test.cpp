// The publisher's block index: written beside the chunk index with the digest of its head, and
// linked from the live tree on a republish without reading the file again.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "scratch.h"
#include "tools/publish/publish.h"
#include "tools/standin/service.h"
#include "update/block_index.h"

namespace qs {
namespace {

namespace fs = std::filesystem;
using publish::WriteBlockIndex;
using publish::WriteChunkIndex;

std::uint64_t Inode(const fs::path& file) {
    struct stat info {};
    return ::stat(file.c_str(), &info) == 0 ? info.st_ino : 0;
}

TEST(PublishBlockIndex, WritesThenLinksAnUnchangedOne) {
    TempFolder folder;
    const std::string bytes = RandomBytes(5u << 20, 11);
    const fs::path file = folder.path() / "big.pak";
    WriteFile(file, bytes);
    const std::string sha = test::Sha256Hex(bytes);
    const fs::path live = folder.path() / "live";
    const fs::path next = folder.path() / "next";
    fs::create_directories(live);
    fs::create_directories(next);

    ASSERT_TRUE(WriteChunkIndex(file, sha, bytes.size(), live, folder.path() / "none"));
    const auto head = WriteBlockIndex(file, sha, live, folder.path() / "none");
    ASSERT_TRUE(head);
    const std::string index = ReadFile(live / (sha + ".blk"));
    const std::vector<Chunk> chunks = ChunkBytes(bytes);
    const BlockIndexLayout layout = LayoutOfBlockIndex(chunks);
    EXPECT_EQ(*head, test::Sha256Hex(BlockIndexHead(index, layout)));
    EXPECT_TRUE(ParseBlockIndexHead(BlockIndexHead(index, layout),
                                    DigestOfBytes(BlockIndexHead(index, layout)),
                                    DigestOfBytes(ReadFile(live / (sha + ".idx"))), layout));

    // Republished: the file is not read again (it is gone), the index is the live one.
    fs::remove(file);
    ASSERT_TRUE(WriteChunkIndex(file, sha, bytes.size(), next, live));
    EXPECT_EQ(WriteBlockIndex(file, sha, next, live), head);
    EXPECT_EQ(Inode(next / (sha + ".blk")), Inode(live / (sha + ".blk")));

    // A damaged live index is not linked: the block lists are made again from the file.
    WriteFile(file, bytes);
    std::string damaged = index;
    damaged[9] ^= 1;
    fs::remove(live / (sha + ".blk"));
    WriteFile(live / (sha + ".blk"), damaged);
    fs::remove_all(next);
    fs::create_directories(next);
    ASSERT_TRUE(WriteChunkIndex(file, sha, bytes.size(), next, live));
    EXPECT_EQ(WriteBlockIndex(file, sha, next, live), head);
    EXPECT_EQ(ReadFile(next / (sha + ".blk")), index);
}

// Files of 1 MiB get their indexes, so a patch day of a few among many fetches what changed.
TEST(PublishBlockIndex, IndexesFilesWorthTheirIndexes) {
    TempFolder folder;
    for (const auto& [size, indexed] :
         {std::pair{std::size_t{1u << 20}, true}, std::pair{std::size_t{300u << 10}, false}}) {
        const std::string bytes = RandomBytes(size, size);
        const fs::path file = folder.path() / "file.pak";
        WriteFile(file, bytes);
        const std::string sha = test::Sha256Hex(bytes);
        EXPECT_EQ(WriteChunkIndex(file, sha, size, folder.path(), folder.path() / "none"), indexed);
        EXPECT_EQ(WriteBlockIndex(file, sha, folder.path(), folder.path() / "none").has_value(),
                  indexed);
    }
}

}  // namespace
}  // namespace qs
