#include <algorithm>
#include <chrono>
#include <cwctype>
#include <exception>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "platform/durable_file.h"
#include "platform/file_io.h"
#include "platform/folder_walk.h"
#include "platform/launcher_log.h"
#include "platform/long_path.h"
#include "update/block_index.h"
#include "update/chunker.h"
#include "update/digest.h"
#include "update/fetch_file.h"
#include "update/file_source.h"
#include "update/kept_chunks.h"
#include "update/ranges_ahead.h"
#include "update/target_status.h"
#include "update/transfer.h"
#include "update/update_run.h"

namespace qs {

namespace {

[[noreturn]] void CannotWrite() {
    throw std::runtime_error("Cannot write update download");
}

// Written bytes between two starts of their writeback.
constexpr std::uint64_t kWritebackStep = 8ull << 20;

// A digest that did not match: the download is gone, and one fetch from scratch may follow.
class DigestMismatch : public std::runtime_error {
public:
    DigestMismatch() : std::runtime_error("Downloaded file failed SHA-256 verification") {}
};

// The reply to a range request did not fit what is on disk: ask for the whole file, at once.
struct RefetchWhole {};

// The bytes a download may grow to, and what sets that bound.
struct DownloadBound {
    enum class By { PublishedSize, AnnouncedSize, FreeSpace };
    std::uint64_t bytes = 0;
    By by = By::PublishedSize;
};

// The size the manifest gives, else the size the reply announced (which the free-space check
// took), else the room the free-space check found beside the `onDisk` bytes; nullopt when
// nothing bounds the download (the free space is unknown).
std::optional<DownloadBound> BoundOfDownload(std::optional<std::uint64_t> published,
                                             std::optional<std::uint64_t> announced,
                                             std::optional<std::uint64_t> freeBytes,
                                             std::uint64_t onDisk) {
    using By = DownloadBound::By;
    if (published)
        return DownloadBound{*published, By::PublishedSize};
    if (announced)
        return DownloadBound{*announced, By::AnnouncedSize};
    if (freeBytes)
        return DownloadBound{
            onDisk + (*freeBytes > kDiskSpaceMargin ? *freeBytes - kDiskSpaceMargin : 0),
            By::FreeSpace};
    return std::nullopt;
}

// A server that sends more than the download may hold: the transfer stops at the first byte
// past the bound and the bytes are dropped.
class BeyondBound : public FileFailure {
public:
    BeyondBound(const DownloadBound& bound, std::string_view relativePath)
        : FileFailure(bound.by == DownloadBound::By::FreeSpace
                          ? "Not enough disk space: the update server sent more of " +
                                PathForMessage(relativePath) + " than fits on the disk"
                          : "The update server sent more of " + PathForMessage(relativePath) +
                                " than its published size") {}
};

// Writes the reply body into the download file as it arrives and digests the same bytes, so a
// client file is never held in memory and never read back for verification. The file is either
// created anew, never opened over an existing name, or (to resume) the very file whose bytes were
// digested before; its identity and length are checked before it is handed on.
class DownloadWriter {
public:
    explicit DownloadWriter(std::filesystem::path download) : download_(std::move(download)) {}
    DownloadWriter(const DownloadWriter&) = delete;
    DownloadWriter& operator=(const DownloadWriter&) = delete;
    ~DownloadWriter() { Discard(); }

    // A new download file in place of whatever stood under the name (a partial file, a link, a
    // FIFO), which is never opened or written through.
    void StartFresh() {
        Close();
        digest_ = Sha256Stream();
        expectedLength_ = 0;
        std::filesystem::path folder = download_.parent_path();
        std::error_code error;
        std::filesystem::create_directories(qs::ForFileCall(folder), error);
        if (error)
            throw std::filesystem::filesystem_error("create_directories", folder, error);
        std::filesystem::remove(qs::ForFileCall(download_), error);
        if (!file_.createNew(download_))
            CannotWrite();
        Opened();
    }

    // Goes on at the end of the leftover that was `hashed` into `digest`.
    void Resume(const FileState& hashed, Sha256Stream digest) {
        Close();
        if (!file_.openToAppend(download_) || file_.state() != hashed)
            CannotWrite();
        digest_ = std::move(digest);
        expectedLength_ = hashed.size;
        Opened();
    }

    // The body sink: any failure is kept so the caller can report it instead of the
    // transfer's own abort text.
    bool Accept(const char* data, std::size_t size) noexcept {
        try {
            if (!file_.isOpen())
                StartFresh();
            if (!DigestWhileWriting(data, size))
                CannotWrite();
            expectedLength_ += size;
            // A large file's bytes head for the disk while the rest arrives, so its flush does not
            // wait for all of them at once.
            unstarted_ += size;
            if (unstarted_ >= kWritebackStep) {
                file_.startWriteback();
                unstarted_ = 0;
            }
            return true;
        } catch (...) {
            failure_ = std::current_exception();
            return false;
        }
    }

    const std::exception_ptr& failure() const { return failure_; }

    // Closes the file (creating it first for an empty body); returns the digest text and, in
    // `written`, the state of the file as this writer left it. Its bytes may not be on the disk
    // yet: FlushVerified waits for them.
    std::wstring Finish(FileState& written) {
        if (!file_.isOpen())
            StartFresh();
        // Another writer that truncated or extended the file shows in its length; the times
        // taken here, from this writer's own handle, show any later write.
        const std::optional<FileState> state = file_.finishedState();
        if (!state || state->size != expectedLength_ || !file_.close()) {
            Discard();
            CannotWrite();
        }
        opened_ = false;
        written = *state;
        return digest_.finish();
    }

