#pragma once
// The fine level below the chunks: each chunk cut into 2 KiB blocks, each block named by the
// first 4 bytes of its SHA-256. The launcher fetches the block lists of the chunks it lacks only,
// finds most of their blocks in its old copy next to the chunks it has, and fetches the rest.
//
// The block index of a file: a head, "QSBLOCK2", the SHA-256 of the file's chunk index, the group
// count (u32 little-endian) and the SHA-256 of each group; then the body, every chunk's block
// digests in file order. A group is the block digests of kBlockGroupChunks chunks in a row. The
// manifest names the head's digest, so the chain from the signed manifest runs head -> chunk
// index and groups -> block digests. A block digest only picks bytes of the player's own old
// copy, and only at the two places its neighbours point to; what it picks is proven by the
// chunk's full digest before it is written, so a rare false match costs the whole download, never
// a wrong byte. Half the block of "QSBLOCK1" (4 KiB, 8-byte digests) at the same index size: the
// partly changed blocks at an edit's ends cost half as much. A launcher refuses a head of the
// other kind and fetches the missing chunks whole.
#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "update/chunker.h"

namespace qs {

inline constexpr std::uint32_t kBlockSize = 2048;
inline constexpr std::size_t kBlockGroupChunks = 8;
inline constexpr std::size_t kBlockDigestBytes = 4;

using BlockDigest = std::array<std::uint8_t, kBlockDigestBytes>;
using BlockList = std::vector<BlockDigest>;

// A round trip, counted as the bytes a 50 MB/s link moves in the time it takes.
inline constexpr std::uint64_t kRoundTripBytes = 64u << 10;

// What patching a file by its indexes costs at least beyond the bytes that changed: its chunk
// index, the block index's head and one group, and a round trip for each of the three.
constexpr std::uint64_t IndexCostBytes(std::uint64_t fileSize) {
    const std::uint64_t chunks = fileSize / kChunkAverage + 1;
    const std::uint64_t chunkIndex = 52 + chunks * 36 + 32;
    const std::uint64_t blockHead = 44 + (chunks / kBlockGroupChunks + 1) * 32;
    const std::uint64_t group = (chunks < kBlockGroupChunks ? chunks : kBlockGroupChunks) *
                                (kChunkAverage / kBlockSize) * kBlockDigestBytes;
    return chunkIndex + blockHead + group + 3 * kRoundTripBytes;
}
// Whether a file is worth its indexes: they cost at most a quarter of it, so patching a small part
// of it comes to well under the whole download. Smaller files are published and fetched whole.
constexpr bool WorthIndexing(std::uint64_t fileSize) {
    return IndexCostBytes(fileSize) * 4 <= fileSize;
}
// The smallest file worth its indexes (a few hundred KiB).
inline constexpr std::uint64_t kChunkedFileMin = [] {
    std::uint64_t size = 0;
    while (!WorthIndexing(size))
        size += kBlockSize;
    return size;
}();

BlockDigest DigestOfBlock(std::string_view bytes);
std::size_t BlockCount(std::uint32_t chunkLength);

// Where the parts of a block index lie, from the chunks alone.
struct BlockIndexLayout {
    std::size_t headBytes = 0;
    std::size_t groups = 0;
    std::vector<std::uint64_t> groupAt;  // each group's offset in the index, and the end last
};
BlockIndexLayout LayoutOfBlockIndex(const std::vector<Chunk>& chunks);

// The whole block index of a file whose chunk index is `chunkIndexBytes`; `blocks` holds each
// chunk's list, in order.
std::string BlockIndexBytes(std::string_view chunkIndexBytes, const std::vector<BlockList>& blocks);
// The head of a block index as written (its digest goes into the manifest).
std::string_view BlockIndexHead(std::string_view index, const BlockIndexLayout& layout);

// The group digests, when `head` has digest `headDigest`, names the chunk index with digest
// `chunkIndexDigest`, and has one group for every kBlockGroupChunks of `layout`.
std::optional<std::vector<Digest>> ParseBlockIndexHead(std::string_view head,
                                                       const Digest& headDigest,
                                                       const Digest& chunkIndexDigest,
                                                       const BlockIndexLayout& layout);
// Whether `head` names the chunk index with digest `chunkIndexDigest`.
bool HeadNamesChunkIndex(std::string_view head, const Digest& chunkIndexDigest);
// The block lists of group `group`'s chunks, when `bytes` has the group's digest and length.
std::optional<std::vector<BlockList>> ParseBlockGroup(std::string_view bytes, const Digest& digest,
                                                      const std::vector<Chunk>& chunks,
                                                      std::size_t group);

// The block list of one chunk's bytes.
BlockList BlockListOf(std::string_view chunkBytes);
// Every chunk's block list, read from `file`; nullopt when it falls short.
std::optional<std::vector<BlockList>> BlockListsOfFile(const std::filesystem::path& file,
                                                       const std::vector<Chunk>& chunks);

// A stretch of the new file: copied from the old copy at `from`, or fetched.
struct BlockSegment {
    std::uint64_t at = 0;
    std::uint64_t length = 0;
    bool local = false;
    std::uint64_t from = 0;
    bool operator==(const BlockSegment&) const = default;
};
// The digest of `length` bytes of the old copy at `from`; nullopt outside it or unreadable.
using OldBlockDigest =
    std::function<std::optional<BlockDigest>(std::uint64_t from, std::uint32_t length)>;
// The segments of the missing chunks `first`..`first + count`. A block is looked for in the old
// copy where its neighbours put it: shifted as the shared bytes before the run are (`before`),
// and as those after it are (`after`). Blocks without a list (`blocks` lacks the chunk) and those
// not found are fetched. Adjacent segments of one kind are merged, so each fetched segment is
// one range.
std::vector<BlockSegment> PlanBlocks(const std::vector<Chunk>& wanted, std::size_t first,
                                     std::size_t count,
                                     const std::map<std::size_t, BlockList>& blocks,
                                     std::optional<std::int64_t> before,
                                     std::optional<std::int64_t> after,
                                     const OldBlockDigest& oldDigest);

}  // namespace qs
