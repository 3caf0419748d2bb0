#include "net/https.h"

#include <chrono>
#include <exception>
#include <stdexcept>
#include <string_view>

#include "net/http_date.h"
#include "platform/https_transport.h"
#include "platform/launcher_log.h"
#include "platform/wide_text.h"

// How exchange outcomes map onto the six failures of the update and self-update requests. The
// request is staged like a session/connection/request API, and each failure keeps its place:
// - "Unable to initialize HTTPS": the platform's HTTPS client could not be set up or configured
//   (protocols, trust, time-outs, user agent).
// - "Unable to connect to update server": the request itself could not be prepared (verb, header
//   list, body) -- all before any network traffic, as opening a connection handle is.
// - "HTTPS request failed": anything that goes wrong before the response headers are complete:
//   name resolution, refused connection, TLS handshake or certificate check, send, a stall
//   (time-out) or the peer closing before it answered. A refused connection only shows up here,
//   when the request is sent.
// - "Update server returned an error": complete headers whose status is not exactly 200
//   (redirects included; none is followed). The body of such a reply is not read.
// - "HTTPS response read failed": any failure after a 200 header: a connection cut short of its
//   Content-Length, a stall or drip in the body, a body over its cap, or a sink that refused data.
//   A short body is never handed back as if it were whole.
// The status and news requests report none of these: any failure is simply no body.

namespace qs {

namespace {

constexpr char kUpdateUserAgent[] = "QuillonSagaLauncher/1.0";
constexpr char kLiveUserAgent[] = "QuillonSaga Launcher/1.0";
constexpr std::size_t kHostMaxChars = 255;
constexpr std::size_t kPathMaxChars = 2047;

constexpr char kUntrustedUpdateUrl[] = "Untrusted update URL configuration";
constexpr char kUntrustedLauncherUrl[] = "Untrusted launcher update URL";
constexpr char kInitFailed[] = "Unable to initialize HTTPS";
constexpr char kPrepareFailed[] = "Unable to connect to update server";
constexpr char kRequestFailed[] = "HTTPS request failed";
constexpr char kStatusRefused[] = "Update server returned an error";
constexpr char kReadFailed[] = "HTTPS response read failed";

// --- URL trust ---
char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i]))
            return false;
    return true;
}

struct TrustedTarget {
    UpdateEndpoint endpoint;
    std::string host;  // the service's own host name, which is what the request connects to
    std::string path;
};

// The decisions on a split URL: https on the service host (letter case ignored), any port, and
// nothing that could make the request go elsewhere or carry more than a path.
std::optional<TrustedTarget> TrustedTargetFromParts(const HttpsUrlParts& parts,
                                                    const ServiceEndpoint& service) {
    if (!parts.https || parts.extraAuthority)
        return std::nullopt;
    if (parts.host.empty() || parts.host.size() > kHostMaxChars || service.host.empty() ||
        !EqualIgnoringAsciiCase(parts.host, service.host))
        return std::nullopt;
    unsigned long port = 443;
    if (!parts.portText.empty()) {
        if (parts.portText.size() > 5)
            return std::nullopt;
        port = 0;
        for (char c : parts.portText) {
            if (c < '0' || c > '9')
                return std::nullopt;
            port = port * 10 + static_cast<unsigned long>(c - '0');
        }
    }
    if (port == 0 || port > 65535)
        return std::nullopt;
    if (parts.path.empty() || parts.path.front() != '/' || parts.path.size() > kPathMaxChars)
        return std::nullopt;

    TrustedTarget target;
    target.endpoint.host = Utf8ToWide(parts.host);
    target.endpoint.path = Utf8ToWide(parts.path);
    target.endpoint.port = static_cast<std::uint16_t>(port);
    target.host = service.host;
    target.path = parts.path;
    return target;
}

