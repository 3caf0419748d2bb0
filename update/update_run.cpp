#include "update/update_run.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "platform/file_io.h"
#include "platform/folder_lock.h"
#include "update/client_location.h"
#include "update/json_reply.h"
#include "update/manifest_path.h"
#include "update/target_status.h"
#include "update/text.h"
#include "update/transfer.h"
#include "update/verified_record.h"

namespace {

[[noreturn]] void MalformedManifest() {
    throw std::runtime_error("Malformed update manifest");
}
[[noreturn]] void MalformedBinary() {
    throw std::runtime_error("Malformed binary manifest");
}

bool Cancelled(const std::atomic<bool>* cancel) {
    return cancel && cancel->load();
}

void ThrowIfCancelled(const std::atomic<bool>* cancel) {
    if (Cancelled(cancel))
        throw std::runtime_error(kUpdateCancelled);
}

// True when the local file already holds the bytes whose digest is `checksum`.
// True when the local file already holds the bytes whose digest is `checksum`: vouched for by
// the record of earlier runs, or read and hashed. `proven` receives the file's stamp when the
// answer is yes and the file did not change while it was read.
bool TargetIsCurrent(const std::filesystem::path& target, std::string_view relativePath,
                     const std::string& checksum, const VerifiedRecord* record,
                     std::optional<FileStamp>& proven) {
    if (!TargetFileExists(target))
        return false;
    const std::optional<FileStamp> before = StampOfFile(target);
    if (record && before && record->vouchesFor(relativePath, checksum, *before)) {
        proven = before;
        return true;
    }
    if (!DigestsEqual(Sha256File(target), Utf8ToWide(checksum)))
        return false;
    if (before && StampOfFile(target) == before)
        proven = before;
    return true;
}

// One manifest file whose local copy is checked against its checksum.
struct PlanCandidate {
    std::string relativePath;
    std::filesystem::path target;
    std::string checksum;
    bool current = false;
    std::optional<FileStamp> proven;
    std::exception_ptr failure;
};

// Digests are the planning pass's whole cost and independent of each other, so they are spread
// over a few threads. Each candidate keeps its own outcome and the caller reads them in key order,
// so the plan and the first failure are those of a pass that checks one file after another. Work
// past the first failure found so far is skipped, as a sequential pass would never reach it.
void CheckCandidates(std::vector<PlanCandidate>& candidates, const std::atomic<bool>* cancel,
                     const VerifiedRecord* record) {
    constexpr std::size_t kMaxThreads = 8;
    constexpr std::size_t kNoFailure = std::numeric_limits<std::size_t>::max();
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> firstFailure{kNoFailure};
    auto work = [&]() noexcept {
        for (;;) {
            const std::size_t index = next.fetch_add(1);
            if (index >= candidates.size() || index > firstFailure.load() || Cancelled(cancel))
                return;
            PlanCandidate& candidate = candidates[index];
            try {
                candidate.current = TargetIsCurrent(candidate.target, candidate.relativePath,
                                                    candidate.checksum, record, candidate.proven);
            } catch (...) {
                candidate.failure = std::current_exception();
                std::size_t seen = firstFailure.load();
                while (index < seen && !firstFailure.compare_exchange_weak(seen, index)) {
                }
            }
        }
    };

    const std::size_t threads = std::min<std::size_t>(
        {std::max(1u, std::thread::hardware_concurrency()), kMaxThreads, candidates.size()});
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

std::optional<std::uint64_t> SizeOf(const PublishedSizes& sizes, std::string_view relativePath) {
    auto found = sizes.find(relativePath);
    if (found == sizes.end())
        return std::nullopt;
    return found->second;
}

// The reports of one run: a file's start and end always, the bytes in between at most ten times a
// second, so a fast transfer does not spend its time on the sink and its lock.
class RunProgress {
public:
    RunProgress(const UpdateProgressCallback& sink, const std::vector<UpdatePlanEntry>& plan)
        : sink_(sink), count_(static_cast<std::int32_t>(plan.size())) {
        totalKnown_ = true;
        for (const UpdatePlanEntry& entry : plan) {
            totalKnown_ = totalKnown_ && entry.size.has_value();
            total_ += entry.size.value_or(0);
        }
    }

    void beginFile(std::int32_t index, const UpdatePlanEntry& entry) {
        index_ = index;
        fileSize_ = entry.size;
        fileOnDisk_ = 0;
        fileMessage_ = L"Downloading " + Utf8ToWide(entry.relativePath);
        message_ = fileMessage_;
        report(true);
    }
    void sizeKnown(std::uint64_t size, std::uint64_t onDisk) {
        fileSize_ = size;
        fileOnDisk_ = onDisk;
        report(false);
    }
    void received(std::uint64_t bytes) {
        fileOnDisk_ += bytes;
        fetched_ += bytes;
        message_ = fileMessage_;
        report(false);
    }
    void retrying(int attempt, int attempts) {
        message_ = L"Retrying (" + std::to_wstring(attempt) + L" of " + std::to_wstring(attempts) +
                   L")\u2026";
        report(true);
    }
    void endFile() {
        doneBefore_ += fileSize_.value_or(fileOnDisk_);
        fileOnDisk_ = 0;
        fileSize_.reset();
    }
    void finish(std::wstring message) {
        index_ = count_;
        message_ = std::move(message);
        report(true);
    }

private:
    void report(bool always) {
        const auto now = std::chrono::steady_clock::now();
        if (!always && now - lastReport_ < std::chrono::milliseconds(100))
            return;
        lastReport_ = now;
        qs::UpdateProgress progress;
        progress.fileIndex = index_;
        progress.fileCount = count_;
        progress.message = message_;
        progress.amountDone = doneBefore_ + fileOnDisk_;
        progress.amountTotal = totalKnown_ ? total_ : 0;
        progress.amountFetched = fetched_;
        if (count_ > 0 && index_ >= count_)
            progress.fraction = 1.0;
        else if (totalKnown_ && total_ > 0)
            progress.fraction = std::min(1.0, static_cast<double>(progress.amountDone) / total_);
        else if (count_ > 0) {
            const double inFile = fileSize_ && *fileSize_ > 0
                                      ? std::min(1.0, static_cast<double>(fileOnDisk_) / *fileSize_)
                                      : 0.0;
            progress.fraction = (index_ + inFile) / count_;
        }
        sink_(progress);
    }

    const UpdateProgressCallback& sink_;
    std::int32_t count_;
    std::int32_t index_ = 0;
    bool totalKnown_ = false;
    std::uint64_t total_ = 0;
    std::uint64_t doneBefore_ = 0;
    std::optional<std::uint64_t> fileSize_;
    std::uint64_t fileOnDisk_ = 0;
    std::uint64_t fetched_ = 0;
    std::wstring fileMessage_;
    std::wstring message_;
    std::chrono::steady_clock::time_point lastReport_;
};

// When the manifest gives every planned size: the bytes still to write, leftovers counted.
std::optional<std::uint64_t> BytesStillNeeded(const std::filesystem::path& clientDir,
                                              const std::vector<UpdatePlanEntry>& plan) {
    std::uint64_t needed = 0;
    for (const UpdatePlanEntry& entry : plan) {
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

void PurgeStaleDownloads(const std::filesystem::path& clientDir,
                         std::filesystem::file_time_type now) {
    namespace fs = std::filesystem;
    // Compared as "written at or before the cut-off" so that absurd file times cannot overflow.
    const fs::file_time_type cutoff = now - std::chrono::seconds(kStaleDownloadSeconds);
    std::error_code error;
    fs::recursive_directory_iterator walk(clientDir, error);
    if (error)
        return;
    for (const fs::recursive_directory_iterator end; walk != end;) {
        const fs::directory_entry& entry = *walk;
        // A link whose target is gone is simply not a regular file; only an unreadable status
        // ends the purge.
        const fs::file_status status = entry.status(error);
        if (status.type() == fs::file_type::none)
            return;
        if (fs::is_regular_file(status) && entry.path().extension() == ".download") {
            fs::file_time_type written = entry.last_write_time(error);
            if (error)
                return;
            if (written <= cutoff) {
                std::error_code ignored;
                fs::remove(entry.path(), ignored);
            }
        }
        walk.increment(error);
        if (error)
            return;
    }
}

std::vector<UpdatePlanEntry> PlanClientUpdate(const std::filesystem::path& clientDir,
                                              std::string_view manifestReply,
                                              const std::atomic<bool>* cancel,
                                              const VerifiedRecord* trusted,
                                              VerifiedRecord* proven) {
    const nlohmann::json manifest = ParseJsonReply(manifestReply, nullptr, kManifestMaxValues);
    if (!manifest.is_object())
        MalformedManifest();
    auto files = manifest.find("files");
    if (files == manifest.end() || !files->is_object())
        MalformedManifest();

    // Entries are checked in key order up to the first that cannot be planned; its failure is
    // raised only after every earlier file's own check.
    std::vector<PlanCandidate> candidates;
    std::exception_ptr entryFailure;
    try {
        for (const auto& [key, value] : files->items()) {
            if (!value.is_string())
                MalformedManifest();
            PlanCandidate candidate;
            candidate.relativePath = TrimLeadingSlash(key);
            candidate.target = ResolveManifestPath(clientDir, candidate.relativePath);
            candidate.checksum = value.get_ref<const std::string&>();
            candidates.push_back(std::move(candidate));
        }
    } catch (...) {
        entryFailure = std::current_exception();
    }
    CheckCandidates(candidates, cancel, trusted);
    ThrowIfCancelled(cancel);

    const PublishedSizes sizes = ReadPublishedSizes(manifest);
    std::vector<UpdatePlanEntry> plan;
    for (PlanCandidate& candidate : candidates) {
        if (candidate.failure)
            std::rethrow_exception(candidate.failure);
        if (candidate.current && candidate.proven && proven)
            proven->remember(candidate.relativePath, candidate.checksum, *candidate.proven);
        if (!candidate.current) {
            std::optional<std::uint64_t> size = SizeOf(sizes, candidate.relativePath);
            plan.push_back(
                {std::move(candidate.relativePath), std::move(candidate.checksum), size});
        }
    }
    if (entryFailure)
        std::rethrow_exception(entryFailure);

    auto binary = manifest.find("binary");
    if (binary != manifest.end() && binary->is_object()) {
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
        std::filesystem::path target = ResolveManifestPath(clientDir, relativePath);
        const std::string& expected = checksum->get_ref<const std::string&>();
        std::optional<FileStamp> stamp;
        if (!TargetIsCurrent(target, relativePath, expected, trusted, stamp)) {
            std::optional<std::uint64_t> size = SizeOf(sizes, relativePath);
            plan.push_back({std::move(relativePath), expected, size});
        } else if (stamp && proven) {
            proven->remember(relativePath, expected, *stamp);
        }
    }
    return plan;
}

UpdateResult RunClientUpdate(const std::filesystem::path& clientDir,
                             const UpdateProgressCallback& progress,
                             const UpdateEnvironment& environment) {
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

        try {
            PurgeStaleDownloads(clientDir, environment.now
                                               ? environment.now()
                                               : std::filesystem::file_time_type::clock::now());
        } catch (...) {
            // The purge is housekeeping; it never decides the run.
        }

        // The manifest and every download share one connection while the server keeps it open:
        // a TLS handshake per run instead of one per file.
        HttpsConnection connection;
        connection.setCancel(environment.cancel);
        ThrowIfCancelled(environment.cancel);
        const std::wstring url = ServiceUrl(environment.service, "/updater/updater.php");
        const std::string body = UpdateRequestBody();
        std::vector<std::uint8_t> reply =
            environment.request ? environment.request(url, L"POST", body)
                                : HttpsRequest(url, L"POST", body, environment.service, connection);

        // The record of earlier runs spares the reading of files nothing has touched since; a
        // repair reads every file. Whatever this run proves becomes the next record, also when
        // the run fails later on.
        const VerifiedRecord trusted =
            environment.verifiedRecord.empty() || environment.hashEverything
                ? VerifiedRecord()
                : VerifiedRecord::Load(environment.verifiedRecord, clientDir);
        VerifiedRecord proven;
        const std::vector<UpdatePlanEntry> plan = PlanClientUpdate(
            clientDir, std::string_view(reinterpret_cast<const char*>(reply.data()), reply.size()),
            environment.cancel, &trusted, &proven);
        reply = {};
        struct SaveRecord {
            const UpdateEnvironment& environment;
            const std::filesystem::path& clientDir;
            const VerifiedRecord& proven;
            ~SaveRecord() {
                if (!environment.verifiedRecord.empty())
                    proven.save(environment.verifiedRecord, clientDir, VerifiedRecord::Now());
            }
        } saveRecord{environment, clientDir, proven};

        // Not enough room for the whole plan is said before the first byte is written.
        if (const auto needed = BytesStillNeeded(clientDir, plan); needed && *needed > 0) {
            const auto available =
                environment.freeSpace ? environment.freeSpace(clientDir) : FreeDiskBytes(clientDir);
            if (available)
                if (auto shortfall = DiskSpaceShortfall(*needed, *available))
                    throw std::runtime_error(*shortfall);
        }

        const auto count = static_cast<std::int32_t>(plan.size());
        RunProgress reports(progress, plan);
        FetchObserver observer;
        observer.sizeKnown = [&reports](std::uint64_t size, std::uint64_t onDisk) {
            reports.sizeKnown(size, onDisk);
        };
        observer.received = [&reports](std::uint64_t bytes) { reports.received(bytes); };
        observer.retrying = [&reports](int attempt, int attempts) {
            reports.retrying(attempt, attempts);
        };
        std::filesystem::path executable;
        if (!plan.empty())
            executable = ResolveManifestPath(clientDir, WideToUtf8(ClientExecutableName));
        for (std::int32_t index = 0; index < count; ++index) {
            const UpdatePlanEntry& entry = plan[static_cast<std::size_t>(index)];
            ThrowIfCancelled(environment.cancel);
            reports.beginFile(index, entry);
            std::filesystem::path target = ResolveManifestPath(clientDir, entry.relativePath);
            FetchFile(target, entry.relativePath, entry.checksum, environment, target == executable,
                      connection, observer, entry.size);
            if (const auto stamp = StampOfFile(target))
                proven.remember(entry.relativePath, entry.checksum, *stamp);
            reports.endFile();
        }
        reports.finish(count == 0 ? L"Client is up to date." : L"Update complete.");
        return {true, L"Ready to play."};
    } catch (const std::exception& failure) {
        return {false, FailureMessage(failure.what())};
    } catch (...) {
        return {false, L"Update failed"};
    }
}
