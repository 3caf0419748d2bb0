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

#include "net/https.h"
#include "net/service.h"
#include "platform/file_io.h"
#include "update/fetch_file.h"

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

// A run that finds another run (of this or any other program) working in the same client folder.
inline constexpr char kClientFolderBusy[] =
    "Another launcher is updating the game files. Try again when it has finished.";

// A run whose renames happened but whose folders the disk did not confirm: what was placed stays,
// and the run is no success.
inline constexpr char kDiskDidNotConfirm[] = "The disk did not confirm that the update was written";

// Downloads older than this (in whole seconds, inclusive) are purged at the start of a run.
inline constexpr std::int64_t kStaleDownloadSeconds = 3601;

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

// A failure text as a status line: strict UTF-8 where possible, U+FFFD for each ill-formed
// byte, never empty.
std::wstring FailureMessage(std::string_view text);

}  // namespace qs