std::optional<TrustedTarget> ParseTrustedUrl(const std::wstring& url,
                                             const ServiceEndpoint& service) {
    std::string text;
    try {
        text = WideToUtf8(url);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    // The launcher only ever builds printable ASCII URLs (paths arrive percent-encoded).
    for (unsigned char c : text)
        if (c <= 0x20 || c >= 0x7f)
            return std::nullopt;
    // An authority must follow "//": parsers differ on what a third slash means.
    const std::size_t slashes = text.find("://");
    if (slashes == std::string::npos || text.size() <= slashes + 3 || text[slashes + 3] == '/')
        return std::nullopt;
    const auto parts = SplitHttpsUrl(text);
    if (!parts)
        return std::nullopt;
    return TrustedTargetFromParts(*parts, service);
}

bool IsToken(std::string_view verb) {
    if (verb.empty())
        return false;
    for (char c : verb)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos))
            return false;
    return true;
}

HttpsTimeouts TimeoutsFrom(const TransferLimits& limits) {
    return {limits.connectTimeoutMs, limits.lowSpeedTimeSec, limits.lowSpeedBytes,
            limits.totalTimeoutMs};
}

HttpsExchangeRequest RequestTo(const TrustedTarget& target, const ServiceEndpoint& service) {
    HttpsExchangeRequest request;
    request.host = target.host;
    request.port = target.endpoint.port;
    request.path = target.path;
    request.caPem = service.caPem;
    return request;
}

// Turns the outcome of an update or self-update request into its failure, if any.
void ThrowOnFailure(const HttpsExchangeOutcome& outcome, const HttpsExchangeRequest& request) {
    using Stage = HttpsExchangeOutcome::Stage;
    const std::atomic<bool>* cancel = request.cancel;
    const bool accepted = outcome.status == 200 || (request.accept206 && outcome.status == 206) ||
                          (request.accept304 && outcome.status == 304);
    const bool complete = outcome.stage == Stage::HeadersComplete && accepted &&
                          !outcome.sinkError && outcome.bodyComplete;
    if (!complete && cancel && cancel->load())
        throw UpdateCancelled();
    if (outcome.stage == Stage::InitFailed)
        throw std::runtime_error(kInitFailed);
    if (outcome.stage == Stage::PrepareFailed)
        throw std::runtime_error(kPrepareFailed);
    if (outcome.stage == Stage::RequestFailed) {
        if (outcome.transient)
            throw TransientHttpsError(kRequestFailed);
        throw HttpsRequestError(kRequestFailed);
    }
    if (outcome.sinkError)
        std::rethrow_exception(outcome.sinkError);
    if (!accepted) {
        // Gateways and overloaded servers answer so for a while; anything else stays an answer.
        const long status = outcome.status;
        if (status == 500 || status == 502 || status == 503 || status == 504)
            throw TransientHttpsError(kStatusRefused);
        throw HttpsStatusError(kStatusRefused, status);
    }
    if (!outcome.bodyComplete) {
        if (outcome.transient)
            throw TransientHttpsError(kReadFailed);
        throw HttpsBodyError(kReadFailed);
    }
}

// One log line per exchange: what was asked (never the body) and how it ended.
std::string RequestLogLine(const HttpsExchangeRequest& request, const HttpsExchangeOutcome& outcome,
                           std::uint64_t bytes, std::chrono::milliseconds took) {
    using Stage = HttpsExchangeOutcome::Stage;
    std::string line = "request " + request.verb + " " + request.path;
    for (const auto& [name, value] : request.headers)
        if (name == "Range")
            line += " range " + value + (value.ends_with('-') ? " (resumed)" : "");
        else if (name == "If-None-Match" || name == "If-Modified-Since")
            line += " if changed";
    // The body of a refusal is never read, so only an accepted one can end short.
    const bool accepted = outcome.status == 200 || outcome.status == 206 || outcome.status == 304;
    bool failed = true;
    if (outcome.stage == Stage::HeadersComplete) {
        line += " -> " + std::to_string(outcome.status);
        failed = accepted && !outcome.bodyComplete;
        if (failed)
            line += outcome.sinkError ? " body refused" : " body cut short";
    } else {
        line += outcome.stage == Stage::RequestFailed ? " -> failed before the reply"
                                                      : " -> could not be set up";
    }
    if (failed && outcome.errorCode != 0)
        line += " (error " + std::to_string(outcome.errorCode) + ")";
    if (failed && request.cancel && request.cancel->load())
        line += " (stopped)";
    return line + ", " + std::to_string(bytes) + " bytes in " + std::to_string(took.count()) +
           " ms";
}