    // Drops the download, for a failure a later attempt could not build on (a write failure).
    void Discard() noexcept {
        file_.close();
        if (opened_)
            RemoveIfOurs();
        opened_ = false;
    }

    // Leaves a partial download where it is, for a later attempt or run to continue.
    void Keep() noexcept {
        file_.close();
        opened_ = false;
    }

private:
    void Close() noexcept {
        file_.close();
        opened_ = false;
    }

    // A large piece (a run of reused bytes from the old copy) is digested on a second thread
    // while it is written, as each costs about as much as the other; a small one (a network
    // read) is not worth the hand-over. False when the write failed.
    bool DigestWhileWriting(const char* data, std::size_t size) {
        constexpr std::size_t kBesideFrom = 1u << 20;
        std::future<void> digesting;
        if (size >= kBesideFrom) {
            try {
                digesting = std::async(std::launch::async, [&] { digest_.update(data, size); });
            } catch (const std::system_error&) {
                // no thread to spare: digested here below
            }
        }
        if (!digesting.valid())
            digest_.update(data, size);
        const bool written = file_.write(data, size);
        if (digesting.valid())
            digesting.get();
        return written;
    }

    void Opened() {
        opened_ = true;
        unstarted_ = 0;
        if (const auto state = file_.state())
            ours_ = *state;
    }

    // Only the file this writer worked on goes: whatever else stands under the name now is not
    // this run's to delete.
    void RemoveIfOurs() noexcept {
        const std::optional<FileState> now = RegularFileState(download_);
        if (!now || now->volume != ours_.volume || now->index != ours_.index)
            return;
        std::error_code ignored;
        std::filesystem::remove(qs::ForFileCall(download_), ignored);
    }

