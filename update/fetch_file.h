#pragma once
// One client file from the service to its place: fetched (whole, resumed or from its old copy),
// proven against its checksum, then moved over the target.
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "net/https.h"
#include "platform/file_io.h"
#include "update/chunker.h"
#include "update/file_source.h"
#include "update/update_environment.h"

namespace qs {

// A failure of one file whose text already says which (the run adds nothing to it).
class FileFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Not enough room on the client's disk: a failure of no one file.
class DiskSpaceFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws DiskSpaceFailure "Not enough disk space: ..." when `needed` bytes (and a margin) do not
// fit where `folder` lives; an unknown amount of free space passes.
void CheckDiskSpace(const std::filesystem::path& folder, std::uint64_t needed,
                    const UpdateEnvironment& environment);

// Every folder between `clientFolder` (itself reached as the player chose, links and all) and the
// folder of `target` beneath it that is a link (Windows: a junction or any reparse point) becomes
// a real, empty folder: the link itself goes, never what it points to, so the download is written
// inside the client folder, where the start-up check, which follows no link, finds it. Throws when
// a link cannot be replaced.
void ReplaceLinkedFolders(const std::filesystem::path& clientFolder,
                          const std::filesystem::path& target);

// The download file of a target: its full path with ".download" appended.
std::filesystem::path DownloadFilePath(const std::filesystem::path& target);

// What FetchFile tells its caller while it works; any member may be empty.
struct FetchObserver {
    // The whole file's size, once known, and how much of it is already on disk (a resumed start).
    std::function<void(std::uint64_t size, std::uint64_t onDisk)> sizeKnown;
    // `bytes` more arrived and were written.
    std::function<void(std::uint64_t bytes)> received;
    // Attempt `attempt` of `attempts` follows a failure that may pass, after a pause.
    std::function<void(int attempt, int attempts)> retrying;
    // `bytes` of the file will be copied from its old copy instead of fetched: told once, before
    // the copying, so what is left to do is what is left to fetch. A later sizeKnown voids it.
    std::function<void(std::uint64_t bytes)> reused;
    // `bytes` were fetched that are not part of the file (its chunk index).
    std::function<void(std::uint64_t bytes)> fetchedAside;
    // The file could not be built from its old copy and comes whole after all.
    std::function<void()> wholeInstead;
    // The proven download's chunks, when it was built from them: kept for the next patch day.
    std::function<void(const ChunkIndex& chunks)> chunksKnown;
};

// Downloads, verifies and places one file. A partial download left by an earlier attempt is
// continued with a range request; a transfer failure that may pass is tried again (up to three
// attempts); a digest mismatch is fetched once more from scratch. `makeExecutable` gives the placed
// file its execute bit. Throws on every failure; on return the target holds exactly the
// checksum's bytes.
void FetchFile(const std::filesystem::path& target, std::string_view relativePath,
               std::string_view checksum, const UpdateEnvironment& environment = {},
               bool makeExecutable = false);

// The same over `connection` (the run's one connection), with the published size when known.
// `chunked`: the service publishes a chunk index of the file, so an old copy of the target is
// brought up to date by fetching only the ranges it lacks (the whole file when that fails).
// `blocksDigest`: the digest of the head of its block index, so only the blocks of changed chunks
// that the old copy lacks are fetched (whole chunks when the block index is unusable).
void FetchFile(const std::filesystem::path& target, std::string_view relativePath,
               std::string_view checksum, const UpdateEnvironment& environment, bool makeExecutable,
               HttpsConnection& connection, const FetchObserver& observer = {},
               std::optional<std::uint64_t> expectedSize = std::nullopt, bool chunked = false,
               std::string_view blocksDigest = {});

// FetchFile in three steps, for a run that downloads several files at once and places them in
// order: the download proven (its state returned, its bytes on their way to the disk); the wait
// until its bytes are on the disk, which must come before the move; then the move over the
// target, which leaves the folder's durability to the caller. FlushVerified throws when the name
// no longer reaches the proven file or the disk does not take its bytes. `sources`: the bases
// the file may come from (null: the service's own "/updater/files/"); one that refuses, breaks
// off or serves wrong bytes hands the file to the next one still working.
FileState FetchVerified(const std::filesystem::path& target, std::string_view relativePath,
                        std::string_view checksum, const UpdateEnvironment& environment,
                        HttpsConnection& connection, const FetchObserver& observer = {},
                        std::optional<std::uint64_t> expectedSize = std::nullopt,
                        bool chunked = false, std::string_view blocksDigest = {},
                        FileSources* sources = nullptr);
void FlushVerified(const std::filesystem::path& target, const FileState& verified);
// FlushVerified for several proven downloads at once: each is checked to be the file proven,
// then one flush per volume makes all their bytes durable where the system has one (see
// OutputFile::syncVolume), else each file is flushed on its own. One outcome per download, in
// order: null once its bytes are on the disk, else its failure.
struct ProvenDownload {
    std::filesystem::path target;
    FileState verified;
};
std::vector<std::exception_ptr> FlushVerifiedTogether(const std::vector<ProvenDownload>& downloads);
void PlaceVerified(const std::filesystem::path& target, const FileState& verified,
                   bool makeExecutable);

// The URL-encoded form of a relative path (space as "%20"). Throws
// "Manifest has an unsafe download path".
std::wstring DownloadUrlPath(std::string_view relativePath);

// Moves `download` over `target` in one step, durably unless `syncFolder` is false (the caller
// then makes the folder durable itself). False with `message` filled on failure; never throws.
bool ReplaceFile(const std::filesystem::path& download, const std::filesystem::path& target,
                 std::wstring& message, bool syncFolder = true);

}  // namespace qs
