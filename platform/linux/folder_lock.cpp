#include "platform/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace qs {

namespace {

constexpr char kLockName[] = ".quillon-update.lock";

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The lock file's name still leads to the file behind `fd`.
bool NameStillLeadsTo(int folderFd, int fd) {
    struct stat byName {
    }, held{};
    return fstatat(folderFd, kLockName, &byName, AT_SYMLINK_NOFOLLOW) == 0 &&
           fstat(fd, &held) == 0 && SameFile(byName, held);
}

}  // namespace

const char* FolderLockFileName() {
    return kLockName;
}

FolderLock::~FolderLock() {
    if (handle_ < 0)
        return;
    // Removed while still held: a run that opened it meanwhile finds its name gone and tries again.
    if (NameStillLeadsTo(static_cast<int>(folder_), static_cast<int>(handle_)))
        unlinkat(static_cast<int>(folder_), kLockName, 0);
    close(static_cast<int>(handle_));
    close(static_cast<int>(folder_));
}

FolderLock::Outcome FolderLock::tryLock(const std::filesystem::path& folder) {
    if (handle_ >= 0)
        return Outcome::Locked;
    const int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0)
        return Outcome::Failed;
    // A few rounds: a holder may remove the name between our open and our lock, and a file that
    // is not ours is removed before a fresh one is made.
    for (int round = 0; round < 4; ++round) {
        // Read-only is enough for flock, and a read-only client folder still carries an old lock.
        // 0600: nobody else can open it, so nobody else can hold it.
        const int fd = openat(folderFd, kLockName,
                              O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == ELOOP && unlinkat(folderFd, kLockName, 0) == 0)
                continue;  // a link in its place
            break;
        }
        struct stat info {};
        if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
            close(fd);
            if (unlinkat(folderFd, kLockName, 0) != 0)
                break;
            continue;
        }
        if ((info.st_mode & 077) != 0 && fchmod(fd, 0600) != 0) {
            close(fd);
            break;
        }
        // flock belongs to the open file description, so a second open in this process conflicts
        // too.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            close(fd);
            close(folderFd);
            return error == EWOULDBLOCK ? Outcome::Busy : Outcome::Failed;
        }
        if (!NameStillLeadsTo(folderFd, fd)) {
            close(fd);
            continue;
        }
        handle_ = fd;
        folder_ = folderFd;
        return Outcome::Locked;
    }
    close(folderFd);
    return Outcome::Failed;
}

}  // namespace qs