    std::filesystem::path download_;
    Sha256Stream digest_;
    OutputFile file_;
    bool opened_ = false;
    FileState ours_;
    std::uint64_t expectedLength_ = 0;
    std::uint64_t unstarted_ = 0;  // written since writeback was last started
    std::exception_ptr failure_;
};

// Received bytes go to the download file, then are said and paced; false when they could not be
// written (the writer keeps why).
bool TakeBody(DownloadWriter& writer, const FetchObserver& observer, RatePacer& pacer,
              const char* data, std::size_t size) {
    if (!writer.Accept(data, size))
        return false;
    if (observer.received)
        observer.received(size);
    pacer.account(size);
    return true;
}

// Wide text of a file name for a message: names here came from checked UTF-8, and any byte that
// still does not decode shows as a replacement character.
std::wstring NameForMessage(const std::filesystem::path& target) {
    const std::u8string name = target.filename().u8string();
    return FailureMessage(
        std::string_view(reinterpret_cast<const char*>(name.data()), name.size()));
}

bool Cancelled(const UpdateEnvironment& environment) {
    return environment.cancel && environment.cancel->load();
}

std::optional<std::uint64_t> FreeBytes(const std::filesystem::path& folder,
                                       const UpdateEnvironment& environment) {
    return environment.freeSpace ? environment.freeSpace(folder) : FreeDiskBytes(folder);
}

// What one attempt starts from: a leftover download digested up to its end, or nothing.
struct Leftover {
    FileState state;
    Sha256Stream digest;
};

// A regular leftover under the download name, read without following a link. A cancel ends
// the reading of even a very long one at once.
std::optional<Leftover> ReadLeftover(const std::filesystem::path& download,
                                     const UpdateEnvironment& environment) {
    InputFile input;
    if (!input.open(download, /*followLinks=*/false))
        return std::nullopt;
    const std::optional<FileState> before = input.state();
    Leftover leftover{before.value_or(FileState{}), Sha256Stream()};
    const std::optional<std::uint64_t> read = HashInto(input, leftover.digest, environment.cancel);
    if (Cancelled(environment))
        throw UpdateCancelled();
    if (!before || !read || input.state() != before || *read != before->size)
        return std::nullopt;  // changed while it was read: start afresh
    return leftover;
}

// Closes a finished download: its state when its digest is `expected`; otherwise the file is
// removed (when it is still the one written) and nullopt returned.
std::optional<FileState> FinishProven(DownloadWriter& writer, const std::filesystem::path& download,
                                      const std::wstring& expected) {
    FileState written;
    if (DigestsEqual(writer.Finish(written), expected))
        return written;
    std::error_code ignored;
    if (RegularFileState(download) == written)
        std::filesystem::remove(qs::ForFileCall(download), ignored);
    return std::nullopt;
}

// One attempt: place a verified leftover, continue a partial one, or download from scratch.
// Returns the state of the verified download file.
FileState FetchOnce(const std::wstring& url, const ServiceEndpoint& host,
                    std::string_view relativePath, const std::filesystem::path& download,
                    const std::wstring& expected, std::optional<std::uint64_t> expectedSize,
                    bool fromScratch, const UpdateEnvironment& environment,
                    HttpsConnection& connection, const FetchObserver& observer) {
    std::optional<Leftover> leftover;
    if (!fromScratch && std::filesystem::is_regular_file(
                            std::filesystem::symlink_status(qs::ForFileCall(download))))
        leftover = ReadLeftover(download, environment);
    // Complete and proven: placed without a request, once FlushVerified has made sure of its
    // bytes (the run that wrote it may have ended before it could).
    if (leftover && DigestsEqual(leftover->digest.peek(), expected))
        return leftover->state;
    if (leftover && expectedSize && leftover->state.size >= *expectedSize)
        leftover.reset();  // too long to be a part of the file
    const std::uint64_t offset = leftover ? leftover->state.size : 0;
    const std::filesystem::path folder = download.parent_path();
    if (expectedSize)
        CheckDiskSpace(folder, *expectedSize - offset, environment);

    DownloadWriter writer(download);
    RatePacer pacer(environment.speedLimit, environment.cancel);
    std::optional<DownloadBound> bound;
    std::uint64_t size = 0;  // of the download file, as the transfer goes
    const auto onHead = [&](const HttpsResponseHead& head) {
        std::uint64_t onDisk = 0;
        std::optional<std::uint64_t> whole;
        const RangeReply reply =
            offset > 0 ? ClassifyRangeReply(offset, head.status, head.contentRange, expectedSize)
                       : (head.status == 200 ? RangeReply::Restart : RangeReply::Other);
        if (reply == RangeReply::Other)
            return;  // the request's own failure follows
        if (reply == RangeReply::Refetch)
            throw RefetchWhole{};
        if (reply == RangeReply::Append) {
            onDisk = offset;
            whole = ParseContentRange(head.contentRange)->total;
        } else {
            whole = head.contentLength;
        }
        // Room is checked before the download file is touched.
        if (whole && *whole >= onDisk && !expectedSize)
            CheckDiskSpace(folder, *whole - onDisk, environment);
        std::optional<std::uint64_t> freeBytes;
        if (!expectedSize && !whole)
            freeBytes = FreeBytes(folder, environment);
        bound = BoundOfDownload(expectedSize, whole, freeBytes, onDisk);
        size = onDisk;
        if (reply == RangeReply::Append)
            writer.Resume(leftover->state, std::move(leftover->digest));
        else
            writer.StartFresh();
        if (whole && *whole >= onDisk && observer.sizeKnown)
            observer.sizeKnown(*whole, onDisk);
    };
    const BodySink sink = [&](const char* data, std::size_t bytes) {
        if (bound && bytes > bound->bytes - std::min(size, bound->bytes))
            throw BeyondBound(*bound, relativePath);
        size += bytes;
        return TakeBody(writer, observer, pacer, data, bytes);
    };
    try {
        HttpsGetFile(url, offset, onHead, sink, host, connection);
    } catch (const BeyondBound&) {
        writer.Discard();
        throw;
    } catch (...) {
        // A transfer that broke off keeps what it has for the next attempt or run; bytes that
        // could not be written are of no use to anyone.
        if (writer.failure()) {
            writer.Discard();
            std::rethrow_exception(writer.failure());
        }
        writer.Keep();
        throw;
    }
    if (auto written = FinishProven(writer, download, expected))
        return *written;
    throw DigestMismatch();
}

// Any reason to give up building a file from chunks: the whole file is fetched instead.
struct ChunksUnusable {};
// The block index the manifest vouches for names another chunk index than the one fetched: no
// chunk of it is fetched, the whole file is.
struct ChunkIndexRefused {};

// The URL of a file's index under /updater/chunks/, named by the file's digest.
std::wstring IndexUrl(const std::wstring& expected, const wchar_t* suffix,
                      const UpdateEnvironment& environment) {
    std::wstring name = expected;
    for (wchar_t& c : name)
        c = static_cast<wchar_t>(std::towlower(c));
    return ServiceUrl(environment.service, "/updater/chunks/") + name + suffix;
}

// The bytes of the chunk index of the file with digest `expected`.
std::string FetchChunkIndexBytes(const std::wstring& expected, const UpdateEnvironment& environment,
                                 HttpsConnection& connection, const FetchObserver& observer) {
    const std::vector<std::uint8_t> bytes =
        HttpsRequest(IndexUrl(expected, L".idx", environment), L"GET", std::string(),
                     environment.service, connection, kChunkIndexMaxBytes);
    if (observer.fetchedAside)
        observer.fetchedAside(bytes.size());
    return std::string(bytes.begin(), bytes.end());
}

// Attempts at one range whose request failed in a way that may pass: most often a kept
// connection the server had just closed. Giving the patch up for it would cost the whole file.
constexpr int kRangeAttempts = 3;

// Runs `request` again after a failure that may pass, as long as it delivered nothing yet.
template <typename Request>
auto RetryRange(Request request, const std::uint64_t& delivered) {
    for (int attempt = 1;; ++attempt) {
        try {
            return request();
        } catch (const TransientHttpsError& failure) {
            if (attempt == kRangeAttempts || delivered > 0)
                throw;
            LogEvent(std::string("range asked again after: ") + failure.what());
        }
    }
}

// A reply that is exactly `wanted` of a file of `total` bytes (when given); anything else gives
// the patch up.
void CheckRangeReply(const HttpsResponseHead& head, const ByteRange& wanted,
                     std::optional<std::uint64_t> total) {
    const std::optional<ContentRange> range = ParseContentRange(head.contentRange);
    if (head.status != 206 || !range || range->first != wanted.first ||
        range->last != wanted.last || (total && range->total != *total))
        throw ChunksUnusable{};
}

// Bytes `first`..`last` of `url` on `host`, exactly, into memory; with `total`, of a file of
// that size. Anything else is ChunksUnusable.
std::string RangeBytesOnce(const std::wstring& url, const ByteRange& wanted,
                           std::optional<std::uint64_t> total, const ServiceEndpoint& host,
                           HttpsConnection& connection) {
    std::string bytes;
    const std::uint64_t length = wanted.last - wanted.first + 1;
    const auto onHead = [&](const HttpsResponseHead& head) {
        CheckRangeReply(head, wanted, total);
        bytes.reserve(static_cast<std::size_t>(length));
    };
    const BodySink sink = [&](const char* data, std::size_t size) {
        if (size > length - bytes.size())
            throw ChunksUnusable{};
        bytes.append(data, size);
        return true;
    };
    HttpsGetFileRange(url, wanted.first, wanted.last, onHead, sink, host, connection);
    if (bytes.size() != length)
        throw ChunksUnusable{};
    return bytes;
}

std::string RangeBytes(const std::wstring& url, const ByteRange& wanted,
                       std::optional<std::uint64_t> total, const ServiceEndpoint& host,
                       HttpsConnection& connection) {
    const std::uint64_t nothingKept = 0;  // each attempt starts its bytes afresh
    return RetryRange([&] { return RangeBytesOnce(url, wanted, total, host, connection); },
                      nothingKept);
}

// The same for a part of an index on the service, counted as fetched aside.
std::string FetchRangeBytes(const std::wstring& url, std::uint64_t first, std::uint64_t last,
                            const UpdateEnvironment& environment, HttpsConnection& connection,
                            const FetchObserver& observer) {
    std::string bytes =
        RangeBytes(url, {first, last}, std::nullopt, environment.service, connection);
    if (observer.fetchedAside)
        observer.fetchedAside(bytes.size());
    return bytes;
}

// Missing bytes up to this much in all are fetched ahead, several ranges at once, into memory;
// beyond it a patch is bound by bandwidth rather than round trips, and its ranges stream to the
// file one after another. Under a speed limit, at most a second's worth is fetched ahead.
constexpr std::uint64_t kRangesAheadMaxBytes = 32u << 20;

bool WorthFetchingAhead(const std::vector<ByteRange>& ranges,
                        const UpdateEnvironment& environment) {
    std::uint64_t total = 0;
    for (const ByteRange& range : ranges)
        total += range.last - range.first + 1;
    const std::uint64_t limit = environment.speedLimit ? environment.speedLimit->load() : 0;
    return ranges.size() >= kFewestRangesAhead && total <= kRangesAheadMaxBytes &&
           (limit == 0 || total <= limit);
}

// The block lists of the chunks at `missing` (ascending), fetched group by group, neighbouring
// groups in one range; each group is proven against the head, and the head against `headDigest`
// from the manifest. Empty when the block index is unusable: those chunks then come whole.
std::map<std::size_t, qs::BlockList> FetchBlockLists(
    const std::wstring& expected, const Digest& headDigest, const std::string& chunkIndexBytes,
    const std::vector<Chunk>& chunks, const std::vector<std::size_t>& missing,
    const UpdateEnvironment& environment, HttpsConnection& connection,
    const FetchObserver& observer) {
    std::map<std::size_t, qs::BlockList> lists;
    if (missing.empty())
        return lists;
    try {
        const std::wstring url = IndexUrl(expected, L".blk", environment);
        const qs::BlockIndexLayout layout = qs::LayoutOfBlockIndex(chunks);
        const std::string head =
            FetchRangeBytes(url, 0, layout.headBytes - 1, environment, connection, observer);
        const Digest chunkIndexDigest = DigestOfBytes(chunkIndexBytes);
        if (DigestOfBytes(head) == headDigest && !qs::HeadNamesChunkIndex(head, chunkIndexDigest))
            throw ChunkIndexRefused{};
        const std::optional<std::vector<Digest>> groups =
            qs::ParseBlockIndexHead(head, headDigest, chunkIndexDigest, layout);
        if (!groups)
            throw ChunksUnusable{};
        std::vector<std::size_t> wanted;
        for (std::size_t chunk : missing)
            if (wanted.empty() || wanted.back() != chunk / qs::kBlockGroupChunks)
                wanted.push_back(chunk / qs::kBlockGroupChunks);
        // Neighbouring groups in one range; the ranges all at once.
        std::vector<std::pair<std::size_t, std::size_t>> runs;  // [first, end) into `wanted`
        std::vector<ByteRange> ranges;
        for (std::size_t i = 0; i < wanted.size();) {
            std::size_t end = i + 1;
            while (end < wanted.size() && wanted[end] == wanted[end - 1] + 1)
                ++end;
            runs.emplace_back(i, end);
            ranges.push_back({layout.groupAt[wanted[i]], layout.groupAt[wanted[end - 1] + 1] - 1});
            i = end;
        }
        RangesAhead ahead(
            ranges,
            [&url, &environment](HttpsConnection& own, const ByteRange& range) {
                return RangeBytes(url, range, std::nullopt, environment.service, own);
            },
            connection, environment.cancel);
        for (std::size_t run = 0; run < runs.size(); ++run) {
            const std::string bytes = ahead.take(run);
            if (observer.fetchedAside)
                observer.fetchedAside(bytes.size());
            const std::uint64_t from = ranges[run].first;
            for (std::size_t i = runs[run].first; i < runs[run].second; ++i) {
                const std::size_t group = wanted[i];
                const std::uint64_t at = layout.groupAt[group] - from;
                const auto parsed =
                    qs::ParseBlockGroup(std::string_view(bytes).substr(
                                            at, layout.groupAt[group + 1] - layout.groupAt[group]),
                                        (*groups)[group], chunks, group);
                if (!parsed)
                    throw ChunksUnusable{};
                for (std::size_t c = 0; c < parsed->size(); ++c)
                    lists[group * qs::kBlockGroupChunks + c] = (*parsed)[c];
            }
        }
    } catch (const ChunksUnusable&) {
        LogEvent("block index unusable: whole chunks instead");
        lists.clear();
    } catch (const UpdateCancelled&) {
        throw;
    } catch (const std::runtime_error& failure) {
        if (Cancelled(environment))
            throw;
        LogEvent(std::string("block index unavailable: whole chunks instead, after: ") +
                 failure.what());
        lists.clear();
    }
    return lists;
}

// Gathers the bytes of the wanted chunks in order, and writes a chunk only once all its bytes,
// copied or fetched, match the chunk's digest.
class ChunkAssembler {
public:
    ChunkAssembler(const std::vector<Chunk>& chunks, DownloadWriter& writer)
        : chunks_(chunks), writer_(writer) {}

