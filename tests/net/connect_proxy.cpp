#include "connect_proxy.h"

#include <algorithm>
#include <stdexcept>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using Socket = SOCKET;
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
using Socket = int;
#endif

namespace qs::test {

namespace {

constexpr timeval kPoll{0, 100000};  // stop is looked at this often

void CloseSocket(std::intptr_t socket) {
#ifdef _WIN32
    closesocket(static_cast<Socket>(socket));
#else
    close(static_cast<Socket>(socket));
#endif
}

// Whether `socket` has something to read within the poll interval.
bool Readable(std::intptr_t socket) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(static_cast<Socket>(socket), &set);
    timeval wait = kPoll;
    return select(static_cast<int>(socket) + 1, &set, nullptr, nullptr, &wait) > 0;
}

bool SendAll(std::intptr_t socket, const char* data, std::size_t size) {
    while (size > 0) {
        const int sent = send(static_cast<Socket>(socket), data, static_cast<int>(size), 0);
        if (sent <= 0)
            return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

std::intptr_t ConnectTo(const std::string& hostPort) {
    const std::size_t colon = hostPort.rfind(':');
    if (colon == std::string::npos)
        return -1;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(hostPort.substr(0, colon).c_str(), hostPort.substr(colon + 1).c_str(), &hints,
                    &found) != 0)
        return -1;
    const Socket socket = ::socket(AF_INET, SOCK_STREAM, 0);
    const bool connected =
        connect(socket, found->ai_addr, static_cast<int>(found->ai_addrlen)) == 0;
    freeaddrinfo(found);
    if (!connected) {
        CloseSocket(static_cast<std::intptr_t>(socket));
        return -1;
    }
    return static_cast<std::intptr_t>(socket);
}

}  // namespace

ConnectProxy::ConnectProxy() {
#ifdef _WIN32
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
#endif
    const Socket listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener, 16) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        CloseSocket(static_cast<std::intptr_t>(listener));
        throw std::runtime_error("the test proxy cannot listen");
    }
    listener_ = static_cast<std::intptr_t>(listener);
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

ConnectProxy::~ConnectProxy() {
    stop_ = true;
    acceptor_.join();
    for (std::thread& connection : connections_)
        connection.join();
    CloseSocket(listener_);
}

std::vector<std::string> ConnectProxy::tunnels() const {
    std::lock_guard lock(mutex_);
    return tunnels_;
}

void ConnectProxy::acceptLoop() {
    while (!stop_) {
        if (!Readable(listener_))
            continue;
        const Socket client = accept(static_cast<Socket>(listener_), nullptr, nullptr);
        std::lock_guard lock(mutex_);
        connections_.emplace_back([this, client] { serve(static_cast<std::intptr_t>(client)); });
    }
}

// One client: a request head, then either the script or a tunnel both ways until one side closes.
void ConnectProxy::serve(std::intptr_t client) {
    std::string head;
    char buffer[16384];
    while (!stop_ && head.find("\r\n\r\n") == std::string::npos && head.size() < 8192) {
        if (!Readable(client))
            continue;
        const int got = recv(static_cast<Socket>(client), buffer, sizeof(buffer), 0);
        if (got <= 0)
            break;
        head.append(buffer, static_cast<std::size_t>(got));
    }
    std::intptr_t server = -1;
    if (head.starts_with("GET /proxy.pac ")) {
        ++scriptRequests_;
        const std::string script =
            "function FindProxyForURL(url, host) { return \"PROXY 127.0.0.1:" +
            std::to_string(port_) + "\"; }";
        const std::string reply =
            "HTTP/1.1 200 OK\r\nContent-Type: application/x-ns-proxy-autoconfig\r\n"
            "Content-Length: " +
            std::to_string(script.size()) + "\r\nConnection: close\r\n\r\n" + script;
        SendAll(client, reply.data(), reply.size());
    } else if (head.starts_with("CONNECT ")) {
        const std::string target = head.substr(8, head.find(' ', 8) - 8);
        {
            std::lock_guard lock(mutex_);
            tunnels_.push_back(target);
        }
        server = ConnectTo(target);
        const std::string reply = server == -1 ? "HTTP/1.1 502 Bad Gateway\r\n\r\n"
                                               : "HTTP/1.1 200 Connection established\r\n\r\n";
        SendAll(client, reply.data(), reply.size());
    }
    while (!stop_ && server != -1) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(static_cast<Socket>(client), &set);
        FD_SET(static_cast<Socket>(server), &set);
        timeval wait = kPoll;
        const int highest = static_cast<int>(std::max(client, server));
        if (select(highest + 1, &set, nullptr, nullptr, &wait) <= 0)
            continue;
        bool open = true;
        for (auto [from, to] : {std::pair{client, server}, std::pair{server, client}}) {
            if (!open || !FD_ISSET(static_cast<Socket>(from), &set))
                continue;
            const int got = recv(static_cast<Socket>(from), buffer, sizeof(buffer), 0);
            open = got > 0 && SendAll(to, buffer, static_cast<std::size_t>(got));
        }
        if (!open)
            break;
    }
    if (server != -1)
        CloseSocket(server);
    CloseSocket(client);
}

}  // namespace qs::test
