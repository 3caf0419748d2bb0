#pragma once
// Makes a folder refuse changes for as long as the guard lives: permission bits for an
// ordinary user, the immutable attribute when the tests run as root (root ignores modes). On
// Windows its files (downloads aside) are held open as a running client holds them: readable,
// never replaced. UnreadableFile, below, makes one file unreadable.
#include <filesystem>
#ifdef _WIN32
#include <vector>

// In read_only_folder_windows.cpp, so windows.h (and its ReplaceFile macro) stays out of tests.
// Every regular file directly in `folder` but downloads, open with read sharing only; empty when
// one cannot be opened.
std::vector<void*> HoldFilesOpen(const std::filesystem::path& folder);
void ReleaseFiles(std::vector<void*>& handles);
// `file` open with no sharing at all, as another program may hold it; null when it cannot be.
void* HoldFileUnshared(const std::filesystem::path& file);
#else
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
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

// Makes a file unreadable for as long as the guard lives, to this thread and the threads it
// starts meanwhile: no read permission, and as root the capabilities that pass over it dropped
// from this thread. On Windows the file is held open with no sharing.
class UnreadableFile {
public:
    explicit UnreadableFile(std::filesystem::path file) : file_(std::move(file)) {
#ifdef _WIN32
        held_ = HoldFileUnshared(file_);
#else
        std::filesystem::permissions(file_, std::filesystem::perms::none);
        if (syscall(SYS_capget, &header_, kept_) == 0) {
            __user_cap_data_struct dropped[2] = {kept_[0], kept_[1]};
            dropped[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
            dropped_ = syscall(SYS_capset, &header_, dropped) == 0;
        }
#endif
    }
    ~UnreadableFile() {
#ifdef _WIN32
        std::vector<void*> held{held_};
        if (held_)
            ReleaseFiles(held);
#else
        if (dropped_)
            syscall(SYS_capset, &header_, kept_);
        std::error_code ignored;
        std::filesystem::permissions(file_, std::filesystem::perms::owner_all, ignored);
#endif
    }
    UnreadableFile(const UnreadableFile&) = delete;
    UnreadableFile& operator=(const UnreadableFile&) = delete;

    bool active() const {
#ifdef _WIN32
        return held_ != nullptr;
#else
        const int fd = open(file_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0)
            close(fd);
        return fd < 0;
#endif
    }

private:
    std::filesystem::path file_;
#ifdef _WIN32
    void* held_ = nullptr;
#else
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct kept_[2]{};
    bool dropped_ = false;
#endif
};
