#pragma once
// Makes a folder refuse changes for as long as the guard lives: permission bits for an
// ordinary user, the immutable attribute when the tests run as root (root ignores modes). On
// Windows every file in it is held open without sharing, as a running client holds its files.
#ifdef _WIN32
#include <windows.h>

#include <vector>
#else
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include <filesystem>

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
        for (HANDLE handle : held_)
            CloseHandle(handle);
        held_.clear();
        if (!on)
            return true;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(folder_, error)) {
            if (!entry.is_regular_file())
                continue;
            HANDLE handle = CreateFileW(entry.path().c_str(), GENERIC_READ, 0, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (handle == INVALID_HANDLE_VALUE)
                return false;
            held_.push_back(handle);
        }
        return !error && !held_.empty();
    }
    std::vector<HANDLE> held_;
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
