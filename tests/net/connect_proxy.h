#pragma once
// A proxy on 127.0.0.1 as offices run them for HTTPS: it only tunnels ("CONNECT host:port"), so
// the certificate checks are still the client's against the real server. It also serves a proxy
// configuration script naming itself at http://127.0.0.1:<port>/proxy.pac.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qs::test {

class ConnectProxy {
public:
    ConnectProxy();  // listening on a free port; throws when it cannot
    ~ConnectProxy();
    ConnectProxy(const ConnectProxy&) = delete;
    ConnectProxy& operator=(const ConnectProxy&) = delete;

    std::uint16_t port() const { return port_; }
    // "host:port" of every tunnel asked for, in order.
    std::vector<std::string> tunnels() const;
    int scriptRequests() const { return scriptRequests_; }

private:
    void acceptLoop();
    void serve(std::intptr_t client);

    std::intptr_t listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> scriptRequests_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> tunnels_;
    std::vector<std::thread> connections_;
    std::thread acceptor_;
};

}  // namespace qs::test