    void add(const char* data, std::size_t size) {
        while (size > 0) {
            if (next_ >= chunks_.size())
                throw ChunksUnusable{};  // more than the file holds
            const std::size_t take =
                std::min<std::size_t>(size, chunks_[next_].length - buffer_.size());
            buffer_.append(data, take);
            data += take;
            size -= take;
            if (buffer_.size() == chunks_[next_].length) {
                if (DigestOfBytes(buffer_) != chunks_[next_].digest)
                    throw ChunksUnusable{};
                write(buffer_.data(), buffer_.size());
                buffer_.clear();
                ++next_;
            }
        }
    }

    // `count` whole chunks known to be in `data` already (matched by digest in the old copy).
    void addKnown(const char* data, std::size_t size, std::size_t count) {
        if (!buffer_.empty())
            throw ChunksUnusable{};
        write(data, size);
        next_ += count;
    }
    bool complete() const { return next_ == chunks_.size() && buffer_.empty(); }

private:
    void write(const char* data, std::size_t size) {
        if (!writer_.Accept(data, size))
            std::rethrow_exception(writer_.failure());
    }
    const std::vector<Chunk>& chunks_;
    DownloadWriter& writer_;
    std::size_t next_ = 0;
    std::string buffer_;
};

// One step of the build: whole chunks from the old copy, or a missing run's blocks.
struct BuildStep {
    const AssemblyPiece* piece = nullptr;
    std::vector<qs::BlockSegment> segments;  // for a missing run
};

// The steps of the build: each missing run's blocks are looked for shifted as the reused bytes
// on either side of it are (at the file's ends, as the old copy's own ends are).
std::vector<BuildStep> PlanBuild(const std::vector<AssemblyPiece>& pieces,
                                 const std::vector<Chunk>& wanted,
                                 const std::map<std::size_t, qs::BlockList>& blocks,
                                 std::uint64_t oldSize, std::uint64_t newSize,
                                 const qs::OldBlockDigest& oldDigest) {
    std::vector<BuildStep> steps;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const AssemblyPiece& piece = pieces[i];
        BuildStep& step = steps.emplace_back(BuildStep{&piece, {}});
        if (piece.local)
            continue;
        const auto start = static_cast<std::int64_t>(piece.from);
        const auto end = static_cast<std::int64_t>(piece.from + piece.length);
        std::optional<std::int64_t> before;
        std::optional<std::int64_t> after;
        if (i == 0)
            before = 0;
        else if (pieces[i - 1].local)
            before = static_cast<std::int64_t>(pieces[i - 1].from + pieces[i - 1].length) - start;
        if (i + 1 == pieces.size())
            after = static_cast<std::int64_t>(oldSize) - static_cast<std::int64_t>(newSize);
        else if (pieces[i + 1].local)
            after = static_cast<std::int64_t>(pieces[i + 1].from) - end;
        step.segments =
            qs::PlanBlocks(wanted, piece.first, piece.count, blocks, before, after, oldDigest);
    }
    return steps;
}

// The chunks of the old copy: those kept when it was placed while its stamp is still theirs, else
// read from it, unless a sample shows too little of `wanted` in it (nullopt).
std::optional<std::vector<Chunk>> LocalChunks(const std::filesystem::path& target,
                                              std::string_view relativePath,
                                              const std::vector<Chunk>& wanted,
                                              const UpdateEnvironment& environment) {
    if (const std::optional<FileStamp> stamp = StampOfFile(target))
        if (auto kept =
                LoadKeptChunks(KeptChunksFolder(environment.verifiedRecord), relativePath, *stamp))
            return kept;
    const std::optional<SampledShare> sample = SampleShare(target, wanted);
    if (!sample || !SampleWorthChunking(*sample))
        return std::nullopt;
    std::optional<std::vector<Chunk>> local = ChunkFile(target, environment.cancel);
    if (Cancelled(environment))
        throw UpdateCancelled();
    return local;
}

// Builds the download file from the chunks the old target shares with the wanted file, the
// blocks of the other chunks it still holds, and ranges of the rest. nullopt when too little is
// shared; throws on anything amiss (a fault the progress mentions).
std::optional<FileState> FetchByChunks(
    const std::wstring& url, const ServiceEndpoint& host, std::string_view relativePath,
    const std::filesystem::path& target, const std::filesystem::path& download,
    const std::wstring& expected, std::optional<std::uint64_t> expectedSize,
    std::optional<Digest> blocksHead, const UpdateEnvironment& environment,
    HttpsConnection& connection, const FetchObserver& observer) {
    // An old tree's index is not signed: only the manifest's size keeps it from claiming any
    // size. With a block index the manifest names, the head names the chunk index's digest.
    if (!expectedSize)
        return std::nullopt;
    const Digest file = *DigestFromHex(expected);
    const std::string indexBytes =
        FetchChunkIndexBytes(expected, environment, connection, observer);
    const std::optional<ChunkIndex> index = ParseChunkIndex(indexBytes, file);
    if (!index || index->size != *expectedSize)
        throw ChunksUnusable{};
    const std::optional<std::vector<Chunk>> local =
        LocalChunks(target, relativePath, index->chunks, environment);
    if (!local)
        return std::nullopt;
    const std::vector<AssemblyPiece> pieces = PlanAssembly(index->chunks, *local);
    if (!WorthAssembling(ReusedBytes(pieces), index->size))
        return std::nullopt;
    CheckDiskSpace(download.parent_path(), index->size, environment);

    std::vector<std::size_t> missing;
    for (const AssemblyPiece& piece : pieces)
        for (std::size_t c = piece.first; !piece.local && c < piece.first + piece.count; ++c)
            missing.push_back(c);
    const std::map<std::size_t, qs::BlockList> blocks =
        blocksHead ? FetchBlockLists(expected, *blocksHead, indexBytes, index->chunks, missing,
                                     environment, connection, observer)
                   : std::map<std::size_t, qs::BlockList>{};

    std::ifstream old(qs::ForFileCall(target), std::ios::binary);
    if (!old)
        return std::nullopt;
    const std::uint64_t oldSize = local->empty() ? 0 : local->back().offset + local->back().length;
    std::string buffer;
    const auto readOld = [&](std::uint64_t from, std::uint64_t length) {
        buffer.resize(static_cast<std::size_t>(length));
        old.seekg(static_cast<std::streamoff>(from));
        old.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        return static_cast<bool>(old);
    };
    const qs::OldBlockDigest oldDigest = [&](std::uint64_t from, std::uint32_t length) {
        std::optional<qs::BlockDigest> digest;
        if (from + length <= oldSize && readOld(from, length))
            digest = qs::DigestOfBlock(buffer);
        old.clear();
        return digest;
    };
    const std::vector<BuildStep> steps =
        PlanBuild(pieces, index->chunks, blocks, oldSize, index->size, oldDigest);
    std::uint64_t reused = 0;
    for (const BuildStep& step : steps) {
        reused += step.piece->local ? step.piece->length : 0;
        for (const qs::BlockSegment& segment : step.segments)
            reused += segment.local ? segment.length : 0;
    }

    // The missing runs in build order: fetched ahead, several at once, while the old copy's
    // bytes are copied, unless they are many bytes (or many seconds under the speed limit).
    std::vector<ByteRange> remote;
    for (const BuildStep& step : steps)
        for (const qs::BlockSegment& segment : step.segments)
            if (!segment.local)
                remote.push_back({segment.at, segment.at + segment.length - 1});
    std::optional<RangesAhead> ahead;
    if (WorthFetchingAhead(remote, environment))
        ahead.emplace(
            remote,
            [&url, &host, &index](HttpsConnection& own, const ByteRange& range) {
                return RangeBytes(url, range, index->size, host, own);
            },
            connection, environment.cancel);
    std::size_t taken = 0;

    DownloadWriter writer(download);
    writer.StartFresh();
    if (observer.sizeKnown)
        observer.sizeKnown(index->size, 0);
    if (observer.reused)
        observer.reused(reused);
    RatePacer pacer(environment.speedLimit, environment.cancel);
    ChunkAssembler assembler(index->chunks, writer);
    const auto fetch = [&](const qs::BlockSegment& segment) {
        const std::uint64_t last = segment.at + segment.length - 1;
        std::uint64_t received = 0;
        const auto onHead = [&](const HttpsResponseHead& head) {
            CheckRangeReply(head, {segment.at, last}, index->size);
        };
        const BodySink sink = [&](const char* data, std::size_t size) {
            if (size > segment.length - received)
                throw ChunksUnusable{};
            received += size;
            assembler.add(data, size);
            if (observer.received)
                observer.received(size);
            pacer.account(size);
            return true;
        };
        // Streamed into the file: asked again only while none of it arrived.
        RetryRange(
            [&] { HttpsGetFileRange(url, segment.at, last, onHead, sink, host, connection); },
            received);
        if (received != segment.length)
            throw ChunksUnusable{};
    };
    for (const BuildStep& step : steps) {
        if (Cancelled(environment))
            throw UpdateCancelled();
        // Copied bytes are checked by their chunk's digest, or (whole chunks found by digest)
        // should the old copy change after it was chunked, by the whole file's digest below.
        if (step.piece->local) {
            if (!readOld(step.piece->from, step.piece->length))
                throw ChunksUnusable{};
            assembler.addKnown(buffer.data(), buffer.size(), step.piece->count);
            continue;
        }
        for (const qs::BlockSegment& segment : step.segments) {
            if (!segment.local && ahead) {
                const std::string bytes = ahead->take(taken++);
                assembler.add(bytes.data(), bytes.size());
                if (observer.received)
                    observer.received(bytes.size());
                pacer.account(bytes.size());
            } else if (!segment.local) {
                fetch(segment);
            } else if (readOld(segment.from, segment.length)) {
                assembler.add(buffer.data(), buffer.size());
            } else {
                throw ChunksUnusable{};
            }
        }
    }
    if (!assembler.complete())
        throw ChunksUnusable{};
    if (auto written = FinishProven(writer, download, expected)) {
        if (observer.chunksKnown)
            observer.chunksKnown(*index);
        return *written;
    }
    throw ChunksUnusable{};
}

void PauseUnlessCancelled(std::chrono::milliseconds pause, const UpdateEnvironment& environment) {
    const auto end = std::chrono::steady_clock::now() + pause;
    while (!Cancelled(environment) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            std::chrono::milliseconds(50), end - std::chrono::steady_clock::now()));
    if (Cancelled(environment))
        throw UpdateCancelled();
}

}  // namespace

