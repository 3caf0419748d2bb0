#include "tools/publish/publish.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "net/client_location.h"
#include "platform/durable_file.h"
#include "platform/folder_lock.h"
#include "platform/folder_walk.h"
#include "tools/publish/documents.h"
#include "tools/publish/gzip.h"
#include "tools/publish/objects.h"
#include "tools/publish/signing.h"
#include "update/block_index.h"
#include "update/chunker.h"
#include "update/digest.h"
#include "update/manifest_path.h"
#include "update/update_run.h"
#include "update/update_signature.h"

namespace qs::publish {

namespace fs = std::filesystem;

PublishRefused::PublishRefused(std::vector<Problem> problems)
    : std::runtime_error(std::to_string(problems.size()) + " path(s) cannot be published"),
      problems_(std::move(problems)) {}

std::optional<std::string> ManifestPathProblem(std::string_view manifestPath) {
    if (manifestPath.empty())
        return "an empty path";
    if (TrimLeadingSlash(manifestPath) != manifestPath)
        return "starts with a slash";
    try {
        // Any base will do: the launcher's checks look at the path, and nothing is touched. One
        // made once, as resolving a base costs system calls for each of a client's files.
        static const std::filesystem::path base = ClientBase("/quillon-publish-check");
        ResolveManifestPathUnder(base, manifestPath);
    } catch (const std::exception& refusal) {
        return std::string("the launcher refuses it (") + refusal.what() + ")";
    }
    // The launcher checks this only on Windows, which is where its players are.
    for (std::size_t start = 0; start <= manifestPath.size();) {
        const std::size_t end = std::min(manifestPath.find('/', start), manifestPath.size());
        const std::string_view segment = manifestPath.substr(start, end - start);
        if (segment.empty())
            return "an empty path segment";
        if (IsWindowsAliasedSegment(segment))
            return "\"" + std::string(segment) +
                   "\" is a Windows device name or ends in a period or space";
        start = end + 1;
    }
    try {
        DownloadUrlPath(manifestPath);
    } catch (const std::exception&) {
        return "the download URL cannot carry it (letters, digits, space and - . _ / only)";
    }
    if (manifestPath.ends_with(".download"))
        return "ends in .download, the launcher's name for partial downloads";
    return std::nullopt;
}

namespace {

std::string AsciiLower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

}  // namespace

std::vector<Problem> CaseCollisions(const std::vector<std::string>& sorted) {
    std::map<std::string, std::string> files;    // lower-case path -> first path
    std::map<std::string, std::string> folders;  // lower-case folder -> a file under it
    for (const std::string& path : sorted) {
        files.emplace(AsciiLower(path), path);
        for (std::size_t slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1))
            folders.emplace(AsciiLower(path.substr(0, slash)), path);
    }
    std::vector<Problem> problems;
    for (const std::string& path : sorted) {
        const std::string lower = AsciiLower(path);
        if (const std::string& first = files.at(lower); first != path)
            problems.push_back({path, "names the same file as \"" + first + "\" on Windows"});
        if (auto folder = folders.find(lower); folder != folders.end())
            problems.push_back(
                {path, "names a folder on Windows as well (\"" + folder->second + "\")"});
    }
    return problems;
}

namespace {

std::string ManifestPathOf(const fs::path& relative) {
    const std::u8string text = relative.generic_u8string();
    return std::string(text.begin(), text.end());
}

bool Inside(const fs::path& root, const fs::path& path) {
    const auto [rootEnd, pathAt] =
        std::mismatch(root.begin(), root.end(), path.begin(), path.end());
    return rootEnd == root.end() && pathAt != path.end();
}

void ScanFolder(const fs::path& root, const fs::path& folder, ClientScan& scan) {
    std::error_code error;
    fs::directory_iterator walk(folder, error);
    for (const fs::directory_iterator end; !error && walk != end; walk.increment(error)) {
        const fs::path path = walk->path();
        const std::string manifestPath = ManifestPathOf(path.lexically_relative(root));
        auto refuse = [&](std::string reason) {
            scan.problems.push_back({manifestPath, std::move(reason)});
        };
        std::error_code statusError;
        const fs::file_status own = fs::symlink_status(path, statusError);
        fs::file_status reached = own;
        fs::path target = path;
        if (fs::is_symlink(own)) {
            target = fs::canonical(path, statusError);
            if (statusError) {
                refuse("a link to nothing");
                continue;
            }
            if (!Inside(root, target)) {
                refuse("a link that leaves the client folder");
                continue;
            }
            reached = fs::status(target, statusError);
            if (fs::is_directory(reached)) {
                refuse("a link to a folder (publish the folder itself)");
                continue;
            }
        }
        if (fs::is_directory(own)) {
            ScanFolder(root, path, scan);
            continue;
        }
        if (!fs::is_regular_file(reached)) {
            refuse("not a regular file or folder");
            continue;
        }
        if (::access(path.c_str(), R_OK) != 0) {
            refuse(std::string("cannot be read: ") + std::strerror(errno));
            continue;
        }
        if (auto problem = ManifestPathProblem(manifestPath)) {
            refuse(*problem);
            continue;
        }
        const std::optional<FileState> identity = RegularFileState(target);
        SourceFile file;
        file.manifestPath = manifestPath;
        file.source = path;
        file.size = identity ? identity->size : 0;
        file.mtime = fs::last_write_time(target, statusError).time_since_epoch().count();
        file.reached = ManifestPathOf(target.lexically_relative(root));
        file.identity = identity.value_or(FileState{});
        if (!identity || statusError)
            refuse("cannot be read: it changed during the scan");
        else
            scan.files.push_back(std::move(file));
    }
    if (error)
        scan.problems.push_back({ManifestPathOf(folder.lexically_relative(root)),
                                 "cannot be read: " + error.message()});
}

}  // namespace

ClientScan ScanClient(const fs::path& clientDir) {
    ClientScan scan;
    const fs::path root = fs::canonical(clientDir);
    if (!fs::is_directory(root))
        throw std::runtime_error(clientDir.string() + " is not a folder");
    ScanFolder(root, root, scan);
    std::sort(scan.files.begin(), scan.files.end(), [](const SourceFile& a, const SourceFile& b) {
        return a.manifestPath < b.manifestPath;
    });
    std::vector<std::string> paths;
    for (const SourceFile& file : scan.files)
        paths.push_back(file.manifestPath);
    for (Problem& problem : CaseCollisions(paths))
        scan.problems.push_back(std::move(problem));
    std::sort(scan.problems.begin(), scan.problems.end(),
              [](const Problem& a, const Problem& b) { return a.path < b.path; });
    return scan;
}

