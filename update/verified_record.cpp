#include "update/verified_record.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <fstream>
#include <limits>
#include <system_error>

#include "platform/durable_file.h"
#include "update/digest.h"

namespace qs {

namespace {

// Each stamp carries the moment it was taken; a record of the first format, without it, is no
// record at all. The third adds the manifest the record was made against; a record without one
// is written in the second, so launchers that know only that one keep reading it.
constexpr std::string_view kMagic = "quillon-verified 2";
constexpr std::string_view kMagicWithManifest = "quillon-verified 3";
constexpr std::string_view kManifestLine = "manifest ";

std::string FolderKey(const std::filesystem::path& clientDir) {
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(clientDir, error);
    const std::u8string text = (error ? clientDir : absolute).lexically_normal().u8string();
    return std::string(text.begin(), text.end());
}

std::string DigestOf(std::string_view text) {
    Sha256Stream digest;
    digest.update(text.data(), text.size());
    return WideToUtf8(digest.finish());
}

// Reads one number and the blank after it from the front of `line`.
template <typename Number>
bool TakeNumber(std::string_view& line, Number& value) {
    const auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), value);
    if (error != std::errc() || end == line.data() + line.size() || *end != ' ')
        return false;
    line.remove_prefix(static_cast<std::size_t>(end - line.data()) + 1);
    return true;
}

// True when no write after the stamp was taken could have left the same times.
bool Settled(const TakenStamp& taken) {
    const FileStamp& s = taken.stamp;
    const std::int64_t twoSeconds = 2 * std::int64_t{1'000'000'000};
    const std::int64_t window = s.modifiedNs % twoSeconds == 0
                                    ? 2 * VerifiedRecord::kUntrustedWindowNs
                                    : VerifiedRecord::kUntrustedWindowNs;
    // Subtracted from the taken moment only, so that absurd file times cannot overflow.
    if (taken.takenNs < std::numeric_limits<std::int64_t>::min() + window)
        return false;
    return s.modifiedNs <= taken.takenNs - window && s.changedNs <= taken.takenNs - window;
}

}  // namespace

std::optional<TakenStamp> TakeStamp(const std::filesystem::path& file) {
    const std::int64_t takenNs = VerifiedRecord::Now();
    const std::optional<FileStamp> stamp = StampOfFile(file);
    if (!stamp)
        return std::nullopt;
    return TakenStamp{*stamp, takenNs};
}

std::int64_t VerifiedRecord::Now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

VerifiedRecord VerifiedRecord::load(const std::filesystem::path& file,
                                    const std::filesystem::path& clientDir) {
    VerifiedRecord record;
    try {
        std::error_code error;
        const std::uintmax_t size = std::filesystem::file_size(file, error);
        if (error || size > kMaxBytes)
            return record;
        std::ifstream in(file, std::ios::binary);
        std::string text(static_cast<std::size_t>(size), '\0');
        if (!in.read(text.data(), static_cast<std::streamsize>(size)))
            return record;
        // The last line holds the digest of everything before it: a torn or edited record fails.
        const std::size_t lastLine = text.rfind("\nsha256 ");
        if (lastLine == std::string::npos || text.size() != lastLine + 8 + 64 + 1 ||
            text.back() != '\n' ||
            DigestOf(std::string_view(text).substr(0, lastLine + 1)) !=
                std::string_view(text).substr(lastLine + 8, 64))
            return record;
        std::string_view rest = std::string_view(text).substr(0, lastLine + 1);
        auto nextLine = [&rest]() {
            const std::size_t end = rest.find('\n');
            std::string_view line = rest.substr(0, end);
            rest.remove_prefix(end + 1);
            return line;
        };
        const std::string_view magic = nextLine();
        if ((magic != kMagic && magic != kMagicWithManifest) ||
            nextLine() != "folder " + FolderKey(clientDir))
            return record;
        VerifiedRecord loaded;
        if (magic == kMagicWithManifest) {
            const std::string_view line = nextLine();
            if (!line.starts_with(kManifestLine) ||
                !DigestFromText(line.substr(kManifestLine.size())))
                return record;
            loaded.madeAgainst_ = line.substr(kManifestLine.size());
        }
        // One entry a line: room for all at once, as a large client's record would otherwise be
        // copied while it grows.
        loaded.entries_.reserve(
            static_cast<std::size_t>(std::count(rest.begin(), rest.end(), '\n')));
        while (!rest.empty()) {
            std::string_view line = nextLine();
            Entry entry;
            FileStamp& s = entry.stamp.stamp;
            if (!TakeNumber(line, s.size) || !TakeNumber(line, s.modifiedNs) ||
                !TakeNumber(line, s.changedNs) || !TakeNumber(line, s.volume) ||
                !TakeNumber(line, s.index) || !TakeNumber(line, entry.stamp.takenNs) ||
                line.size() < 66 || line[64] != ' ')
                return record;
            const std::optional<DigestBytes> digest = DigestFromText(line.substr(0, 64));
            if (!digest)
                return record;
            loaded.add(line.substr(65), *digest, entry.stamp);
        }
        if (!loaded.sorted_) {
            std::vector<Entry> entries;
            entries.reserve(loaded.entries_.size());
            for (const Entry* entry : loaded.settled())
                entries.push_back(*entry);
            loaded.entries_ = std::move(entries);
            loaded.sorted_ = true;
        }
        loaded.paths_.shrink_to_fit();
        return loaded;
    } catch (...) {
        return record;
    }
}