// Every exchange passes here, so each one leaves its line in the log; counting the bytes is
// all it adds to the body's path.
HttpsExchangeOutcome LoggedExchange(const HttpsExchangeRequest& request, const BodySink& sink,
                                    HttpsSession** session = nullptr) {
    if (!LauncherLogActive())
        return PerformHttpsExchange(request, sink, session);
    std::uint64_t bytes = 0;
    const auto start = std::chrono::steady_clock::now();
    const HttpsExchangeOutcome outcome = PerformHttpsExchange(
        request,
        [&](const char* data, std::size_t size) {
            bytes += size;
            return sink(data, size);
        },
        session);
    LogEvent(RequestLogLine(request, outcome, bytes,
                            std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - start)));
    return outcome;
}

// A verb that is no HTTP token is refused before any traffic.
void Exchange(const HttpsExchangeRequest& request, const BodySink& sink,
              HttpsSession** session = nullptr) {
    if (!IsToken(request.verb))
        throw std::runtime_error(kPrepareFailed);
    ThrowOnFailure(LoggedExchange(request, sink, session), request);
}

std::string VerbText(const std::wstring& verb) {
    try {
        return WideToUtf8(verb);
    } catch (const std::exception&) {
        return {};  // refused as a verb
    }
}

// The client update profile: cache headers always, JSON content type only with a body.
HttpsExchangeRequest UpdateRequest(const TrustedTarget& target, const ServiceEndpoint& service,
                                   const std::wstring& verb, const std::string& body) {
    HttpsExchangeRequest request = RequestTo(target, service);
    request.verb = VerbText(verb);
    request.body = body;
    if (!body.empty())
        request.headers.emplace_back("Content-Type", "application/json");
    request.headers.emplace_back("Cache-Control", "no-cache, no-store, must-revalidate");
    request.headers.emplace_back("Pragma", "no-cache");
    request.userAgent = kUpdateUserAgent;
    request.timeouts = TimeoutsFrom(UpdateTransferLimits());
    return request;
}

// The self-update and live profiles send no header of their own.
HttpsExchangeRequest BareGet(const TrustedTarget& target, const ServiceEndpoint& service,
                             std::string verb, const char* userAgent,
                             const TransferLimits& limits) {
    HttpsExchangeRequest request = RequestTo(target, service);
    request.verb = std::move(verb);
    request.userAgent = userAgent;
    request.timeouts = TimeoutsFrom(limits);
    return request;
}

BodySink CappedCollector(std::vector<std::uint8_t>& into, std::size_t maxBytes) {
    return [&into, maxBytes](const char* data, std::size_t size) {
        if (size > maxBytes - into.size())
            return false;
        into.insert(into.end(), reinterpret_cast<const std::uint8_t*>(data),
                    reinterpret_cast<const std::uint8_t*>(data) + size);
        return true;
    };
}

}  // namespace

struct HttpsConnectionAccess {
    static HttpsSession** Session(HttpsConnection& connection) { return &connection.session_; }
    static const std::atomic<bool>* Cancel(HttpsConnection& connection) {
        return connection.cancel_;
    }
    static void NoteServerTime(HttpsConnection& connection, const std::string& date) {
        if (const auto time = ParseHttpDate(date))
            connection.serverTime_ = time;
    }
};

HttpsConnection::~HttpsConnection() {
    CloseHttpsSession(session_);
}

void HttpsConnection::joinPool(HttpsConnectionPool& pool) {
    if (!pool.pool_)
        return;
    CloseHttpsSession(session_);
    session_ = OpenPooledHttpsSession(pool.pool_);
    pool_ = pool.pool_;
}

void HttpsConnection::joinPoolOf(const HttpsConnection& other) {
    if (!other.pool_)
        return;
    CloseHttpsSession(session_);
    session_ = OpenPooledHttpsSession(other.pool_);
    pool_ = other.pool_;
}

HttpsConnectionPool::HttpsConnectionPool() : pool_(OpenHttpsPool()) {}

HttpsConnectionPool::~HttpsConnectionPool() {
    CloseHttpsPool(pool_);
}

TransferLimits& UpdateTransferLimits() {
    static TransferLimits limits;
    return limits;
}

