#pragma once
// What earlier runs proved: for each manifest path, the digest its file was shown to have and the
// file's stamp at that moment. A start-up check may take a file as current without reading it
// only when the record vouches for exactly the digest the manifest asks and nothing about the
// file changed since. The record can only save work, never decide a file: whatever is wrong with
// it (missing, torn, oversized, another folder's, an older format) makes it empty, and the files
// are hashed.
#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_io.h"

namespace qs {

// A file's stamp and a moment (nanoseconds since 1970, on the clock file times use) no later than
// the one it was taken at.
struct TakenStamp {
    FileStamp stamp;
    std::int64_t takenNs = 0;
};

// The stamp of the regular file `file` reaches, dated just before it is taken.
std::optional<TakenStamp> TakeStamp(const std::filesystem::path& file);

class VerifiedRecord {
public:
    // A record larger than this is neither read nor written.
    static constexpr std::uintmax_t kMaxBytes = std::uintmax_t{128} << 20;
    // A write in the same clock tick as a stamp leaves the same stamp, so a stamp vouches only
    // when its times were at least this old at the moment it was taken; twice that on file
    // systems with 2 s ticks (FAT), told by a modification time on a whole even second.
    static constexpr std::int64_t kUntrustedWindowNs = 2'000'000'000;

    // The record in `file` for `clientDir`; empty when it cannot be used.
    static VerifiedRecord load(const std::filesystem::path& file,
                               const std::filesystem::path& clientDir);

    // True when `relativePath` may be taken as holding `checksum` (either letter case) without
    // reading it, given the stamp the file has now.
    bool vouchesFor(std::string_view relativePath, std::string_view checksum,
                    const FileStamp& now) const;
    // True when `relativePath` may be taken as holding another digest than `checksum` without
    // reading it: it is due for an update, and its old copy is worth no digest pass.
    bool vouchesAgainst(std::string_view relativePath, std::string_view checksum,
                        const FileStamp& now) const;

    // A file whose digest was just proven equal to `digest`, with its stamp at that moment. A path
    // no record line can hold (empty, or with a line end) is not remembered.
    void remember(std::string relativePath, std::string_view digest, const TakenStamp& stamp);

    // Writes the record for `clientDir` crash-safely (the old record or the new one, never a torn
    // one). False when it cannot be written; the caller goes on without it.
    bool save(const std::filesystem::path& file, const std::filesystem::path& clientDir) const;

    std::size_t size() const { return settled().size(); }
    // Room for `files` entries whose paths take `pathBytes` in all, so a record of a large client
    // is not grown by copies.
    void reserve(std::size_t files, std::size_t pathBytes) {
        entries_.reserve(files);
        paths_.reserve(pathBytes);
    }
    // True when `loaded` already says all this record would: the same files, digests and stamps,
    // each of `loaded`'s vouching. Writing it again would say nothing new.
    bool addsNothingTo(const VerifiedRecord& loaded) const;

    // The digest of the manifest this record was made against when it holds every file of that
    // manifest, proven; empty when not known. A start that is told the manifest is unchanged needs
    // nothing of it but the record then.
    const std::string& madeAgainst() const { return madeAgainst_; }
    void setMadeAgainst(std::string manifestDigest) { madeAgainst_ = std::move(manifestDigest); }
    // True when the record holds files and vouches for every one, given the stamp `stampNow` tells
    // for its path now (nullopt: no regular file there). Asks in path order, and stops at the
    // first file it does not vouch for.
    using StampNow = std::function<std::optional<FileStamp>(std::string_view relativePath)>;
    bool vouchesForAll(const StampNow& stampNow) const;

    // Nanoseconds since 1970 on the clock file times use.
    static std::int64_t Now();

private:
    // A hundred thousand files are looked up without an allocation each: paths live in one
    // buffer, digests as bytes, and the entries sorted by path once loaded.
    struct Entry {
        std::uint32_t pathAt = 0;  // in paths_
        std::uint32_t pathSize = 0;
        std::array<unsigned char, 32> digest{};
        TakenStamp stamp;
    };
    std::string_view pathOf(const Entry& entry) const {
        return std::string_view(paths_).substr(entry.pathAt, entry.pathSize);
    }
    const Entry* find(std::string_view relativePath) const;
    void add(std::string_view relativePath, const std::array<unsigned char, 32>& digest,
             const TakenStamp& stamp);
    // Sorted by path, each path once (the last remembered wins): what save writes and
    // addsNothingTo compares.
    std::vector<const Entry*> settled() const;

    std::string paths_;
    std::vector<Entry> entries_;
    std::string madeAgainst_;
    bool sorted_ = true;  // entries_ sorted by path, none twice
};

// The mark that the last run which changed `clientDir` left every file proven. A run clears it
// before it places its first file and sets it once it ended ready, so a crash or a failure in
// between leaves no mark. It says nothing about changes made outside the launcher.
bool ClientMarkedWhole(const std::filesystem::path& mark, const std::filesystem::path& clientDir);
// Both durable; false when the mark could not be written or removed.
bool MarkClientWhole(const std::filesystem::path& mark, const std::filesystem::path& clientDir);
bool ClearClientWhole(const std::filesystem::path& mark);

}  // namespace qs
