#include "update/https.h"

#include <curl/curl.h>

#include <csignal>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "update/text.h"

// How libcurl outcomes map onto the six failures of the update and self-update requests. The
// request is staged like a session/connection/request API, and each failure keeps its place:
// - "Unable to initialize HTTPS": the global set-up failed, no easy handle, or the options common
//   to every handle (protocols, trust, time-outs, user agent) were refused.
// - "Unable to connect to update server": the request itself could not be prepared (URL, verb,
//   header list, body) -- all before any network traffic, as opening a connection handle is.
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

std::once_flag g_initOnce;
bool g_initOk = false;

void EnsureInitialized() {
    std::call_once(g_initOnce, [] {
        // A peer that closes mid-write must not kill the process.
        std::signal(SIGPIPE, SIG_IGN);
        g_initOk = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    });
}

// --- RAII for libcurl objects ---
struct HeaderList {
    curl_slist* list = nullptr;
    ~HeaderList() { curl_slist_free_all(list); }
    HeaderList() = default;
    HeaderList(const HeaderList&) = delete;
    HeaderList& operator=(const HeaderList&) = delete;
    bool add(const char* line) {
        curl_slist* grown = curl_slist_append(list, line);
        if (!grown)
            return false;
        list = grown;
        return true;
    }
};

struct UrlHandle {
    CURLU* url = curl_url();
    ~UrlHandle() {
        if (url)
            curl_url_cleanup(url);
    }
    UrlHandle() = default;
    UrlHandle(const UrlHandle&) = delete;
    UrlHandle& operator=(const UrlHandle&) = delete;
};

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

// One part of a parsed URL; nullopt when absent or on any error.
std::optional<std::string> UrlPart(CURLU* url, CURLUPart part, unsigned int flags = 0) {
    char* text = nullptr;
    if (curl_url_get(url, part, &text, flags) != CURLUE_OK || !text)
        return std::nullopt;
    std::string value(text);
    curl_free(text);
    return value;
}

struct TrustedTarget {
    UpdateEndpoint endpoint;
    std::string requestUrl;  // built from the service's own host name, the port and the path
};

// Accepts only https on the service host (letter case ignored), any port, and nothing that could
// make the request go elsewhere or carry more than a path: no user info, no zone id.
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

    UrlHandle parsed;
    if (!parsed.url ||
        curl_url_set(parsed.url, CURLUPART_URL, text.c_str(), CURLU_PATH_AS_IS) != CURLUE_OK)
        return std::nullopt;
    const auto scheme = UrlPart(parsed.url, CURLUPART_SCHEME);
    if (!scheme || !EqualIgnoringAsciiCase(*scheme, "https"))
        return std::nullopt;
    if (UrlPart(parsed.url, CURLUPART_USER) || UrlPart(parsed.url, CURLUPART_PASSWORD) ||
        UrlPart(parsed.url, CURLUPART_OPTIONS) || UrlPart(parsed.url, CURLUPART_ZONEID))
        return std::nullopt;

    const auto host = UrlPart(parsed.url, CURLUPART_HOST);
    if (!host || host->empty() || host->size() > kHostMaxChars || service.host.empty() ||
        !EqualIgnoringAsciiCase(*host, service.host))
        return std::nullopt;

    const auto portText = UrlPart(parsed.url, CURLUPART_PORT, CURLU_DEFAULT_PORT);
    if (!portText || portText->empty() || portText->size() > 5)
        return std::nullopt;
    unsigned long port = 0;
    for (char c : *portText) {
        if (c < '0' || c > '9')
            return std::nullopt;
        port = port * 10 + static_cast<unsigned long>(c - '0');
    }
    if (port == 0 || port > 65535)
        return std::nullopt;

    auto path = UrlPart(parsed.url, CURLUPART_PATH);
    if (!path || path->empty() || path->front() != '/')
        return std::nullopt;
    if (const auto query = UrlPart(parsed.url, CURLUPART_QUERY))
        *path += "?" + *query;
    if (path->size() > kPathMaxChars)
        return std::nullopt;

    TrustedTarget target;
    target.endpoint.host = Utf8ToWide(*host);
    target.endpoint.path = Utf8ToWide(*path);
    target.endpoint.port = static_cast<std::uint16_t>(port);
    const bool literalV6 = service.host.find(':') != std::string::npos;
    target.requestUrl = "https://" + (literalV6 ? "[" + service.host + "]" : service.host) + ":" +
                        std::to_string(port) + *path;
    return target;
}