void CheckDiskSpace(const std::filesystem::path& folder, std::uint64_t needed,
                    const UpdateEnvironment& environment) {
    const std::optional<std::uint64_t> available = FreeBytes(folder, environment);
    if (!available)
        return;  // unknown: the writes themselves will tell
    if (auto shortfall = DiskSpaceShortfall(needed, *available))
        throw DiskSpaceFailure(*shortfall);
}

void ReplaceLinkedFolders(const std::filesystem::path& clientFolder,
                          const std::filesystem::path& target) {
    std::filesystem::path::string_type prefix = clientFolder.native();
    prefix += std::filesystem::path::preferred_separator;
    FolderHandle folder;
    if (!target.native().starts_with(prefix) || !folder.open(clientFolder))
        return;  // nothing beneath it yet: the download creates every folder
    std::filesystem::path reached = clientFolder;
    const std::filesystem::path beneath =
        std::filesystem::path(target.native().substr(prefix.size())).parent_path();
    for (const std::filesystem::path& name : beneath) {
        reached /= name;
        const EntryKind kind = folder.look(name.c_str()).kind;
        if (kind == EntryKind::Link) {
            // The folders beneath it are new too, so nothing deeper is looked at.
            std::error_code error;
            if (!folder.removeLink(name.c_str()) ||
                !std::filesystem::create_directory(qs::ForFileCall(reached), error))
                CannotWrite();
            return;
        }
        FolderHandle child;
        if (kind != EntryKind::Folder || !child.openChild(folder, name.c_str()))
            return;  // missing or a file: the download's own folder creation decides
        folder = std::move(child);
    }
}

