// A block index comes from the server in parts: its head, then groups of block lists. Whatever
// their bytes, a head that is taken is exactly the writer's head of an index with that many
// groups, naming the chunk index asked for; a group that is taken holds exactly one list of the
// right length per chunk, and what the writer writes reads back as written.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "update/block_index.h"

namespace qs {
namespace {

// Chunks of 1 to kChunkMax bytes, their lengths read from the input's bytes.
std::vector<Chunk> ChunksFrom(std::string_view bytes, std::size_t count) {
    std::vector<Chunk> chunks;
    std::uint64_t offset = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const auto raw = static_cast<std::uint8_t>(bytes.empty() ? 0 : bytes[i % bytes.size()]);
        Chunk chunk;
        chunk.offset = offset;
        chunk.length = static_cast<std::uint32_t>((raw * 2053u) % kChunkMax + 1);
        offset += chunk.length;
        chunks.push_back(chunk);
    }
    return chunks;
}

void CheckHead(std::string_view bytes) {
    if (bytes.size() < 44)
        return;
    const std::size_t groups = (bytes.size() - 44) / 32;
    const std::vector<Chunk> chunks = ChunksFrom(bytes, groups * kBlockGroupChunks);
    const BlockIndexLayout layout = LayoutOfBlockIndex(chunks);
    Digest named{};
    std::copy_n(bytes.begin() + 8, 32, named.begin());
    const auto parsed = ParseBlockIndexHead(bytes, DigestOfBytes(bytes), named, layout);
    if (!parsed)
        return;
    if (parsed->size() != layout.groups || bytes.size() != layout.headBytes)
        std::abort();
    named[0] ^= 1;
    if (ParseBlockIndexHead(bytes, DigestOfBytes(bytes), named, layout))
        std::abort();
}

void CheckGroup(std::string_view bytes) {
    const std::vector<Chunk> chunks = ChunksFrom(bytes.substr(0, 3), 1 + bytes.size() % 11);
    const auto lists = ParseBlockGroup(bytes, DigestOfBytes(bytes), chunks, 0);
    if (!lists)
        return;
    std::string again;
    for (std::size_t i = 0; i < lists->size(); ++i) {
        if ((*lists)[i].size() != BlockCount(chunks[i].length))
            std::abort();
        for (const BlockDigest& block : (*lists)[i])
            again.append(reinterpret_cast<const char*>(block.data()), block.size());
    }
    if (again != bytes)
        std::abort();
}

// What the writer writes of lists made from the input reads back, head and groups alike.
void CheckWritten(std::string_view bytes) {
    const std::vector<Chunk> chunks = ChunksFrom(bytes, bytes.size() % 20);
    std::vector<BlockList> lists;
    for (const Chunk& chunk : chunks) {
        BlockList& list = lists.emplace_back(BlockCount(chunk.length));
        for (std::size_t b = 0; b < list.size(); ++b)
            list[b] = DigestOfBlock(bytes.substr(std::min(bytes.size(), b), 16));
    }
    const std::string written = BlockIndexBytes(bytes, lists);
    const BlockIndexLayout layout = LayoutOfBlockIndex(chunks);
    const std::string_view head = BlockIndexHead(written, layout);
    const auto groups =
        ParseBlockIndexHead(head, DigestOfBytes(head), DigestOfBytes(bytes), layout);
    if (!groups || written.size() != layout.groupAt.back())
        std::abort();
    for (std::size_t g = 0; g < layout.groups; ++g) {
        const auto read =
            ParseBlockGroup(std::string_view(written).substr(
                                layout.groupAt[g], layout.groupAt[g + 1] - layout.groupAt[g]),
                            (*groups)[g], chunks, g);
        if (!read || !std::equal(read->begin(), read->end(), lists.begin() + g * kBlockGroupChunks))
            std::abort();
    }
}

}  // namespace
}  // namespace qs

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    qs::CheckHead(bytes);
    qs::CheckGroup(bytes);
    qs::CheckWritten(bytes.substr(0, 4096));
    return 0;
}
