#include "update/update_run.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <limits>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "net/client_location.h"
#include "net/json_reply.h"
#include "platform/durable_file.h"
#include "platform/file_io.h"
#include "platform/folder_lock.h"
#include "platform/folder_walk.h"
#include "platform/launcher_log.h"
#include "platform/long_path.h"
#include "platform/running_programs.h"
#include "update/clock_check.h"
#include "update/digest.h"
#include "update/folder_chain.h"
#include "update/kept_chunks.h"
#include "update/kept_manifest.h"
#include "update/manifest_path.h"
#include "update/target_status.h"
#include "update/transfer.h"
#include "update/update_signature.h"
#include "update/verified_record.h"

namespace qs {

namespace {

// The manifest request, asking with the validator of a kept copy when not empty.
using ManifestRequest = std::function<ConditionalReply(const ReplyValidator&)>;

[[noreturn]] void MalformedManifest() {
    throw std::runtime_error("Malformed update manifest");
}
[[noreturn]] void MalformedBinary() {
    throw std::runtime_error("Malformed binary manifest");
}

// The folder's client runs: its files are held open, so the run ends before it writes a byte.
class ClientRunning : public std::runtime_error {
public:
    ClientRunning() : std::runtime_error(kCloseClientToUpdate) {}
};

bool Cancelled(const std::atomic<bool>* cancel) {
    return cancel && cancel->load();
}

void ThrowIfCancelled(const std::atomic<bool>* cancel) {
    if (Cancelled(cancel))
        throw UpdateCancelled();
}

// What the walk found at a manifest target, as the plan treats it: nothing there or a link
// (never followed; the download replaces it) is a file to fetch; a folder or anything but a file is
// refused, naming the entry.
enum class TargetCheck { Fetch, Vouched, Hash };

TargetCheck CheckEntry(const qs::FolderEntry& entry, std::string_view relativePath,
                       std::string_view checksum, const VerifiedRecord* record) {
    switch (entry.kind) {
        case qs::EntryKind::Missing:
        case qs::EntryKind::Link:
            return TargetCheck::Fetch;
        case qs::EntryKind::Folder:
            throw std::runtime_error("Manifest contains an unsafe path");
        case qs::EntryKind::Other:
            // A FIFO, socket or device would block or feed the digest forever.
            throw std::runtime_error("Client file is not a regular file");
        case qs::EntryKind::RegularFile:
            break;
    }
    if (record && record->vouchesFor(relativePath, checksum, entry.stamp))
        return TargetCheck::Vouched;
    // Known to hold other bytes: fetched without a digest pass over the old copy, which a patch
    // reads only for what it reuses.
    if (record && record->vouchesAgainst(relativePath, checksum, entry.stamp))
        return TargetCheck::Fetch;
    return TargetCheck::Hash;
}

// True when the regular file `name` in `folder` holds the bytes whose digest is `checksum`: read
// through a descriptor of the file the stamp shows, every byte of its size (a file that cannot be
// read, or stops early, is fetched again). `proven` receives the stamp when the file did not
// change while it was read. A cancel stops the reading at once; the answer is then no, and the
// caller ends the run.
bool HashedIsCurrent(const qs::FolderHandle& folder, const qs::FolderHandle::Name* name,
                     std::string_view checksum, std::optional<TakenStamp>& proven,
                     const std::atomic<bool>* cancel) {
    const std::int64_t takenNs = VerifiedRecord::Now();
    const qs::FolderEntry before = folder.look(name);
    InputFile input;
    if (before.kind != qs::EntryKind::RegularFile || !folder.openFile(name, input))
        return false;
    const std::optional<FileState> opened = input.state();
    if (!opened || !StampShowsState(before.stamp, *opened))
        return false;
    const FileDigest read = Sha256Input(input, cancel);
    if (read.read != WholeRead::Complete || read.bytes != before.stamp.size ||
        !DigestsEqual(read.digest, Utf8ToWide(checksum)) || Cancelled(cancel))
        return false;
    const qs::FolderEntry after = folder.look(name);
    if (after.kind == qs::EntryKind::RegularFile && after.stamp == before.stamp)
        proven = TakenStamp{before.stamp, takenNs};
    return true;
}

// The failure of one planned file as the run reports it: among several transfers at once, the
// player must be able to tell which file failed. A text that names its file already, or that is
// about the whole disk, stays as it is.
std::exception_ptr NameTheFile(const std::exception_ptr& failure, std::string_view relativePath) {
    try {
        std::rethrow_exception(failure);
    } catch (const FileFailure&) {
        return failure;
    } catch (const UpdateCancelled&) {
        return failure;
    } catch (const DiskSpaceFailure&) {
        return failure;
    } catch (const std::exception& error) {
        return std::make_exception_ptr(
            FileFailure(std::string(error.what()) + ": " + PathForMessage(relativePath)));
    } catch (...) {
        return failure;
    }
}

// One manifest file whose local copy is checked against its checksum. Its texts are the
// manifest's own, held by the parse until the plan is made.
struct PlanCandidate {
    std::string_view relativePath;  // followed by a NUL: TargetOf hands its last name to the system
    // The resolved target beneath the client folder, as text alone (a path object keeps each of
    // its names besides, which for a hundred thousand files is most of the plan's memory); empty
    // when it reads as relativePath, as it mostly does.
    std::filesystem::path::string_type target;
    std::string_view checksum;
    bool current = false;
    bool hash = false;  // a regular file the record does not vouch for: its bytes decide
    std::optional<TakenStamp> proven;
    std::exception_ptr failure;
};

qs::NativeView TargetOf(const PlanCandidate& candidate) {
#ifndef _WIN32
    if (candidate.target.empty())
        return candidate.relativePath;
#endif
    return candidate.target;
}

using FirstFailure = std::atomic<std::size_t>;
constexpr std::size_t kNoFailure = std::numeric_limits<std::size_t>::max();

void NoteFailure(PlanCandidate& candidate, std::size_t index, FirstFailure& firstFailure) {
    candidate.failure = std::current_exception();
    std::size_t seen = firstFailure.load();
    while (index < seen && !firstFailure.compare_exchange_weak(seen, index)) {
    }
}

// The stamps: every folder is opened once, beneath the one before it and never through a link,
// and each file is looked at by its name in it. What the record vouches for is settled here; the
// rest is left to the digests.
void WalkCandidates(std::vector<PlanCandidate>& candidates, const qs::FolderHandle& root,
                    const VerifiedRecord* record, const std::atomic<bool>* cancel,
                    FirstFailure& firstFailure) {
    // Eight bytes a file: the folder is the front of the target, told by its length.
    struct Place {
        std::uint32_t index;
        std::uint32_t folderSize;
    };
    std::vector<Place> order(candidates.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = {
            static_cast<std::uint32_t>(i),
            static_cast<std::uint32_t>(qs::SplitTarget(TargetOf(candidates[i])).folder.size())};
    const auto folderOf = [&candidates](const Place& place) {
        return TargetOf(candidates[place.index]).substr(0, place.folderSize);
    };
    // Grouped by folder (stable: key order within one), so the chain opens each folder once.
    std::stable_sort(order.begin(), order.end(), [&folderOf](const Place& a, const Place& b) {
        return folderOf(a) < folderOf(b);
    });
    qs::FolderChain chain(root);
    std::int64_t takenNs = 0;
    qs::NativeView lastFolder;
    for (std::size_t n = 0; n < order.size(); ++n) {
        const std::size_t index = order[n].index;
        PlanCandidate& candidate = candidates[index];
        const qs::TargetParts parts = qs::SplitTarget(TargetOf(candidate));
        const qs::FolderHandle* folder = nullptr;
        if (n == 0 || parts.folder != lastFolder) {
            if (Cancelled(cancel))
                return;
            // Taken before any stamp of the folder: a stamp is dated no later than it was taken.
            takenNs = VerifiedRecord::Now();
            lastFolder = parts.folder;
        }
        try {
            // The run only ever places files: a path that ends in a separator names a folder.
            if (parts.name.empty())
                throw std::runtime_error("Manifest contains an unsafe path");
            folder = chain.reach(parts.folder);
            const qs::FolderEntry entry =
                folder ? folder->look(parts.name.data()) : qs::FolderEntry{};
            switch (CheckEntry(entry, candidate.relativePath, candidate.checksum, record)) {
                case TargetCheck::Fetch:
                    break;
                case TargetCheck::Vouched:
                    candidate.current = true;
                    candidate.proven = TakenStamp{entry.stamp, takenNs};
                    break;
                case TargetCheck::Hash:
                    candidate.hash = true;
                    break;
            }
        } catch (...) {
            NoteFailure(candidate, index, firstFailure);
        }
    }
}

// Digests are the planning pass's whole cost and independent of each other, so they are spread
// over a few threads. Each candidate keeps its own outcome and the caller reads them in key order,
// so the plan and the first failure are those of a pass that checks one file after another. Work
// past the first failure found so far is skipped, as a sequential pass would never reach it.
void HashCandidates(std::vector<PlanCandidate>& candidates, const qs::FolderHandle& root,
                    const std::atomic<bool>* cancel, FirstFailure& firstFailure) {
    constexpr std::size_t kMaxThreads = 8;
    std::vector<std::size_t> toHash;
    for (std::size_t i = 0; i < candidates.size(); ++i)
        if (candidates[i].hash)
            toHash.push_back(i);
    std::atomic<std::size_t> next{0};
    auto work = [&]() noexcept {
        std::optional<qs::FolderChain> chain;
        for (;;) {
            const std::size_t at = next.fetch_add(1);
            if (at >= toHash.size() || toHash[at] > firstFailure.load() || Cancelled(cancel))
                return;
            PlanCandidate& candidate = candidates[toHash[at]];
            try {
                if (!chain)
                    chain.emplace(root);
                const qs::TargetParts parts = qs::SplitTarget(TargetOf(candidate));
                const qs::FolderHandle* folder = chain->reach(parts.folder);
                candidate.current =
                    folder && HashedIsCurrent(*folder, parts.name.data(), candidate.checksum,
                                              candidate.proven, cancel);
            } catch (...) {
                NoteFailure(candidate, toHash[at], firstFailure);
            }
        }
    };

    const std::size_t threads = std::min<std::size_t>(
        {std::max(1u, std::thread::hardware_concurrency()), kMaxThreads, toHash.size()});
    std::vector<std::thread> helpers;
    try {
        for (std::size_t i = 1; i < threads; ++i)
            helpers.emplace_back(work);
    } catch (...) {
        // Fewer helpers (or none): this thread takes the rest. Not only system_error: a
        // bad_alloc here must not leave joinable threads to a destructor that terminates.
    }
    work();
    for (std::thread& helper : helpers)
        helper.join();
}

// Decides which candidates are current: a walk of the folders for the stamps, then digests of
// what the record does not vouch for.
void CheckCandidates(std::vector<PlanCandidate>& candidates, const std::filesystem::path& base,
                     const std::atomic<bool>* cancel, const VerifiedRecord* record) {
    qs::FolderHandle root;
    root.open(base);  // a client folder not there yet: every file is to be fetched
    FirstFailure firstFailure{kNoFailure};
    WalkCandidates(candidates, root, record, cancel, firstFailure);
    HashCandidates(candidates, root, cancel, firstFailure);
}

// The optional "sizes" member: manifest path (leading slash trimmed) to size in bytes. It only
// informs progress and the disk check, so a malformed one is ignored rather than fatal.
using PublishedSizes = std::map<std::string, std::uint64_t, std::less<>>;

PublishedSizes ReadPublishedSizes(const nlohmann::json& manifest) {
    PublishedSizes sizes;
    auto member = manifest.find("sizes");
    if (member == manifest.end() || !member->is_object())
        return sizes;
    for (const auto& [key, value] : member->items())
        if (value.is_number_unsigned())
            sizes[TrimLeadingSlash(key)] = value.get<std::uint64_t>();
    return sizes;
}

// The optional "chunked" member: the paths (leading slash trimmed) with a chunk index. Like
// "sizes" it only helps, so a malformed one is ignored.
std::set<std::string, std::less<>> ReadChunkedPaths(const nlohmann::json& manifest) {
    std::set<std::string, std::less<>> paths;
    auto member = manifest.find("chunked");
    if (member == manifest.end() || !member->is_array())
        return paths;
    for (const auto& value : *member)
        if (value.is_string())
            paths.insert(TrimLeadingSlash(value.get_ref<const std::string&>()));
    return paths;
}

// The optional "blocks" member: path (leading slash trimmed) to the digest of the head of its
// block index. Only well-formed digests are kept; without one the chunks come whole.
std::map<std::string, std::string, std::less<>> ReadBlockIndexes(const nlohmann::json& manifest) {
    std::map<std::string, std::string, std::less<>> digests;
    auto member = manifest.find("blocks");
    if (member == manifest.end() || !member->is_object())
        return digests;
    for (const auto& [key, value] : member->items())
        if (value.is_string() && IsChecksumText(value.get_ref<const std::string&>()))
            digests[TrimLeadingSlash(key)] = value.get<std::string>();
    return digests;
}

// The optional "objects" member: the path on the service under which files are named by their
// digest. Anything but a string is as if it were absent.
std::optional<std::string> ReadObjectsPath(const nlohmann::json& manifest) {
    auto member = manifest.find("objects");
    if (member == manifest.end() || !member->is_string())
        return std::nullopt;
    return member->get<std::string>();
}

// The optional "mirrors" member: further bases of objects, as text; SourcesOfManifest judges each.
std::vector<std::string> ReadMirrors(const nlohmann::json& manifest) {
    std::vector<std::string> mirrors;
    auto member = manifest.find("mirrors");
    if (member == manifest.end() || !member->is_array())
        return mirrors;
    for (const auto& value : *member) {
        if (mirrors.size() == kMaxMirrors) {
            LogEvent("manifest mirrors beyond the first " + std::to_string(kMaxMirrors) +
                     " ignored");
            break;
        }
        mirrors.push_back(value.is_string() ? value.get<std::string>() : std::string());
    }
    return mirrors;
}

std::optional<std::uint64_t> SizeOf(const PublishedSizes& sizes, std::string_view relativePath) {
    auto found = sizes.find(relativePath);
    if (found == sizes.end())
        return std::nullopt;
    return found->second;
}

// One spelling per file: a separator's form or a leading slash never tells targets apart, and on
// Windows letter case does not either (folded for ASCII, which is what manifests use).
std::filesystem::path::string_type TargetKey(qs::NativeView target) {
    std::filesystem::path::string_type key(target);
#ifdef _WIN32
    for (auto& c : key)
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
#endif
    return key;
}

bool SameTarget(const std::filesystem::path& a, const std::filesystem::path& b) {
    return TargetKey(a.native()) == TargetKey(b.native());
}

bool SameDigestText(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

// A target no manifest entry may have: the update lock's file, which a placed file would replace
// while a run holds it.
constexpr std::size_t kReservedTarget = std::numeric_limits<std::size_t>::max();

// Resolved targets already planned, by their key beneath the client folder. Only a hash of each
// key is kept (the candidate holds the text), so a large client's keys are not copied again.
class PlannedTargets {
public:
    using Key = std::filesystem::path::string_type;
    PlannedTargets(const std::vector<PlanCandidate>& candidates, std::size_t files, Key reserved)
        : candidates_(candidates), reserved_(std::move(reserved)) {
        byHash_.reserve(files);
    }
    // The candidate that already holds `key` (kReservedTarget for the reserved one); otherwise
    // none, and `index` holds it from now on.
    std::optional<std::size_t> plan(const Key& key, std::size_t index) {
        if (key == reserved_)
            return kReservedTarget;
        const std::size_t hash = std::hash<Key>{}(key);
        const auto [first, last] = byHash_.equal_range(hash);
        for (auto held = first; held != last; ++held)
            if (TargetKey(TargetOf(candidates_[held->second])) == key)
                return held->second;
        byHash_.emplace(hash, index);
        return std::nullopt;
    }

private:
    const std::vector<PlanCandidate>& candidates_;
    Key reserved_;
    std::unordered_multimap<std::size_t, std::size_t> byHash_;
};

// Adds the manifest entry `relativePath` unless its target is already planned: with the same
// digest it is the same file, with another the manifest contradicts itself and is refused before
// anything is fetched (two transfers would write one download).
void AddCandidate(std::vector<PlanCandidate>& candidates, PlannedTargets& targets,
                  const std::filesystem::path& base, std::string_view relativePath,
                  std::string_view checksum) {
    const std::filesystem::path target = ResolveManifestPathUnder(base, relativePath);
    const qs::NativeView beneath = qs::NativeView(target.native()).substr(base.native().size() + 1);
    if (const auto planned = targets.plan(TargetKey(beneath), candidates.size())) {
        if (*planned == kReservedTarget)
            throw std::runtime_error("Manifest contains an unsafe path");
        if (SameDigestText(candidates[*planned].checksum, checksum))
            return;
        throw FileFailure("Malformed update manifest: two digests for " +
                          PathForMessage(relativePath));
    }
    PlanCandidate candidate;
    candidate.relativePath = relativePath;
#ifndef _WIN32
    if (beneath != relativePath)
#endif
        candidate.target = beneath;
    candidate.checksum = checksum;
    candidates.push_back(std::move(candidate));
}

// The manifest's "binary" member, when it is an object: the client executable and its digest.
struct BinaryEntry {
    std::string relativePath;
    std::string checksum;
};
std::optional<BinaryEntry> ReadBinaryEntry(const nlohmann::json& manifest) {
    auto binary = manifest.find("binary");
    if (binary == manifest.end() || !binary->is_object())
        return std::nullopt;
    auto file = binary->find("file");
    if (file == binary->end())
        MalformedBinary();
    auto checksum = binary->find("checksum");
    if (checksum == binary->end())
        MalformedBinary();
    if (!file->is_string() || !checksum->is_string())
        MalformedBinary();
    std::string relativePath = TrimLeadingSlash(file->get_ref<const std::string&>());
    if (relativePath != WideToUtf8(ClientExecutableName))
        throw std::runtime_error("Unexpected executable in manifest");
    return BinaryEntry{std::move(relativePath), checksum->get_ref<const std::string&>()};
}

// One planned file's transfer: written by the worker that fetches it, read by the run's thread.
struct Transfer {
    std::atomic<std::uint64_t> size{0};  // the whole file, once known; 0 until then
    std::atomic<std::uint64_t> onDisk{0};
    std::atomic<std::uint64_t> reused{0};    // of onDisk, bytes from the old copy
    std::atomic<bool> wholeAfterAll{false};  // its old copy could not be used after all
    std::atomic<int> retryAttempt{0};        // 0 while bytes flow
    std::atomic<int> retryAttempts{0};
    std::atomic<int> retries{0};  // counts up at every retry, so none goes unreported
    // Guarded by the pool's mutex.
    bool finished = false;
    std::optional<FileState> verified;
    std::exception_ptr failure;
    // Set by the worker before it hands `verified` over under the mutex.
    std::optional<ChunkIndex> chunks;
};

// The transfers of one run, each made when its file is claimed and dropped once it is placed: a
// plan of a hundred thousand files holds only the few under way, not a transfer each.
class TransferTable {
public:
    explicit TransferTable(std::size_t files) : slots_(files) {}
    ~TransferTable() {
        for (std::atomic<Transfer*>& slot : slots_)
            delete slot.load();
    }
    TransferTable(const TransferTable&) = delete;
    TransferTable& operator=(const TransferTable&) = delete;

    std::size_t size() const { return slots_.size(); }
    // The transfer at `index`, or one with nothing done yet while it is not under way.
    const Transfer& view(std::size_t index) const {
        static const Transfer idle;
        const Transfer* transfer = slots_[index].load();
        return transfer ? *transfer : idle;
    }
    // Only once started and before it is dropped.
    Transfer& at(std::size_t index) { return *slots_[index].load(); }
    bool started(std::size_t index) const { return slots_[index].load() != nullptr; }
    Transfer& start(std::size_t index) {
        slots_[index].store(new Transfer);
        return at(index);
    }
    // Only by the run's thread, once no worker uses it any more.
    void drop(std::size_t index) { delete slots_[index].exchange(nullptr); }

private:
    std::vector<std::atomic<Transfer*>> slots_;
};

// One planned file as a run reads it: views into its plan's texts.
struct PlannedFile {
    std::string_view relativePath;
    std::string_view checksum;
    std::optional<std::uint64_t> size;  // from the manifest's optional "sizes"
    bool chunked = false;
    std::string_view blocks;
};

// The files a run fetches, in order, their texts in one buffer sized once: a plan of a hundred
// thousand files costs no allocation each and about a third of separate texts.
class RunPlan {
public:
    void reserve(std::size_t files, std::size_t textBytes) {
        entries_.reserve(files);
        texts_.reserve(textBytes);
    }
    void add(const PlannedFile& file) {
        Entry entry;
        entry.at = texts_.size();
        entry.pathSize = static_cast<std::uint32_t>(file.relativePath.size());
        entry.checksumSize = static_cast<std::uint32_t>(file.checksum.size());
        entry.blocksSize = static_cast<std::uint32_t>(file.blocks.size());
        entry.size = file.size.value_or(0);
        entry.hasSize = file.size.has_value();
        entry.chunked = file.chunked;
        texts_.append(file.relativePath).append(file.checksum).append(file.blocks);
        entries_.push_back(entry);
    }
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    PlannedFile operator[](std::size_t index) const {
        const Entry& entry = entries_[index];
        const std::string_view texts = std::string_view(texts_).substr(entry.at);
        PlannedFile file;
        file.relativePath = texts.substr(0, entry.pathSize);
        file.checksum = texts.substr(entry.pathSize, entry.checksumSize);
        file.blocks = texts.substr(entry.pathSize + entry.checksumSize, entry.blocksSize);
        if (entry.hasSize)
            file.size = entry.size;
        file.chunked = entry.chunked;
        return file;
    }

private:
    // The texts of one file follow each other: path, digest, block index digest.
    struct Entry {
        std::size_t at = 0;
        std::uint32_t pathSize = 0;
        std::uint32_t checksumSize = 0;
        std::uint32_t blocksSize = 0;
        bool hasSize = false;
        bool chunked = false;
        std::uint64_t size = 0;
    };
    std::string texts_;
    std::vector<Entry> entries_;
};

// The reports of one run, all made on the run's thread: a file's turn and the end always, the
// bytes summed over every transfer in between at most ten times a second, so a fast transfer does
// not spend its time on the sink and its lock.
class RunProgress {
public:
    RunProgress(const UpdateProgressCallback& sink, const RunPlan& plan)
        : sink_(sink), plan_(plan), count_(static_cast<std::int32_t>(plan.size())) {
        totalKnown_ = true;
        for (std::size_t i = 0; i < plan.size(); ++i) {
            const PlannedFile entry = plan[i];
            totalKnown_ = totalKnown_ && entry.size.has_value();
            total_ += entry.size.value_or(0);
        }
    }

    // The file at `index` is the one the run waits for now.
    void turn(std::int32_t index, const TransferTable& transfers, std::uint64_t fetched) {
        index_ = index;
        reportedRetries_ = 0;
        report(true, transfers, fetched);
    }
    void tick(const TransferTable& transfers, std::uint64_t fetched) {
        report(false, transfers, fetched);
    }
    // The file at the current index was placed; its bytes count as done from now on.
    void placed(const Transfer& transfer) {
        const PlannedFile entry = plan_[static_cast<std::size_t>(index_)];
        placedBytes_ += entry.size.value_or(transfer.onDisk.load());
        placedReused_ += transfer.reused.load();
    }
    void finish(std::wstring message, std::uint64_t fetched) {
        index_ = count_;
        finalMessage_ = std::move(message);
        report(true, TransferTable(0), fetched);
    }

private:
    void report(bool always, const TransferTable& transfers, std::uint64_t fetched) {
        const auto now = std::chrono::steady_clock::now();
        int retries = 0;
        if (index_ < count_)
            retries = transfers.view(static_cast<std::size_t>(index_)).retries.load();
        const bool newRetry = retries != reportedRetries_;
        if (!always && !newRetry && now - lastReport_ < std::chrono::milliseconds(100))
            return;
        reportedRetries_ = retries;
        lastReport_ = now;
        qs::UpdateProgress progress;
        progress.fileIndex = index_;
        progress.fileCount = count_;
        progress.amountFetched = fetched;
        progress.amountTotal = totalKnown_ ? total_ : 0;
        progress.amountDone = placedBytes_;
        progress.amountReused = placedReused_;
        for (std::size_t i = static_cast<std::size_t>(index_); i < transfers.size(); ++i) {
            const Transfer& transfer = transfers.view(i);
            progress.amountDone += transfer.onDisk.load();
            progress.amountReused += transfer.reused.load();
        }
        if (index_ >= count_) {
            progress.message = finalMessage_;
            progress.fraction = count_ > 0 ? 1.0 : 0.0;
            sink_(progress);
            return;
        }
        const Transfer& current = transfers.view(static_cast<std::size_t>(index_));
        const int attempt =
            newRetry ? std::max(current.retryAttempt.load(), 2) : current.retryAttempt.load();
        progress.message =
            attempt > 0 ? L"Retrying (" + std::to_wstring(attempt) + L" of " +
                              std::to_wstring(current.retryAttempts.load()) + L")\u2026"
                        : L"Downloading " +
                              Utf8ToWide(plan_[static_cast<std::size_t>(index_)].relativePath) +
                              (current.wholeAfterAll ? L" (whole file)" : L"");
        if (totalKnown_ && total_ > 0) {
            progress.fraction = std::min(1.0, static_cast<double>(progress.amountDone) / total_);
        } else {
            const std::uint64_t size = current.size.load();
            const double inFile =
                size > 0 ? std::min(1.0, static_cast<double>(current.onDisk.load()) / size) : 0.0;
            progress.fraction = (index_ + inFile) / count_;
        }
        sink_(progress);
    }

    const UpdateProgressCallback& sink_;
    const RunPlan& plan_;
    std::int32_t count_;
    std::int32_t index_ = 0;
    bool totalKnown_ = false;
    std::uint64_t total_ = 0;
    std::uint64_t placedBytes_ = 0;
    std::uint64_t placedReused_ = 0;
    int reportedRetries_ = 0;
    std::wstring finalMessage_;
    std::chrono::steady_clock::time_point lastReport_;
};

bool IsSmallFile(const PlannedFile& entry) {
    return entry.size && *entry.size < kSmallFileBytes;
}

// Transfers a run keeps under way at most: more once small files are planned, whose cost is
// their round trip.
std::size_t TransferThreads(const RunPlan& plan, const UpdateEnvironment& environment) {
    int threads = std::max(1, environment.transfers);
    for (std::size_t i = 0; i < plan.size(); ++i) {
        if (IsSmallFile(plan[i])) {
            threads = std::max(threads, environment.smallFileTransfers);
            break;
        }
    }
    return std::min<std::size_t>(static_cast<std::size_t>(threads), plan.size());
}

// Threads that wait for downloads to reach the disk. Where a whole volume can be flushed at
// once, each takes the downloads waiting, so many small files pay for one flush together.
constexpr std::size_t kFlushingThreads = 4;
// Downloads one flush covers at most. Each stays open until its volume's flush returned, so the
// flushing threads together hold at most 512 descriptors: a queue that grew while the disk was
// slow must not run into the usual limit of 1024 and fail files as unwritable.
constexpr std::size_t kMaxFlushBatch = 128;

// Fetches the planned files on several threads, each with its own kept connection, in plan order
// of starting: many small files at once, and never more than `transfers` others. The run's
// thread places them in plan order as they become ready. A file is ready once its bytes are on
// the disk: that wait is left to a few flushing threads, so a connection goes straight on to its
// next file and the flushes overlap each other. A stop (the player's cancel, or a failure the
// run ends on) gives up every transfer under way within about a second; their parts stay for the
// next run.
class ConcurrentFetch {
public:
    ConcurrentFetch(const RunPlan& plan, const std::filesystem::path& base,
                    const UpdateEnvironment& environment, HttpsConnection& runConnection,
                    HttpsConnectionPool& pool, FileSources& sources)
        : plan_(plan),
          base_(base),
          environment_(environment),
          sources_(sources),
          transfers_(plan.size()),
          largeLimit_(static_cast<std::size_t>(std::max(1, environment.transfers))) {
        environment_.cancel = &stop_;
        const std::size_t workers = TransferThreads(plan, environment);
        runConnection.setCancel(&stop_);
        // Started first, so every worker sees the whole set; without any, or without workers
        // (the run's thread fetching inline), each file is flushed where it was fetched.
        try {
            for (std::size_t i = 0; i < std::min(workers, kFlushingThreads); ++i)
                flushers_.emplace_back([this] { flushQueued(); });
        } catch (...) {
        }
        try {
            for (std::size_t i = 0; i < workers; ++i) {
                HttpsConnection& connection = i == 0 ? runConnection : connections_.emplace_back();
                if (i > 0)
                    connection.joinPool(pool);
                connection.setCancel(&stop_);
                threads_.emplace_back([this, &connection] { work(connection); });
            }
        } catch (...) {
            // Fewer workers (or none: the run's thread then fetches each file in its turn).
        }
        // Written only when no worker exists to read it. The run's thread then fetches inside
        // waitFor and cannot turn the player's cancel into a stop, so the fetch listens to the
        // cancel itself.
        if (threads_.empty()) {
            inline_ = true;
            inlineConnection_ = &runConnection;
            if (environment.cancel) {
                environment_.cancel = environment.cancel;
                runConnection.setCancel(environment.cancel);
            }
        }
    }
    ~ConcurrentFetch() {
        stop();
        for (std::thread& thread : threads_)
            thread.join();
        for (std::thread& thread : flushers_)
            thread.join();
    }
    ConcurrentFetch(const ConcurrentFetch&) = delete;
    ConcurrentFetch& operator=(const ConcurrentFetch&) = delete;

    // Waits up to `wait` for the transfer at `index` to end; true once it has.
    bool waitFor(std::size_t index, std::chrono::milliseconds wait) {
        if (inline_) {
            transfers_.start(index);
            fetch(index, *inlineConnection_);
            return true;
        }
        std::unique_lock lock(mutex_);
        return done_.wait_for(
            lock, wait, [&] { return transfers_.started(index) && transfers_.at(index).finished; });
    }

    void stop() {
        {
            std::lock_guard lock(mutex_);
            stop_.store(true);
        }
        toFlush_.notify_all();
        largeSlot_.notify_all();
    }
    TransferTable& transfers() { return transfers_; }
    std::uint64_t fetched() const { return fetched_.load(); }

private:
    void work(HttpsConnection& connection) {
        for (;;) {
            if (environment_.beforeNextFile)
                environment_.beforeNextFile();
            const std::optional<std::size_t> index = claimNext();
            if (!index)
                return;
            fetch(*index, connection);
        }
    }

    // The next file to fetch, or nullopt when there is none or the run stopped. Under the lock
    // stop() takes, so a file once claimed is always fetched and finished, and one never claimed
    // is never waited for. A file not known to be small waits for a free large transfer.
    std::optional<std::size_t> claimNext() {
        std::unique_lock lock(mutex_);
        largeSlot_.wait(lock, [this] {
            return stop_.load() || next_ >= plan_.size() || IsSmallFile(plan_[next_]) ||
                   largeInFlight_ < largeLimit_;
        });
        if (stop_.load() || next_ >= plan_.size())
            return std::nullopt;
        if (!IsSmallFile(plan_[next_]))
            ++largeInFlight_;
        transfers_.start(next_);
        return next_++;
    }

    // The network part of a large file's transfer ended.
    void releaseLarge(std::size_t index) {
        if (IsSmallFile(plan_[index]) || inline_)
            return;
        {
            std::lock_guard lock(mutex_);
            --largeInFlight_;
        }
        largeSlot_.notify_all();
    }

    void fetch(std::size_t index, HttpsConnection& connection) {
        Transfer& transfer = transfers_.at(index);
        const PlannedFile entry = plan_[index];
        if (entry.size)
            transfer.size = *entry.size;
        FetchObserver observer;
        observer.sizeKnown = [&transfer](std::uint64_t size, std::uint64_t onDisk) {
            transfer.size = size;
            transfer.onDisk = onDisk;
            transfer.reused = 0;
        };
        observer.received = [this, &transfer](std::uint64_t bytes) {
            transfer.onDisk += bytes;
            transfer.retryAttempt = 0;
            fetched_ += bytes;
        };
        observer.retrying = [&transfer](int attempt, int attempts) {
            transfer.retryAttempts = attempts;
            transfer.retryAttempt = attempt;
            ++transfer.retries;
        };
        observer.reused = [&transfer](std::uint64_t bytes) {
            transfer.onDisk += bytes;
            transfer.reused += bytes;
        };
        observer.fetchedAside = [this](std::uint64_t bytes) { fetched_ += bytes; };
        observer.wholeInstead = [&transfer] { transfer.wholeAfterAll = true; };
        observer.chunksKnown = [&transfer](const ChunkIndex& chunks) { transfer.chunks = chunks; };
        std::optional<FileState> verified;
        std::exception_ptr failure;
        try {
            verified = FetchVerified(targetOf(index), entry.relativePath, entry.checksum,
                                     environment_, connection, observer, entry.size, entry.chunked,
                                     entry.blocks, &sources_);
        } catch (...) {
            failure = std::current_exception();
        }
        releaseLarge(index);
        bool stopped = false;
        {
            std::lock_guard lock(mutex_);
            transfer.verified = verified;
            stopped = stop_.load();
            if (verified && !inline_ && !flushers_.empty() && !stopped) {
                flushQueue_.push_back(index);
                toFlush_.notify_one();
                return;
            }
        }
        if (verified && !stopped)
            flush(index);
        else
            finish(transfer, verified ? Stopped() : failure);
    }

    std::filesystem::path targetOf(std::size_t index) const {
        return ResolveManifestPathUnder(base_, plan_[index].relativePath);
    }

    void flushQueued() {
        for (;;) {
            std::vector<std::size_t> batch;
            bool stopped = false;
            {
                std::unique_lock lock(mutex_);
                toFlush_.wait(lock, [&] { return stop_.load() || !flushQueue_.empty(); });
                if (flushQueue_.empty())
                    return;
                const std::size_t take =
                    VolumeSyncAvailable() ? std::min(flushQueue_.size(), kMaxFlushBatch) : 1;
                batch.assign(flushQueue_.begin(), flushQueue_.begin() + take);
                flushQueue_.erase(flushQueue_.begin(), flushQueue_.begin() + take);
                stopped = stop_.load();
            }
            if (environment_.beforeFlush)
                environment_.beforeFlush();
            if (stopped) {
                for (std::size_t index : batch)
                    finish(transfers_.at(index), Stopped());
            } else if (batch.size() == 1) {
                flush(batch.front());  // one file's own flush costs less than its volume's
            } else {
                flushTogether(batch);
            }
        }
    }

    void flushTogether(const std::vector<std::size_t>& batch) {
        std::vector<ProvenDownload> downloads;
        std::vector<std::exception_ptr> failures;
        try {
            for (std::size_t index : batch)
                downloads.push_back({targetOf(index), *transfers_.at(index).verified});
            failures = FlushVerifiedTogether(downloads);
        } catch (...) {
            failures.assign(batch.size(), std::current_exception());
        }
        for (std::size_t i = 0; i < batch.size(); ++i)
            finish(transfers_.at(batch[i]), failures[i]);
    }

    // A stopped run places nothing more, so a flush it would wait for is skipped: the part
    // stays, and the next run proves it again before it is placed.
    static std::exception_ptr Stopped() { return std::make_exception_ptr(UpdateCancelled()); }

    void flush(std::size_t index) {
        std::exception_ptr failure;
        try {
            FlushVerified(targetOf(index), *transfers_.at(index).verified);
        } catch (...) {
            failure = std::current_exception();
        }
        finish(transfers_.at(index), failure);
    }

    void finish(Transfer& transfer, std::exception_ptr failure) {
        {
            std::lock_guard lock(mutex_);
            if (failure)
                transfer.verified.reset();
            transfer.failure = failure;
            transfer.finished = true;
        }
        done_.notify_all();
    }

    const RunPlan& plan_;
    const std::filesystem::path& base_;
    UpdateEnvironment environment_;
    FileSources& sources_;
    TransferTable transfers_;
    std::deque<HttpsConnection> connections_;  // the workers' own, besides the run's
    std::atomic<bool> stop_{false};
    std::size_t next_ = 0;  // guarded by mutex_
    std::atomic<std::uint64_t> fetched_{0};
    std::mutex mutex_;
    std::condition_variable done_;
    std::condition_variable toFlush_;
    std::deque<std::size_t> flushQueue_;  // proven files whose bytes may not be on the disk yet
    std::vector<std::thread> threads_;
    std::vector<std::thread> flushers_;
    std::condition_variable largeSlot_;
    const std::size_t largeLimit_;
    std::size_t largeInFlight_ = 0;  // guarded by mutex_
    bool inline_ = false;
    HttpsConnection* inlineConnection_ = nullptr;
};

// The folders a run placed files in, with every folder between them and the client folder: a
// folder the run created is itself a new entry of its parent. All are flushed before the
// executable is placed and whichever way the run ends, so no later run's files can reach the
// disk before this run's renames.
class FolderFlushes {
public:
    FolderFlushes(const std::filesystem::path& clientDir, const UpdateEnvironment& environment)
        : clientDir_(clientDir), sync_(environment.syncFolder) {}
    // A run that failed or was cancelled: its own failure is the one said.
    ~FolderFlushes() { flush(); }
    FolderFlushes(const FolderFlushes&) = delete;
    FolderFlushes& operator=(const FolderFlushes&) = delete;

    void placed(const std::filesystem::path& file) {
        const std::filesystem::path below = file.parent_path().lexically_relative(clientDir_);
        if (below.empty() || *below.begin() == "..") {
            unflushed_.insert(file.parent_path());
            return;
        }
        std::filesystem::path folder = clientDir_;
        unflushed_.insert(folder);
        for (const std::filesystem::path& part : below) {
            if (part == ".")
                continue;
            folder /= part;
            unflushed_.insert(folder);
        }
    }

    // False when the disk did not confirm a folder; that one is kept, to be flushed again.
    bool flush() noexcept {
        bool confirmed = true;
        for (auto folder = unflushed_.begin(); folder != unflushed_.end();) {
            int error = 0;
            try {
                error = sync_ ? sync_(*folder) : SyncFolder(*folder);
            } catch (...) {
                error = -1;
            }
            if (error == 0) {
                folder = unflushed_.erase(folder);
            } else {
                confirmed = false;
                ++folder;
            }
        }
        return confirmed;
    }

private:
    const std::filesystem::path& clientDir_;
    UpdateEnvironment::FolderSync sync_;
    std::set<std::filesystem::path> unflushed_;
};

std::string_view AsText(const std::vector<std::uint8_t>& bytes) {
    return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// The service's signature file, or nullopt when it has none (a 404, or a body no signature file
// could have); a request the network failed (a 5xx, a dropped connection) throws its own failure,
// as for the manifest itself.
std::optional<std::string> FetchManifestSignature(const UpdateEnvironment& environment,
                                                  HttpsConnection& connection) {
    try {
        const std::vector<std::uint8_t> signature =
            HttpsRequest(ServiceUrl(environment.service, "/updater/updater.sig"), L"GET",
                         std::string(), environment.service, connection, kSignatureMaxBytes);
        return std::string(AsText(signature));
    } catch (const HttpsStatusError&) {
        return std::nullopt;
    } catch (const HttpsBodyError&) {
        return std::nullopt;
    }
}

// The signature text as kept beside the manifest: without the blanks and line ends around it.
std::string TrimmedSignature(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
        return {};
    return std::string(text.substr(first, text.find_last_not_of(" \t\r\n") + 1 - first));
}

// The signed serial and expiry, and the clock they were judged by.
std::string ManifestFreshnessLogLine(const ManifestFreshness& freshness, std::int64_t now) {
    using std::chrono::seconds;
    using std::chrono::system_clock;
    return "manifest serial " + std::to_string(freshness.serial) + ", expires " +
           LogTimeText(system_clock::time_point(seconds(freshness.expires))) +
           (now >= freshness.expires ? ": expired" : ": current") + " by the local clock " +
           LogTimeText(system_clock::time_point(seconds(now)));
}

// A signed manifest is followed only when it is not older than one already accepted and not past
// its expiry, whether it just came or was kept.
void AcceptSignedFreshness(std::string_view manifest, const UpdateEnvironment& environment,
                           const HttpsConnection& connection) {
    const std::optional<ManifestFreshness> freshness = ReadManifestFreshness(manifest);
    if (!freshness)
        throw std::runtime_error(kManifestSignatureInvalid);
    const std::int64_t now = environment.unixNow ? environment.unixNow() : UnixSecondsNow();
    LogEvent(ManifestFreshnessLogLine(*freshness, now));
    if (now >= freshness->expires)
        throw std::runtime_error(
            ManifestExpiredText(now, freshness->expires, connection.serverTime()));
    AcceptManifestFreshness(*freshness, now, environment.serialRecord);
}

// The kept copy, when there is one to ask with.
std::optional<qs::KeptManifestRead> KeptCopy(const UpdateEnvironment& environment) {
    qs::KeptManifestRead read = qs::LoadKeptManifest(environment.keptManifest);
    if (read.state == qs::KeptManifestState::Damaged) {
        LogEvent("kept manifest is damaged: asking for the whole manifest");
        qs::ForgetKeptManifest(environment.keptManifest);
    }
    if (read.state != qs::KeptManifestState::Loaded || read.kept.validator.empty())
        return std::nullopt;
    return read;
}

std::string ManifestDigest(std::string_view body) {
    Sha256Stream digest;
    digest.update(body.data(), body.size());
    return WideToUtf8(digest.finish());
}

// After a manifest that came whole was accepted: kept for the next run when its reply had a
// validator (rewritten only when something changed, so an old service that ignores the validator
// costs no disk flush); a reply without one leaves nothing to ask with. The digest of the copy
// kept; empty when none is.
std::string KeepAcceptedManifest(const UpdateEnvironment& environment,
                                 const qs::KeptManifestRead* before, std::string_view body,
                                 std::string_view signature, const ReplyValidator& validator) {
    if (environment.keptManifest.empty())
        return {};
    if (validator.empty()) {
        if (before)
            qs::ForgetKeptManifest(environment.keptManifest);
        return {};
    }
    if (before && before->kept.body == body && before->kept.signature == signature &&
        before->kept.validator == validator)
        return before->bodyDigest;
    if (!qs::SaveKeptManifest(environment.keptManifest, body, signature, validator)) {
        LogEvent("manifest could not be kept: the next run asks for it whole");
        qs::ForgetKeptManifest(environment.keptManifest);
        return {};
    }
    return ManifestDigest(body);
}

// The manifest a run follows: the reply's body, or on a 304 the kept copy's.
struct AcceptedManifest {
    std::vector<std::uint8_t> reply;
    std::string keptBody;
    bool unchanged = false;  // the service said the kept copy is current
    // The SHA-256 of the manifest kept for the next run, in hex; empty when none is kept.
    std::string digest;

    std::string_view text() const { return unchanged ? std::string_view(keptBody) : AsText(reply); }
    // Once it is parsed or not needed: a large client's manifest is not held while it is planned.
    void release() {
        std::vector<std::uint8_t>().swap(reply);
        std::string().swap(keptBody);
    }
};

// The manifest reply. With a key built in it is taken only with a valid signature over its exact
// bytes, then only when it is not older than one already accepted and not past its expiry; all
// before anything is planned or fetched. A cache may hand out a manifest and a signature of two
// publishes for a while, so a mismatch fetches both once more before the run fails.
// With a kept copy the manifest is asked for only if it changed; a 304 takes the kept copy
// through the same signature and freshness checks (its signature as kept: no request for it),
// and a kept copy that fails its signature is dropped for the manifest asked for whole.
AcceptedManifest FetchSignedManifest(const ManifestRequest& fetchManifest,
                                     const UpdateEnvironment& environment,
                                     HttpsConnection& connection) {
    const bool signedUpdates = !environment.service.updateKey.empty();
    std::optional<qs::KeptManifestRead> kept = KeptCopy(environment);
    ConditionalReply reply = fetchManifest(kept ? kept->kept.validator : ReplyValidator());
    if (reply.notModified && !kept)
        throw HttpsStatusError("Update server returned an error", 304);
    if (reply.notModified) {
        if (!signedUpdates ||
            SignatureValid(environment.service.updateKey, kept->kept.body, kept->kept.signature)) {
            LogEvent("manifest unchanged: the kept copy is used");
            if (signedUpdates)
                AcceptSignedFreshness(kept->kept.body, environment, connection);
            AcceptedManifest accepted;
            accepted.keptBody = std::move(kept->kept.body);
            accepted.unchanged = true;
            accepted.digest = std::move(kept->bodyDigest);
            return accepted;
        }
        LogEvent("kept manifest signature is invalid: asking for the whole manifest");
        qs::ForgetKeptManifest(environment.keptManifest);
        kept.reset();
        reply = fetchManifest(ReplyValidator());
    }
    std::string signature;
    if (signedUpdates) {
        std::optional<std::string> fetched = FetchManifestSignature(environment, connection);
        if (!fetched ||
            !SignatureValid(environment.service.updateKey, AsText(reply.body), *fetched)) {
            LogEvent(
                "manifest signature does not match: fetching the manifest and signature again");
            reply = fetchManifest(ReplyValidator());
            fetched = FetchManifestSignature(environment, connection);
            if (!fetched ||
                !SignatureValid(environment.service.updateKey, AsText(reply.body), *fetched))
                throw std::runtime_error(kManifestSignatureInvalid);
        }
        LogEvent("manifest signature valid");
        AcceptSignedFreshness(AsText(reply.body), environment, connection);
        signature = TrimmedSignature(*fetched);
    }
    AcceptedManifest accepted;
    accepted.digest = KeepAcceptedManifest(environment, kept ? &*kept : nullptr, AsText(reply.body),
                                           signature, reply.validator);
    accepted.reply = std::move(reply.body);
    return accepted;
}

// Before a run places its first file: the client stops counting as whole until the run ends
// ready. A mark that cannot be removed ends the run with nothing placed.
void ForgetClientWasWhole(const UpdateEnvironment& environment, bool marked) {
    if (marked && !ClearClientWhole(environment.wholeMark))
        throw std::runtime_error("Could not write to the launcher's data folder");
}

// When the manifest gives every planned size: the bytes still to write, leftovers counted.
std::optional<std::uint64_t> BytesStillNeeded(const std::filesystem::path& clientDir,
                                              const RunPlan& plan) {
    std::uint64_t needed = 0;
    for (std::size_t i = 0; i < plan.size(); ++i) {
        const PlannedFile entry = plan[i];
        if (!entry.size)
            return std::nullopt;
        std::uint64_t partial = 0;
        if (auto leftover = RegularFileState(
                DownloadFilePath(ResolveManifestPath(clientDir, entry.relativePath))))
            partial = std::min(leftover->size, *entry.size);
        needed += *entry.size - partial;
    }
    return needed;
}

// What a stored failure says, for the log.
std::string FailureText(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "unknown failure";
    }
}

// The plan as the log keeps it: the files to fetch, their published bytes and what is still to
// come of them (leftovers counted).
std::string PlanLogLine(const RunPlan& plan, std::optional<std::uint64_t> stillNeeded) {
    std::uint64_t published = 0;
    for (std::size_t i = 0; i < plan.size(); ++i)
        published += plan[i].size.value_or(0);
    return "plan: " + std::to_string(plan.size()) + " files to fetch, " +
           std::to_string(published) + " bytes published, " +
           (stillNeeded ? std::to_string(*stillNeeded) : std::string("unknown")) +
           " bytes still to download";
}

// Decodes one UTF-8 sequence starting at `text[at]`; its length, or 0 when it is ill-formed.
std::size_t WellFormedSequenceLength(std::string_view text, std::size_t at) {
    auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (at + length > text.size())
        return 0;
    try {
        Utf8ToWide(text.substr(at, length));
    } catch (const std::exception&) {
        return 0;
    }
    return length;
}

}  // namespace

std::wstring FailureMessage(std::string_view text) {
    std::wstring message;
    try {
        message = Utf8ToWide(text);
    } catch (const std::exception&) {
        // A parse error can quote reply bytes and a file-system error a path: keep what is
        // readable rather than losing the whole text.
        for (std::size_t at = 0; at < text.size();) {
            std::size_t length = WellFormedSequenceLength(text, at);
            if (length == 0) {
                message.push_back(L'\uFFFD');
                ++at;
            } else {
                message += Utf8ToWide(text.substr(at, length));
                at += length;
            }
        }
    }
    if (message.empty())
        message = L"Update failed";
    return message;
}

std::string UpdateRequestBody() {
    nlohmann::json body = {{"args", nlohmann::json::object()},
                           {"build", ""},
                           {"os", "windows"},
                           {"platform", "WIN32-WGL"},
                           {"version", 1352}};
    return body.dump();
}

namespace {

// A stale download's name: ".download" after at least one other character, as a path's extension
// reads it (a name that is only ".download" has none).
bool IsDownloadName(qs::NativeView name) {
    constexpr std::filesystem::path::value_type kSuffix[] = {'.', 'd', 'o', 'w', 'n',
                                                             'l', 'o', 'a', 'd', 0};
    const qs::NativeView suffix(kSuffix);
    return name.size() > suffix.size() && name.ends_with(suffix);
}

// Removes the stale downloads in `folder` and every folder beneath it (never through a link);
// false once a folder could not be listed, which ends the purge.
bool PurgeBeneath(const qs::FolderHandle& folder, std::int64_t cutoffNs) {
    std::vector<qs::ListedName> names;
    if (!folder.list(names))
        return false;
    for (const qs::ListedName& listed : names) {
        if (listed.kind == qs::EntryKind::Folder) {
            qs::FolderHandle child;
            if (child.openChild(folder, listed.name.c_str()) && !PurgeBeneath(child, cutoffNs))
                return false;
            continue;
        }
        if (listed.kind != qs::EntryKind::RegularFile || !IsDownloadName(listed.name))
            continue;
        // Looked at again by its name: the listing's word is not enough to remove it.
        const qs::FolderEntry entry = folder.look(listed.name.c_str());
        if (entry.kind == qs::EntryKind::RegularFile && entry.stamp.modifiedNs <= cutoffNs)
            folder.removeFile(listed.name.c_str());
    }
    return true;
}

}  // namespace

void PurgeStaleDownloads(const std::filesystem::path& clientDir,
                         std::filesystem::file_time_type now) {
    // Walked through folder handles like the check, a name at a time: a client of a hundred
    // thousand files costs no path object for each. Compared as "written at or before the
    // cut-off", in the nanoseconds file stamps use.
    try {
        const auto cutoff =
            std::chrono::file_clock::to_sys(now - std::chrono::seconds(kStaleDownloadSeconds));
        const std::int64_t cutoffNs =
            std::chrono::duration_cast<std::chrono::nanoseconds>(cutoff.time_since_epoch()).count();
        qs::FolderHandle root;
        if (root.open(clientDir))
            PurgeBeneath(root, cutoffNs);
    } catch (...) {
        // The purge is housekeeping: whatever stops it leaves the downloads for the next run.
    }
}

namespace {

// The members of the manifest's "files" as the parser met them, their texts in one buffer: a
// hundred thousand of them cost no allocation each. A manifest's size fits the offsets. Each text
// is followed by a NUL, so a path's last name can go to the system as it stands.
struct ManifestFiles {
    struct Text {
        std::uint32_t at = 0;
        std::uint32_t size = 0;
    };
    struct Member {
        Text key;
        Text checksum;  // when the value is text
        bool isText = false;
    };
    std::string texts;
    std::vector<Member> members;

    Text add(std::string_view text) {
        const Text added{static_cast<std::uint32_t>(texts.size()),
                         static_cast<std::uint32_t>(text.size())};
        texts.append(text).push_back('\0');
        return added;
    }
    std::string_view view(Text text) const {
        return std::string_view(texts).substr(text.at, text.size);
    }
};

// Parses a manifest with the members of its "files" object taken out as the parser meets them:
// a large client's manifest is never built as a tree of a hundred thousand members besides the
// plan's own copy. `files` receives them as the tree would hold them: in key order, the last of
// a key twice standing; the tree keeps an empty "files" object.
nlohmann::json ParseManifest(std::string_view reply, ManifestFiles& files) {
    using Event = nlohmann::json::parse_event_t;
    bool inFiles = false;
    bool filesIsObject = false;
    auto take = [&](int depth, Event event, nlohmann::json& parsed) {
        if (depth == 1 && event == Event::key) {
            inFiles = parsed == "files";
            filesIsObject = false;
            if (inFiles)
                files = {};  // the last "files" stands, as in the tree
            return true;
        }
        if (depth == 1 && event == Event::object_start && inFiles)
            filesIsObject = true;
        if (depth != 2 || !inFiles || !filesIsObject)
            return true;
        if (event == Event::key) {
            files.members.push_back({files.add(parsed.get_ref<const std::string&>()), {}, false});
            return false;  // the member is not built; its value is kept here
        }
        if (event == Event::value && parsed.is_string()) {
            files.members.back().checksum = files.add(parsed.get_ref<const std::string&>());
            files.members.back().isText = true;
        }
        return true;
    };
    nlohmann::json manifest = ParseJsonReply(reply, take, kManifestMaxValues);
    std::vector<ManifestFiles::Member>& members = files.members;
    const auto byKey = [&files](const ManifestFiles::Member& a, const ManifestFiles::Member& b) {
        return files.view(a.key) < files.view(b.key);
    };
    if (!std::is_sorted(members.begin(), members.end(), byKey)) {
        std::stable_sort(members.begin(), members.end(), byKey);
        // Of one key's values the last stands.
        std::vector<ManifestFiles::Member> unique;
        unique.reserve(members.size());
        for (const ManifestFiles::Member& member : members) {
            if (!unique.empty() && files.view(unique.back().key) == files.view(member.key))
                unique.back() = member;
            else
                unique.push_back(member);
        }
        members = std::move(unique);
    }
    return manifest;
}

// What planning found besides the plan.
struct PlanTally {
    std::size_t files = 0;  // of the manifest, each target once
    // The trusted record vouched for every file and holds no other, so `proven` was left empty.
    bool recordStands = false;
};

// The plan of a parsed manifest and its "files", as PlanClientUpdate makes it. The candidates
// point into `manifestFiles` instead of copying it, so it must outlive the plan's making.
RunPlan PlanFromManifest(const std::filesystem::path& clientDir, const nlohmann::json& manifest,
                         const ManifestFiles& manifestFiles, const std::atomic<bool>* cancel,
                         const VerifiedRecord* trusted, VerifiedRecord* proven,
                         PlanTally* tally = nullptr) {
    if (!manifest.is_object())
        MalformedManifest();
    auto files = manifest.find("files");
    if (files == manifest.end() || !files->is_object())
        MalformedManifest();

    // Entries are checked in key order, the executable's entry after them, up to the first that
    // cannot be planned; its failure, naming its path, is raised only after every earlier file's
    // own check.
    std::vector<PlanCandidate> candidates;
    candidates.reserve(manifestFiles.members.size() + 1);
    std::exception_ptr entryFailure;
    std::filesystem::path executable;
    std::filesystem::path base;
    std::string_view entryPath;  // of the entry being read
    std::optional<BinaryEntry> binary;
    try {
        base = ClientBase(clientDir);
        executable = ResolveManifestPathUnder(base, WideToUtf8(ClientExecutableName));
        PlannedTargets targets(
            candidates, manifestFiles.members.size() + 1,
            TargetKey(qs::NativeView(ResolveManifestPathUnder(base, FolderLockFileName()).native())
                          .substr(base.native().size() + 1)));
        for (const ManifestFiles::Member& file : manifestFiles.members) {
            entryPath = WithoutLeadingSlash(manifestFiles.view(file.key));
            if (!file.isText)
                MalformedManifest();
            AddCandidate(candidates, targets, base, entryPath, manifestFiles.view(file.checksum));
        }
        entryPath = {};
        binary = ReadBinaryEntry(manifest);
        if (binary) {
            entryPath = binary->relativePath;
            AddCandidate(candidates, targets, base, binary->relativePath, binary->checksum);
        }
    } catch (...) {
        entryFailure = entryPath.empty() ? std::current_exception()
                                         : NameTheFile(std::current_exception(), entryPath);
    }
    CheckCandidates(candidates, base, cancel, trusted);
    ThrowIfCancelled(cancel);
    // Every file as the trusted record has it, and no other: a copy of it would say nothing new.
    const bool recordStands =
        tally && trusted && !entryFailure && trusted->size() == candidates.size() &&
        std::all_of(candidates.begin(), candidates.end(), [](const PlanCandidate& candidate) {
            return candidate.current && !candidate.hash && !candidate.failure;
        });
    if (tally)
        *tally = {candidates.size(), recordStands};
    if (proven && !recordStands) {
        std::size_t pathBytes = 0;
        for (const PlanCandidate& candidate : candidates)
            pathBytes += candidate.relativePath.size();
        proven->reserve(candidates.size(), pathBytes);
    }

    const PublishedSizes sizes = ReadPublishedSizes(manifest);
    const auto chunked = ReadChunkedPaths(manifest);
    const auto blockIndexes = ReadBlockIndexes(manifest);
    const auto plannedFile = [&](const PlanCandidate& candidate) {
        const auto blocks = blockIndexes.find(candidate.relativePath);
        return PlannedFile{candidate.relativePath, candidate.checksum,
                           SizeOf(sizes, candidate.relativePath),
                           chunked.count(candidate.relativePath) > 0,
                           blocks == blockIndexes.end() ? std::string_view() : blocks->second};
    };
    // Sized once: grown by doubling, a large plan would be held twice while it is copied.
    std::size_t planned = 0;
    std::size_t textBytes = 0;
    for (const PlanCandidate& candidate : candidates) {
        if (!candidate.current && !candidate.failure) {
            const PlannedFile file = plannedFile(candidate);
            ++planned;
            textBytes += file.relativePath.size() + file.checksum.size() + file.blocks.size();
        }
    }
    RunPlan plan;
    plan.reserve(planned, textBytes);
    const PlanCandidate* executableCandidate = nullptr;
    const std::filesystem::path::string_type executableKey =
        executable.empty()
            ? std::filesystem::path::string_type()
            : TargetKey(qs::NativeView(executable.native()).substr(base.native().size() + 1));
    for (PlanCandidate& candidate : candidates) {
        if (candidate.failure)
            std::rethrow_exception(NameTheFile(candidate.failure, candidate.relativePath));
        if (candidate.current && candidate.proven && proven && !recordStands)
            proven->remember(std::string(candidate.relativePath), candidate.checksum,
                             *candidate.proven);
        if (!candidate.current) {
            // Whatever key lists it, the client appears only once every other file is in place.
            if (TargetKey(TargetOf(candidate)) == executableKey)
                executableCandidate = &candidate;
            else
                plan.add(plannedFile(candidate));
        }
    }
    if (entryFailure)
        std::rethrow_exception(entryFailure);
    if (executableCandidate)
        plan.add(plannedFile(*executableCandidate));
    return plan;
}

// True when the record vouches for every file it holds, each looked at by its name in its folder
// as the walk of a plan does: a regular file with the stamp recorded.
bool RecordStillHolds(const std::filesystem::path& clientDir, const VerifiedRecord& record,
                      const std::atomic<bool>* cancel) {
    try {
        const std::filesystem::path base = ClientBase(clientDir);
        qs::FolderHandle root;
        if (!root.open(base))
            return false;
        qs::FolderChain chain(root);
        return record.vouchesForAll([&](std::string_view relativePath) -> std::optional<FileStamp> {
            if (Cancelled(cancel))
                return std::nullopt;
            // Read from the disk like the manifest: a path that would leave the folder is doubt.
            const std::filesystem::path target = ResolveManifestPathUnder(base, relativePath);
            const qs::TargetParts parts =
                qs::SplitTarget(qs::NativeView(target.native()).substr(base.native().size() + 1));
            const qs::FolderHandle* folder =
                parts.name.empty() ? nullptr : chain.reach(parts.folder);
            if (!folder)
                return std::nullopt;
            const qs::FolderEntry entry = folder->look(parts.name.data());
            if (entry.kind != qs::EntryKind::RegularFile)
                return std::nullopt;
            return entry.stamp;
        });
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

std::vector<UpdatePlanEntry> PlanClientUpdate(const std::filesystem::path& clientDir,
                                              std::string_view manifestReply,
                                              const std::atomic<bool>* cancel,
                                              const VerifiedRecord* trusted,
                                              VerifiedRecord* proven) {
    ManifestFiles files;
    const nlohmann::json manifest = ParseManifest(manifestReply, files);
    const RunPlan plan = PlanFromManifest(clientDir, manifest, files, cancel, trusted, proven);
    std::vector<UpdatePlanEntry> entries;
    entries.reserve(plan.size());
    for (std::size_t i = 0; i < plan.size(); ++i) {
        const PlannedFile file = plan[i];
        entries.push_back({std::string(file.relativePath), std::string(file.checksum), file.size,
                           file.chunked, std::string(file.blocks)});
    }
    return entries;
}

UpdateResult RunClientUpdate(const std::filesystem::path& clientDir,
                             const UpdateProgressCallback& progress,
                             const UpdateEnvironment& environment) {
    UpdateResult result;
    try {
        std::error_code error;
        std::filesystem::create_directories(clientDir, error);
        if (error)
            throw std::filesystem::filesystem_error("create_directories", clientDir, error);
        // One writer per client folder: two runs would write the same download files. A folder
        // that cannot carry the lock at all (a read-only one) can be written by nobody, so the
        // run goes on and fails where it must write.
        FolderLock folderLock;
        if (folderLock.tryLock(clientDir) == FolderLock::Outcome::Busy)
            throw std::runtime_error(kClientFolderBusy);
        // Read under the lock: no other run can be half way through the folder.
        result.provenBefore =
            !environment.wholeMark.empty() && ClientMarkedWhole(environment.wholeMark, clientDir);

        try {
            PurgeStaleDownloads(clientDir, environment.now
                                               ? environment.now()
                                               : std::filesystem::file_time_type::clock::now());
        } catch (...) {
            // The purge is housekeeping; it never decides the run.
        }

        // The manifest and every download share the run's connections while the server keeps
        // them open: a TLS handshake per connection instead of one per file, and one connection
        // for them all where the server speaks HTTP/2.
        HttpsConnectionPool pool;
        HttpsConnection connection;
        connection.joinPool(pool);
        connection.setCancel(environment.cancel);
        ThrowIfCancelled(environment.cancel);
        const std::wstring url = ServiceUrl(environment.service, "/updater/updater.php");
        const std::string body = UpdateRequestBody();
        AcceptedManifest manifestReply = FetchSignedManifest(
            [&](const ReplyValidator& known) {
                if (environment.request)
                    return ConditionalReply{false, environment.request(url, L"POST", body), {}};
                return HttpsConditionalRequest(url, L"POST", body, environment.service, connection,
                                               known);
            },
            environment, connection);

        // The record of earlier runs spares the reading of files nothing has touched since; a
        // repair reads every file. Whatever this run proves becomes the next record, also when
        // the run fails later on.
        const VerifiedRecord trusted =
            environment.verifiedRecord.empty() || environment.hashEverything
                ? VerifiedRecord()
                : VerifiedRecord::load(environment.verifiedRecord, clientDir);
        VerifiedRecord proven;
        RunPlan plan;
        PlanTally tally;
        // The manifest the record was made against, every file as it was proven: nothing to
        // parse or plan. Any file the record no longer vouches for takes the whole way.
        const bool recordHolds = manifestReply.unchanged && !manifestReply.digest.empty() &&
                                 trusted.madeAgainst() == manifestReply.digest &&
                                 RecordStillHolds(clientDir, trusted, environment.cancel);
        // Where files come from; with nothing to fetch, the service alone.
        std::optional<FileSources> sources;
        if (recordHolds) {
            LogEvent("every file as recorded for this manifest: nothing parsed");
            manifestReply.release();
            sources.emplace(SourcesOfManifest(environment.service, std::nullopt, {}, false));
        } else {
            if (environment.parsingManifest)
                environment.parsingManifest();
            ManifestFiles files;
            nlohmann::json manifest = ParseManifest(manifestReply.text(), files);
            manifestReply.release();
            // A manifest taken here was signed when the build has a key: mirrors are followed
            // then only.
            sources.emplace(SourcesOfManifest(environment.service, ReadObjectsPath(manifest),
                                              ReadMirrors(manifest),
                                              !environment.service.updateKey.empty()));
            plan = PlanFromManifest(clientDir, manifest, files, environment.cancel, &trusted,
                                    &proven, &tally);
        }
        ThrowIfCancelled(environment.cancel);
        if (LauncherLogActive())
            LogEvent(PlanLogLine(plan, BytesStillNeeded(clientDir, plan)));
        struct SaveRecord {
            const UpdateEnvironment& environment;
            const std::filesystem::path& clientDir;
            const VerifiedRecord& proven;
            const VerifiedRecord& trusted;
            bool keep;          // false when the record still says all there is
            bool recordStands;  // `proven` left empty: the trusted record says it all
            ~SaveRecord() {
                // A start where nothing changed writes nothing: no disk flush on the way to Play.
                if (!keep || environment.verifiedRecord.empty())
                    return;
                if (!recordStands) {
                    if (!proven.addsNothingTo(trusted))
                        proven.save(environment.verifiedRecord, clientDir);
                } else if (proven.madeAgainst() != trusted.madeAgainst()) {
                    VerifiedRecord updated = trusted;
                    updated.setMadeAgainst(proven.madeAgainst());
                    updated.save(environment.verifiedRecord, clientDir);
                }
            }
        } saveRecord{environment, clientDir, proven, trusted, !recordHolds, tally.recordStands};

        // A running client holds its files: replacing them would fail after bytes were fetched.
        if (!plan.empty() &&
            qs::ProgramIsRunning(ResolveManifestPath(clientDir, WideToUtf8(ClientExecutableName))))
            throw ClientRunning();

        // Not enough room for the whole plan is said before the first byte is written.
        if (const auto needed = BytesStillNeeded(clientDir, plan); needed && *needed > 0)
            CheckDiskSpace(clientDir, *needed, environment);

        // Durability, paid once per folder instead of twice per file: every download's bytes
        // reach the disk before it is moved over its target. That wait runs on a few flushing
        // threads while the transfers go on; downloads that wait together share one flush of
        // their volume, each first checked to be the file proven, and a file is ready to be
        // placed only once the flush that covers it returned. The moves happen here, in plan
        // order; every folder touched or created, up to the client folder, is synced before the
        // executable is placed, before success is said and at the end of a failed or cancelled
        // run. Wherever a crash or a power loss falls, each target's name points at its old
        // bytes or at its new, already durable bytes: the move is one step, and a move the folder
        // did not keep leaves the old file, which the record (saved after the folders' flush)
        // does not vouch for, as it vouches by the placed file's own stamp. The executable
        // appears only after everything before it is durable, and "Update complete." is said
        // only when everything is: a folder the disk does not confirm ends the run as a failure,
        // before the executable. A part that was not made durable is never placed without its
        // digest being proven again.
        const auto count = static_cast<std::int32_t>(plan.size());
        // Every planned target is resolved beneath this one base where it is used, not held: a
        // path object for each of a hundred thousand files would be most of the run's memory.
        const std::filesystem::path base = ClientBase(clientDir);
        // Before any download, on this one thread: a linked folder in the client folder would
        // take the files elsewhere, and the check would never accept them there.
        std::filesystem::path lastFolder;
        for (std::size_t i = 0; i < plan.size(); ++i) {
            const std::filesystem::path target =
                ResolveManifestPathUnder(base, plan[i].relativePath);
            if (i == 0 || target.parent_path() != lastFolder)
                ReplaceLinkedFolders(base, target);
            lastFolder = target.parent_path();
        }
        std::filesystem::path executable;
        if (!plan.empty())
            executable = ResolveManifestPath(clientDir, WideToUtf8(ClientExecutableName));
        RunProgress reports(progress, plan);
        FolderFlushes folders(clientDir, environment);  // flushed last, once the threads ended
        {
            ConcurrentFetch fetch(plan, base, environment, connection, pool, *sources);
            TransferTable& transfers = fetch.transfers();
            for (std::int32_t index = 0; index < count; ++index) {
                const auto at = static_cast<std::size_t>(index);
                reports.turn(index, transfers, fetch.fetched());
                // A cancel ends the run at once, whatever each transfer thread is doing: none is
                // waited for but by the joins, which a stop bounds to about a second.
                while (!fetch.waitFor(at, std::chrono::milliseconds(100))) {
                    if (Cancelled(environment.cancel)) {
                        fetch.stop();
                        throw UpdateCancelled();
                    }
                    reports.tick(transfers, fetch.fetched());
                }
                reports.tick(transfers, fetch.fetched());  // a retry said even when it was quick
                // The first failure in plan order ends the run; nothing after it is placed.
                if (transfers.at(at).failure) {
                    LogEvent(std::string(plan[at].relativePath) +
                             " failed: " + FailureText(transfers.at(at).failure));
                    fetch.stop();
                    ThrowIfCancelled(environment.cancel);
                    std::rethrow_exception(
                        NameTheFile(transfers.at(at).failure, plan[at].relativePath));
                }
                ThrowIfCancelled(environment.cancel);
                const std::filesystem::path target =
                    ResolveManifestPathUnder(base, plan[at].relativePath);
                const bool isExecutable = SameTarget(target, executable);
                if (isExecutable && !folders.flush())
                    throw std::runtime_error(kDiskDidNotConfirm);
                if (!result.placedFiles)
                    ForgetClientWasWhole(environment, result.provenBefore);
                result.placedFiles = true;
                try {
                    PlaceVerified(target, *transfers.at(at).verified, isExecutable);
                } catch (...) {
                    std::rethrow_exception(
                        NameTheFile(std::current_exception(), plan[at].relativePath));
                }
                folders.placed(target);
                // Vouched for only while the placed file is still the one proven, unwritten since.
                if (const auto stamp = TakeStamp(target);
                    stamp && StampShowsState(stamp->stamp, *transfers.at(at).verified)) {
                    proven.remember(std::string(plan[at].relativePath), plan[at].checksum, *stamp);
                    if (transfers.at(at).chunks)
                        KeepChunks(KeptChunksFolder(environment.verifiedRecord),
                                   plan[at].relativePath, stamp->stamp, *transfers.at(at).chunks);
                }
                LogEvent("placed " + std::string(plan[at].relativePath) + ", " +
                         std::to_string(transfers.at(at).reused.load()) + " bytes reused");
                reports.placed(transfers.at(at));
                transfers.drop(at);
            }
            if (!folders.flush())
                throw std::runtime_error(kDiskDidNotConfirm);
            // Every file of the manifest proven: the next start it is unchanged needs the record
            // alone.
            if (!recordHolds && !manifestReply.digest.empty() &&
                (tally.recordStands || proven.size() == tally.files))
                proven.setMadeAgainst(manifestReply.digest);
            reports.finish(count == 0 ? L"Client is up to date." : L"Update complete.",
                           fetch.fetched());
        }
        // Only a start that changes something writes anything.
        if (!environment.wholeMark.empty() && (result.placedFiles || !result.provenBefore))
            MarkClientWhole(environment.wholeMark, clientDir);
        result.ok = true;
        result.outcome = RunOutcome::Ready;
        result.message = L"Ready to play.";
    } catch (const UpdateCancelled& cancelled) {
        result.outcome = RunOutcome::Cancelled;
        result.message = FailureMessage(cancelled.what());
    } catch (const ClientRunning& running) {
        result.outcome = RunOutcome::ClientRunning;
        result.message = FailureMessage(running.what());
    } catch (const std::exception& failure) {
        result.message = FailureMessage(failure.what());
    } catch (...) {
        result.message = L"Update failed";
    }
    LogEvent((result.ok ? "update run ended: " : "update run failed: ") + LogText(result.message));
    return result;
}

}  // namespace qs