namespace {

constexpr std::string_view kStateHeader = "quillon-publish state 3\n";
// The same lines without the indexes.
constexpr std::string_view kStateHeaderWithoutIndexes = "quillon-publish state 2\n";

// The state of publishers before the text one: JSON, one object per file.
PublishState ParseStateJson(std::string_view text) {
    PublishState state;
    const nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
    if (!document.is_object() || document.value("format", 0) != 1)
        return state;
    const auto files = document.find("files");
    if (files == document.end() || !files->is_object())
        return state;
    for (const auto& [path, entry] : files->items()) {
        try {
            RecordedFile file;
            file.size = entry.at("size").get<std::uint64_t>();
            file.mtime = entry.at("mtime").get<std::int64_t>();
            file.settled = entry.at("settled").get<bool>();
            file.sha256 = entry.at("sha256").get<std::string>();
            file.published = {entry.at("volume").get<std::uint64_t>(),
                              entry.at("index").get<std::uint64_t>(), file.size};
            state.emplace(path, std::move(file));
        } catch (const nlohmann::json::exception&) {
            // A damaged entry is hashed again.
        }
    }
    return state;
}

// Takes the number that starts `text` and the space after it.
template <typename Number>
bool TakeNumber(std::string_view& text, Number& number) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end == text.data() + text.size() || *end != ' ')
        return false;
    text.remove_prefix(static_cast<std::size_t>(end - text.data()) + 1);
    return true;
}

// The indexes as a word: "-" unknown, "n" none, "c" the chunk index alone, else the block index
// head's digest.
bool TakeIndexes(std::string_view& text, RecordedFile& file) {
    const std::size_t space = text.find(' ');
    if (space == std::string_view::npos)
        return false;
    const std::string_view word = text.substr(0, space);
    using Indexes = RecordedFile::Indexes;
    if (word == "-") {
        file.indexes = Indexes::Unknown;
    } else if (word == "n") {
        file.indexes = Indexes::None;
    } else if (word == "c") {
        file.indexes = Indexes::ChunkOnly;
    } else if (IsChecksumText(word)) {
        file.indexes = Indexes::Both;
        file.blockHead = std::string(word);
    } else {
        return false;
    }
    text.remove_prefix(space + 1);
    return true;
}

// One line: size, time, settled (0 or 1), digest, volume, index, the indexes (when
// `withIndexes`) and the path, which is last as it may hold spaces (never a line break: the
// launcher's path rules allow none).
std::optional<std::pair<std::string_view, RecordedFile>> ParseStateLine(std::string_view line,
                                                                        bool withIndexes) {
    RecordedFile file;
    int settled = 0;
    if (!TakeNumber(line, file.size) || !TakeNumber(line, file.mtime) ||
        !TakeNumber(line, settled) || settled < 0 || settled > 1 || line.size() < 65 ||
        line[64] != ' ')
        return std::nullopt;
    file.settled = settled == 1;
    file.sha256 = std::string(line.substr(0, 64));
    line.remove_prefix(65);
    if (!TakeNumber(line, file.published.volume) || !TakeNumber(line, file.published.index) ||
        (withIndexes && !TakeIndexes(line, file)) || line.empty())
        return std::nullopt;
    file.published.size = file.size;
    return std::pair(line, std::move(file));
}

}  // namespace

// Text, a line a file in path order: read and written at a few hundred bytes of CPU a file,
// as a republish of a large client reads two states and writes one.
PublishState ParseState(std::string_view text) {
    const bool withIndexes = text.starts_with(kStateHeader);
    if (!withIndexes && !text.starts_with(kStateHeaderWithoutIndexes))
        return ParseStateJson(text);
    text.remove_prefix((withIndexes ? kStateHeader : kStateHeaderWithoutIndexes).size());
    PublishState state;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        // A damaged line is hashed again; a cut-off last line as well.
        if (auto entry =
                end < text.size() ? ParseStateLine(text.substr(0, end), withIndexes) : std::nullopt)
            state.emplace_hint(state.end(), entry->first, std::move(entry->second));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return state;
}

std::string StateText(const PublishState& state) {
    std::string text(kStateHeader);
    text.reserve(state.size() * 160);
    char number[24];
    auto append = [&](auto value) {
        text.append(number, std::to_chars(number, number + sizeof number, value).ptr);
        text += ' ';
    };
    for (const auto& [path, file] : state) {
        append(file.size);
        append(file.mtime);
        append(file.settled ? 1 : 0);
        text += file.sha256.size() == 64 ? file.sha256 : std::string(64, '-');
        text += ' ';
        append(file.published.volume);
        append(file.published.index);
        switch (file.indexes) {
            case RecordedFile::Indexes::Unknown:
                text += '-';
                break;
            case RecordedFile::Indexes::None:
                text += 'n';
                break;
            case RecordedFile::Indexes::ChunkOnly:
                text += 'c';
                break;
            case RecordedFile::Indexes::Both:
                text += IsChecksumText(file.blockHead) ? std::string_view(file.blockHead) : "-";
                break;
        }
        text += ' ';
        text += path;
        text += '\n';
    }
    return text;
}

bool Settled(std::int64_t mtime, std::int64_t readStart) {
    return mtime <= readStart && readStart - mtime >= kSettleTicks;
}

bool CanReuse(const RecordedFile& recorded, const SourceFile& file,
              const std::optional<FileState>& publishedNow) {
    return recorded.settled && recorded.size == file.size && recorded.mtime == file.mtime &&
           IsChecksumText(recorded.sha256) && publishedNow &&
           SameFileAndSize(*publishedNow, recorded.published);
}

namespace {

// `text` as a JSON string, as nlohmann's dump writes it. Manifest paths and digests need no
// escaping, so they are copied as they are; anything else goes through the library.
void AppendJsonString(std::string& out, std::string_view text) {
    const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
        return c >= 0x20 && c < 0x7f && c != '"' && c != '\\';
    });
    if (!plain) {
        out += nlohmann::json(text).dump();
        return;
    }
    out += '"';
    out += text;
    out += '"';
}

