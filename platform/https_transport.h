#pragma once
// The operating system's HTTPS client behind the request layer (net/https.cpp): it splits URLs
// and carries out one exchange. Every rule about what is trusted, which headers a profile sends and
// which outcome is which failure stays with the request layer; this only reports what happened.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qs {

// A URL split by the platform's own parser. The input is printable ASCII.
struct HttpsUrlParts {
    bool https = false;           // the scheme is https (any letter case)
    bool extraAuthority = false;  // user name, password, login options or zone id present
    std::string host;             // as written
    std::string portText;         // as written; empty when the URL names none
    std::string path;             // path and query, no fragment; "/" when the URL has no path
};
// nullopt when the platform cannot split it.
std::optional<HttpsUrlParts> SplitHttpsUrl(const std::string& url);

struct HttpsTimeouts {
    long connectMs = 60000;     // name resolution and connect
    long lowSpeedTimeSec = 30;  // abort when fewer than lowSpeedBytes/s arrive for this long
    long lowSpeedBytes = 1;
    long totalMs = 0;  // 0: none
};

// The final reply's status line and the headers that frame its body.
struct HttpsResponseHead {
    long status = 0;
    std::optional<std::uint64_t> contentLength;
    std::string contentRange;  // as sent; empty when absent
    std::string date;          // the Date header as sent; empty when absent
    // The reply's validators as sent (for a conditional request next time); empty when absent.
    std::string etag;
    std::string lastModified;
};

struct HttpsExchangeRequest {
    std::string host;  // ASCII host name
    std::uint16_t port = 443;
    std::string path;  // sent exactly as given
    std::string verb;  // an HTTP token
    std::string body;  // sent when not empty; a POST always carries its Content-Length
    std::string userAgent;
    // Sent besides Host, User-Agent and Content-Length; the transport adds none of its own
    // (no Accept, no Expect, no cookies).
    std::vector<std::pair<std::string, std::string>> headers;
    HttpsTimeouts timeouts;
    std::string caPem;  // the only authorities to trust; empty: the system store
    // Stop at complete headers whose status is not 200 (nor 206 when `accept206`), without
    // reading the body.
    bool stopUnless200 = true;
    bool accept206 = false;
    bool accept304 = false;
    // Asks for a gzip-encoded body ("Accept-Encoding: gzip") and hands the sink the decoded
    // bytes; a system that cannot decode asks for none and gets the plain body.
    bool acceptGzip = false;
    // Sees the final reply's head (whatever its status) before any body byte; false ends the
    // exchange there. An exception it throws ends the exchange and is kept like the sink's.
    std::function<bool(const HttpsResponseHead&)> onHead;
    // Once this reads true the exchange is given up within about a second, in any phase; the
    // outcome is then whatever stage it had reached, never a complete body cut short.
    const std::atomic<bool>* cancel = nullptr;
};

// Receives the body in pieces; returning false aborts the transfer.
using HttpsBodySink = std::function<bool(const char* data, std::size_t size)>;

struct HttpsExchangeOutcome {
    enum class Stage {
        InitFailed,      // the client could not be set up or configured
        PrepareFailed,   // the request could not be prepared; nothing was sent
        RequestFailed,   // failed before the response headers were complete
        HeadersComplete  // `status` is known; `bodyComplete` tells how the body ended
    };
    Stage stage = Stage::InitFailed;
    long status = 0;
    // The whole body (its full Content-Length, or the end of a chunked one) reached the sink. False
    // also for a body that was not read because of `stopUnless200`.
    bool bodyComplete = false;
    std::exception_ptr sinkError;  // thrown by the sink or onHead; the exchange ended there
    // The failure is of a kind that may pass by itself: a refused or reset connection, a time-out,
    // a body cut short. Never set for certificate or host failures.
    bool transient = false;
    // The system's code for a failed exchange (a CURLcode; a WinHTTP error), for the log; 0 when
    // none is known.
    long errorCode = 0;
};

// Global set-up; once, on the main thread, before any thread starts.
void InitializeHttpsTransport();

// An open connection kept between exchanges to the same host, owned by one thread.
struct HttpsSession;
void CloseHttpsSession(HttpsSession* session);

// Connections shared by the sessions of one client update run, each used on a thread of its
// own: their exchanges go on together over the pool's connections, many at once over one
// HTTP/2 connection where the server offers it, else each over a connection of its own.
// nullptr where the system shares connections by itself (WinHTTP) or the pool cannot be made;
// sessions then keep their own. Closed only once every session of it is.
struct HttpsPool;
HttpsPool* OpenHttpsPool();
void CloseHttpsPool(HttpsPool* pool);
// A session whose exchanges travel over `pool` (a session of its own when it is null).
HttpsSession* OpenPooledHttpsSession(HttpsPool* pool);

// `session` null: a connection of its own, closed at the end. Otherwise `*session` is made at the
// first exchange and reused by the next ones.
HttpsExchangeOutcome PerformHttpsExchange(const HttpsExchangeRequest& request,
                                          const HttpsBodySink& sink,
                                          HttpsSession** session = nullptr);

}  // namespace qs
