#pragma once
// What earlier runs proved: for each manifest path, the digest its file was shown to have and the
// file's stamp at that moment. A start-up check may take a file as current without reading it
// only when the record vouches for exactly the digest the manifest asks and nothing about the
// file changed since. The record can only save work, never decide a file: whatever is wrong with
// it (missing, torn, oversized, another folder's) makes it empty, and the files are hashed.
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/file_io.h"

class VerifiedRecord {
public:
    // A record larger than this is neither read nor written.
    static constexpr std::uintmax_t kMaxBytes = std::uintmax_t{128} << 20;
    // Stamps this close to the moment the record was written cannot be told from a change made in
    // the same clock tick, so they vouch for nothing.
    static constexpr std::int64_t kUntrustedWindowNs = 2'000'000'000;

    // The record in `file` for `clientDir`; empty when it cannot be used.
    static VerifiedRecord Load(const std::filesystem::path& file,
                               const std::filesystem::path& clientDir);

    // True when `relativePath` may be taken as holding `checksum` (either letter case) without
    // reading it, given the stamp the file has now.
    bool vouchesFor(std::string_view relativePath, std::string_view checksum,
                    const FileStamp& now) const;

    // A file whose digest was just proven equal to `digest`, with its stamp at that moment. A path
    // no record line can hold (empty, or with a line end) is not remembered.
    void remember(std::string relativePath, std::string_view digest, const FileStamp& stamp);

    // Writes the record for `clientDir` crash-safely (the old record or the new one, never a torn
    // one), dated `nowNs`. False when it cannot be written; the caller goes on without it.
    bool save(const std::filesystem::path& file, const std::filesystem::path& clientDir,
              std::int64_t nowNs) const;

    std::size_t size() const { return entries_.size(); }
    // True when `loaded` already says all this record would: the same files, digests and stamps,
    // each far enough from `loaded`'s writing to be vouched for. Writing it again would say
    // nothing new (and an older record vouches for more).
    bool addsNothingTo(const VerifiedRecord& loaded) const;

    // Nanoseconds since 1970 on the clock file times use.
    static std::int64_t Now();

private:
    struct Entry {
        std::string digest;  // lower case
        FileStamp stamp;
        bool operator==(const Entry&) const = default;
    };
    std::map<std::string, Entry, std::less<>> entries_;
    std::int64_t writtenNs_ = 0;
};
