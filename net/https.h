#pragma once
// The HTTPS request layer: URL trust, three thin request profiles (client update, launcher
// self-update, status/news), their limits and failures. The platform's HTTPS client carries out
// each exchange (platform/https_transport.h).
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "net/service.h"
#include "platform/https_transport.h"

namespace qs {

// The accepted parts of a trusted URL.
struct UpdateEndpoint {
    std::wstring host;
    std::wstring path;
    std::uint16_t port = 443;
};

// Transfer limits in one place so tests can shorten them. Each request copies them when it starts;
// change them only while no request runs.
struct TransferLimits {
    long connectTimeoutMs = 60000;  // connect phase
    long lowSpeedTimeSec = 30;      // abort when fewer than lowSpeedBytes/s arrive for this long
    long lowSpeedBytes = 1;
    long totalTimeoutMs = 0;  // 0: none; status and news: 5000 for the whole request
};
TransferLimits& UpdateTransferLimits();  // client update and self-update profiles
TransferLimits& LiveTransferLimits();    // status and news profile

// Body size caps against endless data.
inline constexpr std::size_t kManifestMaxBytes = 64u << 20;
inline constexpr std::size_t kReleaseMaxBytes = 64u << 20;
inline constexpr std::size_t kStatusMaxBytes = 64u << 10;
inline constexpr std::size_t kNewsMaxBytes = 4u << 20;

// What a request that was cancelled through its flag throws, whatever phase it was in.
inline constexpr char kUpdateCancelled[] = "Update cancelled.";
class UpdateCancelled : public std::runtime_error {
public:
    UpdateCancelled() : std::runtime_error(kUpdateCancelled) {}
};

// The service answered with another status than the one asked for (a 404, a 403, ...): an
// answer, not a failed transport. Gateway statuses that may pass throw TransientHttpsError.
class HttpsStatusError : public std::runtime_error {
public:
    HttpsStatusError(const char* text, long status) : std::runtime_error(text), status_(status) {}
    long status() const { return status_; }

private:
    long status_;
};

// A body that did not come whole after an accepted header, for a reason another attempt would
// not change (over its cap, refused by its sink); one cut short or stalled is transient.
class HttpsBodyError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A failure that may pass by itself: a refused, dropped or reset connection, a time-out, a body
// cut short, or a reply of 500, 502, 503 or 504. Worth another attempt; its text is one of the
// request failures below. Certificate and host failures, redirects and other replies never are.
class TransientHttpsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A request the transport could not carry out for a reason another attempt at the same host
// would not change: a certificate, host name or TLS failure. No answer came from that host.
class HttpsRequestError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Receives the body in pieces; returning false aborts the transfer.
using BodySink = std::function<bool(const char* data, std::size_t size)>;

// Global HTTPS set-up; call once on the main thread before any thread starts (on Linux it also
// ignores SIGPIPE).
void InitializeHttps();

// --- Client update profile ---
// Throws "Untrusted update URL configuration".
UpdateEndpoint CheckUpdateUrl(const std::wstring& url,
                              const ServiceEndpoint& service = BuiltInService());
// Whole body (capped at kManifestMaxBytes). Throws "Untrusted update URL configuration",
// "Unable to initialize HTTPS", "Unable to connect to update server", "HTTPS request failed",
// "Update server returned an error", "HTTPS response read failed".
std::vector<std::uint8_t> HttpsRequest(const std::wstring& url, const std::wstring& verb,
                                       const std::string& body,
                                       const ServiceEndpoint& service = BuiltInService());
// Streams the body of a 200 reply into `sink` (the body of any other status never reaches it); same
// failures. A sink that returns false ends the request with "HTTPS response read failed" (the sink
// keeps its own reason); an exception thrown by the sink ends the request and travels unchanged.
// Any failure after the 200 header (connection cut short, stall, cap) is "HTTPS response read
// failed": a short body is never returned as whole.
void HttpsRequestToSink(const std::wstring& url, const std::wstring& verb, const std::string& body,
                        const BodySink& sink, const ServiceEndpoint& service = BuiltInService());

struct HttpsSession;
struct HttpsPool;

// Connections shared by the transfers of one client update run, each on its own thread (see
// OpenHttpsPool): many at once over one HTTP/2 connection where the server offers it. Outlives
// every HttpsConnection that joined it.
class HttpsConnectionPool {
public:
    HttpsConnectionPool();
    ~HttpsConnectionPool();
    HttpsConnectionPool(const HttpsConnectionPool&) = delete;
    HttpsConnectionPool& operator=(const HttpsConnectionPool&) = delete;

private:
    friend class HttpsConnection;
    HttpsPool* pool_ = nullptr;
};

// One connection kept open across the requests of one client update run (the manifest and every
// download), for as long as the server keeps it: each request on it is configured afresh, exactly
// as a one-shot request, only the open connection and the TLS session carry over. Owned by the
// thread that runs the update; never shared between threads.
class HttpsConnection {
public:
    HttpsConnection() = default;
    ~HttpsConnection();
    HttpsConnection(const HttpsConnection&) = delete;
    HttpsConnection& operator=(const HttpsConnection&) = delete;
    // Every later request on this connection ends with kUpdateCancelled within about a second of
    // `*cancel` turning true.
    void setCancel(const std::atomic<bool>* cancel) { cancel_ = cancel; }
    // Its later requests travel over `pool`'s connections instead of one of its own; their
    // callbacks may then run on another thread of the pool while this one waits.
    void joinPool(HttpsConnectionPool& pool);
    // Its later requests travel the way `other`'s do: over the same pool when `other` joined one
    // (HTTP/2 carries them on its connection where the server offers it), else on its own.
    void joinPoolOf(const HttpsConnection& other);
    // The server's clock (its Date header, seconds since 1970) in the last manifest or signature
    // reply on this connection that gave one.
    std::optional<std::int64_t> serverTime() const { return serverTime_; }

private:
    friend struct HttpsConnectionAccess;
    HttpsSession* session_ = nullptr;  // made at the first request
    HttpsPool* pool_ = nullptr;        // the pool joined, if any
    const std::atomic<bool>* cancel_ = nullptr;
    std::optional<std::int64_t> serverTime_;
};

// The two client update requests over `connection`; same results and failures as above. A body
// over `maxBytes` ends the request as a failed read.
std::vector<std::uint8_t> HttpsRequest(const std::wstring& url, const std::wstring& verb,
                                       const std::string& body, const ServiceEndpoint& service,
                                       HttpsConnection& connection,
                                       std::size_t maxBytes = kManifestMaxBytes);
void HttpsRequestToSink(const std::wstring& url, const std::wstring& verb, const std::string& body,
                        const BodySink& sink, const ServiceEndpoint& service,
                        HttpsConnection& connection);

// What identifies one version of a reply: the ETag its server sent, else its Last-Modified.
// Only printable ASCII of at most kValidatorMaxChars is kept (it is sent back as a header).
struct ReplyValidator {
    std::string etag;
    std::string lastModified;
    bool empty() const { return etag.empty() && lastModified.empty(); }
    bool operator==(const ReplyValidator&) const = default;
};
inline constexpr std::size_t kValidatorMaxChars = 256;

// The manifest request: the body arrives gzip-encoded where the system can decode it (the cap
// counts decoded bytes), and with `known` not empty it is asked for only when it changed since
// ("If-None-Match" / "If-Modified-Since"). A service that ignores both answers 200 as always.
struct ConditionalReply {
    bool notModified = false;  // answered 304: no body
    std::vector<std::uint8_t> body;
    ReplyValidator validator;  // of this reply
};
ConditionalReply HttpsConditionalRequest(const std::wstring& url, const std::wstring& verb,
                                         const std::string& body, const ServiceEndpoint& service,
                                         HttpsConnection& connection,
                                         const ReplyValidator& known = {},
                                         std::size_t maxBytes = kManifestMaxBytes);

// A client file over `connection`. With `offset` > 0 it asks for the rest from there
// ("Range: bytes=<offset>-") and accepts a 206 reply besides 200. `onHead` sees the head of the
// reply, whatever its status, before any byte reaches `sink`. Same failures as HttpsRequestToSink.
void HttpsGetFile(const std::wstring& url, std::uint64_t offset,
                  const std::function<void(const HttpsResponseHead&)>& onHead, const BodySink& sink,
                  const ServiceEndpoint& service, HttpsConnection& connection);
// Bytes `first` to `last` (inclusive) of a client file ("Range: bytes=<first>-<last>"); a 200 or
// 206 reply reaches `sink`, so `onHead` must check which one came. Same failures.
void HttpsGetFileRange(const std::wstring& url, std::uint64_t first, std::uint64_t last,
                       const std::function<void(const HttpsResponseHead&)>& onHead,
                       const BodySink& sink, const ServiceEndpoint& service,
                       HttpsConnection& connection);

// --- Launcher self-update profile ---
// Throws "Untrusted launcher update URL".
UpdateEndpoint ResolveLauncherUrl(const std::wstring& url,
                                  const ServiceEndpoint& service = BuiltInService());
// `cancel`, when given, ends the request with kUpdateCancelled once it reads true.
std::vector<std::uint8_t> LauncherHttpsGet(const std::wstring& url, const std::wstring& verb,
                                           const ServiceEndpoint& service = BuiltInService(),
                                           const std::atomic<bool>* cancel = nullptr,
                                           std::size_t maxBytes = kReleaseMaxBytes);
void LauncherHttpsGetToSink(const std::wstring& url, const std::wstring& verb, const BodySink& sink,
                            const ServiceEndpoint& service = BuiltInService(),
                            const std::atomic<bool>* cancel = nullptr);

// --- Status and news profile ---
// GET with the user agent "QuillonSaga Launcher/1.0", 5-second limits for every phase and for the
// whole request (a dripping server cannot hold it longer), status not examined. nullopt on a URL
// that is not https on the service host, on any transport failure (also one cut short in the
// body), a body over maxBytes, or once `cancel` reads true.
std::optional<std::string> LiveHttpsGet(const std::wstring& url, std::size_t maxBytes,
                                        const ServiceEndpoint& service = BuiltInService(),
                                        const std::atomic<bool>* cancel = nullptr);

}  // namespace qs
