#pragma once
// An in-process HTTPS stand-in for the game's web service, for network tests.
//
//   qs::test::TestService service;                       // 127.0.0.1, free port, test CA
//   service.setFile("data/a b.txt", "hello");            // GET /updater/files/data/a%20b.txt
//   service.setStatusJson(R"({"online":true})");          // GET /status.php
//   auto bytes = HttpsRequest(service.url("/updater/updater.php"), L"POST", "{}",
//   service.endpoint()); EXPECT_EQ(service.requestCount("/updater/updater.php"), 1u);
//   service.setFault("/status.php", qs::test::Fault::stall());
//
// File requests honour "Range: bytes=N-" and "bytes=N-M" with 206 (416 past the end), also
// under the Drip, Stall, Truncate, Slow and Limit faults.
// Routes served from the content set (GET also answers HEAD):
//   POST /updater/updater.php      the manifest: {"files":{path:sha256},"binary":{"file":"Quillon
//   Saga.exe",...}}
//                                   built from the files (the executable only under "binary"), or
//                                   the text given to setManifestJson; with an ETag of its bytes,
//                                   304 to an If-None-Match naming it, gzip-encoded when asked for
//   GET  /updater/files/<path>     a file set with setFile (path as decoded by the server: %20 ->
//                                   blank)
//   GET  /updater/objects/<xx>/<sha256>  the same files by digest (xx: its first two digits),
//                                   named by the manifest's "objects" unless setObjectsNamed(false)
//   GET  /updater/chunks/<sha256>.idx  the chunk index of every file of at least 4 MiB, which
//                                   the built manifest lists under "chunked"
//   GET  /updater/chunks/<sha256>.blk  its block index, the head's digest under "blocks"
//   GET  /updater/launcher/latest.json, /status.php, /news.php   the documents set below
//   GET  any path given to setResource (before the chunk indexes)
// Anything else is 404. A fault or a handler set for a path replaces the reply for that path
// (any method). Every request is recorded before it is answered.
//
// Thread safety: every member may be called from any thread while requests are being served.
// Destruction ends stalls, drips and endless bodies at once and waits for the server to stop.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "net/service.h"
#include "tools/standin/authority.h"

namespace qs::test {

// One request as it reached the server.
struct RecordedRequest {
    std::string method;  // "GET", "POST", ...
    std::string target;  // as on the request line, still percent-encoded, query included
    std::string path;    // decoded path without the query
    std::vector<std::pair<std::string, std::string>> headers;  // in arrival order, names as sent
    std::string body;

    bool hasHeader(std::string_view name) const;      // name ignoring case
    std::string header(std::string_view name) const;  // first value, "" when absent
    std::vector<std::string> headerNames() const;     // lower-case, arrival order
};

// A plain reply from a custom handler.
struct Reply {
    int status = 200;
    std::string body;
    std::string contentType = "application/json";
    std::vector<std::pair<std::string, std::string>> headers;  // extra headers
};
using Handler = std::function<Reply(const RecordedRequest&)>;

// How a path misbehaves. `body`, when set, replaces the normal content the fault works on.
struct Fault {
    enum class Kind {
        Status,    // reply `status` with `body` (empty when unset); also 200 with an empty body
        Redirect,  // `status` (3xx) with Location: `location`
        Truncate,  // Content-Length of the whole body, only `bytes` of it sent, then the connection
                   // closes
        WrongBytes,  // same length, every byte changed
        Drip,        // whole body, `bytes` bytes every `interval`
        Stall,    // `bytes` < 0: no reply at all; otherwise headers and `bytes` bytes, then silence
        Endless,  // status 200, chunked body that never ends (`body` repeated, 64 KiB of 'x' by
                  // default)
        NotJson,  // status 200, an HTML page
        IgnoreRange,  // status 200 and the whole body whatever Range asked (no Content-Length)
        WrongRange,  // status 206 claiming "bytes 0-(n-1)/n" and the whole body, whatever was asked
        Slow,        // the normal reply after `interval` (a network round trip)
        Limit,       // the normal reply at `bytes` bytes per second (a slow link)
        GzipBomb,    // status 200, Content-Encoding: gzip, a small body that decodes to `bytes`
                     // zero bytes, whatever the request asked for
    };
    Kind kind = Kind::Status;
    int status = 200;
    std::string location;
    std::optional<std::string> body;
    long long bytes = 0;
    std::chrono::milliseconds interval{0};
    // How many requests the fault answers before the path behaves again; -1: all of them.
    int times = -1;