template <typename Number>
void AppendNumber(std::string& out, Number value) {
    char digits[24];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

// `"name":{"<path>":<value>,...},` over the entries `take` keeps.
template <typename Take, typename Value>
void AppendPathObject(std::string& out, std::string_view name,
                      const std::vector<ManifestEntry>& entries, Take take, Value value) {
    out += '"';
    out += name;
    out += "\":{";
    bool first = true;
    for (const ManifestEntry& entry : entries) {
        if (!take(entry))
            continue;
        if (!first)
            out += ',';
        first = false;
        AppendJsonString(out, entry.path);
        out += ':';
        value(entry);
    }
    out += "},";
}

}  // namespace

// Written directly rather than through a document tree: a large client's manifest has 100,000
// entries, and each publish writes it. Members in the order nlohmann's dump gives (sorted by name,
// as are the entries), so the bytes are what a tree would have produced.
std::string ManifestJson(const std::vector<ManifestEntry>& entries,
                         std::optional<std::pair<std::uint64_t, std::int64_t>> freshness,
                         const std::vector<std::string>& mirrors) {
    const std::string executable = WideToUtf8(ClientExecutableName);
    std::string out = "{";
    out.reserve(entries.size() * 160 + 256);
    const auto isExecutable = [&](const ManifestEntry& entry) { return entry.path == executable; };
    for (const ManifestEntry& entry : entries)
        if (isExecutable(entry)) {
            out += "\"binary\":{\"checksum\":";
            AppendJsonString(out, entry.sha256);
            out += ",\"file\":";
            AppendJsonString(out, entry.path);
            out += "},";
        }
    const auto hasBlocks = [](const ManifestEntry& entry) {
        return entry.chunked && !entry.blocks.empty();
    };
    if (std::any_of(entries.begin(), entries.end(), hasBlocks))
        AppendPathObject(out, "blocks", entries, hasBlocks,
                         [&](const ManifestEntry& entry) { AppendJsonString(out, entry.blocks); });
    const char* separator = "\"chunked\":[";
    for (const ManifestEntry& entry : entries)
        if (entry.chunked) {
            out += std::exchange(separator, ",");
            AppendJsonString(out, entry.path);
        }
    if (*separator == ',')
        out += "],";
    if (freshness) {
        out += "\"expires\":";
        AppendNumber(out, freshness->second);
        out += ',';
    }
    AppendPathObject(
        out, "files", entries, [&](const ManifestEntry& entry) { return !isExecutable(entry); },
        [&](const ManifestEntry& entry) { AppendJsonString(out, entry.sha256); });
    if (!mirrors.empty())
        out += "\"mirrors\":" + nlohmann::json(mirrors).dump() + ",";
    out += "\"objects\":";
    AppendJsonString(out, kObjectsBase);
    out += ',';
    if (freshness) {
        out += "\"serial\":";
        AppendNumber(out, freshness->first);
        out += ',';
    }
    AppendPathObject(
        out, "sizes", entries, [](const ManifestEntry&) { return true; },
        [&](const ManifestEntry& entry) { AppendNumber(out, entry.size); });
    out.back() = '}';  // the last member's comma
    return out;
}

