#pragma once
// Content-defined chunks of a file, the same on the publisher and the launcher: a cut falls where
// the gear hash of the last 64 bytes says so, so an edit moves only the cuts near it and the
// chunks further on reappear unchanged. A chunk index lists a file's chunks for the launcher,
// which then fetches only the chunks its old copy lacks.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sha256.h"

namespace qs {

inline constexpr std::size_t kChunkMin = 16u << 10;
inline constexpr std::size_t kChunkAverage = 64u << 10;
inline constexpr std::size_t kChunkMax = 256u << 10;

// An index larger than this is refused unread.
inline constexpr std::size_t kChunkIndexMaxBytes = 16u << 20;

using Digest = std::array<std::uint8_t, 32>;

struct Chunk {
    std::uint64_t offset = 0;
    std::uint32_t length = 0;
    Digest digest{};
    bool operator==(const Chunk&) const = default;
};

// The 256 gear values, from a fixed seed: both sides must cut in the same places.
const std::array<std::uint64_t, 256>& GearTable();

// Finds cut points in a stream fed piece by piece; holds no bytes itself.
class ChunkScanner {
public:
    // How many bytes of `data` belong to the current chunk; `cut` tells whether the chunk ends
    // after them (otherwise all of `data` was taken and the chunk goes on).
    std::size_t scan(const std::uint8_t* data, std::size_t size, bool& cut);

private:
    std::uint64_t hash_ = 0;
    std::size_t length_ = 0;
};

// Chunks and their SHA-256 digests, fed piece by piece (a bounded buffer suffices).
class Chunker {
public:
    // `start`: the offset of the first byte fed, as if a chunk began there.
    explicit Chunker(std::uint64_t start = 0) : offset_(start) {}
    void update(const void* data, std::size_t size);
    std::vector<Chunk> finish();
    // The chunks closed so far.
    const std::vector<Chunk>& chunks() const { return chunks_; }

private:
    void close();
    ChunkScanner scanner_;
    std::optional<Sha256Stream> digest_;
    std::uint64_t offset_ = 0;
    std::uint64_t length_ = 0;
    std::vector<Chunk> chunks_;
};

std::vector<Chunk> ChunkBytes(std::string_view bytes);
// nullopt when the file cannot be read to its end, or once `*cancel` reads true. A large file is
// chunked in two halves at once; the result is the same as one pass from the start.
std::optional<std::vector<Chunk>> ChunkFile(const std::filesystem::path& file,
                                            const std::atomic<bool>* cancel = nullptr);

// An estimate of how much of `file` also occurs among `wanted`, from a few windows spread over it
// (reused, scanned): cheap next to chunking the whole file, so an old copy that shares nothing
// costs almost nothing before the whole download. Files too small to sample are reported as
// entirely shared, which leaves the decision to the full chunking. nullopt when unreadable.
struct SampledShare {
    std::uint64_t reused = 0;
    std::uint64_t scanned = 0;
};
std::optional<SampledShare> SampleShare(const std::filesystem::path& file,
                                        const std::vector<Chunk>& wanted);
// Below a tenth in the sample, the whole chunking is not worth starting.
bool SampleWorthChunking(const SampledShare& sample);

// The SHA-256 of `bytes`, as bytes.
Digest DigestOfBytes(std::string_view bytes);

// Digest text (64 hex digits, either case) as bytes; nullopt when malformed.
std::optional<Digest> DigestFromHex(std::wstring_view text);

// The index of a file: magic "QSCHUNK1", the file's digest, its size (u64), the chunk count
// (u32), each chunk's length (u32) and digest, then the SHA-256 of everything before it. Numbers
// little-endian; offsets follow from the lengths.
struct ChunkIndex {
    Digest file{};
    std::uint64_t size = 0;
    std::vector<Chunk> chunks;
};
std::string ChunkIndexBytes(const ChunkIndex& index);
// nullopt unless the bytes are a well-formed index of the file with digest `file`.
std::optional<ChunkIndex> ParseChunkIndex(std::string_view bytes, const Digest& file);

// One step of building the new file: chunks `first`..`first + count` of the wanted file, either
// copied from the old copy at `from` (chunks that lie there in a row, up to kLocalRunMax, in one
// read), or a run of missing chunks fetched as one range.
struct AssemblyPiece {
    bool local = false;
    std::uint64_t from = 0;
    std::uint64_t length = 0;
    std::size_t first = 0;
    std::size_t count = 0;
    bool operator==(const AssemblyPiece&) const = default;
};
inline constexpr std::uint64_t kLocalRunMax = 4u << 20;
std::vector<AssemblyPiece> PlanAssembly(const std::vector<Chunk>& wanted,
                                        const std::vector<Chunk>& local);
std::uint64_t ReusedBytes(const std::vector<AssemblyPiece>& pieces);
// Below a fifth shared, the ranges and the reading of the old copy cost more than they save.
bool WorthAssembling(std::uint64_t reused, std::uint64_t total);

}  // namespace qs