void VerifiedRecord::add(std::string_view relativePath, const DigestBytes& digest,
                         const TakenStamp& stamp) {
    if (paths_.size() + relativePath.size() > std::numeric_limits<std::uint32_t>::max())
        return;  // far past kMaxBytes: such a record is never saved anyway
    Entry entry;
    entry.pathAt = static_cast<std::uint32_t>(paths_.size());
    entry.pathSize = static_cast<std::uint32_t>(relativePath.size());
    entry.digest = digest;
    entry.stamp = stamp;
    paths_.append(relativePath);
    if (sorted_ && !entries_.empty() && !(pathOf(entries_.back()) < relativePath))
        sorted_ = false;
    entries_.push_back(entry);
}

const VerifiedRecord::Entry* VerifiedRecord::find(std::string_view relativePath) const {
    if (sorted_) {
        const auto found = std::lower_bound(
            entries_.begin(), entries_.end(), relativePath,
            [this](const Entry& entry, std::string_view path) { return pathOf(entry) < path; });
        return found != entries_.end() && pathOf(*found) == relativePath ? &*found : nullptr;
    }
    for (auto entry = entries_.rbegin(); entry != entries_.rend(); ++entry)
        if (pathOf(*entry) == relativePath)
            return &*entry;
    return nullptr;
}

std::vector<const VerifiedRecord::Entry*> VerifiedRecord::settled() const {
    std::vector<const Entry*> entries;
    entries.reserve(entries_.size());
    for (const Entry& entry : entries_)
        entries.push_back(&entry);
    if (sorted_)
        return entries;
    std::stable_sort(entries.begin(), entries.end(),
                     [this](const Entry* a, const Entry* b) { return pathOf(*a) < pathOf(*b); });
    // Of the entries for one path, the last remembered stands.
    std::vector<const Entry*> unique;
    unique.reserve(entries.size());
    for (const Entry* entry : entries) {
        if (!unique.empty() && pathOf(*unique.back()) == pathOf(*entry))
            unique.back() = entry;
        else
            unique.push_back(entry);
    }
    return unique;
}

bool VerifiedRecord::vouchesFor(std::string_view relativePath, std::string_view checksum,
                                const FileStamp& now) const {
    const Entry* entry = find(relativePath);
    if (!entry)
        return false;
    const std::optional<DigestBytes> digest = DigestFromText(checksum);
    return digest && entry->digest == *digest && entry->stamp.stamp == now && Settled(entry->stamp);
}

bool VerifiedRecord::vouchesAgainst(std::string_view relativePath, std::string_view checksum,
                                    const FileStamp& now) const {
    const Entry* entry = find(relativePath);
    const std::optional<DigestBytes> digest = DigestFromText(checksum);
    return entry && digest && entry->digest != *digest && entry->stamp.stamp == now &&
           Settled(entry->stamp);
}