std::filesystem::path DownloadFilePath(const std::filesystem::path& target) {
    std::filesystem::path download = target;
    download += ".download";
    return download;
}

std::wstring DownloadUrlPath(std::string_view relativePath) {
    std::wstring encoded;
    encoded.reserve(relativePath.size());
    for (char c : relativePath) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '-' || c == '.' || c == '/' || c == '_';
        if (plain)
            encoded.push_back(static_cast<wchar_t>(c));
        else if (c == ' ')
            encoded += L"%20";
        else
            throw std::runtime_error("Manifest has an unsafe download path");
    }
    return encoded;
}

bool ReplaceFile(const std::filesystem::path& download, const std::filesystem::path& target,
                 std::wstring& message, bool syncFolder) {
    const int error =
        syncFolder ? ReplaceFileDurably(download, target) : MoveOver(download, target);
    if (error == 0)
        return true;
    LogEvent("could not place " + LogPath(target) + ": error " + std::to_string(error));
    try {
        if (IsFileInUseError(error))
            message = L"Could not replace " + NameForMessage(target) +
                      L" - file is in use. Please close the client and try again.";
        else
            message = L"Could not replace " + NameForMessage(target) + L" (Error code: " +
                      std::to_wstring(static_cast<unsigned>(error)) + L")";
    } catch (...) {
        message = L"Could not replace file";
    }
    return false;
}

