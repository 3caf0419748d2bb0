#pragma once
// quillon-publish: turns a game client folder into the static tree the launcher's service serves.
//
//   OUT_DIR/updater/updater.php       the manifest (answered for POST /updater/updater.php)
//   OUT_DIR/updater/updater.php.gz    the same, gzip-encoded (served to launchers that ask)
//   OUT_DIR/updater/files/<path>      every client file, at the path the launcher requests
//   OUT_DIR/updater/objects/<xx>/<sha256>  the same files by digest, kept across publishes
//   OUT_DIR/updater/launcher/...      latest.json and the installer it names
//   OUT_DIR/status.php, news.php      the status and news documents
//   OUT_DIR/.quillon-publish/         the publisher's own state, and the standby tree: the one
//   served
//                                     before, which the next publish brings up to date (not served)
//
// Paths, names and digests go through the launcher's own rules (update/), so whatever is
// published is exactly what a launcher accepts.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_io.h"

namespace qs::publish {

// A path that cannot be published, and why.
struct Problem {
    std::string path;
    std::string reason;
};

// Refusal of the whole publish; the served tree is as it was.
class PublishRefused : public std::runtime_error {
public:
    explicit PublishRefused(std::vector<Problem> problems);
    const std::vector<Problem>& problems() const { return problems_; }

private:
    std::vector<Problem> problems_;
};

// Why a launcher would refuse the manifest path (a client-relative path with '/' separators),
// or nullopt when it takes it.
std::optional<std::string> ManifestPathProblem(std::string_view manifestPath);

// Paths that name one file on Windows (letters compared ignoring case), each reported against
// the first of its group in `sorted` order.
std::vector<Problem> CaseCollisions(const std::vector<std::string>& sorted);

// One client file as the scan found it.
struct SourceFile {
    std::string manifestPath;
    std::filesystem::path source;
    std::uint64_t size = 0;
    std::int64_t mtime = 0;  // file clock ticks
    // The regular file read for it: its path below the client folder (a link's target for a
    // link) and its identity, so the copy reads that very file or nothing.
    std::string reached;
    FileState identity;
};

// Every publishable file of the client (sorted by manifest path) and every problem. Links are
// published as the file they reach when that lies inside the folder.
struct ClientScan {
    std::vector<SourceFile> files;
    std::vector<Problem> problems;
};
ClientScan ScanClient(const std::filesystem::path& clientDir);

// What the last publish recorded about one file.
struct RecordedFile {
    std::uint64_t size = 0;
    std::int64_t mtime = 0;
    bool settled = false;  // the source had not been written to shortly before it was read
    std::string sha256;
    FileState published;  // the copy in the tree, so a tampered or replaced one is noticed
    // Which indexes are published for its content (updater/chunks/<sha256>.idx and .blk), so a
    // republish that keeps them reads neither; Unknown for a file too small to index and in
    // records of earlier publishers.
    enum class Indexes : unsigned char { Unknown, None, ChunkOnly, Both };
    Indexes indexes = Indexes::Unknown;
    std::string blockHead;  // with Both: the digest of the block index's head
};
using PublishState = std::map<std::string, RecordedFile, std::less<>>;

// Empty on anything unreadable; the JSON of earlier publishers is read too.
PublishState ParseState(std::string_view text);
std::string StateText(const PublishState& state);

// A file written to within this many ticks of being read may change again without its time
// changing (coarse timestamps): its digest is not trusted next time.
inline constexpr std::int64_t kSettleTicks = 2'000'000'000;  // 2 s of the nanosecond file clock
bool Settled(std::int64_t mtime, std::int64_t readStart);

// Whether the recorded digest still describes `file` without reading it.
bool CanReuse(const RecordedFile& recorded, const SourceFile& file,
              const std::optional<FileState>& publishedNow);

struct ManifestEntry {
    std::string path;
    std::string sha256;
    std::uint64_t size = 0;
    bool chunked = false;  // a chunk index is published for it
    std::string blocks;    // the digest of its block index's head, when one is published
};
// The manifest of `entries` (in path order): "files" (every path but the top-level client
// executable), "binary" for that executable when present, "sizes" for all of them, and "chunked"
// listing the paths with a chunk index (updater/chunks/<sha256>.idx) when there are any, and
// "blocks" naming, by path, the digest of the head of each one's block index
// (updater/chunks/<sha256>.blk), and "objects" naming the base of updater/objects/. With
// `freshness` (serial, expires) both members are added, for a signed manifest; with `mirrors`,
// "mirrors" lists them.
std::string ManifestJson(const std::vector<ManifestEntry>& entries,
                         std::optional<std::pair<std::uint64_t, std::int64_t>> freshness = {},
                         const std::vector<std::string>& mirrors = {});

// Writes the chunk index of the published file `file` (digest `sha256`) into `chunksDir`, or
// links the one `previousDir` holds for the same digest. False when no index is made (a file
// too small to profit, or an index over the launcher's cap).
bool WriteChunkIndex(const std::filesystem::path& file, const std::string& sha256,
                     std::uint64_t size, const std::filesystem::path& chunksDir,
                     const std::filesystem::path& previousDir);

// Writes the block index of `file` beside its chunk index in `chunksDir`, or links the one
// `previousDir` holds for the same chunk index. The digest text of its head; nullopt when the
// chunk index is not there.
std::optional<std::string> WriteBlockIndex(const std::filesystem::path& file,
                                           const std::string& sha256,
                                           const std::filesystem::path& chunksDir,
                                           const std::filesystem::path& previousDir);

// Hashing progress: files and bytes that need a digest this time.
struct Progress {
    std::uint64_t filesDone = 0, filesTotal = 0;
    std::uint64_t bytesDone = 0, bytesTotal = 0;
};
using ProgressSink = std::function<void(const Progress&, bool final)>;

struct PublishOptions {
    std::filesystem::path clientDir;
    std::filesystem::path outDir;
    // Extra documents, already validated: relative tree path -> bytes ("status.php", ...).
    std::map<std::string, std::string> documents;
    // A new launcher release: updater/launcher/ then holds latest.json and the installer only;
    // without one, the previous tree's launcher folder is kept.
    struct Release {
        std::string version, url;
        std::optional<std::string> changelog;
        std::filesystem::path installer;
        std::string installerName;  // its name in updater/launcher/
    };
    std::optional<Release> release;
    ProgressSink progress;
    unsigned threads = 0;  // 0: one per core, at most 8
    // Signed updates: the Ed25519 private key (PEM). The manifest then carries "serial" (above
    // every earlier publish's and at least the current time in seconds, so a publish from
    // another machine still grows it) and "expires" (`expiresDays` on); updater.sig and, with a
    // release, launcher/latest.json.sig hold the signatures of their exact bytes.
    std::optional<std::string> signingKeyPem;
    int expiresDays = 30;
    // Further bases of updater/objects/ on other hosts ("https://host[:port]/path/"), which only
    // a launcher with the key uses.
    std::vector<std::string> mirrors;
    std::int64_t now = 0;  // seconds since 1970; 0: the system clock
    // Tests: called at each step below; may change the client folder or throw to stop there.
    enum class Step { Scanned, Switching };
    std::function<void(Step)> onStep;
};

struct PublishReport {
    std::uint64_t files = 0, bytes = 0;
    std::uint64_t hashedFiles = 0, hashedBytes = 0;
};

// Scans, refuses (PublishRefused, before anything is written) or publishes atomically. A client
// file that is not the one the scan found when it is copied (replaced, resized, or a link now)
// is refused before anything is switched. Other failures throw std::runtime_error or
// filesystem_error.
PublishReport Publish(const PublishOptions& options);

}  // namespace qs::publish