// --- The one place every handle is configured ---
// Certificate and host checks on, HTTPS only (also for any redirect, though none is followed), no
// cookie engine, no .netrc, no signals, HTTP/1.1, the path sent exactly as given, and the limits.
bool ConfigureHandle(CURL* curl, const ServiceEndpoint& service, const TransferLimits& limits,
                     const char* userAgent) {
    bool ok = true;
    auto set = [&](CURLoption option, auto value) {
        ok = ok && curl_easy_setopt(curl, option, value) == CURLE_OK;
    };
    set(CURLOPT_PROTOCOLS_STR, "https");
    set(CURLOPT_REDIR_PROTOCOLS_STR, "https");
    set(CURLOPT_FOLLOWLOCATION, 0L);
    set(CURLOPT_MAXREDIRS, 0L);
    set(CURLOPT_SSL_VERIFYPEER, 1L);
    set(CURLOPT_SSL_VERIFYHOST, 2L);
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_NETRC, static_cast<long>(CURL_NETRC_IGNORED));
    set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    set(CURLOPT_PATH_AS_IS, 1L);
    // A proxy's CONNECT reply must not be taken for the service's headers.
    set(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    set(CURLOPT_USERAGENT, userAgent);
    set(CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs);
    set(CURLOPT_LOW_SPEED_LIMIT, limits.lowSpeedBytes);
    set(CURLOPT_LOW_SPEED_TIME, limits.lowSpeedTimeSec);
    set(CURLOPT_TIMEOUT_MS, limits.totalTimeoutMs);
    if (!service.caPem.empty()) {
        // Only these authorities: no system bundle, no system folder.
        curl_blob blob{const_cast<char*>(service.caPem.data()), service.caPem.size(),
                       CURL_BLOB_COPY};
        set(CURLOPT_CAINFO_BLOB, &blob);
        set(CURLOPT_CAPATH, static_cast<const char*>(nullptr));
    }
    return ok;
}

// --- One exchange ---
struct Exchange {
    CURL* curl = nullptr;
    const BodySink* sink = nullptr;
    bool abortOnStatus = false;  // stop at a status other than 200 without reading the body
    bool headersComplete = false;
    long status = 0;
    std::exception_ptr sinkError;
};

std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto& exchange = *static_cast<Exchange*>(user);
    const std::size_t length = size * count;
    if (exchange.headersComplete)
        return length;  // trailers
    const bool blankLine = length <= 2 && (length == 0 || data[0] == '\r' || data[0] == '\n');
    if (!blankLine)
        return length;
    long code = 0;
    curl_easy_getinfo(exchange.curl, CURLINFO_RESPONSE_CODE, &code);
    if (code >= 100 && code < 200)
        return length;  // interim reply, the real one follows
    exchange.status = code;
    exchange.headersComplete = true;
    if (exchange.abortOnStatus && code != 200)
        return 0;
    return length;
}

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto& exchange = *static_cast<Exchange*>(user);
    const std::size_t length = size * count;
    try {
        if (!(*exchange.sink)(data, length))
            return 0;
    } catch (...) {
        exchange.sinkError = std::current_exception();
        return 0;
    }
    return length;
}

struct Request {
    std::string url;
    std::string verb;
    const std::string* body = nullptr;
    std::vector<const char*> headers;  // "Name: value", or "Name:" to drop one of libcurl's own
    const char* userAgent = kUpdateUserAgent;
    TransferLimits limits;
    bool abortOnStatus = true;
};

struct Outcome {
    bool prepared = false;  // false: failed before any traffic (see `initFailed`)
    bool initFailed = false;
    CURLcode code = CURLE_OK;
    bool headersComplete = false;
    long status = 0;
    std::exception_ptr sinkError;
};

bool IsToken(std::string_view verb) {
    if (verb.empty())
        return false;
    for (char c : verb)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos))
            return false;
    return true;
}