namespace {

[[noreturn]] void ThrowErrno(const char* what, const fs::path& path, int error = errno) {
    throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

std::int64_t FileClockNow() {
    return fs::file_time_type::clock::now().time_since_epoch().count();
}

// Flushes a file or folder to the disk (a read-only descriptor suffices on Linux).
void SyncPath(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        ThrowErrno("open", path);
    const int result = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    if (result != 0)
        ThrowErrno("fsync", path, error);
}

// A file descriptor, closed with the object.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    int get() const { return fd_; }

private:
    int fd_;
};

// Opens the file `relative` names below `root` one name at a time, never through a link: a link
// planted anywhere on the way fails the open (ELOOP or ENOTDIR) instead of leading elsewhere.
Descriptor OpenBeneath(const fs::path& root, std::string_view relative) {
    Descriptor folder(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (std::size_t start = 0; folder.get() >= 0;) {
        const std::size_t slash = relative.find('/', start);
        const std::string name(relative.substr(start, slash - start));
        if (name.empty() || name == "." || name == "..") {
            errno = EINVAL;
            break;
        }
        const bool last = slash == std::string_view::npos;
        // O_NONBLOCK: a FIFO swapped in opens at once and then fails the identity check.
        Descriptor next(
            ::openat(folder.get(), name.c_str(),
                     O_RDONLY | O_CLOEXEC | O_NOFOLLOW | (last ? O_NONBLOCK : O_DIRECTORY)));
        if (last)
            return next;
        folder = std::move(next);
        start = slash + 1;
    }
    return Descriptor();
}

// An open file's identity, size and modification time: equal before and after the read when
// nothing wrote to it meanwhile.
struct OpenedState {
    FileState state;
    std::int64_t mtimeNs = 0;
    bool operator==(const OpenedState&) const = default;
};

std::optional<OpenedState> StateOf(const Descriptor& file) {
    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    return OpenedState{
        {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
         static_cast<std::uint64_t>(info.st_size)},
        std::int64_t{info.st_mtim.tv_sec} * 1'000'000'000 + info.st_mtim.tv_nsec};
}

// Why the file opened for a scanned one is not that file; nullopt when it is (or when the open
// failed for a reason of its own).
std::optional<std::string> SwappedSinceScan(const SourceFile& scanned, int openError,
                                            const std::optional<FileState>& opened) {
    if (openError == ELOOP || openError == ENOTDIR)
        return "became a link after the scan";
    if (openError == ENOENT)
        return "was removed after the scan";
    if (openError != 0)
        return std::nullopt;  // an open failure of its own, not a swap
    if (!opened || opened->volume != scanned.identity.volume ||
        opened->index != scanned.identity.index)
        return "was replaced by another file after the scan";
    if (opened->size != scanned.identity.size)
        return "changed size after the scan";
    return std::nullopt;
}

// The client file the scan found, read through a descriptor opened beneath the client folder.
// Anything else there now is refused: the copy must never read a file the scan did not
// see (a link to the signing key put in place meanwhile would publish the key).
Descriptor OpenScanned(const fs::path& root, const SourceFile& file) {
    Descriptor input = OpenBeneath(root, file.reached);
    const int openError = input.get() < 0 ? errno : 0;
    const std::optional<OpenedState> opened = StateOf(input);
    const std::optional<FileState> identity = opened ? std::optional(opened->state) : std::nullopt;
    if (auto swapped = SwappedSinceScan(file, openError, identity))
        throw PublishRefused({{file.manifestPath, *swapped}});
    if (openError != 0)
        ThrowErrno("open", file.source, openError);
    return input;
}

Descriptor OpenInstaller(const fs::path& file) {
    Descriptor input(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (input.get() < 0)
        ThrowErrno("open", file);
    return input;
}

std::int64_t ReadSome(const Descriptor& input, char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t got = ::read(input.get(), buffer, size);
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

struct Copied {
    std::string sha256;
    std::uint64_t size = 0;
    FileState published;
    bool unchangedWhileRead = false;
};

// One pass: the digest is taken from the very bytes written to the tree, so a source that
// changes meanwhile can never leave a published file that disagrees with its manifest entry.
Copied CopyAndHash(const Descriptor& input, const fs::path& source, const fs::path& target,
                   const std::function<void(std::uint64_t)>& progressed) {
    const std::optional<OpenedState> before = StateOf(input);
    if (!before)
        ThrowErrno("read", source, EINVAL);  // not a regular file
    OutputFile output;
    if (!output.createNew(target))
        ThrowErrno("create", target);
    Sha256Stream digest;
    constexpr std::size_t kBlock = 1 << 20;
    auto buffer = std::make_unique<char[]>(kBlock);
    Copied copied;
    for (;;) {
        const std::int64_t got = ReadSome(input, buffer.get(), kBlock);
        if (got < 0)
            ThrowErrno("read", source);
        if (got == 0)
            break;
        const auto size = static_cast<std::size_t>(got);
        digest.update(buffer.get(), size);
        if (!output.write(buffer.get(), size))
            ThrowErrno("write", target);
        copied.size += size;
        progressed(size);
    }
    const std::optional<FileState> written = output.state();
    if (!written || !output.close())
        ThrowErrno("close", target);
    // On the disk before any manifest names it (the folders follow before the switch).
    SyncPath(target);
    copied.sha256 = WideToUtf8(digest.finish());
    copied.published = *written;
    copied.unchangedWhileRead = StateOf(input) == before && before->state.size == copied.size;
    return copied;
}

// Hard links every regular file of `from` (recursively) into `to`.
void LinkTree(const fs::path& from, const fs::path& to) {
    if (!fs::is_directory(fs::symlink_status(from)))
        return;
    fs::create_directories(to);
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(from)) {
        const fs::path target = to / entry.path().lexically_relative(from);
        if (entry.is_directory())
            fs::create_directories(target);
        else if (entry.is_regular_file())
            fs::create_hard_link(entry.path(), target);
    }
}

void WriteDurably(const fs::path& file, std::string_view bytes) {
    if (const int error = WriteFileDurably(file, bytes.data(), bytes.size()))
        ThrowErrno("write", file, error);
}

// nginx's validator of a file is its modification second and its size: a manifest republished
// within the second at the same size would look unchanged (a 304) to a launcher that kept the
// last one, so the new file is dated at least a second past the one it replaces.
void DateAfter(const fs::path& previous, const fs::path& file) {
    std::error_code error;
    const fs::file_time_type before = fs::last_write_time(previous, error);
    if (error)
        return;
    const auto previousSecond = std::chrono::floor<std::chrono::seconds>(before);
    if (std::chrono::floor<std::chrono::seconds>(fs::last_write_time(file)) <= previousSecond)
        fs::last_write_time(file, previousSecond + std::chrono::seconds(1));
}

// Switches the served tree to `next` in one step. What a static server sees: every request
// resolves its path afresh, so it reads the old tree or the new one, never a mixture, and
// within the new tree the files were complete (and on disk) before the manifest naming them was
// written. A launcher that read the old manifest just before the switch may fetch a file that
// changed with it; it then fails that file's digest check, fetches it once more, and the next run
// takes the new manifest. Files that only the old tree has are gone after the switch, so such a
// launcher sees 404 for them: both are inherent to fixed download URLs and end with the next run.
// The old tree is kept under `next`'s name as the standby the next publish brings up to date;
// false when there was none.
bool SwitchTree(const fs::path& next, const fs::path& live) {
    if (!fs::exists(fs::symlink_status(live))) {
        fs::rename(next, live);
        return false;
    }
    if (::renameat2(AT_FDCWD, next.c_str(), AT_FDCWD, live.c_str(), RENAME_EXCHANGE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        ThrowErrno("renameat2", live);
    // A file system without an atomic exchange: a request between these renames sees 404.
    const fs::path old = next.parent_path() / "retired";
    fs::rename(live, old);
    fs::rename(next, live);
    fs::rename(old, next);
    return true;
}

// What a tree holds is recorded under the name of its folder's inode, which a rename or an
// exchange leaves alone: whichever way a publish ends, each tree's record is still its own.
std::optional<fs::path> TreeRecordPath(const fs::path& control, const fs::path& tree) {
    struct stat info {};
    if (::lstat(tree.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return std::nullopt;
    return control / ("tree-" + std::to_string(info.st_ino) + ".state");
}

PublishState ReadState(const fs::path& record) {
    std::string text;
    std::error_code ignored;
    if (const auto size = fs::file_size(record, ignored); !ignored) {
        text.resize(size);
        InputFile input;
        if (!input.open(record, false) ||
            input.read(text.data(), size) != static_cast<std::int64_t>(size))
            text.clear();
    }
    return ParseState(text);
}

// Removes every tree record but `kept` (and the one file of publishers before the standby), so
// a record never outlives its tree and meets a new folder that happens to get its inode.
void DropRecordsBut(const fs::path& control, const std::vector<fs::path>& kept) {
    bool dropped = false;
    for (const fs::directory_entry& entry : fs::directory_iterator(control)) {
        const std::string name = entry.path().filename().string();
        const bool record =
            (name.starts_with("tree-") && name.ends_with(".state")) || name == "state.json";
        if (record && std::find(kept.begin(), kept.end(), entry.path()) == kept.end())
            dropped = fs::remove(entry.path()) || dropped;
    }
    if (dropped)
        SyncPath(control);
}

// Creates `folder` and whatever is missing above it; every folder whose entries changed goes
// into `changed`, to be flushed before the switch.
void MakeFolders(const fs::path& folder, std::set<fs::path>& changed) {
    if (fs::is_directory(fs::symlink_status(folder)))
        return;
    MakeFolders(folder.parent_path(), changed);
    fs::create_directory(folder);
    changed.insert(folder);
    changed.insert(folder.parent_path());
}

// The standby's copies looked at through a handle of their folder, never by resolving each whole
// path again: files come in path order, so a folder's files follow one another.
class StandbyCopies {
public:
    explicit StandbyCopies(fs::path root) : root_(std::move(root)) {}

    std::optional<FileState> stateOf(std::string_view manifestPath) {
        const std::size_t slash = manifestPath.rfind('/');
        const std::string_view folder =
            slash == std::string_view::npos ? std::string_view() : manifestPath.substr(0, slash);
        if (!folder_ || *folder_ != folder) {
            folder_ = std::string(folder);
            handle_.open(folder.empty() ? root_ : root_ / folder);
        }
        const std::string name(manifestPath.substr(slash + 1));
        const FolderEntry entry = handle_.look(name.c_str());
        if (entry.kind != EntryKind::RegularFile)
            return std::nullopt;
        return FileState{entry.stamp.volume, entry.stamp.index, entry.stamp.size};
    }

private:
    fs::path root_;
    std::optional<std::string> folder_;
    FolderHandle handle_;
};

// A first publish leaves a standby of links to the files it served, recorded as the same files,
// so the next publish already changes only what differs.
void SeedStandby(const fs::path& live, const fs::path& standby, const fs::path& control,
                 const PublishState& state) {
    LinkTree(live / "files", standby / "files");
    for (const char* named : {"objects", "chunks"})
        if (fs::is_directory(live / named))
            LinkTree(live / named, standby / named);
    // Its folders are not flushed: a link lost in a crash fails the standby's check next time.
    if (auto record = TreeRecordPath(control, standby))
        WriteDurably(*record, StateText(state));
}

// What the new tree holds, by path: true for a folder, false for a file (views into the files
// and into `folders`).
struct TreeShape {
    std::set<std::string> folders;
    std::unordered_map<std::string_view, bool> paths;
};

TreeShape ShapeOf(const std::vector<SourceFile>& files) {
    TreeShape shape;
    for (const SourceFile& file : files) {
        const std::string& path = file.manifestPath;
        for (std::size_t slash = path.rfind('/');
             slash != std::string::npos && slash > 0 &&
             shape.folders.insert(path.substr(0, slash)).second;
             slash = path.rfind('/', slash - 1)) {
        }
    }
    shape.paths.reserve(files.size() + shape.folders.size());
    for (const SourceFile& file : files)
        shape.paths.emplace(file.manifestPath, false);
    for (const std::string& folder : shape.folders)
        shape.paths.emplace(folder, true);
    return shape;
}

// The type a listing would give, for a file system whose listing gives none.
unsigned char ListingType(const fs::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return DT_UNKNOWN;
    return S_ISDIR(info.st_mode) ? DT_DIR : S_ISREG(info.st_mode) ? DT_REG : DT_UNKNOWN;
}

// Removes from the standby's `folder` (at `path` in the tree) whatever the new tree does not hold
// there: other names, folders no file needs, links and anything else that is no regular file. A
// tree someone added to still comes out exactly as the client. Read with readdir's own types:
// looking at 100,000 names costs no call per name.
void PruneStandby(const fs::path& folder, std::string& path, const TreeShape& shape,
                  std::set<fs::path>& changed) {
    const std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(folder.c_str()), ::closedir);
    if (!listing)
        ThrowErrno("opendir", folder);
    const std::size_t base = path.size();
    std::vector<std::string> unwanted, subfolders;
    while (const dirent* entry = ::readdir(listing.get())) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        path.resize(base);
        if (base > 0)
            path += '/';
        path += name;
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN)
            type = ListingType(folder / name);
        const auto held = shape.paths.find(path);
        if (held != shape.paths.end() && held->second && type == DT_DIR)
            subfolders.emplace_back(name);
        else if (held == shape.paths.end() || held->second || type != DT_REG)
            unwanted.emplace_back(name);
    }
    for (const std::string& name : unwanted) {
        fs::remove_all(folder / name);
        changed.insert(folder);
    }
    for (const std::string& name : subfolders) {
        path.resize(base);
        if (base > 0)
            path += '/';
        path += name;
        PruneStandby(folder / name, path, shape, changed);
    }
    path.resize(base);
}

struct Job {
    const SourceFile* file = nullptr;
    fs::path target;
    Copied result;
};

// Copies and hashes the jobs on a few threads; the caller's thread reports progress.
void RunJobs(const fs::path& root, std::vector<Job>& jobs, unsigned threads,
             const ProgressSink& progress) {
    Progress totals;
    totals.filesTotal = jobs.size();
    for (const Job& job : jobs)
        totals.bytesTotal += job.file->size;
    std::atomic<std::size_t> next{0};
    std::atomic<std::uint64_t> bytesDone{0};
    std::mutex mutex;  // guards the three below
    std::condition_variable finished;
    std::size_t filesDone = 0, workersLeft = 0;
    std::exception_ptr failure;
    auto work = [&]() noexcept {
        for (std::size_t index; (index = next.fetch_add(1)) < jobs.size();) {
            try {
                Job& job = jobs[index];
                job.result = CopyAndHash(OpenScanned(root, *job.file), job.file->source, job.target,
                                         [&](std::uint64_t bytes) { bytesDone += bytes; });
                std::lock_guard lock(mutex);
                ++filesDone;
            } catch (...) {
                std::lock_guard lock(mutex);
                if (!failure)
                    failure = std::current_exception();
                next = jobs.size();
            }
        }
        std::lock_guard lock(mutex);
        --workersLeft;
        finished.notify_all();
    };
    if (threads == 0)
        threads = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
    threads = static_cast<unsigned>(std::min<std::size_t>(threads, jobs.size()));
    std::vector<std::thread> workers;
    workersLeft = threads;
    try {
        for (unsigned i = 0; i < threads; ++i)
            workers.emplace_back(work);
    } catch (...) {
        std::lock_guard lock(mutex);
        workersLeft = workers.size();
        if (workers.empty())
            throw;
    }
    for (bool done = false; !done;) {
        std::unique_lock lock(mutex);
        done = finished.wait_for(lock, std::chrono::milliseconds(100),
                                 [&] { return workersLeft == 0; });
        totals.filesDone = filesDone;
        const bool failed = failure != nullptr;
        lock.unlock();
        totals.bytesDone = bytesDone;
        if (progress && !failed)
            progress(totals, done);
    }
    for (std::thread& worker : workers)
        worker.join();
    if (failure)
        std::rethrow_exception(failure);
}

std::optional<std::string> ReadText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return in.bad() ? std::nullopt : std::optional(std::move(text));
}

// The serial of the last signed publish into this folder; 0 when there was none. A record that
// is not one number is refused: read as 0 it would let the next serial fall behind.
std::uint64_t ReadPublishedSerial(const fs::path& record) {
    if (!fs::exists(fs::symlink_status(record)))
        return 0;
    const std::optional<std::string> text = ReadText(record);
    std::uint64_t serial = 0;
    const std::string_view digits =
        text ? std::string_view(*text).substr(0, text->find_last_not_of('\n') + 1) : "";
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), serial);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size())
        throw std::runtime_error(record.string() +
                                 " is damaged; write the \"serial\" of the published "
                                 "updater/updater.php into it and publish again");
    return serial;
}

bool IsEmptyFolder(const fs::path& folder) {
    return fs::is_directory(folder) && fs::directory_iterator(folder) == fs::directory_iterator();
}

// launcher/latest.json of the next tree, with its signature in a signed publish: a new release's,
// or in a signed publish that keeps the release, the kept one with this publish's serial and
// expiry (a signed launcher refuses it once it expires). Unsigned, a kept release stays linked.
void WriteReleaseDocument(const PublishOptions& options, const fs::path& live, const fs::path& next,
                          const std::string& installerSha256,
                          const std::optional<ReleaseFreshness>& freshness) {
    const fs::path kept = live / "launcher" / "latest.json";
    std::string latest;
    if (options.release) {
        const PublishOptions::Release& release = *options.release;
        latest = ReleaseJson(release.version, release.url, installerSha256, release.changelog,
                             freshness);
    } else if (freshness && fs::is_regular_file(fs::symlink_status(kept))) {
        std::ifstream in(kept, std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof())
            throw std::runtime_error("cannot read " + kept.string());
        latest = RefreshedReleaseJson(text, *freshness);
    } else {
        return;
    }
    WriteDurably(next / "launcher" / "latest.json", latest);
    if (options.signingKeyPem)
        WriteDurably(next / "launcher" / "latest.json.sig",
                     SignatureText(*options.signingKeyPem, latest));
}

}  // namespace

