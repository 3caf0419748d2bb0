#pragma once
// The shipped server configurations (deploy/) run as ordinary programs on free loopback ports:
// nginx with a template from deploy/nginx/ or deploy/varnish/, and Varnish with quillon.vcl.
// Each stops on destruction. Shared by the nginx and cache-tier tests and the cache bench.
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "net/https.h"

namespace qs::test {

// The program in PATH or the sbin folders; empty when it is not installed.
std::filesystem::path FindProgram(const std::string& name);

std::string Replace(std::string text, const std::map<std::string, std::string>& values);

// quillon.conf serving `root` (listen, certificate and key left to Nginx).
std::string TreeServerBlock(const std::filesystem::path& root);
// The same rules as the origin behind the cache: plain HTTP (pass kOriginListen to Nginx).
inline constexpr const char* kOriginListen = "@LISTEN@ ssl http2";
// edge.conf relaying to the cache on 127.0.0.1:`cachePort`.
std::string EdgeServerBlock(std::uint16_t cachePort);

// One nginx master with its own prefix on a free port, serving `serverBlock` with `listenKey`
// filled by 127.0.0.1:PORT and @CERT@/@KEY@ by a certificate from the test authority.
class Nginx {
public:
    Nginx(const std::filesystem::path& prefix, const std::string& serverBlock,
          const std::string& listenKey = "@LISTEN@");
    ~Nginx();
    Nginx(const Nginx&) = delete;
    Nginx& operator=(const Nginx&) = delete;

    std::uint16_t port() const { return port_; }
    ServiceEndpoint endpoint() const;
    // Stops it now, as an origin that goes down (the log stays readable).
    void stop();
    // Access log lines ("METHOD TARGET PROTOCOL STATUS "RANGE" BYTES"), once nginx has written
    // the last request's line (it logs just after the reply).
    std::vector<std::string> log() const;

private:
    std::filesystem::path prefix_;
    std::uint16_t port_ = 0;
    pid_t pid_ = -1;
};

// varnishd in the foreground with quillon.vcl naming the origin on 127.0.0.1:`originPort`, its
// work folder under `folder`, on a free port.
class Varnish {
public:
    Varnish(const std::filesystem::path& folder, std::uint16_t originPort);
    ~Varnish();
    Varnish(const Varnish&) = delete;
    Varnish& operator=(const Varnish&) = delete;
    std::uint16_t port() const { return port_; }

private:
    std::uint16_t port_ = 0;
    pid_t pid_ = -1;
};

// The origin, Varnish and the TLS edge, each in its own folder under `folder`.
struct CacheTier {
    CacheTier(const std::filesystem::path& folder, const std::filesystem::path& root);
    Nginx origin;
    Varnish cache;
    Nginx edge;
};

struct LoggedRequest {
    std::string method, path, status, range, bytes;
};
LoggedRequest ParseLogLine(const std::string& line);
std::vector<LoggedRequest> ParseLog(const std::vector<std::string>& lines, std::size_t from = 0);

struct WebReply {
    long status = 0;
    std::map<std::string, std::string> headers;  // the ones the tests read, lower-case names
    std::string body;
};
// A raw HTTP(S) exchange with libcurl, verifying HTTPS against the test authority.
WebReply Exchange(const std::string& url, const std::string& method,
                  const std::vector<std::string>& headers = {});
// https://localhost:PORT
std::string LocalUrl(std::uint16_t port);

}  // namespace qs::test
