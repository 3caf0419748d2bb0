#pragma once
// What an update run and its file fetches talk to, and how hard they may push.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "net/service.h"

namespace qs {

// Files fetched at the same time by a run: enough to hide a round trip per file and keep a fast
// link busy, few enough to stay gentle with the service and the disk.
inline constexpr int kConcurrentTransfers = 4;

// A file under this size costs its round trip, not bandwidth: such files go many at a time.
inline constexpr std::uint64_t kSmallFileBytes = 256u << 10;
// Small files fetched at the same time, each over a connection of its own where the server
// speaks only HTTP/1.1: thousands of them then cost a round trip per 32 files instead of per 4,
// within what a CDN takes from one client (download managers open up to 16 per server; a CDN
// limits a client at hundreds). Large files stay at kConcurrentTransfers among them.
inline constexpr int kSmallFileTransfers = 32;

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
    // How many files are fetched at once: at most `transfers` of those not known to be small,
    // and at most `smallFileTransfers` (or `transfers`, when more) in all.
    int transfers = kConcurrentTransfers;
    int smallFileTransfers = kSmallFileTransfers;
    // Signed updates (a key in `service`): the highest manifest serial accepted so far, and the
    // clock expiry is judged by (seconds since 1970; empty: the system clock).
    std::filesystem::path serialRecord;
    std::function<std::int64_t()> unixNow;
    // The last accepted manifest with its signature and validator, so an unchanged one is
    // answered 304 without a body; empty: none kept, every manifest comes whole.
    std::filesystem::path keptManifest;
    // Called before the manifest is parsed; tests count the starts that could spare it.
    std::function<void()> parsingManifest;
    // Once it reads true the run ends with "Update cancelled." within about a second: a transfer
    // under way is given up (its partial download stays), nothing further is checked or placed.
    const std::atomic<bool>* cancel = nullptr;
    // Called on a transfer thread each time before it takes its next file; tests hold a thread
    // there to show a stop that finds it between two files.
    std::function<void()> beforeNextFile;
    // Called on a flushing thread each time before it flushes the downloads it took; tests hold
    // the threads there so that proven downloads queue up as behind a slow disk.
    std::function<void()> beforeFlush;
};

}  // namespace qs