bool WriteChunkIndex(const fs::path& file, const std::string& sha256, std::uint64_t size,
                     const fs::path& chunksDir, const fs::path& previousDir) {
    if (size < kChunkedFileMin)
        return false;
    const std::wstring wide(sha256.begin(), sha256.end());
    const std::optional<Digest> digest = DigestFromHex(wide);
    if (!digest)
        return false;
    const std::string name = sha256 + ".idx";
    // An earlier index is reused only when it still reads as the index of this very file.
    std::ifstream previous(previousDir / name, std::ios::binary);
    if (previous) {
        const std::string bytes((std::istreambuf_iterator<char>(previous)),
                                std::istreambuf_iterator<char>());
        const auto index = ParseChunkIndex(bytes, *digest);
        std::error_code error;
        if (index && index->size == size) {
            fs::create_hard_link(previousDir / name, chunksDir / name, error);
            if (!error)
                return true;
        }
    }
    const std::optional<std::vector<Chunk>> chunks = ChunkFile(file);
    if (!chunks)
        ThrowErrno("read", file, EIO);
    ChunkIndex index{*digest, size, *chunks};
    std::uint64_t covered = 0;
    for (const Chunk& chunk : index.chunks)
        covered += chunk.length;
    if (covered != size)
        ThrowErrno("read", file, EIO);  // the published copy changed under us
    const std::string bytes = ChunkIndexBytes(index);
    if (bytes.size() > kChunkIndexMaxBytes)
        return false;
    WriteDurably(chunksDir / name, bytes);
    return true;
}

