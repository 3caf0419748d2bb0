#pragma once
// Makes a folder refuse changes for as long as the guard lives: permission bits for an
// ordinary user, the immutable attribute when the tests run as root (root ignores modes). On
// Windows its files (downloads aside) are held open as a running client holds them: readable,
// never replaced.
#include <filesystem>
#ifdef _WIN32
#include <vector>

// In read_only_folder_windows.cpp, so windows.h (and its ReplaceFile macro) stays out of tests.
// Every regular file directly in `folder` but downloads, open with read sharing only; empty when
// one cannot be opened.
std::vector<void*> HoldFilesOpen(const std::filesystem::path& folder);
void ReleaseFiles(std::vector<void*>& handles);
#else
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

class ReadOnlyFolder {
public:
    explicit ReadOnlyFolder(std::filesystem::path folder) : folder_(std::move(folder)) {
        active_ = Protect(true);
    }
    ~ReadOnlyFolder() {
        if (active_)
            Protect(false);
    }
    bool active() const { return active_; }

private:
#ifdef _WIN32
    bool Protect(bool on) {
        ReleaseFiles(held_);
        if (on)
            held_ = HoldFilesOpen(folder_);
        return !on || !held_.empty();
    }
    std::vector<void*> held_;
#else
    bool Protect(bool on) {
        if (geteuid() != 0) {
            std::error_code error;
            std::filesystem::permissions(folder_, std::filesystem::perms(on ? 0555 : 0755), error);
            return !error;
        }
        const int fd = open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        int flags = 0;
        bool ok = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        if (fd >= 0)
            close(fd);
        return ok;
    }
#endif

    std::filesystem::path folder_;
    bool active_ = false;
};