void FetchFile(const std::filesystem::path& target, std::string_view relativePath,
               std::string_view checksum, const UpdateEnvironment& environment,
               bool makeExecutable) {
    HttpsConnection connection;
    connection.setCancel(environment.cancel);
    FetchFile(target, relativePath, checksum, environment, makeExecutable, connection);
}

void FetchFile(const std::filesystem::path& target, std::string_view relativePath,
               std::string_view checksum, const UpdateEnvironment& environment, bool makeExecutable,
               HttpsConnection& connection, const FetchObserver& observer,
               std::optional<std::uint64_t> expectedSize, bool chunked,
               std::string_view blocksDigest) {
    const FileState verified =
        FetchVerified(target, relativePath, checksum, environment, connection, observer,
                      expectedSize, chunked, blocksDigest);
    FlushVerified(target, verified);
    PlaceVerified(target, verified, makeExecutable);
    if (SyncFolder(target.parent_path()) != 0)
        throw std::runtime_error(kDiskDidNotConfirm);
}

FileState FetchVerified(const std::filesystem::path& target, std::string_view relativePath,
                        std::string_view checksum, const UpdateEnvironment& environment,
                        HttpsConnection& connection, const FetchObserver& observer,
                        std::optional<std::uint64_t> expectedSize, bool chunked,
                        std::string_view blocksDigest, FileSources* sources) {
    if (!IsChecksumText(checksum))
        throw std::runtime_error("Manifest has an invalid SHA-256 checksum");
    FileSources ownService = FileSources::OwnService(environment.service);
    if (!sources)
        sources = &ownService;
    std::size_t source = sources->first(checksum);
    std::wstring url = FileUrl(sources->at(source), relativePath, checksum);
    // Built before anything is fetched: a path the old layout cannot carry is refused anywhere.
    DownloadUrlPath(relativePath);
    TargetFileExists(target);  // refuses a folder before anything is written beside it
    const std::wstring expected = Utf8ToWide(checksum);

    const std::filesystem::path download = DownloadFilePath(target);
    std::error_code error;
    const std::filesystem::file_status status =
        std::filesystem::symlink_status(qs::ForFileCall(download), error);
    if (error && status.type() != std::filesystem::file_type::not_found)
        throw std::filesystem::filesystem_error("exists", download, error);

    // An old copy of a chunked file, and no partial download to continue: fetch only what
    // changed. Anything amiss ends in the whole download below. A file too small to repay its
    // indexes' round trips comes whole even where a tree indexes it.
    if (chunked && expectedSize && WorthIndexing(*expectedSize) &&
        status.type() == std::filesystem::file_type::not_found &&
        std::filesystem::is_regular_file(
            std::filesystem::symlink_status(qs::ForFileCall(target), error))) {
        try {
            std::optional<Digest> blocksHead;
            if (!blocksDigest.empty())
                blocksHead = DigestFromHex(Utf8ToWide(blocksDigest));
            if (auto built = FetchByChunks(url, sources->at(source).endpoint, relativePath, target,
                                           download, expected, expectedSize, blocksHead,
                                           environment, connection, observer))
                return *built;
        } catch (const std::exception& failure) {
            if (Cancelled(environment))
                throw;
            LogEvent(std::string(relativePath) +
                     ": patch given up, the whole file instead, after: " + failure.what());
            if (observer.wholeInstead)
                observer.wholeInstead();
        } catch (...) {
            if (Cancelled(environment))
                throw;
            LogEvent(std::string(relativePath) +
                     ": patch given up, the whole file instead: its chunks did not fit");
            if (observer.wholeInstead)
                observer.wholeInstead();
        }
    }

    const int attempts = static_cast<int>(environment.retryPauses.size()) + 1;
    bool fromScratch = false;
    bool digestRetried = false;
    std::optional<FileState> verified;
    // A base that fails the file hands it to the next one still working, which continues
    // from what is on disk; the last one left gets the retries a single service gets.
    const auto moveOn = [&](const char* why) {
        const std::optional<std::size_t> next = sources->next(source);
        if (!next || Cancelled(environment))
            return false;
        sources->markFailed(source);
        LogEvent(std::string(relativePath) + ": " + sources->at(source).endpoint.host + ":" +
                 std::to_string(sources->at(source).endpoint.port) + " " + why +
                 ", fetching from " + sources->at(*next).endpoint.host + ":" +
                 std::to_string(sources->at(*next).endpoint.port));
        source = *next;
        url = FileUrl(sources->at(source), relativePath, checksum);
        return true;
    };
    for (int attempt = 1; !verified;) {
        try {
            verified =
                FetchOnce(url, sources->at(source).endpoint, relativePath, download, expected,
                          expectedSize, fromScratch, environment, connection, observer);
        } catch (const RefetchWhole&) {
            fromScratch = true;  // not an attempt: the server answered, just not to the range
        } catch (const DigestMismatch&) {
            LogEvent(std::string(relativePath) + " failed SHA-256 verification");
            if (moveOn("served wrong bytes")) {
                fromScratch = true;
                continue;
            }
            if (digestRetried)
                throw;
            digestRetried = true;
            fromScratch = true;
        } catch (const HttpsStatusError& failure) {
            if (!moveOn(failure.what()))
                throw;
            fromScratch = false;
        } catch (const HttpsBodyError& failure) {
            if (!moveOn(failure.what()))
                throw;
            fromScratch = false;
        } catch (const HttpsRequestError& failure) {
            if (!moveOn(failure.what()))
                throw;
            fromScratch = false;
        } catch (const TransientHttpsError& failure) {
            if (moveOn(failure.what())) {
                fromScratch = false;
                continue;
            }
            if (attempt >= attempts || Cancelled(environment))
                throw;
            ++attempt;
            LogEvent("retrying " + std::string(relativePath) + ", attempt " +
                     std::to_string(attempt) + " of " + std::to_string(attempts) +
                     ", after: " + failure.what());
            if (observer.retrying)
                observer.retrying(attempt, attempts);
            PauseUnlessCancelled(environment.retryPauses[static_cast<std::size_t>(attempt - 2)],
                                 environment);
            fromScratch = false;
        }
    }
    return *verified;
}