bool PrepareMethod(CURL* curl, const Request& request) {
    const bool hasBody = request.body && !request.body->empty();
    bool ok = true;
    auto set = [&](CURLoption option, auto value) {
        ok = ok && curl_easy_setopt(curl, option, value) == CURLE_OK;
    };
    if (hasBody || request.verb == "POST") {
        set(CURLOPT_POST, 1L);
        set(CURLOPT_POSTFIELDSIZE_LARGE,
            static_cast<curl_off_t>(hasBody ? request.body->size() : 0));
        set(CURLOPT_POSTFIELDS, hasBody ? request.body->data() : "");
        if (request.verb != "POST")
            set(CURLOPT_CUSTOMREQUEST, request.verb.c_str());
    } else if (request.verb == "HEAD") {
        set(CURLOPT_NOBODY, 1L);
    } else {
        set(CURLOPT_HTTPGET, 1L);
        if (request.verb != "GET")
            set(CURLOPT_CUSTOMREQUEST, request.verb.c_str());
    }
    return ok;
}

}  // namespace

struct HttpsConnectionAccess {
    // The connection's handle with every option back at its default (the open connection and the
    // TLS session stay); null when it cannot be made.
    static CURL* FreshHandle(HttpsConnection& connection) {
        if (!connection.handle_)
            connection.handle_ = curl_easy_init();
        if (connection.handle_)
            curl_easy_reset(static_cast<CURL*>(connection.handle_));
        return static_cast<CURL*>(connection.handle_);
    }
    static void Close(HttpsConnection& connection) {
        if (connection.handle_)
            curl_easy_cleanup(static_cast<CURL*>(connection.handle_));
        connection.handle_ = nullptr;
    }
};

HttpsConnection::~HttpsConnection() {
    HttpsConnectionAccess::Close(*this);
}