    static Fault replyStatus(int status, std::string body = {});
    static Fault redirect(std::string location, int status = 302);
    static Fault truncate(long long sentBytes = 0);  // 0 sends half of the body
    static Fault wrongBytes();
    static Fault drip(std::chrono::milliseconds interval, long long bytesPerTick = 1);
    static Fault stall();                          // nothing after the request
    static Fault stallAfter(long long sentBytes);  // headers and the first bytes, then nothing
    static Fault endless();
    static Fault notJson();
    static Fault ignoreRange();
    static Fault wrongRange();
    static Fault slow(std::chrono::milliseconds delay);
    static Fault limit(long long bytesPerSecond);
    static Fault gzipBomb(long long decodedBytes);
    Fault& withBody(std::string replacement) {
        body = std::move(replacement);
        return *this;
    }
    // Only the next `count` requests misbehave.
    Fault& only(int count) {
        times = count;
        return *this;
    }
};

class TestService {
public:
    enum class Certificate {
        Trusted,    // issued by TestAuthority::shared() for localhost and 127.0.0.1
        Untrusted,  // for localhost, but issued by an authority nobody trusts
        OtherName,  // issued by the shared authority, but for "other.example" only
    };
    struct Options {
        Certificate certificate = Certificate::Trusted;
        std::uint16_t port = 0;  // 0: a free port
        std::string bindAddress = "127.0.0.1";
        std::optional<CertificateAndKey> server;  // overrides `certificate` (the stand-in tool)
        std::string caPem;                        // reported by caPem() when `server` is given
        // Called on a server thread for every request, after it is recorded (e.g. a request log).
        std::function<void(const RecordedRequest&)> onRequest;
    };

    TestService();  // Certificate::Trusted on a free port
    explicit TestService(Certificate certificate);
    explicit TestService(Options options);
    ~TestService();
    TestService(const TestService&) = delete;
    TestService& operator=(const TestService&) = delete;

    std::uint16_t port() const;
    // PEM of the shared test authority (what a client should trust), also for Untrusted servers.
    const std::string& caPem() const;
    // {"localhost", port(), caPem()}
    ServiceEndpoint endpoint() const;
    // "https://localhost:<port>" + path, as a wide string
    std::wstring url(std::string_view path) const;

    // --- Content ---
    // A client file under /updater/files/; `path` uses '/' and no leading slash. "Quillon Saga.exe"
    // at the top goes into the manifest's "binary", every other file into "files".
    void setFile(const std::string& path, std::string bytes);
    void removeFile(const std::string& path);
    void clearFiles();
    // Whether the built manifest names "/updater/objects/" (true at first); false: a service
    // from before content addresses, whose launchers fetch "/updater/files/<path>".
    void setObjectsNamed(bool named);
    // The built manifest's "mirrors" (left out when empty).
    void setMirrors(std::vector<std::string> urls);
    // The path a launcher fetches the file set under `path` from: its object while the manifest
    // served (built or set) names objects, else "/updater/files/<path>" (decoded, as requests
    // are recorded).
    std::string filePath(const std::string& path) const;
    // Serves `json` verbatim as the manifest instead of the built one; nullopt returns to the built
    // one.
    void setManifestJson(std::optional<std::string> json);
    std::string manifestJson() const;  // what the manifest route answers now
    void setLatestJson(std::string json);
    void setStatusJson(std::string json);
    void setNewsJson(std::string json);
    // Signs what it serves with the Ed25519 private key in `privateKeyPem` (Linux only): the built
    // manifest gains "serial" (the time of this call, in seconds) and "expires" (30 days later),
    // and "/updater/updater.sig" and "/updater/launcher/latest.json.sig" answer with the hex
    // signatures of the exact bytes of the manifest and the release document. A release document
    // without "serial" gains the same two members. A resource set for either path takes
    // precedence.
    void setSigningKey(const std::string& privateKeyPem);
    // Any other GET path (e.g. an installer): status 200 with these bytes.
    void setResource(const std::string& path, std::string bytes,
                     std::string contentType = "application/octet-stream");
    // Snapshot of a content folder: <root>/client/** as files, <root>/latest.json, status.json and
    // news.json when present. Throws std::runtime_error when the client folder cannot be read.
    void loadFolder(const std::filesystem::path& root);

    // --- Misbehaviour (key: decoded path without query, e.g. "/updater/files/a b.txt") ---
    void setFault(const std::string& path, Fault fault);
    void clearFault(const std::string& path);
    void setHandler(const std::string& path, Handler handler);
    // The same reply for every request to `path`; unlike a handler it also works through the
    // control port.
    void setReply(const std::string& path, Reply reply);
    void clearHandler(const std::string& path);
    void clearFaultsAndHandlers();

    // --- What reached the server ---
    std::vector<RecordedRequest> requests() const;
    std::size_t requestCount() const;
    std::size_t requestCount(std::string_view path) const;
    std::optional<RecordedRequest> lastRequest(
        std::string_view path = {}) const;  // any path when empty
    void clearRequests();
    // The most requests the server was answering at one time since it started (or since
    // clearRequests): with HTTP/1.1, the most connections a client kept busy at once.
    std::size_t peakRequestsInFlight() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Lower-case SHA-256 digest text of `bytes`.
std::string Sha256Hex(std::string_view bytes);

// A port on 127.0.0.1 that nothing listens on (bound, then released).
std::uint16_t UnusedPort();
// Whether something accepts connections on `port` of 127.0.0.1 (a server started beside a test).
bool PortListening(std::uint16_t port);

}  // namespace qs::test
