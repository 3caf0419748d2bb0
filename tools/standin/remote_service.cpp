// TestService for test programs that cannot run the service themselves (the Windows build
// under Wine): every call goes to the control port of a stand-in process on this machine
// (QS_STANDIN_CONTROL=host:port, see control.h), which runs the real service.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "tools/standin/service.h"
#include "tools/standin/wire.h"
#include "update/digest.h"

namespace qs::test {
namespace {

using nlohmann::json;

class Socket {
public:
    Socket() : socket_(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) {
        if (socket_ == INVALID_SOCKET)
            throw std::runtime_error("stand-in control: socket failed");
    }
    ~Socket() { ::closesocket(socket_); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    SOCKET get() const { return socket_; }

private:
    SOCKET socket_;
};

void StartWinsock() {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
            throw std::runtime_error("stand-in control: WSAStartup failed");
    });
}

sockaddr_in ControlAddress() {
    const char* setting = std::getenv("QS_STANDIN_CONTROL");
    if (!setting || !*setting)
        throw std::runtime_error(
            "stand-in control: QS_STANDIN_CONTROL (host:port of `standin --control-port`) is not "
            "set");
    const std::string text = setting;
    const auto colon = text.rfind(':');
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (colon == std::string::npos ||
        inet_pton(AF_INET, text.substr(0, colon).c_str(), &address.sin_addr) != 1)
        throw std::runtime_error("stand-in control: bad QS_STANDIN_CONTROL " + text);
    address.sin_port = htons(static_cast<u_short>(std::stoi(text.substr(colon + 1))));
    return address;
}

// One command, one connection: HTTP/1.1 with Connection: close, read to the end.
json Command(const json& command) {
    StartWinsock();
    const sockaddr_in address = ControlAddress();
    Socket socket;
    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("stand-in control: cannot connect (is the stand-in running?)");
    const std::string body = command.dump();
    std::string message =
        "POST /control HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        "Content-Type: application/json\r\nConnection: close\r\n"
        "Content-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body;
    for (std::size_t sent = 0; sent < message.size();) {
        const int chunk = static_cast<int>(std::min<std::size_t>(message.size() - sent, 1 << 20));
        const int written = ::send(socket.get(), message.data() + sent, chunk, 0);
        if (written <= 0)
            throw std::runtime_error("stand-in control: send failed");
        sent += static_cast<std::size_t>(written);
    }
    std::string reply;
    char buffer[65536];
    for (;;) {
        const int received = ::recv(socket.get(), buffer, sizeof buffer, 0);
        if (received < 0)
            throw std::runtime_error("stand-in control: receive failed");
        if (received == 0)
            break;
        reply.append(buffer, static_cast<std::size_t>(received));
    }
    const auto headerEnd = reply.find("\r\n\r\n");
    if (reply.rfind("HTTP/1.1 ", 0) != 0 || headerEnd == std::string::npos)
        throw std::runtime_error("stand-in control: malformed reply");
    const int status = std::stoi(reply.substr(9, 3));
    json answer = json::parse(reply.substr(headerEnd + 4));
    if (status != 200)
        throw std::runtime_error("stand-in control: " +
                                 answer.value("error", "status " + std::to_string(status)));
    return answer;
}

std::string ReadWholeFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw std::runtime_error("test service: cannot read " + file.string());
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

const char* CertificateName(TestService::Certificate certificate) {
    switch (certificate) {
        case TestService::Certificate::Untrusted:
            return "untrusted";
        case TestService::Certificate::OtherName:
            return "othername";
        case TestService::Certificate::Trusted:
            break;
    }
    return "trusted";
}

}  // namespace

struct TestService::Impl {
    long long id = 0;
    std::uint16_t port = 0;
    std::string caPem;

    json call(const char* op, json arguments = json::object()) const {
        arguments["op"] = op;
        arguments["id"] = id;
        return Command(arguments);
    }
};

// Only the certificate kind travels: ports, addresses and request hooks stay with the stand-in.
TestService::TestService(Options options) : impl_(std::make_unique<Impl>()) {
    if (options.server || options.onRequest || options.port != 0)
        throw std::logic_error("test service: only the certificate kind can be chosen remotely");
    const json created =
        Command({{"op", "create"}, {"certificate", CertificateName(options.certificate)}});
    impl_->id = created.at("id").get<long long>();
    impl_->port = created.at("port").get<std::uint16_t>();
    impl_->caPem = created.at("caPem").get<std::string>();
}

TestService::~TestService() {
    try {
        impl_->call("destroy");
    } catch (const std::exception&) {
        // The stand-in drops every service when it stops.
    }
}

std::uint16_t TestService::port() const {
    return impl_->port;
}
const std::string& TestService::caPem() const {
    return impl_->caPem;
}

