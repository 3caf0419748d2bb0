#include "platform/file_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

InputFile::~InputFile() {
    if (handle_ >= 0)
        ::close(static_cast<int>(handle_));
}

bool InputFile::open(const std::filesystem::path& file) {
    if (handle_ >= 0)
        ::close(static_cast<int>(handle_));
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    handle_ = fd;
    if (fd < 0)
        return false;
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return true;
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

bool OutputFile::close() {
    if (handle_ < 0)
        return false;
    int fd = static_cast<int>(handle_);
    handle_ = -1;
    return ::close(fd) == 0;
}
