#include "update/update_run.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <limits>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "update/client_location.h"
#include "update/json_reply.h"
#include "update/manifest_path.h"
#include "update/target_status.h"
#include "update/text.h"

namespace {

[[noreturn]] void MalformedManifest() {
    throw std::runtime_error("Malformed update manifest");
}
[[noreturn]] void MalformedBinary() {
    throw std::runtime_error("Malformed binary manifest");
}

// True when the local file already holds the bytes whose digest is `checksum`.
bool TargetIsCurrent(const std::filesystem::path& target, const std::string& checksum) {
    if (!TargetFileExists(target))
        return false;
    return DigestsEqual(Sha256File(target), Utf8ToWide(checksum));
}

// One manifest file whose local copy is checked against its checksum.
struct PlanCandidate {
    std::string relativePath;
    std::filesystem::path target;
    std::string checksum;
    bool current = false;
    std::exception_ptr failure;
};

// Digests are the planning pass's whole cost and independent of each other, so they are spread
// over a few threads. Each candidate keeps its own outcome and the caller reads them in key order,
// so the plan and the first failure are those of a pass that checks one file after another. Work
// past the first failure found so far is skipped, as a sequential pass would never reach it.
void CheckCandidates(std::vector<PlanCandidate>& candidates) {
    constexpr std::size_t kMaxThreads = 8;
    constexpr std::size_t kNoFailure = std::numeric_limits<std::size_t>::max();
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> firstFailure{kNoFailure};
    auto work = [&]() noexcept {
        for (;;) {
            const std::size_t index = next.fetch_add(1);
            if (index >= candidates.size() || index > firstFailure.load())
                return;
            PlanCandidate& candidate = candidates[index];
            try {
                candidate.current = TargetIsCurrent(candidate.target, candidate.checksum);
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
    } catch (const std::system_error&) {
        // Fewer helpers (or none): this thread takes the rest.
    }
    work();
    for (std::thread& helper : helpers)
        helper.join();
}

void Report(const UpdateProgressCallback& progress, std::int32_t index, std::int32_t count,
            std::wstring message) {
    qs::UpdateProgress report;
    report.fileIndex = index;
    report.fileCount = count;
    report.message = std::move(message);
    progress(report);
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
                                              std::string_view manifestReply) {
    const nlohmann::json manifest = ParseJsonReply(manifestReply);
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
    CheckCandidates(candidates);

    std::vector<UpdatePlanEntry> plan;
    for (PlanCandidate& candidate : candidates) {
        if (candidate.failure)
            std::rethrow_exception(candidate.failure);
        if (!candidate.current)
            plan.push_back({std::move(candidate.relativePath), std::move(candidate.checksum)});
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
        if (!TargetIsCurrent(target, expected))
            plan.push_back({std::move(relativePath), expected});
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
        const std::wstring url = ServiceUrl(environment.service, "/updater/updater.php");
        const std::string body = UpdateRequestBody();
        std::vector<std::uint8_t> reply =
            environment.request ? environment.request(url, L"POST", body)
                                : HttpsRequest(url, L"POST", body, environment.service, connection);

        const std::vector<UpdatePlanEntry> plan = PlanClientUpdate(
            clientDir, std::string_view(reinterpret_cast<const char*>(reply.data()), reply.size()));
        reply = {};

        const auto count = static_cast<std::int32_t>(plan.size());
        std::filesystem::path executable;
        if (!plan.empty())
            executable = ResolveManifestPath(clientDir, WideToUtf8(ClientExecutableName));
        for (std::int32_t index = 0; index < count; ++index) {
            const UpdatePlanEntry& entry = plan[static_cast<std::size_t>(index)];
            Report(progress, index, count, L"Downloading " + Utf8ToWide(entry.relativePath));
            std::filesystem::path target = ResolveManifestPath(clientDir, entry.relativePath);
            FetchFile(target, entry.relativePath, entry.checksum, environment, target == executable,
                      connection);
        }
        Report(progress, count, count, count == 0 ? L"Client is up to date." : L"Update complete.");
        return {true, L"Ready to play."};
    } catch (const std::exception& failure) {
        return {false, FailureMessage(failure.what())};
    } catch (...) {
        return {false, L"Update failed"};
    }
}
