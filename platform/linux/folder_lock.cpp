#include "platform/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

FolderLock::~FolderLock() {
    if (handle_ >= 0)
        close(static_cast<int>(handle_));
}

FolderLock::Outcome FolderLock::tryLock(const std::filesystem::path& folder) {
    if (handle_ >= 0)
        return Outcome::Locked;
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return Outcome::Failed;
    // flock belongs to the open file description, so a second open in this process conflicts too.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        return error == EWOULDBLOCK ? Outcome::Busy : Outcome::Failed;
    }
    handle_ = fd;
    return Outcome::Locked;
}
