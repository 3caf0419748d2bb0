#include "platform/private_folder.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace qs {

std::filesystem::path UserFolderIn(const std::filesystem::path& temporaryFolder,
                                   const std::string& prefix) {
    return temporaryFolder / (prefix + "-" + std::to_string(geteuid()));
}

namespace {

// 64 random bits as 16 hexadecimal digits; empty when the system has no randomness to give.
std::string RandomHex() {
    unsigned char bytes[8];
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes))
        return {};
    char text[2 * sizeof bytes + 1];
    for (std::size_t i = 0; i < sizeof bytes; ++i)
        std::snprintf(text + 2 * i, 3, "%02x", bytes[i]);
    return text;
}

}  // namespace

PrivateFolder::~PrivateFolder() {
    if (handle_ >= 0)
        close(static_cast<int>(handle_));
}

// The shared temporary folder lets any local user plant a link or swap a file under a fixed name,
// so the folder is checked through its descriptor, never through the path.
bool PrivateFolder::open(const std::filesystem::path& folder) {
    if (handle_ >= 0)
        close(static_cast<int>(handle_));
    handle_ = -1;
    path_ = folder;
    const bool created = mkdir(folder.c_str(), 0700) == 0;
    if (!created && errno != EEXIST)
        return false;
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;  // ELOOP: a link stands in our place
    struct stat info {};
    bool ok = fstat(fd, &info) == 0;
    // A restrictive umask may have narrowed the mode of a folder made just now.
    if (ok && created && info.st_uid == geteuid() && (info.st_mode & 07777) != 0700) {
        ok = fchmod(fd, 0700) == 0;
        info.st_mode = (info.st_mode & ~07777) | 0700;
    }
    if (!ok ||
        !IsPrivateFolder(S_ISDIR(info.st_mode), info.st_uid, info.st_mode & 07777, geteuid())) {
        close(fd);
        return false;
    }
    handle_ = fd;
    return true;
}

bool PrivateFolder::openFresh(const std::filesystem::path& parent, const std::string& prefix) {
    if (!open(parent))
        return false;
    const int parentFd = static_cast<int>(handle_);
    handle_ = -1;
    for (int attempt = 0; attempt < 8 && handle_ < 0; ++attempt) {
        const std::string random = RandomHex();
        const std::string name = prefix + "-" + random;
        if (random.empty() || mkdirat(parentFd, name.c_str(), 0700) != 0) {
            if (random.empty() || errno != EEXIST)
                break;
            continue;
        }
        const int fd =
            openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        // A restrictive umask may have narrowed the mode; nobody else can have entered it.
        if (fd < 0 || fchmod(fd, 0700) != 0) {
            if (fd >= 0)
                close(fd);
            unlinkat(parentFd, name.c_str(), AT_REMOVEDIR);
            break;
        }
        handle_ = fd;
        path_ = parent / name;
        fresh_ = true;
    }
    close(parentFd);
    return handle_ >= 0;
}

void PrivateFolder::removeFolder() noexcept {
    if (!fresh_ || handle_ < 0)
        return;
    close(static_cast<int>(handle_));
    handle_ = -1;
    rmdir(path_.c_str());  // inside the checked parent that only the user can enter
}

bool PrivateFolder::createFile(const std::string& name, OutputFile& file) {
    if (handle_ < 0)
        return false;
    const int folderFd = static_cast<int>(handle_);
    // A fresh inode each time: a program from an earlier attempt may still be running.
    if (unlinkat(folderFd, name.c_str(), 0) != 0 && errno != ENOENT)
        return false;
    int fd = openat(folderFd, name.c_str(),
                    O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0700);
    if (fd < 0)
        return false;
    struct stat info {};
    // The creation mode passes through the umask; the owner must be able to read and start the
    // program whatever it is.
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || fchmod(fd, 0700) != 0) {
        close(fd);
        return false;
    }
    file.close();
    file.handle_ = fd;
    return true;
}

void PrivateFolder::removeFile(const std::string& name) noexcept {
    if (handle_ >= 0)
        unlinkat(static_cast<int>(handle_), name.c_str(), 0);
}

bool PrivateFolder::stillSame() const {
    if (handle_ < 0)
        return false;
    struct stat byPath {
    }, byDescriptor{};
    if (lstat(path_.c_str(), &byPath) != 0 || fstat(static_cast<int>(handle_), &byDescriptor) != 0)
        return false;
    return byPath.st_dev == byDescriptor.st_dev && byPath.st_ino == byDescriptor.st_ino;
}

}  // namespace qs
