#include "platform/folder_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include <utility>

namespace qs {

namespace {

std::int64_t Nanoseconds(const timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

EntryKind KindOf(mode_t mode) {
    if (S_ISREG(mode))
        return EntryKind::RegularFile;
    if (S_ISDIR(mode))
        return EntryKind::Folder;
    if (S_ISLNK(mode))
        return EntryKind::Link;
    return EntryKind::Other;
}

}  // namespace

FolderHandle::~FolderHandle() {
    close();
}

FolderHandle::FolderHandle(FolderHandle&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)), path_(std::move(other.path_)) {}

FolderHandle& FolderHandle::operator=(FolderHandle&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, -1);
        path_ = std::move(other.path_);
    }
    return *this;
}

void FolderHandle::close() {
    if (handle_ >= 0)
        ::close(static_cast<int>(handle_));
    handle_ = -1;
}

bool FolderHandle::open(const std::filesystem::path& folder) {
    close();
    // O_PATH: a handle to look beneath, whatever the folder's read permission says.
    handle_ = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    return handle_ >= 0;
}

bool FolderHandle::openChild(const FolderHandle& parent, const Name* name) {
    close();
    if (parent.handle_ < 0)
        return false;
    handle_ = ::openat(static_cast<int>(parent.handle_), name,
                       O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    return handle_ >= 0;
}

FolderEntry FolderHandle::look(const Name* name) const {
    struct stat info {};
    if (handle_ < 0 || fstatat(static_cast<int>(handle_), name, &info, AT_SYMLINK_NOFOLLOW) != 0)
        return {};
    FolderEntry entry{KindOf(info.st_mode), {}};
    if (entry.kind == EntryKind::RegularFile)
        entry.stamp = {static_cast<std::uint64_t>(info.st_size), Nanoseconds(info.st_mtim),
                       Nanoseconds(info.st_ctim), static_cast<std::uint64_t>(info.st_dev),
                       static_cast<std::uint64_t>(info.st_ino)};
    return entry;
}

bool FolderHandle::openFile(const Name* name, InputFile& file) const {
    if (file.handle_ >= 0)
        ::close(static_cast<int>(file.handle_));
    file.handle_ = -1;
    if (handle_ < 0)
        return false;
    // O_NONBLOCK: a FIFO put there since it was looked at must not wait for a writer.
    const int fd =
        ::openat(static_cast<int>(handle_), name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0)
        return false;
    file.handle_ = fd;
    if (!file.state()) {
        ::close(fd);
        file.handle_ = -1;
        return false;
    }
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return true;
}

bool FolderHandle::list(std::vector<ListedName>& names) const {
    names.clear();
    if (handle_ < 0)
        return false;
    // The handle only locates the folder; reading its entries takes a descriptor opened for it.
    const int fd = ::openat(static_cast<int>(handle_), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    DIR* folder = fdopendir(fd);
    if (!folder) {
        ::close(fd);
        return false;
    }
    errno = 0;
    while (const dirent* entry = readdir(folder)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        EntryKind kind = EntryKind::Other;
        switch (entry->d_type) {
            case DT_DIR:
                kind = EntryKind::Folder;
                break;
            case DT_REG:
                kind = EntryKind::RegularFile;
                break;
            case DT_LNK:
                kind = EntryKind::Link;
                break;
            case DT_UNKNOWN:  // a file system that does not say: the name itself is looked at
                kind = look(entry->d_name).kind;
                break;
            default:
                break;
        }
        names.push_back({std::string(name), kind});
        errno = 0;
    }
    const bool complete = errno == 0;
    closedir(folder);
    return complete;
}

bool FolderHandle::removeFile(const Name* name) const {
    return handle_ >= 0 && unlinkat(static_cast<int>(handle_), name, 0) == 0;
}

bool FolderHandle::removeLink(const Name* name) const {
    // Without AT_REMOVEDIR a real folder put there since the look is refused, never removed.
    return look(name).kind == EntryKind::Link && unlinkat(static_cast<int>(handle_), name, 0) == 0;
}

}  // namespace qs