void TestService::setFile(const std::string& path, std::string bytes) {
    impl_->call("setFile", {{"path", path}, {"bytes", wire::ToHex(bytes)}});
}
void TestService::removeFile(const std::string& path) {
    impl_->call("removeFile", {{"path", path}});
}
void TestService::clearFiles() {
    impl_->call("clearFiles");
}
void TestService::setManifestJson(std::optional<std::string> json) {
    impl_->call("setManifestJson",
                {{"json", json ? nlohmann::json(wire::ToHex(*json)) : nlohmann::json()}});
}
void TestService::setObjectsNamed(bool named) {
    impl_->call("setObjectsNamed", {{"named", named}});
}
void TestService::setMirrors(std::vector<std::string> urls) {
    impl_->call("setMirrors", {{"urls", urls}});
}
std::string TestService::filePath(const std::string& path) const {
    return impl_->call("filePath", {{"path", path}}).at("path").get<std::string>();
}
std::string TestService::manifestJson() const {
    return wire::FromHex(impl_->call("manifestJson").at("json").get<std::string>());
}
void TestService::setLatestJson(std::string json) {
    setResource("/updater/launcher/latest.json", std::move(json), "application/json");
}
void TestService::setStatusJson(std::string json) {
    setResource("/status.php", std::move(json), "application/json");
}
void TestService::setNewsJson(std::string json) {
    setResource("/news.php", std::move(json), "application/json");
}
void TestService::setResource(const std::string& path, std::string bytes, std::string contentType) {
    impl_->call("setResource",
                {{"path", path}, {"bytes", wire::ToHex(bytes)}, {"contentType", contentType}});
}

void TestService::loadFolder(const std::filesystem::path& root) {
    const auto client = root / "client";
    std::vector<std::pair<std::string, std::string>> loaded;
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(client, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        if (it->is_regular_file())
            loaded.emplace_back(it->path().lexically_relative(client).generic_string(),
                                ReadWholeFile(it->path()));
    }
    if (error)
        throw std::runtime_error("test service: cannot read " + client.string() + ": " +
                                 error.message());
    clearFiles();
    for (auto& [path, bytes] : loaded)
        setFile(path, std::move(bytes));
    const std::pair<const char*, const char*> documents[] = {
        {"latest.json", "/updater/launcher/latest.json"},
        {"status.json", "/status.php"},
        {"news.json", "/news.php"}};
    for (const auto& [name, path] : documents)
        if (std::filesystem::is_regular_file(root / name))
            setResource(path, ReadWholeFile(root / name), "application/json");
}

void TestService::setFault(const std::string& path, Fault fault) {
    impl_->call("setFault", {{"path", path}, {"fault", wire::FaultToJson(fault)}});
}
void TestService::clearFault(const std::string& path) {
    impl_->call("clearFault", {{"path", path}});
}
void TestService::setHandler(const std::string&, Handler) {
    throw std::logic_error("test service: a handler runs only in process; use setReply");
}
void TestService::setReply(const std::string& path, Reply reply) {
    impl_->call("setReply", {{"path", path}, {"reply", wire::ReplyToJson(reply)}});
}
void TestService::clearHandler(const std::string& path) {
    impl_->call("clearHandler", {{"path", path}});
}
void TestService::clearFaultsAndHandlers() {
    impl_->call("clearFaultsAndHandlers");
}

std::vector<RecordedRequest> TestService::requests() const {
    std::vector<RecordedRequest> list;
    const json answer = impl_->call("requests");  // kept: the loop reads into it
    for (const auto& request : answer.at("requests"))
        list.push_back(wire::RequestFromJson(request));
    return list;
}
std::size_t TestService::requestCount() const {
    return requests().size();
}
std::size_t TestService::requestCount(std::string_view path) const {
    std::size_t count = 0;
    for (const auto& request : requests())
        count += request.path == path;
    return count;
}
std::optional<RecordedRequest> TestService::lastRequest(std::string_view path) const {
    const auto list = requests();
    for (auto it = list.rbegin(); it != list.rend(); ++it)
        if (path.empty() || it->path == path)
            return *it;
    return std::nullopt;
}
void TestService::clearRequests() {
    impl_->call("clearRequests");
}
std::size_t TestService::peakRequestsInFlight() const {
    return impl_->call("peakRequestsInFlight").at("peak").get<std::size_t>();
}

std::string Sha256Hex(std::string_view bytes) {
    Sha256Stream digest;
    digest.update(bytes.data(), bytes.size());
    return WideToUtf8(digest.finish());
}

std::uint16_t UnusedPort() {
    StartWinsock();
    Socket socket;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("UnusedPort: bind failed");
    return ntohs(address.sin_port);
}

bool PortListening(std::uint16_t port) {
    StartWinsock();
    Socket socket;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

}  // namespace qs::test
