#include "platform/single_instance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace qs {

namespace {

// The lock and the socket live in a folder of this user's alone (mode 0700), made inside the
// given one: no other local user can hold the lock or listen in the first launcher's place.
std::filesystem::path ChannelFolder(const std::filesystem::path& lockFolder,
                                    const std::string& name) {
    return lockFolder / (name + "-" + std::to_string(geteuid()));
}

bool OpenPrivateFolder(const std::filesystem::path& folder) {
    std::error_code ignored;
    std::filesystem::create_directories(folder.parent_path(), ignored);
    mkdir(folder.c_str(), 0700);
    struct stat info {};
    return lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid() &&
           (info.st_mode & 07777) == 0700;
}

// False when the path does not fit a socket address.
bool ChannelAddress(const std::filesystem::path& socketPath, sockaddr_un& address,
                    socklen_t& length) {
    address = {};
    address.sun_family = AF_UNIX;
    const std::string& text = socketPath.native();
    if (text.size() >= sizeof(address.sun_path))
        return false;
    std::memcpy(address.sun_path, text.data(), text.size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + text.size() + 1);
    return true;
}

bool SameUser(int fd) {
    ucred credentials{};
    socklen_t size = sizeof(credentials);
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 &&
           credentials.uid == geteuid();
}

bool AskToShow(const std::filesystem::path& socketPath) {
    sockaddr_un address{};
    socklen_t length = 0;
    if (!ChannelAddress(socketPath, address, length))
        return false;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    // Only a listener of this user is told anything.
    const bool sent = connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0 &&
                      SameUser(fd) && send(fd, "s", 1, MSG_NOSIGNAL) == 1;
    close(fd);
    return sent;
}

}  // namespace

struct SingleInstance::Impl {
    bool primary = true;
    int lockFd = -1;
    int listenFd = -1;
    int wakePipe[2] = {-1, -1};
    std::atomic<bool> showRequested{false};
    std::thread listener;

    void listen() {
        pollfd watched[2] = {{listenFd, POLLIN, 0}, {wakePipe[0], POLLIN, 0}};
        for (;;) {
            if (poll(watched, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (watched[1].revents)
                return;
            const int peer = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (peer < 0)
                continue;
            if (SameUser(peer))
                showRequested.store(true);
            close(peer);
        }
    }

    void startListening(const std::filesystem::path& socketPath) {
        sockaddr_un address{};
        socklen_t length = 0;
        if (!ChannelAddress(socketPath, address, length))
            return;
        // A socket left by a launcher that ended without clean-up; this one holds the lock now.
        unlink(socketPath.c_str());
        listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (listenFd < 0 ||
            bind(listenFd, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
            ::listen(listenFd, 8) != 0 || pipe2(wakePipe, O_CLOEXEC) != 0)
            return;  // no channel: later starts simply leave without raising this window
        try {
            listener = std::thread([this] { listen(); });
        } catch (...) {
        }
    }
};

SingleInstance::SingleInstance(const std::string& name, const std::filesystem::path& lockFolder)
    : impl_(std::make_unique<Impl>()) {
    const std::filesystem::path folder = ChannelFolder(lockFolder, name);
    if (!OpenPrivateFolder(folder))
        return;  // taken by someone else: no lock and no channel, but never a refused start
    const std::filesystem::path socketPath = folder / "socket";
    const std::filesystem::path lockFile = folder / "lock";
    impl_->lockFd = open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (impl_->lockFd >= 0 && flock(impl_->lockFd, LOCK_EX | LOCK_NB) != 0 &&
        errno == EWOULDBLOCK) {
        impl_->primary = false;
        // The first instance may still be starting: give it a moment to listen.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (!AskToShow(socketPath) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return;
    }
    impl_->startListening(socketPath);
}

SingleInstance::~SingleInstance() {
    if (impl_->listener.joinable()) {
        const char wake = 0;
        [[maybe_unused]] const ssize_t written = write(impl_->wakePipe[1], &wake, 1);
        impl_->listener.join();
    }
    for (int fd : {impl_->listenFd, impl_->wakePipe[0], impl_->wakePipe[1], impl_->lockFd})
        if (fd >= 0)
            close(fd);
}

bool SingleInstance::isPrimary() const {
    return impl_->primary;
}

bool SingleInstance::takeShowRequest() {
    return impl_->showRequested.exchange(false);
}

}  // namespace qs
