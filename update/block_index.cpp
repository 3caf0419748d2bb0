#include "update/block_index.h"

#include <algorithm>
#include <fstream>

#include "platform/long_path.h"
#include "platform/sha256.h"

namespace qs {

namespace {

constexpr char kBlockMagic[8] = {'Q', 'S', 'B', 'L', 'O', 'C', 'K', '2'};
constexpr std::size_t kHeadFixed = 8 + 32 + 4;

std::string_view AsText(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

}  // namespace

BlockDigest DigestOfBlock(std::string_view bytes) {
    const Digest full = DigestOfBytes(bytes);
    BlockDigest digest{};
    std::copy_n(full.begin(), digest.size(), digest.begin());
    return digest;
}

std::size_t BlockCount(std::uint32_t chunkLength) {
    return (chunkLength + kBlockSize - 1) / kBlockSize;
}

BlockIndexLayout LayoutOfBlockIndex(const std::vector<Chunk>& chunks) {
    BlockIndexLayout layout;
    layout.groups = (chunks.size() + kBlockGroupChunks - 1) / kBlockGroupChunks;
    layout.headBytes = kHeadFixed + 32 * layout.groups;
    std::uint64_t at = layout.headBytes;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        if (i % kBlockGroupChunks == 0)
            layout.groupAt.push_back(at);
        at += kBlockDigestBytes * BlockCount(chunks[i].length);
    }
    layout.groupAt.push_back(at);
    return layout;
}

std::string BlockIndexBytes(std::string_view chunkIndexBytes,
                            const std::vector<BlockList>& blocks) {
    std::string body;
    std::vector<Digest> groups;
    for (std::size_t first = 0; first < blocks.size(); first += kBlockGroupChunks) {
        std::string group;
        for (std::size_t i = first; i < std::min(blocks.size(), first + kBlockGroupChunks); ++i)
            for (const BlockDigest& block : blocks[i])
                group.append(AsText(block.data(), block.size()));
        groups.push_back(DigestOfBytes(group));
        body += group;
    }
    std::string out(kBlockMagic, sizeof kBlockMagic);
    const Digest chunkIndex = DigestOfBytes(chunkIndexBytes);
    out.append(AsText(chunkIndex.data(), chunkIndex.size()));
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((groups.size() >> (8 * i)) & 0xff));
    for (const Digest& group : groups)
        out.append(AsText(group.data(), group.size()));
    return out + body;
}

std::string_view BlockIndexHead(std::string_view index, const BlockIndexLayout& layout) {
    return index.substr(0, std::min(index.size(), layout.headBytes));
}

std::optional<std::vector<Digest>> ParseBlockIndexHead(std::string_view head,
                                                       const Digest& headDigest,
                                                       const Digest& chunkIndexDigest,
                                                       const BlockIndexLayout& layout) {
    if (head.size() != layout.headBytes || DigestOfBytes(head) != headDigest ||
        head.substr(0, 8) != std::string_view(kBlockMagic, 8) ||
        !HeadNamesChunkIndex(head, chunkIndexDigest))
        return std::nullopt;
    std::uint64_t count = 0;
    for (int i = 0; i < 4; ++i)
        count |= std::uint64_t{static_cast<std::uint8_t>(head[40 + i])} << (8 * i);
    if (count != layout.groups)
        return std::nullopt;
    std::vector<Digest> groups(layout.groups);
    for (std::size_t g = 0; g < groups.size(); ++g)
        std::copy_n(head.begin() + kHeadFixed + 32 * g, 32, groups[g].begin());
    return groups;
}

bool HeadNamesChunkIndex(std::string_view head, const Digest& chunkIndexDigest) {
    return head.size() >= 40 &&
           head.substr(8, 32) == AsText(chunkIndexDigest.data(), chunkIndexDigest.size());
}