namespace {

// `connection` null: a handle of its own, closed with the request.
Outcome Perform(const Request& request, const ServiceEndpoint& service, const BodySink& sink,
                HttpsConnection* connection = nullptr) {
    Outcome outcome;
    EnsureInitialized();
    if (!g_initOk) {
        outcome.initFailed = true;
        return outcome;
    }
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> ownHandle(nullptr, &curl_easy_cleanup);
    CURL* curl = nullptr;
    if (connection) {
        curl = HttpsConnectionAccess::FreshHandle(*connection);
    } else {
        ownHandle.reset(curl_easy_init());
        curl = ownHandle.get();
    }
    if (!curl || !ConfigureHandle(curl, service, request.limits, request.userAgent)) {
        outcome.initFailed = true;
        return outcome;
    }
    Exchange exchange;
    exchange.curl = curl;
    exchange.sink = &sink;
    exchange.abortOnStatus = request.abortOnStatus;

    HeaderList headers;
    bool ok = IsToken(request.verb);
    for (const char* line : request.headers)
        ok = ok && headers.add(line);
    auto set = [&](CURLoption option, auto value) {
        ok = ok && curl_easy_setopt(curl, option, value) == CURLE_OK;
    };
    set(CURLOPT_URL, request.url.c_str());
    if (ok)
        ok = PrepareMethod(curl, request);
    set(CURLOPT_HTTPHEADER, headers.list);
    set(CURLOPT_HEADERFUNCTION, &OnHeader);
    set(CURLOPT_HEADERDATA, &exchange);
    set(CURLOPT_WRITEFUNCTION, &OnBody);
    set(CURLOPT_WRITEDATA, &exchange);
    if (!ok)
        return outcome;

    outcome.prepared = true;
    outcome.code = curl_easy_perform(curl);
    outcome.headersComplete = exchange.headersComplete;
    outcome.status = exchange.status;
    outcome.sinkError = exchange.sinkError;
    return outcome;
}

// Turns the outcome of an update or self-update request into its failure, if any.
void ThrowOnFailure(const Outcome& outcome) {
    if (outcome.initFailed)
        throw std::runtime_error(kInitFailed);
    if (!outcome.prepared)
        throw std::runtime_error(kPrepareFailed);
    if (!outcome.headersComplete)
        throw std::runtime_error(kRequestFailed);
    if (outcome.status != 200)
        throw std::runtime_error(kStatusRefused);
    if (outcome.sinkError)
        std::rethrow_exception(outcome.sinkError);
    if (outcome.code != CURLE_OK)
        throw std::runtime_error(kReadFailed);
}

const char* const kCacheHeaders[] = {"Cache-Control: no-cache, no-store, must-revalidate",
                                     "Pragma: no-cache"};

// The client update profile: cache headers always, JSON content type only with a body, and none
// of libcurl's own extras.
Request UpdateRequest(std::string url, const std::wstring& verb, const std::string& body) {
    Request request;
    request.url = std::move(url);
    try {
        request.verb = WideToUtf8(verb);
    } catch (const std::exception&) {
        request.verb.clear();  // refused as a verb below
    }
    request.body = &body;
    if (!body.empty())
        request.headers.push_back("Content-Type: application/json");
    else
        request.headers.push_back("Content-Type:");
    request.headers.insert(request.headers.end(), std::begin(kCacheHeaders),
                           std::end(kCacheHeaders));
    request.headers.push_back("Accept:");
    request.headers.push_back("Expect:");
    request.limits = UpdateTransferLimits();
    return request;
}

// The self-update and live profiles send no header of their own and drop libcurl's Accept.
Request BareGet(std::string url, std::string verb, const char* userAgent,
                const TransferLimits& limits) {
    Request request;
    request.url = std::move(url);
    request.verb = std::move(verb);
    request.headers = {"Accept:", "Content-Type:", "Expect:"};
    request.userAgent = userAgent;
    request.limits = limits;
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

std::string LauncherVerb(const std::wstring& verb) {
    try {
        return WideToUtf8(verb);
    } catch (const std::exception&) {
        return {};
    }
}

}  // namespace

TransferLimits& UpdateTransferLimits() {
    static TransferLimits limits;
    return limits;
}

TransferLimits& LiveTransferLimits() {
    static TransferLimits limits{5000, 5, 1, 0};
    return limits;
}

void InitializeHttps() {
    EnsureInitialized();
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
    ThrowOnFailure(
        Perform(UpdateRequest(target->requestUrl, verb, body), service, sink, connection));
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

std::vector<std::uint8_t> HttpsRequest(const std::wstring& url, const std::wstring& verb,
                                       const std::string& body, const ServiceEndpoint& service,
                                       HttpsConnection& connection) {
    std::vector<std::uint8_t> reply;
    HttpsRequestToSink(url, verb, body, CappedCollector(reply, kManifestMaxBytes), service,
                       connection);
    return reply;
}

// --- Launcher self-update profile ---
UpdateEndpoint ResolveLauncherUrl(const std::wstring& url, const ServiceEndpoint& service) {
    auto target = ParseTrustedUrl(url, service);
    if (!target)
        throw std::runtime_error(kUntrustedLauncherUrl);
    return target->endpoint;
}

void LauncherHttpsGetToSink(const std::wstring& url, const std::wstring& verb, const BodySink& sink,
                            const ServiceEndpoint& service) {
    auto target = ParseTrustedUrl(url, service);
    if (!target)
        throw std::runtime_error(kUntrustedLauncherUrl);
    ThrowOnFailure(Perform(
        BareGet(target->requestUrl, LauncherVerb(verb), kUpdateUserAgent, UpdateTransferLimits()),
        service, sink));
}

std::vector<std::uint8_t> LauncherHttpsGet(const std::wstring& url, const std::wstring& verb,
                                           const ServiceEndpoint& service) {
    std::vector<std::uint8_t> reply;
    LauncherHttpsGetToSink(url, verb, CappedCollector(reply, kReleaseMaxBytes), service);
    return reply;
}

// --- Status and news profile ---
std::optional<std::string> LiveHttpsGet(const std::wstring& url, std::size_t maxBytes,
                                        const ServiceEndpoint& service) {
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
    Request request = BareGet(target->requestUrl, "GET", kLiveUserAgent, LiveTransferLimits());
    request.abortOnStatus = false;
    const Outcome outcome = Perform(request, service, collect);
    if (!outcome.prepared || !outcome.headersComplete || outcome.code != CURLE_OK)
        return std::nullopt;
    return body;
}