namespace {

std::string ReadWholeFile(const fs::path& file) {
    std::ifstream input(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(input)), std::istreambuf_iterator<char>());
}

std::string DigestText(std::string_view bytes) {
    Sha256Stream digest;
    digest.update(bytes.data(), bytes.size());
    return WideToUtf8(digest.finish());
}

}  // namespace

std::optional<std::string> WriteBlockIndex(const fs::path& file, const std::string& sha256,
                                           const fs::path& chunksDir, const fs::path& previousDir) {
    const std::optional<Digest> digest = DigestFromHex(std::wstring(sha256.begin(), sha256.end()));
    const std::string chunkIndexBytes = ReadWholeFile(chunksDir / (sha256 + ".idx"));
    const std::optional<ChunkIndex> index =
        digest ? ParseChunkIndex(chunkIndexBytes, *digest) : std::nullopt;
    if (!index)
        return std::nullopt;
    const qs::BlockIndexLayout layout = qs::LayoutOfBlockIndex(index->chunks);
    const Digest chunkIndexDigest = DigestOfBytes(chunkIndexBytes);
    const std::string name = sha256 + ".blk";
    // An earlier block index is reused, unread past its head, when that head names this very
    // chunk index and its length fits: an unchanged file costs no reading.
    std::ifstream previous(previousDir / name, std::ios::binary);
    std::error_code error;
    const std::uint64_t previousSize = fs::file_size(previousDir / name, error);
    if (previous && !error && previousSize == layout.groupAt.back()) {
        std::string head(layout.headBytes, '\0');
        previous.read(head.data(), static_cast<std::streamsize>(head.size()));
        const Digest headDigest = DigestOfBytes(head);
        if (previous && qs::ParseBlockIndexHead(head, headDigest, chunkIndexDigest, layout)) {
            fs::create_hard_link(previousDir / name, chunksDir / name, error);
            if (!error)
                return DigestText(head);
        }
    }
    const std::optional<std::vector<qs::BlockList>> lists =
        qs::BlockListsOfFile(file, index->chunks);
    if (!lists)
        ThrowErrno("read", file, EIO);
    const std::string bytes = qs::BlockIndexBytes(chunkIndexBytes, *lists);
    WriteDurably(chunksDir / name, bytes);
    return DigestText(qs::BlockIndexHead(bytes, layout));
}

namespace {

// The names in `folder`, read once: whether an index is there costs no call of its own.
std::unordered_set<std::string> NamesIn(const fs::path& folder) {
    std::unordered_set<std::string> names;
    const std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(folder.c_str()), ::closedir);
    if (!listing)
        return names;
    while (const dirent* entry = ::readdir(listing.get()))
        if (entry->d_type == DT_REG || entry->d_type == DT_UNKNOWN)
            names.emplace(entry->d_name);
    return names;
}