TransferLimits& LiveTransferLimits() {
    static TransferLimits limits{5000, 5, 1, 5000};
    return limits;
}

void InitializeHttps() {
    InitializeHttpsTransport();
}

// --- Client update profile ---
UpdateEndpoint CheckUpdateUrl(const std::wstring& url, const ServiceEndpoint& service) {
    auto target = ParseTrustedUrl(url, service);
    if (!target)
        throw std::runtime_error(kUntrustedUpdateUrl);
    return target->endpoint;
}

namespace {

void UpdateRequestToSink(const std::wstring& url, const std::wstring& verb, const std::string& body,
                         const BodySink& sink, const ServiceEndpoint& service,
                         HttpsConnection* connection) {
    auto target = ParseTrustedUrl(url, service);
    if (!target)
        throw std::runtime_error(kUntrustedUpdateUrl);
    HttpsExchangeRequest request = UpdateRequest(*target, service, verb, body);
    request.cancel = connection ? HttpsConnectionAccess::Cancel(*connection) : nullptr;
    if (connection)
        request.onHead = [connection](const HttpsResponseHead& head) {
            HttpsConnectionAccess::NoteServerTime(*connection, head.date);
            return true;
        };
    Exchange(request, sink, connection ? HttpsConnectionAccess::Session(*connection) : nullptr);
}

}  // namespace

void HttpsRequestToSink(const std::wstring& url, const std::wstring& verb, const std::string& body,
                        const BodySink& sink, const ServiceEndpoint& service) {
    UpdateRequestToSink(url, verb, body, sink, service, nullptr);
}

void HttpsRequestToSink(const std::wstring& url, const std::wstring& verb, const std::string& body,
                        const BodySink& sink, const ServiceEndpoint& service,
                        HttpsConnection& connection) {
    UpdateRequestToSink(url, verb, body, sink, service, &connection);
}

std::vector<std::uint8_t> HttpsRequest(const std::wstring& url, const std::wstring& verb,
                                       const std::string& body, const ServiceEndpoint& service) {
    std::vector<std::uint8_t> reply;
    HttpsRequestToSink(url, verb, body, CappedCollector(reply, kManifestMaxBytes), service);
    return reply;
}

namespace {

// A validator as the server sent it, or empty when it could not go back out as a header.
std::string ValidatorText(std::string_view text) {
    if (text.size() > kValidatorMaxChars)
        return {};
    for (unsigned char c : text)
        if (c < 0x20 || c >= 0x7f)
            return {};
    return std::string(text);
}

}  // namespace

ConditionalReply HttpsConditionalRequest(const std::wstring& url, const std::wstring& verb,
                                         const std::string& body, const ServiceEndpoint& service,
                                         HttpsConnection& connection, const ReplyValidator& known,
                                         std::size_t maxBytes) {
    auto target = ParseTrustedUrl(url, service);
    if (!target)
        throw std::runtime_error(kUntrustedUpdateUrl);
    HttpsExchangeRequest request = UpdateRequest(*target, service, verb, body);
    request.cancel = HttpsConnectionAccess::Cancel(connection);
    request.acceptGzip = true;
    // Either validator alone, as a server compares If-None-Match first and ignores the other.
    const std::string etag = ValidatorText(known.etag);
    const std::string lastModified = ValidatorText(known.lastModified);
    if (!etag.empty())
        request.headers.emplace_back("If-None-Match", etag);
    else if (!lastModified.empty())
        request.headers.emplace_back("If-Modified-Since", lastModified);
    request.accept304 = !etag.empty() || !lastModified.empty();
    ConditionalReply reply;
    request.onHead = [&connection, &reply](const HttpsResponseHead& head) {
        HttpsConnectionAccess::NoteServerTime(connection, head.date);
        reply.notModified = head.status == 304;
        reply.validator = {ValidatorText(head.etag), ValidatorText(head.lastModified)};
        return true;
    };
    Exchange(request, CappedCollector(reply.body, maxBytes),
             HttpsConnectionAccess::Session(connection));
    if (reply.notModified)
        reply.body.clear();
    return reply;
}