std::optional<std::vector<BlockList>> ParseBlockGroup(std::string_view bytes, const Digest& digest,
                                                      const std::vector<Chunk>& chunks,
                                                      std::size_t group) {
    const std::size_t first = group * kBlockGroupChunks;
    const std::size_t end = std::min(chunks.size(), first + kBlockGroupChunks);
    std::size_t expected = 0;
    for (std::size_t i = first; i < end; ++i)
        expected += kBlockDigestBytes * BlockCount(chunks[i].length);
    if (first >= end || bytes.size() != expected || DigestOfBytes(bytes) != digest)
        return std::nullopt;
    std::vector<BlockList> lists;
    std::size_t at = 0;
    for (std::size_t i = first; i < end; ++i) {
        BlockList& list = lists.emplace_back(BlockCount(chunks[i].length));
        for (BlockDigest& block : list) {
            std::copy_n(bytes.begin() + at, block.size(), block.begin());
            at += block.size();
        }
    }
    return lists;
}

BlockList BlockListOf(std::string_view chunkBytes) {
    BlockList list;
    for (std::size_t at = 0; at < chunkBytes.size(); at += kBlockSize)
        list.push_back(DigestOfBlock(chunkBytes.substr(at, kBlockSize)));
    return list;
}

std::optional<std::vector<BlockList>> BlockListsOfFile(const std::filesystem::path& file,
                                                       const std::vector<Chunk>& chunks) {
    std::ifstream input(ForFileCall(file), std::ios::binary);
    if (!input)
        return std::nullopt;
    std::vector<BlockList> lists;
    lists.reserve(chunks.size());
    std::string chunkBytes;
    for (const Chunk& chunk : chunks) {
        chunkBytes.resize(chunk.length);
        input.seekg(static_cast<std::streamoff>(chunk.offset));
        input.read(chunkBytes.data(), static_cast<std::streamsize>(chunkBytes.size()));
        if (!input)
            return std::nullopt;
        lists.push_back(BlockListOf(chunkBytes));
    }
    return lists;
}

namespace {

void AddSegment(std::vector<BlockSegment>& segments, const BlockSegment& next) {
    if (!segments.empty()) {
        BlockSegment& last = segments.back();
        const bool joins = last.local == next.local && last.at + last.length == next.at &&
                           (!next.local || last.from + last.length == next.from);
        if (joins) {
            last.length += next.length;
            return;
        }
    }
    segments.push_back(next);
}

}  // namespace

std::vector<BlockSegment> PlanBlocks(const std::vector<Chunk>& wanted, std::size_t first,
                                     std::size_t count,
                                     const std::map<std::size_t, BlockList>& blocks,
                                     std::optional<std::int64_t> before,
                                     std::optional<std::int64_t> after,
                                     const OldBlockDigest& oldDigest) {
    std::vector<BlockSegment> segments;
    for (std::size_t c = first; c < first + count && c < wanted.size(); ++c) {
        const Chunk& chunk = wanted[c];
        const auto list = blocks.find(c);
        for (std::size_t b = 0; b < BlockCount(chunk.length); ++b) {
            const std::uint64_t at = chunk.offset + b * kBlockSize;
            const auto length = static_cast<std::uint32_t>(
                std::min<std::uint64_t>(kBlockSize, chunk.offset + chunk.length - at));
            BlockSegment segment{at, length, false, 0};
            if (list != blocks.end() && b < list->second.size()) {
                const std::optional<std::int64_t> second = after != before ? after : std::nullopt;
                for (const std::optional<std::int64_t>& shift : {before, second}) {
                    if (!shift || static_cast<std::int64_t>(at) + *shift < 0)
                        continue;
                    const auto from =
                        static_cast<std::uint64_t>(static_cast<std::int64_t>(at) + *shift);
                    if (oldDigest(from, length) == list->second[b]) {
                        segment.local = true;
                        segment.from = from;
                        break;
                    }
                }
            }
            AddSegment(segments, segment);
        }
    }
    return segments;
}

}  // namespace qs