// Gives every large file of `state` its indexes in next/chunks, and records which it has.
void PlaceIndexes(PublishState& state, const fs::path& next, const fs::path& live) {
    using Indexes = RecordedFile::Indexes;
    const fs::path chunks = next / "chunks";
    std::unordered_set<std::string> held = NamesIn(chunks);
    auto namesOf = [](const RecordedFile& recorded) {
        std::vector<std::string> names;
        if (recorded.indexes == Indexes::ChunkOnly || recorded.indexes == Indexes::Both)
            names.push_back(recorded.sha256 + ".idx");
        if (recorded.indexes == Indexes::Both)
            names.push_back(recorded.sha256 + ".blk");
        return names;
    };
    // Whether the indexes `recorded` names are in the standby, or could be linked from the live
    // tree: the indexes are a function of the content, so what a record says of it holds.
    auto placed = [&](const RecordedFile& recorded) {
        if (recorded.indexes == Indexes::Unknown)
            return false;
        for (const std::string& name : namesOf(recorded)) {
            std::error_code error;
            if (!held.count(name) &&
                (fs::create_hard_link(live / "chunks" / name, chunks / name, error), error))
                return false;
            held.insert(name);
        }
        return true;
    };
    std::unordered_map<std::string, const RecordedFile*> done;  // by digest: one content, one index
    for (auto& [path, recorded] : state) {
        if (recorded.size < kChunkedFileMin) {
            recorded.indexes = Indexes::Unknown;
            continue;
        }
        if (const auto same = done.find(recorded.sha256); same != done.end()) {
            recorded.indexes = same->second->indexes;
            recorded.blockHead = same->second->blockHead;
            continue;
        }
        done.emplace(recorded.sha256, &recorded);
        if (placed(recorded))
            continue;
        // Made (or linked and checked) afresh, in place of whatever the standby holds.
        for (const char* suffix : {".idx", ".blk"})
            if (held.erase(recorded.sha256 + suffix))
                fs::remove(chunks / (recorded.sha256 + suffix));
        const fs::path file = next / "files" / path;
        recorded.indexes = Indexes::None;
        recorded.blockHead.clear();
        if (!WriteChunkIndex(file, recorded.sha256, recorded.size, chunks, live / "chunks"))
            continue;
        recorded.indexes = Indexes::ChunkOnly;
        if (auto head = WriteBlockIndex(file, recorded.sha256, chunks, live / "chunks")) {
            recorded.indexes = Indexes::Both;
            recorded.blockHead = *head;
        }
    }
}

}  // namespace

