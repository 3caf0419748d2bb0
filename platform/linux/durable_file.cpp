#include "platform/durable_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <string>

namespace qs {

namespace {

int SyncPath(const std::filesystem::path& path, int flags) {
    int fd = open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int result = fsync(fd) == 0 ? 0 : errno;
    close(fd);
    return result;
}

std::filesystem::path FolderOf(const std::filesystem::path& file) {
    auto parent = file.parent_path();
    return parent.empty() ? std::filesystem::path(".") : parent;
}

}  // namespace

int ReplaceFileDurably(const std::filesystem::path& source, const std::filesystem::path& target) {
    if (int error = SyncPath(source, O_RDONLY))
        return error;
    if (rename(source.c_str(), target.c_str()) != 0)
        return errno;
    // The rename is only durable once the folder entry is on disk. Once it happened the target
    // holds the new bytes whatever the sync says, so a failed sync must not report the
    // replacement as failed: the next run's check finds the file in either state.
    SyncPath(FolderOf(target), O_RDONLY | O_DIRECTORY);
    return 0;
}

int MoveOver(const std::filesystem::path& source, const std::filesystem::path& target) {
    return rename(source.c_str(), target.c_str()) == 0 ? 0 : errno;
}

int SyncFolder(const std::filesystem::path& folder) {
    return SyncPath(folder.empty() ? std::filesystem::path(".") : folder, O_RDONLY | O_DIRECTORY);
}

bool IsFileInUseError(int errorNumber) {
    // A read-only file system is not "in use": closing the client would not help.
    return errorNumber == EACCES || errorNumber == EPERM || errorNumber == EBUSY ||
           errorNumber == ETXTBSY;
}

int WriteFileDurably(const std::filesystem::path& target, const void* data, std::size_t size) {
    std::random_device random;
    std::filesystem::path temporary = target;
    temporary += ".tmp-" + std::to_string(random());
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return errno;
    const char* bytes = static_cast<const char*>(data);
    int error = 0;
    while (size > 0) {
        ssize_t written = write(fd, bytes, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            break;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    if (!error && fsync(fd) != 0)
        error = errno;
    if (close(fd) != 0 && !error)
        error = errno;
    if (!error)
        error = ReplaceFileDurably(temporary, target);
    if (error)
        unlink(temporary.c_str());
    return error;
}

int MakeExecutable(const std::filesystem::path& file) {
    struct stat info {};
    if (stat(file.c_str(), &info) != 0)
        return errno;
    mode_t wanted = info.st_mode | S_IXUSR | ((info.st_mode & S_IRGRP) ? S_IXGRP : 0) |
                    ((info.st_mode & S_IROTH) ? S_IXOTH : 0);
    if (wanted == info.st_mode)
        return 0;
    return chmod(file.c_str(), wanted & 07777) == 0 ? 0 : errno;
}

}  // namespace qs