bool VerifiedRecord::vouchesForAll(const StampNow& stampNow) const {
    for (const Entry* entry : settled()) {
        const std::optional<FileStamp> now = stampNow(pathOf(*entry));
        if (!now || entry->stamp.stamp != *now || !Settled(entry->stamp))
            return false;
    }
    return !entries_.empty();
}

bool VerifiedRecord::addsNothingTo(const VerifiedRecord& loaded) const {
    if (madeAgainst_ != loaded.madeAgainst_)
        return false;
    const std::vector<const Entry*> mine = settled();
    const std::vector<const Entry*> theirs = loaded.settled();
    if (mine.size() != theirs.size())
        return false;
    for (std::size_t i = 0; i < mine.size(); ++i) {
        const Entry& entry = *mine[i];
        const Entry& found = *theirs[i];
        if (pathOf(entry) != loaded.pathOf(found) || found.digest != entry.digest ||
            found.stamp.stamp != entry.stamp.stamp || !Settled(found.stamp))
            return false;
    }
    return true;
}

void VerifiedRecord::remember(std::string relativePath, std::string_view digest,
                              const TakenStamp& stamp) {
    const std::optional<DigestBytes> bytes = DigestFromText(digest);
    if (!bytes || relativePath.empty() || relativePath.find('\n') != std::string::npos)
        return;
    add(relativePath, *bytes, stamp);
}

bool VerifiedRecord::save(const std::filesystem::path& file,
                          const std::filesystem::path& clientDir) const {
    try {
        std::string text;
        const bool withManifest = DigestFromText(madeAgainst_).has_value();
        text.append(withManifest ? kMagicWithManifest : kMagic)
            .append("\nfolder ")
            .append(FolderKey(clientDir))
            .append("\n");
        if (withManifest)
            text.append(kManifestLine).append(madeAgainst_).append("\n");
        for (const Entry* entry : settled()) {
            const FileStamp& s = entry->stamp.stamp;
            text.append(std::to_string(s.size)).append(" ");
            text.append(std::to_string(s.modifiedNs)).append(" ");
            text.append(std::to_string(s.changedNs)).append(" ");
            text.append(std::to_string(s.volume)).append(" ");
            text.append(std::to_string(s.index)).append(" ");
            text.append(std::to_string(entry->stamp.takenNs)).append(" ");
            AppendDigestText(text, entry->digest);
            text.append(" ").append(pathOf(*entry)).append("\n");
            if (text.size() > kMaxBytes)
                return false;
        }
        const std::string digest = DigestOf(text);
        text.append("sha256 ").append(digest).append("\n");
        std::error_code error;
        std::filesystem::create_directories(file.parent_path(), error);
        return WriteFileDurably(file, text.data(), text.size()) == 0;
    } catch (...) {
        return false;
    }
}

namespace {
constexpr std::string_view kWholeMagic = "quillon-whole 1";
}

bool ClientMarkedWhole(const std::filesystem::path& mark, const std::filesystem::path& clientDir) {
    try {
        std::ifstream in(mark, std::ios::binary);
        std::string magic, folder;
        return std::getline(in, magic) && std::getline(in, folder) && magic == kWholeMagic &&
               folder == "folder " + FolderKey(clientDir);
    } catch (...) {
        return false;
    }
}

bool MarkClientWhole(const std::filesystem::path& mark, const std::filesystem::path& clientDir) {
    try {
        std::string text(kWholeMagic);
        text.append("\nfolder ").append(FolderKey(clientDir)).append("\n");
        std::error_code error;
        std::filesystem::create_directories(mark.parent_path(), error);
        return WriteFileDurably(mark, text.data(), text.size()) == 0;
    } catch (...) {
        return false;
    }
}

bool ClearClientWhole(const std::filesystem::path& mark) {
    std::error_code error;
    std::filesystem::remove(mark, error);
    // The removal must be on the disk before any file is placed: a crash after a placement must
    // never find the old mark.
    return !error && SyncFolder(mark.parent_path()) == 0;
}

}  // namespace qs
