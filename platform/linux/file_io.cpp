#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

namespace qs {

namespace {

std::int64_t Nanoseconds(const timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

FileState StateOf(const struct stat& info) {
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
            static_cast<std::uint64_t>(info.st_size), Nanoseconds(info.st_mtim), 0};
}

std::optional<FileState> DescriptorState(std::intptr_t handle) {
    struct stat info {};
    if (handle < 0 || fstat(static_cast<int>(handle), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    return StateOf(info);
}

}  // namespace

std::optional<FileStamp> StampOfFile(const std::filesystem::path& file) {
    struct stat info {};
    if (stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    return FileStamp{static_cast<std::uint64_t>(info.st_size), Nanoseconds(info.st_mtim),
                     Nanoseconds(info.st_ctim), static_cast<std::uint64_t>(info.st_dev),
                     static_cast<std::uint64_t>(info.st_ino)};
}

std::optional<FileState> RegularFileState(const std::filesystem::path& file) {
    struct stat info {};
    if (lstat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    return StateOf(info);
}

InputFile::~InputFile() {
    if (handle_ >= 0)
        ::close(static_cast<int>(handle_));
}

std::optional<std::uint64_t> FreeDiskBytes(const std::filesystem::path& folder) {
    struct statvfs info {};
    if (statvfs(folder.c_str(), &info) != 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

bool InputFile::open(const std::filesystem::path& file, bool followLinks) {
    if (handle_ >= 0)
        ::close(static_cast<int>(handle_));
    handle_ = -1;
    // O_NONBLOCK so that opening a FIFO returns at once instead of waiting for a writer; regular
    // files ignore it for reads.
    const int fd =
        ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (followLinks ? 0 : O_NOFOLLOW));
    if (fd < 0)
        return false;
    if (!DescriptorState(fd)) {
        ::close(fd);
        return false;
    }
    handle_ = fd;
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return true;
}

std::optional<FileState> InputFile::state() const {
    return DescriptorState(handle_);
}

std::int64_t InputFile::read(void* buffer, std::size_t size) {
    if (handle_ < 0)
        return -1;
    for (;;) {
        ssize_t got = ::read(static_cast<int>(handle_), buffer, size);
        if (got < 0 && errno == EINTR)
            continue;
        return got < 0 ? -1 : got;
    }
}

bool InputFile::makeExecutable() {
    struct stat info {};
    if (handle_ < 0 || fstat(static_cast<int>(handle_), &info) != 0)
        return false;
    const mode_t wanted = info.st_mode | S_IXUSR | ((info.st_mode & S_IRGRP) ? S_IXGRP : 0) |
                          ((info.st_mode & S_IROTH) ? S_IXOTH : 0);
    return wanted == info.st_mode || fchmod(static_cast<int>(handle_), wanted & 07777) == 0;
}

OutputFile::~OutputFile() {
    if (handle_ >= 0)
        ::close(static_cast<int>(handle_));
}

bool OutputFile::create(const std::filesystem::path& file) {
    if (handle_ >= 0)
        ::close(static_cast<int>(handle_));
    handle_ = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    return handle_ >= 0;
}

bool OutputFile::createNew(const std::filesystem::path& file) {
    if (handle_ >= 0)
        ::close(static_cast<int>(handle_));
    handle_ = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    return handle_ >= 0;
}

bool OutputFile::openToAppend(const std::filesystem::path& file) {
    if (handle_ >= 0)
        ::close(static_cast<int>(handle_));
    handle_ = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (handle_ >= 0 && !DescriptorState(handle_)) {
        ::close(static_cast<int>(handle_));
        handle_ = -1;
    }
    return handle_ >= 0;
}

std::optional<FileState> OutputFile::state() const {
    return DescriptorState(handle_);
}

std::optional<FileState> OutputFile::finishedState() {
    return DescriptorState(handle_);  // closing a descriptor leaves the times alone
}

bool OutputFile::write(const void* data, std::size_t size) {
    if (handle_ < 0)
        return false;
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t written = ::write(static_cast<int>(handle_), bytes, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool OutputFile::sync() {
    return handle_ >= 0 && fdatasync(static_cast<int>(handle_)) == 0;
}

bool VolumeSyncAvailable() {
    return true;
}

// syncfs reports a writeback error of the volume (since Linux 5.8) that no caller saw yet,
// also one from before this descriptor was opened, as fdatasync does for its file.
bool OutputFile::syncVolume() {
    return handle_ >= 0 && syncfs(static_cast<int>(handle_)) == 0;
}

void OutputFile::startWriteback() {
    if (handle_ >= 0)
        sync_file_range(static_cast<int>(handle_), 0, 0, SYNC_FILE_RANGE_WRITE);
}

bool OutputFile::close() {
    if (handle_ < 0)
        return false;
    int fd = static_cast<int>(handle_);
    handle_ = -1;
    return ::close(fd) == 0;
}

}  // namespace qs
