#include "update/kept_chunks.h"

#include <fstream>
#include <string>
#include <system_error>

#include "platform/durable_file.h"
#include "platform/long_path.h"

namespace qs {

namespace {

// A kept list: this magic, the stamp (five u64, little-endian), then the file's chunk index.
constexpr std::string_view kKeptMagic = "QSKEPT01";
constexpr std::size_t kStampBytes = 5 * 8;

void PutU64(std::string& out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<char>(value >> (8 * i)));
}

std::string StampBytes(const FileStamp& stamp) {
    std::string out;
    PutU64(out, stamp.size);
    PutU64(out, static_cast<std::uint64_t>(stamp.modifiedNs));
    PutU64(out, static_cast<std::uint64_t>(stamp.changedNs));
    PutU64(out, stamp.volume);
    PutU64(out, stamp.index);
    return out;
}

// One file per path, named by the path's digest: any path gives a plain, short name.
std::filesystem::path KeptFile(const std::filesystem::path& folder, std::string_view relativePath) {
    std::wstring name;
    constexpr wchar_t kDigits[] = L"0123456789abcdef";
    for (const std::uint8_t byte : DigestOfBytes(relativePath)) {
        name.push_back(kDigits[byte >> 4]);
        name.push_back(kDigits[byte & 15]);
    }
    return folder / std::filesystem::path(name + L".chunks");
}

}  // namespace

std::filesystem::path KeptChunksFolder(const std::filesystem::path& verifiedRecord) {
    return verifiedRecord.empty() ? std::filesystem::path()
                                  : verifiedRecord.parent_path() / "chunk-lists";
}

bool KeepChunks(const std::filesystem::path& folder, std::string_view relativePath,
                const FileStamp& stamp, const ChunkIndex& chunks) {
    try {
        if (folder.empty())
            return false;
        std::string bytes(kKeptMagic);
        bytes += StampBytes(stamp);
        bytes += ChunkIndexBytes(chunks);
        const std::filesystem::path kept = KeptFile(folder, relativePath);
        std::filesystem::path written = kept;
        written += ".new";
        std::error_code error;
        std::filesystem::create_directories(qs::ForFileCall(folder), error);
        // Not flushed: a list torn by a crash fails its own digest and is chunked again.
        {
            std::ofstream out(qs::ForFileCall(written), std::ios::binary | std::ios::trunc);
            if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) ||
                !(out.close(), out))
                return false;
        }
        return MoveOver(written, kept) == 0;
    } catch (...) {
        return false;
    }
}

std::optional<std::vector<Chunk>> LoadKeptChunks(const std::filesystem::path& folder,
                                                 std::string_view relativePath,
                                                 const FileStamp& now) {
    try {
        if (folder.empty())
            return std::nullopt;
        const std::filesystem::path kept = KeptFile(folder, relativePath);
        std::error_code error;
        const std::uintmax_t size = std::filesystem::file_size(qs::ForFileCall(kept), error);
        const std::size_t head = kKeptMagic.size() + kStampBytes;
        if (error || size < head + 40 || size > head + kChunkIndexMaxBytes)
            return std::nullopt;
        std::string bytes(static_cast<std::size_t>(size), '\0');
        std::ifstream in(qs::ForFileCall(kept), std::ios::binary);
        if (!in.read(bytes.data(), static_cast<std::streamsize>(bytes.size())))
            return std::nullopt;
        const std::string_view view(bytes);
        if (view.substr(0, kKeptMagic.size()) != kKeptMagic ||
            view.substr(kKeptMagic.size(), kStampBytes) != StampBytes(now))
            return std::nullopt;
        // The index names the file it describes; it is taken at its word here, as the whole
        // file's digest proves whatever it leads to.
        const std::string_view index = view.substr(head);
        Digest file{};
        std::copy(index.begin() + 8, index.begin() + 40, file.begin());
        std::optional<ChunkIndex> parsed = ParseChunkIndex(index, file);
        if (!parsed || parsed->size != now.size)
            return std::nullopt;
        return std::move(parsed->chunks);
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace qs
