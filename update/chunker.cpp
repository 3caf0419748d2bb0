#include "update/chunker.h"

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <system_error>
#include <thread>

namespace qs {

namespace {

// Normalised chunking: a cut is harder before the average length and easier after it, which
// narrows the spread of lengths around the average (2^16 bytes).
constexpr std::uint64_t TopBits(int bits) {
    return ~std::uint64_t{0} << (64 - bits);
}
constexpr std::uint64_t kMaskHard = TopBits(18);
constexpr std::uint64_t kMaskEasy = TopBits(14);

constexpr char kIndexMagic[8] = {'Q', 'S', 'C', 'H', 'U', 'N', 'K', '1'};
constexpr std::size_t kIndexHead = 8 + 32 + 8 + 4;
constexpr std::size_t kIndexEntry = 4 + 32;

Digest FinishDigest(Sha256Stream& stream) {
    return *DigestFromHex(stream.finish());
}

void PutLe(std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

std::uint64_t GetLe(std::string_view in, std::size_t at, int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value |= std::uint64_t{static_cast<std::uint8_t>(in[at + i])} << (8 * i);
    return value;
}

}  // namespace

Digest DigestOfBytes(std::string_view bytes) {
    Sha256Stream stream;
    stream.update(bytes.data(), bytes.size());
    return FinishDigest(stream);
}

const std::array<std::uint64_t, 256>& GearTable() {
    static const std::array<std::uint64_t, 256> table = [] {
        std::array<std::uint64_t, 256> values{};
        std::uint64_t state = 0x51756c6c6f6e2131;  // splitmix64 from a fixed seed
        for (std::uint64_t& value : values) {
            state += 0x9e3779b97f4a7c15;
            std::uint64_t z = state;
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
            z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
            value = z ^ (z >> 31);
        }
        return values;
    }();
    return table;
}

std::size_t ChunkScanner::scan(const std::uint8_t* data, std::size_t size, bool& cut) {
    const auto& gear = GearTable();
    cut = false;
    std::size_t i = 0;
    // Below the minimum no cut can fall, so those bytes are not hashed at all.
    if (length_ < kChunkMin) {
        const std::size_t skip = std::min(size, kChunkMin - length_);
        i = skip;
        length_ += skip;
    }
    // A byte that makes the chunk L long cuts under the hard mask while L < average, under the
    // easy one from there, and always at the maximum. One loop per mask keeps the inner loop to
    // the hash and one test.
    std::uint64_t hash = hash_;
    const auto scanTo = [&](std::size_t end, std::uint64_t mask) {
        for (; i < end; ++i) {
            hash = (hash << 1) + gear[data[i]];
            if ((hash & mask) == 0) {
                ++i;
                return true;
            }
        }
        return false;
    };
    const auto endCut = [&] {
        cut = true;
        hash_ = 0;
        length_ = 0;
        return i;
    };
    if (length_ + 1 < kChunkAverage) {
        const std::size_t start = i;
        if (scanTo(i + std::min(size - i, kChunkAverage - 1 - length_), kMaskHard))
            return endCut();
        length_ += i - start;
    }
    if (i < size && length_ + 1 < kChunkMax) {
        const std::size_t start = i;
        if (scanTo(i + std::min(size - i, kChunkMax - 1 - length_), kMaskEasy))
            return endCut();
        length_ += i - start;
    }
    if (i < size) {  // the byte that reaches the maximum
        ++i;
        return endCut();
    }
    hash_ = hash;
    return size;
}

void Chunker::update(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        bool cut = false;
        const std::size_t taken = scanner_.scan(bytes, size, cut);
        if (!digest_)
            digest_.emplace();
        digest_->update(bytes, taken);
        length_ += taken;
        bytes += taken;
        size -= taken;
        if (cut)
            close();
    }
}

void Chunker::close() {
    chunks_.push_back({offset_, static_cast<std::uint32_t>(length_), FinishDigest(*digest_)});
    digest_.reset();
    offset_ += length_;
    length_ = 0;
}

std::vector<Chunk> Chunker::finish() {
    if (length_ > 0)
        close();
    return std::move(chunks_);
}

std::vector<Chunk> ChunkBytes(std::string_view bytes) {
    Chunker chunker;
    chunker.update(bytes.data(), bytes.size());
    return chunker.finish();
}

namespace {

constexpr std::size_t kReadBlock = 1u << 20;

// Feeds [from, to) of the file to `chunker` block by block; false when the file falls short or
// `*cancel` reads true. `enough` is asked after every block whether to stop early.
bool FeedRange(const std::filesystem::path& file, std::uint64_t from, std::uint64_t to,
               Chunker& chunker, const std::atomic<bool>* cancel,
               const std::function<bool()>& enough = {}) {
    std::ifstream input(file, std::ios::binary);
    if (!input)
        return false;
    input.seekg(static_cast<std::streamoff>(from));
    auto buffer = std::make_unique<char[]>(kReadBlock);
    for (std::uint64_t at = from; at < to;) {
        if (cancel && cancel->load())
            return false;
        const auto want =
            static_cast<std::streamsize>(std::min<std::uint64_t>(kReadBlock, to - at));
        input.read(buffer.get(), want);
        if (input.gcount() != want)
            return false;
        chunker.update(buffer.get(), static_cast<std::size_t>(want));
        at += static_cast<std::uint64_t>(want);
        if (enough && enough())
            return true;
    }
    return true;
}

}  // namespace

std::optional<std::vector<Chunk>> ChunkFile(const std::filesystem::path& file,
                                            const std::atomic<bool>* cancel) {
    std::error_code error;
    const std::uint64_t size = std::filesystem::file_size(file, error);
    if (error)
        return std::nullopt;
    Chunker whole;
    constexpr std::uint64_t kHalvesFrom = 16u << 20;
    if (size < kHalvesFrom || std::thread::hardware_concurrency() < 2) {
        if (!FeedRange(file, 0, size, whole, cancel))
            return std::nullopt;
        return whole.finish();
    }

    // The second half is chunked as if a chunk began at its start. A cut both passes make is
    // a true cut, and everything after it is the same in both (a cut resets the scanner), so
    // the first pass goes on past the middle only until it meets a cut of the second.
    const std::uint64_t middle = size / 2;
    Chunker secondHalf(middle);
    bool secondRead = false;
    std::thread second;
    try {
        second = std::thread([&] {
            try {
                secondRead = FeedRange(file, middle, size, secondHalf, cancel);
            } catch (const std::exception&) {
                secondRead = false;  // a digest or memory failure: the caller fetches whole
            }
        });
    } catch (const std::system_error&) {
        if (!FeedRange(file, 0, size, whole, cancel))
            return std::nullopt;
        return whole.finish();
    }
    struct Joiner {
        std::thread& thread;
        ~Joiner() {
            if (thread.joinable())
                thread.join();
        }
    } joiner{second};
    const bool firstRead = FeedRange(file, 0, middle, whole, cancel);
    second.join();
    const std::vector<Chunk> later = secondHalf.finish();
    if (!firstRead || !secondRead)
        return std::nullopt;

    const auto cutOfLater = [&later](std::uint64_t end) {
        const auto found = std::lower_bound(
            later.begin(), later.end(), end,
            [](const Chunk& chunk, std::uint64_t offset) { return chunk.offset < offset; });
        return found != later.end() && found->offset == end ? found : later.end();
    };
    std::vector<Chunk> chunks = whole.chunks();  // the chunk cut short by the middle is left out
    const std::uint64_t bridgeFrom =
        chunks.empty() ? 0 : chunks.back().offset + chunks.back().length;
    Chunker bridge(bridgeFrom);
    auto met = later.end();
    const auto meets = [&] {
        for (const Chunk& chunk : bridge.chunks())
            if ((met = cutOfLater(chunk.offset + chunk.length)) != later.end())
                return true;
        return false;
    };
    if (!FeedRange(file, bridgeFrom, size, bridge, cancel, meets))
        return std::nullopt;
    if (met == later.end()) {  // never met: the bridge went on to the end
        for (const Chunk& chunk : bridge.finish())
            chunks.push_back(chunk);
        return chunks;
    }
    for (const Chunk& chunk : bridge.chunks()) {
        chunks.push_back(chunk);
        if (chunk.offset + chunk.length == met->offset)
            break;
    }
    chunks.insert(chunks.end(), met, later.end());
    return chunks;
}

std::optional<SampledShare> SampleShare(const std::filesystem::path& file,
                                        const std::vector<Chunk>& wanted) {
    constexpr int kWindows = 8;
    constexpr std::uint64_t kWindow = 1u << 20;
    std::error_code error;
    const std::uint64_t size = std::filesystem::file_size(file, error);
    if (error)
        return std::nullopt;
    if (size < 4 * kWindows * kWindow)
        return SampledShare{size, size};
    std::set<std::pair<Digest, std::uint32_t>> known;
    for (const Chunk& chunk : wanted)
        known.emplace(chunk.digest, chunk.length);
    std::ifstream input(file, std::ios::binary);
    std::string window(kWindow, '\0');
    SampledShare sample;
    for (int i = 0; i < kWindows; ++i) {
        input.seekg(static_cast<std::streamoff>(size / kWindows * i));
        input.read(window.data(), static_cast<std::streamsize>(window.size()));
        if (!input)
            return std::nullopt;
        // A window starts and ends mid-chunk, so its first and last chunks are not counted; the
        // cuts between soon fall where a scan of the whole file puts them.
        const std::vector<Chunk> chunks = ChunkBytes(window);
        for (std::size_t c = 1; c + 1 < chunks.size(); ++c) {
            sample.scanned += chunks[c].length;
            if (known.contains({chunks[c].digest, chunks[c].length}))
                sample.reused += chunks[c].length;
        }
    }
    return sample;
}

bool SampleWorthChunking(const SampledShare& sample) {
    return sample.reused * 10 >= sample.scanned && sample.reused > 0;
}

std::optional<Digest> DigestFromHex(std::wstring_view text) {
    if (text.size() != 64)
        return std::nullopt;
    Digest digest{};
    for (std::size_t i = 0; i < 64; ++i) {
        const wchar_t c = text[i];
        int value = -1;
        if (c >= L'0' && c <= L'9')
            value = c - L'0';
        else if (c >= L'a' && c <= L'f')
            value = c - L'a' + 10;
        else if (c >= L'A' && c <= L'F')
            value = c - L'A' + 10;
        if (value < 0)
            return std::nullopt;
        digest[i / 2] = static_cast<std::uint8_t>(digest[i / 2] << 4 | value);
    }
    return digest;
}

std::string ChunkIndexBytes(const ChunkIndex& index) {
    std::string out(kIndexMagic, sizeof kIndexMagic);
    out.append(reinterpret_cast<const char*>(index.file.data()), index.file.size());
    PutLe(out, index.size, 8);
    PutLe(out, index.chunks.size(), 4);
    for (const Chunk& chunk : index.chunks) {
        PutLe(out, chunk.length, 4);
        out.append(reinterpret_cast<const char*>(chunk.digest.data()), chunk.digest.size());
    }
    const Digest check = DigestOfBytes(out);
    out.append(reinterpret_cast<const char*>(check.data()), check.size());
    return out;
}

std::optional<ChunkIndex> ParseChunkIndex(std::string_view bytes, const Digest& file) {
    if (bytes.size() < kIndexHead + 32 || bytes.size() > kChunkIndexMaxBytes)
        return std::nullopt;
    const std::string_view body = bytes.substr(0, bytes.size() - 32);
    const Digest check = DigestOfBytes(body);
    if (bytes.substr(body.size()) !=
            std::string_view(reinterpret_cast<const char*>(check.data()), check.size()) ||
        body.substr(0, 8) != std::string_view(kIndexMagic, 8))
        return std::nullopt;
    ChunkIndex index;
    std::copy(body.begin() + 8, body.begin() + 40, index.file.begin());
    index.size = GetLe(body, 40, 8);
    const std::uint64_t count = GetLe(body, 48, 4);
    if (index.file != file || body.size() != kIndexHead + count * kIndexEntry)
        return std::nullopt;
    std::uint64_t offset = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = kIndexHead + i * kIndexEntry;
        Chunk chunk;
        chunk.offset = offset;
        chunk.length = static_cast<std::uint32_t>(GetLe(body, at, 4));
        if (chunk.length == 0 || chunk.length > kChunkMax)
            return std::nullopt;
        std::copy(body.begin() + at + 4, body.begin() + at + 36, chunk.digest.begin());
        offset += chunk.length;
        index.chunks.push_back(chunk);
    }
    if (offset != index.size)
        return std::nullopt;
    return index;
}

