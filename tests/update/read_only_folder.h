#pragma once
// Makes a folder refuse changes for as long as the guard lives: permission bits for an
// ordinary user, the immutable attribute when the tests run as root (root ignores modes).
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <filesystem>

class ReadOnlyFolder {
public:
    explicit ReadOnlyFolder(std::filesystem::path folder) : folder_(std::move(folder)) {
        if (geteuid() != 0) {
            std::error_code error;
            std::filesystem::permissions(folder_, std::filesystem::perms(0555), error);
            active_ = !error;
            immutable_ = false;
            return;
        }
        active_ = SetImmutable(true);
        immutable_ = active_;
    }
    ~ReadOnlyFolder() {
        if (!active_)
            return;
        if (immutable_) {
            SetImmutable(false);
        } else {
            std::error_code ignored;
            std::filesystem::permissions(folder_, std::filesystem::perms(0755), ignored);
        }
    }
    ReadOnlyFolder(const ReadOnlyFolder&) = delete;
    ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;
    bool active() const { return active_; }

private:
    bool SetImmutable(bool on) {
        int fd = open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return false;
        int flags = 0;
        bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        if (ok) {
            flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
            ok = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        close(fd);
        return ok;
    }

    std::filesystem::path folder_;
    bool active_ = false;
    bool immutable_ = false;
};
