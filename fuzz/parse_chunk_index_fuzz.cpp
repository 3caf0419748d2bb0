// A chunk index comes from the server. Whatever its bytes, one that is taken is exactly what the
// publisher's writer makes of it (nothing ignored, nothing extra), names the file asked for, and
// lists chunks of 1 to kChunkMax bytes that tile the file from its first byte to its size. And
// what the writer writes reads back as written.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "update/chunker.h"

using namespace qs;

namespace {

// The file digest an index must name: the one it names, so the digest check is no wall.
Digest NamedFile(std::string_view bytes) {
    Digest file{};
    if (bytes.size() >= 40)
        std::copy(bytes.begin() + 8, bytes.begin() + 40, file.begin());
    return file;
}

void CheckParsed(std::string_view bytes, const Digest& file) {
    const std::optional<ChunkIndex> index = ParseChunkIndex(bytes, file);
    if (!index)
        return;
    if (index->file != file || ChunkIndexBytes(*index) != bytes)
        std::abort();
    std::uint64_t offset = 0;
    for (const Chunk& chunk : index->chunks) {
        if (chunk.offset != offset || chunk.length == 0 || chunk.length > kChunkMax)
            std::abort();
        offset += chunk.length;
    }
    if (offset != index->size)
        std::abort();
    Digest other = file;
    other[0] ^= 1;
    if (ParseChunkIndex(bytes, other))
        std::abort();
}

// An index the writer could be given, built from the input: lengths from its bytes.
ChunkIndex IndexFrom(std::string_view bytes) {
    ChunkIndex index;
    index.file = DigestOfBytes(bytes);
    for (std::size_t at = 0; at + 3 <= bytes.size() && index.chunks.size() < 64; at += 3) {
        Chunk chunk;
        chunk.offset = index.size;
        const std::uint32_t raw =
            static_cast<std::uint8_t>(bytes[at]) | static_cast<std::uint8_t>(bytes[at + 1]) << 8 |
            static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[at + 2])) << 16;
        chunk.length = raw % kChunkMax + 1;
        chunk.digest = DigestOfBytes(bytes.substr(at, 3));
        index.size += chunk.length;
        index.chunks.push_back(chunk);
    }
    return index;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // As sent, and sealed with its own digest as the writer seals it, so the body is read too.
    CheckParsed(bytes, NamedFile(bytes));
    const Digest seal = DigestOfBytes(bytes);
    const std::string sealed =
        std::string(bytes).append(reinterpret_cast<const char*>(seal.data()), seal.size());
    CheckParsed(sealed, NamedFile(sealed));

    const ChunkIndex written = IndexFrom(bytes);
    const std::optional<ChunkIndex> read = ParseChunkIndex(ChunkIndexBytes(written), written.file);
    if (!read || read->file != written.file || read->size != written.size ||
        read->chunks != written.chunks)
        std::abort();
    return 0;
}
