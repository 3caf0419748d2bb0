#include "update/verified_record.h"

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
// record at all.
constexpr std::string_view kMagic = "quillon-verified 2";

std::string FolderKey(const std::filesystem::path& clientDir) {
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(clientDir, error);
    const std::u8string text = (error ? clientDir : absolute).lexically_normal().u8string();
    return std::string(text.begin(), text.end());
}

std::string Lower(std::string_view digest) {
    std::string lower(digest);
    for (char& c : lower)
        if (c >= 'A' && c <= 'F')
            c = static_cast<char>(c - 'A' + 'a');
    return lower;
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
        if (nextLine() != kMagic || nextLine() != "folder " + FolderKey(clientDir))
            return record;
        VerifiedRecord loaded;
        while (!rest.empty()) {
            std::string_view line = nextLine();
            Entry entry;
            FileStamp& s = entry.stamp.stamp;
            if (!TakeNumber(line, s.size) || !TakeNumber(line, s.modifiedNs) ||
                !TakeNumber(line, s.changedNs) || !TakeNumber(line, s.volume) ||
                !TakeNumber(line, s.index) || !TakeNumber(line, entry.stamp.takenNs) ||
                line.size() < 66 || line[64] != ' ' || !IsChecksumText(line.substr(0, 64)))
                return record;
            entry.digest = Lower(line.substr(0, 64));
            loaded.entries_.insert_or_assign(std::string(line.substr(65)), std::move(entry));
        }
        return loaded;
    } catch (...) {
        return record;
    }
}

bool VerifiedRecord::vouchesFor(std::string_view relativePath, std::string_view checksum,
                                const FileStamp& now) const {
    const auto found = entries_.find(relativePath);
    return found != entries_.end() && IsChecksumText(checksum) &&
           found->second.digest == Lower(checksum) && found->second.stamp.stamp == now &&
           Settled(found->second.stamp);
}

bool VerifiedRecord::addsNothingTo(const VerifiedRecord& loaded) const {
    if (entries_.size() != loaded.entries_.size())
        return false;
    for (const auto& [path, entry] : entries_) {
        const auto found = loaded.entries_.find(path);
        if (found == loaded.entries_.end() || found->second.digest != entry.digest ||
            found->second.stamp.stamp != entry.stamp.stamp || !Settled(found->second.stamp))
            return false;
    }
    return true;
}

void VerifiedRecord::remember(std::string relativePath, std::string_view digest,
                              const TakenStamp& stamp) {
    if (!IsChecksumText(digest) || relativePath.empty() ||
        relativePath.find('\n') != std::string::npos)
        return;
    entries_.insert_or_assign(std::move(relativePath), Entry{Lower(digest), stamp});
}

bool VerifiedRecord::save(const std::filesystem::path& file,
                          const std::filesystem::path& clientDir) const {
    try {
        std::string text;
        text.append(kMagic).append("\nfolder ").append(FolderKey(clientDir)).append("\n");
        for (const auto& [path, entry] : entries_) {
            const FileStamp& s = entry.stamp.stamp;
            text.append(std::to_string(s.size)).append(" ");
            text.append(std::to_string(s.modifiedNs)).append(" ");
            text.append(std::to_string(s.changedNs)).append(" ");
            text.append(std::to_string(s.volume)).append(" ");
            text.append(std::to_string(s.index)).append(" ");
            text.append(std::to_string(entry.stamp.takenNs)).append(" ");
            text.append(entry.digest).append(" ").append(path).append("\n");
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