PublishReport Publish(const PublishOptions& options) {
    const fs::path client = fs::canonical(options.clientDir);
    const fs::path out = fs::weakly_canonical(options.outDir);
    if (out == client || Inside(client, out) || Inside(out, client))
        throw std::runtime_error("the client folder and the output folder must not overlap");
    const fs::path control = out / ".quillon-publish";
    if (fs::exists(out) && !IsEmptyFolder(out) && !fs::is_directory(control))
        throw std::runtime_error(out.string() +
                                 " holds other files; give an empty folder or an earlier output");

    ClientScan scan = ScanClient(client);
    if (!scan.problems.empty())
        throw PublishRefused(std::move(scan.problems));
    if (options.onStep)
        options.onStep(PublishOptions::Step::Scanned);
    if (options.release) {
        const PublishOptions::Release& release = *options.release;
        ReleaseJson(release.version, release.url, std::string(64, '0'), release.changelog);
        if (!fs::is_regular_file(release.installer))
            throw std::runtime_error(release.installer.string() + " is not a file");
    }

    fs::create_directories(control);
    FolderLock lock;
    if (lock.tryLock(control) != FolderLock::Outcome::Locked)
        throw std::runtime_error("another publish is writing to " + out.string());

    const fs::path live = out / "updater";
    std::uint64_t previousSerial = 0;
    if (options.signingKeyPem) {
        previousSerial = ReadPublishedSerial(control / "serial.txt");
    }
    // Left by a publisher before the standby tree that did not finish.
    fs::remove_all(control / "next");
    fs::remove_all(control / "retired");
    // The tree served before the live one, brought up to date by what differs and then switched
    // in: a republish costs what changed, not a link per file.
    const fs::path next = control / "standby";
    const std::optional<fs::path> liveRecord = TreeRecordPath(control, live);
    if (liveRecord && !fs::exists(*liveRecord) && fs::exists(control / "state.json"))
        fs::rename(control / "state.json", *liveRecord);
    const std::optional<fs::path> standbyRecord = TreeRecordPath(control, next);
    const PublishState standbyState = standbyRecord ? ReadState(*standbyRecord) : PublishState{};
    // The standby's record goes before the standby changes: a publish stopped from here on leaves
    // a standby without one, which the next publish makes afresh.
    DropRecordsBut(control, liveRecord ? std::vector{*liveRecord} : std::vector<fs::path>{});
    if (standbyState.empty())
        fs::remove_all(next);
    else
        for (const fs::directory_entry& entry : fs::directory_iterator(next))
            // Objects and indexes are named by their content and never removed: the standby
            // keeps its own.
            if (entry.path().filename() != "files" && entry.path().filename() != "objects" &&
                entry.path().filename() != "chunks")
                fs::remove_all(entry.path());
    fs::create_directories(next / "files");
    // Both trees' objects, listed on a thread of its own while the files are brought up to date:
    // for a large client that is a name and a stat per file.
    std::future<ObjectInventory> objectInventory = std::async(std::launch::async, [&live, &next] {
        return ListObjects(live / "objects", next / "objects");
    });

    // Folders whose entries change, flushed before the switch.
    std::set<fs::path> folders{next, next / "files"};
    const TreeShape shape = ShapeOf(scan.files);
    std::string walked;
    PruneStandby(next / "files", walked, shape, folders);

    std::optional<PublishState> liveState;  // read once a file needs it
    auto liveRecorded = [&](const std::string& path) -> const RecordedFile* {
        if (!liveState)
            liveState = liveRecord ? ReadState(*liveRecord) : PublishState{};
        const auto found = liveState->find(path);
        return found == liveState->end() ? nullptr : &found->second;
    };
    PublishState state;
    std::vector<Job> jobs;
    PublishReport report;
    auto kept = standbyState.begin();  // both in path order: walked side by side
    StandbyCopies standbyCopies(next / "files");
    for (const SourceFile& file : scan.files) {
        while (kept != standbyState.end() && kept->first < file.manifestPath)
            ++kept;
        if (kept != standbyState.end() && kept->first == file.manifestPath &&
            CanReuse(kept->second, file, standbyCopies.stateOf(file.manifestPath))) {
            state.emplace_hint(state.end(), file.manifestPath, kept->second);
            continue;
        }
        const fs::path target = next / "files" / file.manifestPath;
        // Whatever the standby holds there is not this file's copy.
        fs::remove(target);
        MakeFolders(target.parent_path(), folders);
        folders.insert(target.parent_path());
        const fs::path old = live / "files" / file.manifestPath;
        if (const RecordedFile* recorded = liveRecorded(file.manifestPath);
            recorded && CanReuse(*recorded, file, RegularFileState(old))) {
            std::error_code linkError;
            fs::create_hard_link(old, target, linkError);
            if (!linkError) {
                state.emplace_hint(state.end(), file.manifestPath, *recorded);
                continue;
            }
        }
        jobs.push_back({&file, target, {}});
    }
    const std::int64_t readStart = FileClockNow();
    RunJobs(client, jobs, options.threads, options.progress);
    for (const Job& job : jobs) {
        RecordedFile recorded;
        recorded.size = job.result.size;
        recorded.mtime = job.file->mtime;
        recorded.settled = job.result.unchangedWhileRead && job.result.size == job.file->size &&
                           Settled(job.file->mtime, readStart);
        recorded.sha256 = job.result.sha256;
        recorded.published = job.result.published;
        report.hashedFiles++;
        report.hashedBytes += job.result.size;
        state.emplace(job.file->manifestPath, std::move(recorded));
    }

    std::string installerSha256;
    if (options.release) {
        const PublishOptions::Release& release = *options.release;
        fs::create_directories(next / "launcher");
        installerSha256 =
            CopyAndHash(OpenInstaller(release.installer), release.installer,
                        next / "launcher" / release.installerName, [](std::uint64_t) {})
                .sha256;
    } else {
        LinkTree(live / "launcher", next / "launcher");
    }

    // Chunk and block indexes of the large files, so a launcher with an old copy fetches only
    // what changed. Named by content: the standby keeps its own, an unchanged file's indexes are
    // linked from the live tree, and a file whose record says which it has reads neither.
    fs::create_directories(next / "chunks");
    folders.insert(next / "chunks");
    PlaceIndexes(state, next, live);

    // The manifest last: it names only files that are already complete in this tree.
    std::vector<ManifestEntry> entries;
    entries.reserve(state.size());
    for (const auto& [path, recorded] : state) {
        using Indexes = RecordedFile::Indexes;
        const bool chunked =
            recorded.indexes == Indexes::ChunkOnly || recorded.indexes == Indexes::Both;
        entries.push_back({path, recorded.sha256, recorded.size, chunked,
                           recorded.indexes == Indexes::Both ? recorded.blockHead : std::string()});
        report.files++;
        report.bytes += recorded.size;
    }
    // A signed manifest's serial grows with every publish, and never falls behind the clock, so
    // a publish from a machine without this folder's history still moves it forward.
    std::optional<std::pair<std::uint64_t, std::int64_t>> freshness;
    std::uint64_t serial = 0;
    if (options.signingKeyPem) {
        const std::int64_t now = options.now
                                     ? options.now
                                     : std::chrono::duration_cast<std::chrono::seconds>(
                                           std::chrono::system_clock::now().time_since_epoch())
                                           .count();
        serial = std::max<std::uint64_t>(previousSerial + 1, static_cast<std::uint64_t>(now));
        freshness.emplace(serial, now + std::int64_t{options.expiresDays} * 24 * 3600);
    }
    // Written and compressed on a thread of its own while the objects are placed. The compressed
    // copy is for a server that serves it precompressed (nginx's gzip_static): the launcher
    // decodes it to exactly these bytes, which the signature covers.
    std::future<std::pair<std::string, std::string>> manifestTexts =
        std::async(std::launch::async, [&entries, &freshness, &options] {
            std::string manifest = ManifestJson(entries, freshness, options.mirrors);
            std::string compressed = GzipBytes(manifest);
            return std::pair{std::move(manifest), std::move(compressed)};
        });

    std::vector<ObjectSource> objects;
    objects.reserve(state.size());
    for (const auto& [path, recorded] : state)
        objects.push_back({next / "files" / path, recorded.sha256, recorded.size});
    WriteObjects(live / "objects", next / "objects", objectInventory.get(), objects, folders);
    WriteReleaseDocument(options, live, next, installerSha256, freshness);

    // Links and new names on the disk too: per folder, not syncfs, which would also wait for
    // whatever else the machine is writing.
    if (fs::exists(next / "launcher"))
        folders.insert(next / "launcher");
    for (const fs::path& folder : folders)
        SyncPath(folder);
    const auto [manifest, compressed] = manifestTexts.get();
    if (manifest.size() > kManifestMaxBytes)
        throw std::runtime_error("the manifest would be larger than the launcher reads");
    WriteDurably(next / "updater.php", manifest);
    WriteDurably(next / "updater.php.gz", compressed);
    DateAfter(live / "updater.php", next / "updater.php");
    DateAfter(live / "updater.php.gz", next / "updater.php.gz");
    if (options.signingKeyPem) {
        WriteDurably(next / "updater.sig", SignatureText(*options.signingKeyPem, manifest));
        // Before the switch: once the tree is served its serial is spent, even if this process
        // ends right after, so the next publish must go above it.
        WriteDurably(control / "serial.txt", std::to_string(serial) + "\n");
    }
    // Recorded before the switch: from the exchange on, this tree is the one served.
    WriteDurably(*TreeRecordPath(control, next), StateText(state));
    if (options.onStep)
        options.onStep(PublishOptions::Step::Switching);

    const bool standbyKept = SwitchTree(next, live);
    SyncPath(out);
    SyncPath(control);
    for (const auto& [name, bytes] : options.documents)
        WriteDurably(out / name, bytes);
    if (!standbyKept)
        SeedStandby(live, next, control, state);
    std::vector<fs::path> records;
    for (const fs::path& tree : {live, next})
        if (auto record = TreeRecordPath(control, tree))
            records.push_back(*record);
    DropRecordsBut(control, records);
    return report;
}

}  // namespace qs::publish