std::vector<std::uint8_t> HttpsRequest(const std::wstring& url, const std::wstring& verb,
                                       const std::string& body, const ServiceEndpoint& service,
                                       HttpsConnection& connection, std::size_t maxBytes) {
    std::vector<std::uint8_t> reply;
    HttpsRequestToSink(url, verb, body, CappedCollector(reply, maxBytes), service, connection);
    return reply;
}

namespace {

// A client file GET, with `range` (the value after "bytes=") when not empty.
void GetFileWithRange(const std::wstring& url, const std::string& range,
                      const std::function<void(const HttpsResponseHead&)>& onHead,
                      const BodySink& sink, const ServiceEndpoint& service,
                      HttpsConnection& connection) {
    auto target = ParseTrustedUrl(url, service);
    if (!target)
        throw std::runtime_error(kUntrustedUpdateUrl);
    HttpsExchangeRequest request = UpdateRequest(*target, service, L"GET", std::string());
    request.cancel = HttpsConnectionAccess::Cancel(connection);
    if (!range.empty()) {
        request.headers.emplace_back("Range", "bytes=" + range);
        request.accept206 = true;
    }
    if (onHead)
        request.onHead = [&onHead](const HttpsResponseHead& head) {
            onHead(head);
            return true;
        };
    Exchange(request, sink, HttpsConnectionAccess::Session(connection));
}

}  // namespace

void HttpsGetFile(const std::wstring& url, std::uint64_t offset,
                  const std::function<void(const HttpsResponseHead&)>& onHead, const BodySink& sink,
                  const ServiceEndpoint& service, HttpsConnection& connection) {
    GetFileWithRange(url, offset > 0 ? std::to_string(offset) + "-" : std::string(), onHead, sink,
                     service, connection);
}

void HttpsGetFileRange(const std::wstring& url, std::uint64_t first, std::uint64_t last,
                       const std::function<void(const HttpsResponseHead&)>& onHead,
                       const BodySink& sink, const ServiceEndpoint& service,
                       HttpsConnection& connection) {
    GetFileWithRange(url, std::to_string(first) + "-" + std::to_string(last), onHead, sink, service,
                     connection);
}

// --- Launcher self-update profile ---
UpdateEndpoint ResolveLauncherUrl(const std::wstring& url, const ServiceEndpoint& service) {
    auto target = ParseTrustedUrl(url, service);
    if (!target)
        throw std::runtime_error(kUntrustedLauncherUrl);
    return target->endpoint;
}

void LauncherHttpsGetToSink(const std::wstring& url, const std::wstring& verb, const BodySink& sink,
                            const ServiceEndpoint& service, const std::atomic<bool>* cancel) {
    auto target = ParseTrustedUrl(url, service);
    if (!target)
        throw std::runtime_error(kUntrustedLauncherUrl);
    HttpsExchangeRequest request =
        BareGet(*target, service, VerbText(verb), kUpdateUserAgent, UpdateTransferLimits());
    request.cancel = cancel;
    Exchange(request, sink);
}

std::vector<std::uint8_t> LauncherHttpsGet(const std::wstring& url, const std::wstring& verb,
                                           const ServiceEndpoint& service,
                                           const std::atomic<bool>* cancel, std::size_t maxBytes) {
    std::vector<std::uint8_t> reply;
    LauncherHttpsGetToSink(url, verb, CappedCollector(reply, maxBytes), service, cancel);
    return reply;
}

// --- Status and news profile ---
std::optional<std::string> LiveHttpsGet(const std::wstring& url, std::size_t maxBytes,
                                        const ServiceEndpoint& service,
                                        const std::atomic<bool>* cancel) {
    auto target = ParseTrustedUrl(url, service);
    if (!target)
        return std::nullopt;
    std::string body;
    const BodySink collect = [&body, maxBytes](const char* data, std::size_t size) {
        if (size > maxBytes - body.size())
            return false;
        body.append(data, size);
        return true;
    };
    HttpsExchangeRequest request =
        BareGet(*target, service, "GET", kLiveUserAgent, LiveTransferLimits());
    request.stopUnless200 = false;
    request.cancel = cancel;
    const HttpsExchangeOutcome outcome = LoggedExchange(request, collect);
    if (outcome.stage != HttpsExchangeOutcome::Stage::HeadersComplete || !outcome.bodyComplete)
        return std::nullopt;
    return body;
}

}  // namespace qs
