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

namespace {

// Abstract socket names live per network namespace, not per user: the user id keeps two users'
// launchers apart, and the listener checks the caller's id as well.
sockaddr_un ChannelAddress(const std::string& name, socklen_t& length) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string text = name + "-" + std::to_string(geteuid());
    const std::size_t used = std::min(text.size(), sizeof(address.sun_path) - 1);
    std::memcpy(address.sun_path + 1, text.data(), used);
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + used);
    return address;
}

bool AskToShow(const std::string& name) {
    socklen_t length = 0;
    const sockaddr_un address = ChannelAddress(name, length);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool sent = connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0 &&
                      send(fd, "s", 1, MSG_NOSIGNAL) == 1;
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
            ucred credentials{};
            socklen_t size = sizeof(credentials);
            if (getsockopt(peer, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 &&
                credentials.uid == geteuid())
                showRequested.store(true);
            close(peer);
        }
    }

    void startListening(const std::string& name) {
        socklen_t length = 0;
        const sockaddr_un address = ChannelAddress(name, length);
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
    std::error_code ignored;
    std::filesystem::create_directories(lockFolder, ignored);
    const std::filesystem::path lockFile = lockFolder / (name + ".lock");
    impl_->lockFd = open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (impl_->lockFd >= 0 && flock(impl_->lockFd, LOCK_EX | LOCK_NB) != 0 &&
        errno == EWOULDBLOCK) {
        impl_->primary = false;
        // The first instance may still be starting: give it a moment to listen.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (!AskToShow(name) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return;
    }
    impl_->startListening(name);
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
