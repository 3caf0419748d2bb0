#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_io.h"
#include "update/https.h"
#include "update/service.h"

namespace qs {
struct UpdateProgress {
    std::int32_t fileIndex = 0;
    std::int32_t fileCount = 0;
    std::wstring message;
    std::uint64_t amountDone = 0;   // bytes of the planned files on disk, a resumed start included
    std::uint64_t amountTotal = 0;  // bytes of all planned files; 0 while not all sizes are known
    double fraction = 0.0;          // 0 to 1: by bytes when the total is known, else by files
    std::uint64_t amountFetched = 0;  // bytes that came over the network in this run
    // Of amountDone, bytes taken from old copies instead of fetched (or about to be).
    std::uint64_t amountReused = 0;
};
}  // namespace qs

// How a run or a launcher update ended. Callers decide on this, never on the text said with it.
enum class RunOutcome { Failed, Ready, Cancelled, UpToDate, InstallerStarted };

struct UpdateResult {
    bool ok = false;  // ended ready, or with the installer started
    std::wstring message;
    // The run replaced or added a client file. One that failed before it did left the client
    // exactly as it was.
    bool placedFiles = false;
    // The client was whole when the run began: the last run that changed it ended with every
    // file proven, by the mark in UpdateEnvironment::wholeMark.
    bool provenBefore = false;
    // Set where the result is made; one made from `ok` alone ended ready or failed.
    RunOutcome outcome = ok ? RunOutcome::Ready : RunOutcome::Failed;
};

struct UpdatePlanEntry {
    std::string relativePath;
    std::string checksum;
    std::optional<std::uint64_t> size;  // from the manifest's optional "sizes"
    bool chunked = false;               // listed in "chunked": a chunk index is published
};

using UpdateProgressCallback = std::function<void(const qs::UpdateProgress&)>;

// Files fetched at the same time by a run: enough to hide a round trip per file and keep a fast
// link busy, few enough to stay gentle with the service and the disk.
inline constexpr int kConcurrentTransfers = 4;

// What an update run talks to. Every empty member falls back to the real thing: the request
// layer against `service`, and the system clock.
struct UpdateEnvironment {
    using Request = std::function<std::vector<std::uint8_t>(
        const std::wstring& url, const std::wstring& verb, const std::string& body)>;
    using Clock = std::function<std::filesystem::file_time_type()>;
    using FreeSpace = std::function<std::optional<std::uint64_t>(const std::filesystem::path&)>;
    using FolderSync = std::function<int(const std::filesystem::path&)>;

    ServiceEndpoint service = BuiltInService();
    Request request;        // the manifest request
    Clock now;              // the purge's notion of the current time
    FreeSpace freeSpace;    // free bytes where the client lives (FreeDiskBytes)
    FolderSync syncFolder;  // a folder's entries to the disk (SyncFolder): 0 or an error code
    // The pauses before a file's second and third attempt after a failure that may pass.
    std::vector<std::chrono::milliseconds> retryPauses = {std::chrono::milliseconds(1000),
                                                          std::chrono::milliseconds(2000)};
    // Bytes per second for client files, read as the transfer goes; null or 0: no limit.
    const std::atomic<std::uint64_t>* speedLimit = nullptr;
    // The record of files proven by earlier runs (read, then rewritten); empty: none kept.
    std::filesystem::path verifiedRecord;
    // A repair: every file is read whatever the record says.
    bool hashEverything = false;
    // The mark that the client was left whole (see ClientMarkedWhole); empty: none kept, and no
    // client counts as proven before a run.
    std::filesystem::path wholeMark;
    // How many files are fetched at once.
    int transfers = kConcurrentTransfers;
    // Signed updates (a key in `service`): the highest manifest serial accepted so far, and the
    // clock expiry is judged by (seconds since 1970; empty: the system clock).
    std::filesystem::path serialRecord;
    std::function<std::int64_t()> unixNow;
    // Once it reads true the run ends with "Update cancelled." within about a second: a transfer
    // under way is given up (its partial download stays), nothing further is checked or placed.
    const std::atomic<bool>* cancel = nullptr;
    // Called on a transfer thread each time before it takes its next file; tests hold a thread
    // there to show a stop that finds it between two files.
    std::function<void()> beforeNextFile;
};