void FlushVerified(const std::filesystem::path& target, const FileState& verified) {
    // Opened without following a link and compared, identity, length and times, so the bytes
    // flushed are the ones proven.
    OutputFile file;
    if (!file.openToAppend(DownloadFilePath(target)) || file.state() != verified || !file.sync() ||
        !file.close())
        CannotWrite();
}

std::vector<std::exception_ptr> FlushVerifiedTogether(
    const std::vector<ProvenDownload>& downloads) {
    std::vector<std::exception_ptr> failures(downloads.size());
    std::vector<OutputFile> files(downloads.size());
    std::map<std::uint64_t, bool> volumesFlushed;
    const auto cannotWrite = [] {
        try {
            CannotWrite();
        } catch (...) {
            return std::current_exception();
        }
    };
    // Each file is open, and checked to be the one proven, before its volume is flushed: the
    // flush then covers every byte written to it.
    for (std::size_t i = 0; i < downloads.size(); ++i)
        if (!files[i].openToAppend(DownloadFilePath(downloads[i].target)) ||
            files[i].state() != downloads[i].verified)
            failures[i] = cannotWrite();
    for (std::size_t i = 0; i < downloads.size(); ++i) {
        if (failures[i])
            continue;
        const std::uint64_t volume = downloads[i].verified.volume;
        auto [flushed, first] = volumesFlushed.try_emplace(volume, false);
        if (first)
            flushed->second = files[i].syncVolume();
        // A volume that cannot be flushed as a whole, or says it failed: each file's own flush
        // tells which of them are on the disk.
        if ((!flushed->second && !files[i].sync()) || !files[i].close())
            failures[i] = cannotWrite();
    }
    return failures;
}

void PlaceVerified(const std::filesystem::path& target, const FileState& verified,
                   bool makeExecutable) {
    const std::filesystem::path download = DownloadFilePath(target);
    // Only the file that was proven is placed: the name must still reach it, with nothing
    // written since. Its mode is set only then, through that very file (never a link), before
    // the move so the client never appears without its execute bit; a failure to set it is not
    // fatal, as starting the client sets the bit again.
    const auto notTheProvenFile = [&download] {
        LogEvent("not placed: " + LogPath(download) + " is no longer the file that was proven");
        CannotWrite();
    };
    {
        InputFile proven;
        if (!proven.open(download, /*followLinks=*/false) || proven.state() != verified)
            notTheProvenFile();
        if (makeExecutable)
            proven.makeExecutable();
    }  // closed before the move, which Windows refuses for a file held open
    if (RegularFileState(download) != verified)
        notTheProvenFile();

    // rename replaces the target atomically, so the old target is never removed first: a crash
    // leaves either the old or the new file, never neither. The folder is made durable by the
    // caller, once for all the files it placed there.
    std::wstring message;
    if (!ReplaceFile(download, target, message, /*syncFolder=*/false))
        throw FileFailure(WideToUtf8(message));
}

}  // namespace qs