std::vector<AssemblyPiece> PlanAssembly(const std::vector<Chunk>& wanted,
                                        const std::vector<Chunk>& local) {
    std::map<std::pair<Digest, std::uint32_t>, std::uint64_t> have;
    for (const Chunk& chunk : local)
        have.emplace(std::make_pair(chunk.digest, chunk.length), chunk.offset);
    std::vector<AssemblyPiece> pieces;
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        const Chunk& chunk = wanted[i];
        auto found = have.find({chunk.digest, chunk.length});
        const bool followsLocal = found != have.end() && !pieces.empty() && pieces.back().local &&
                                  pieces.back().from + pieces.back().length == found->second &&
                                  pieces.back().length + chunk.length <= kLocalRunMax;
        if (followsLocal) {
            pieces.back().length += chunk.length;
            ++pieces.back().count;
        } else if (found != have.end()) {
            pieces.push_back({true, found->second, chunk.length, i, 1});
        } else if (!pieces.empty() && !pieces.back().local) {
            pieces.back().length += chunk.length;
            ++pieces.back().count;
        } else {
            pieces.push_back({false, chunk.offset, chunk.length, i, 1});
        }
    }
    return pieces;
}

std::uint64_t ReusedBytes(const std::vector<AssemblyPiece>& pieces) {
    std::uint64_t reused = 0;
    for (const AssemblyPiece& piece : pieces)
        if (piece.local)
            reused += piece.length;
    return reused;
}

bool WorthAssembling(std::uint64_t reused, std::uint64_t total) {
    return total > 0 && reused * 5 >= total;
}

}  // namespace qs