// A run that finds another run (of this or any other program) working in the same client folder.
inline constexpr char kClientFolderBusy[] =
    "Another launcher is updating the game files. Try again when it has finished.";

// A run whose renames happened but whose folders the disk did not confirm: what was placed stays,
// and the run is no success.
inline constexpr char kDiskDidNotConfirm[] = "The disk did not confirm that the update was written";

// Downloads older than this (in whole seconds, inclusive) are purged at the start of a run.
inline constexpr std::int64_t kStaleDownloadSeconds = 3601;

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

// The download file of a target: its full path with ".download" appended.
std::filesystem::path DownloadFilePath(const std::filesystem::path& target);

// Brings `clientDir` into line with the service's manifest, holding the folder's lock throughout.
// Never throws: every failure ends the run with ok=false and a non-empty message; the failure of
// one file's transfer or placement names its manifest path ("Cannot write update download:
// data/a.pak").
UpdateResult RunClientUpdate(const std::filesystem::path& clientDir,
                             const UpdateProgressCallback& progress,
                             const UpdateEnvironment& environment = {});

// The JSON body of the manifest request.
std::string UpdateRequestBody();

// Deletes every regular "*.download" file under `clientDir` at least kStaleDownloadSeconds old.
// Never throws; any walk error ends the purge early. Does not follow links to folders.
void PurgeStaleDownloads(const std::filesystem::path& clientDir,
                         std::filesystem::file_time_type now);

// The download plan for a manifest reply: "files" in key order, then the client executable,
// which comes last whatever key lists it. Keys that name one file (a leading slash, either
// separator) are one entry; with two digests the manifest is refused, "Malformed update manifest:
// two digests for PATH". Throws the run's failure texts.
// `trusted`, when given, spares the reading of files it vouches for; `proven`, when given,
// receives every current file with its stamp.
class VerifiedRecord;
std::vector<UpdatePlanEntry> PlanClientUpdate(const std::filesystem::path& clientDir,
                                              std::string_view manifestReply,
                                              const std::atomic<bool>* cancel = nullptr,
                                              const VerifiedRecord* trusted = nullptr,
                                              VerifiedRecord* proven = nullptr);

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
void FetchFile(const std::filesystem::path& target, std::string_view relativePath,
               std::string_view checksum, const UpdateEnvironment& environment, bool makeExecutable,
               HttpsConnection& connection, const FetchObserver& observer = {},
               std::optional<std::uint64_t> expectedSize = std::nullopt, bool chunked = false);

// FetchFile in three steps, for a run that downloads several files at once and places them in
// order: the download proven (its state returned, its bytes on their way to the disk); the wait
// until its bytes are on the disk, which must come before the move; then the move over the
// target, which leaves the folder's durability to the caller. FlushVerified throws when the name
// no longer reaches the proven file or the disk does not take its bytes.
FileState FetchVerified(const std::filesystem::path& target, std::string_view relativePath,
                        std::string_view checksum, const UpdateEnvironment& environment,
                        HttpsConnection& connection, const FetchObserver& observer = {},
                        std::optional<std::uint64_t> expectedSize = std::nullopt,
                        bool chunked = false);
void FlushVerified(const std::filesystem::path& target, const FileState& verified);
void PlaceVerified(const std::filesystem::path& target, const FileState& verified,
                   bool makeExecutable);

// The URL-encoded form of a relative path (space as "%20"). Throws
// "Manifest has an unsafe download path".
std::wstring DownloadUrlPath(std::string_view relativePath);

// Moves `download` over `target` in one step, durably unless `syncFolder` is false (the caller
// then makes the folder durable itself). False with `message` filled on failure; never throws.
bool ReplaceFile(const std::filesystem::path& download, const std::filesystem::path& target,
                 std::wstring& message, bool syncFolder = true);

// A failure text as a status line: strict UTF-8 where possible, U+FFFD for each ill-formed
// byte, never empty.
std::wstring FailureMessage(std::string_view text);
