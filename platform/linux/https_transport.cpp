// libcurl behind the request layer.
#include "platform/https_transport.h"
#include "platform/linux/https_header_line.h"

#include <curl/curl.h>

#include <condition_variable>
#include <csignal>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace qs {

namespace {

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
    bool add(const std::string& line) {
        curl_slist* grown = curl_slist_append(list, line.c_str());
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

// One part of a parsed URL; nullopt when absent or on any error.
std::optional<std::string> UrlPart(CURLU* url, CURLUPart part, unsigned int flags = 0) {
    char* text = nullptr;
    if (curl_url_get(url, part, &text, flags) != CURLUE_OK || !text)
        return std::nullopt;
    std::string value(text);
    curl_free(text);
    return value;
}

bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) {
            return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

// libcurl calls this about once a second even while nothing arrives, so a cancel is prompt in
// every phase: connecting, waiting for the reply, or a stalled or dripping body.
int OnProgress(void* cancel, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const std::atomic<bool>*>(cancel)->load() ? 1 : 0;
}

// --- The one place every handle is configured ---
// Certificate and host checks on, HTTPS only (also for any redirect, though none is followed), no
// cookie engine, no .netrc, no signals, HTTP/1.1 (HTTP/2 where offered to a pool's exchanges),
// the path sent exactly as given, and the limits.
bool ConfigureHandle(CURL* curl, const HttpsExchangeRequest& request) {
    const HttpsTimeouts& limits = request.timeouts;
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
    set(CURLOPT_USERAGENT, request.userAgent.c_str());
    set(CURLOPT_CONNECTTIMEOUT_MS, limits.connectMs);
    set(CURLOPT_LOW_SPEED_LIMIT, limits.lowSpeedBytes);
    set(CURLOPT_LOW_SPEED_TIME, limits.lowSpeedTimeSec);
    set(CURLOPT_TIMEOUT_MS, limits.totalMs);
    // The write callback then sees decoded bytes, so every cap counts what the body decodes to.
    if (request.acceptGzip)
        set(CURLOPT_ACCEPT_ENCODING, "gzip");
    if (request.cancel) {
        set(CURLOPT_XFERINFOFUNCTION, &OnProgress);
        set(CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(request.cancel));
        set(CURLOPT_NOPROGRESS, 0L);
    }
    if (!request.caPem.empty()) {
        // Only these authorities: no system bundle, no system folder.
        curl_blob blob{const_cast<char*>(request.caPem.data()), request.caPem.size(),
                       CURL_BLOB_COPY};
        set(CURLOPT_CAINFO_BLOB, &blob);
        set(CURLOPT_CAPATH, static_cast<const char*>(nullptr));
    }
    return ok;
}

// --- One exchange ---
struct Exchange {
    CURL* curl = nullptr;
    const HttpsExchangeRequest* request = nullptr;
    const HttpsBodySink* sink = nullptr;
    bool headersComplete = false;
    HttpsResponseHead head;
    std::exception_ptr sinkError;
};

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                             text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

}  // namespace

// Keeps the two framing headers, the date and the validators of the reply being read; a new status
// line starts afresh.
void NoteHeaderLine(HttpsResponseHead& head, std::string_view line) {
    if (line.substr(0, 5) == "HTTP/") {
        head = {};
        return;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return;
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = Trimmed(line.substr(colon + 1));
    if (EqualIgnoringAsciiCase(name, "Content-Range")) {
        head.contentRange = std::string(value);
    } else if (EqualIgnoringAsciiCase(name, "Date")) {
        head.date = std::string(value);
    } else if (EqualIgnoringAsciiCase(name, "ETag")) {
        head.etag = std::string(value);
    } else if (EqualIgnoringAsciiCase(name, "Last-Modified")) {
        head.lastModified = std::string(value);
    } else if (EqualIgnoringAsciiCase(name, "Content-Length")) {
        std::uint64_t length = 0;
        bool digits = !value.empty() && value.size() <= 19;
        for (char c : value) {
            digits = digits && c >= '0' && c <= '9';
            length = length * 10 + static_cast<std::uint64_t>(c - '0');
        }
        head.contentLength = digits ? std::optional<std::uint64_t>(length) : std::nullopt;
    }
}

namespace {

std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto& exchange = *static_cast<Exchange*>(user);
    const std::size_t length = size * count;
    if (exchange.headersComplete)
        return length;  // trailers
    const bool blankLine = length <= 2 && (length == 0 || data[0] == '\r' || data[0] == '\n');
    if (!blankLine) {
        NoteHeaderLine(exchange.head, std::string_view(data, length));
        return length;
    }
    long code = 0;
    curl_easy_getinfo(exchange.curl, CURLINFO_RESPONSE_CODE, &code);
    if (code >= 100 && code < 200)
        return length;  // interim reply, the real one follows
    exchange.head.status = code;
    exchange.headersComplete = true;
    const HttpsExchangeRequest& request = *exchange.request;
    try {
        if (request.onHead && !request.onHead(exchange.head))
            return 0;
    } catch (...) {
        exchange.sinkError = std::current_exception();
        return 0;
    }
    const bool accepted =
        code == 200 || (request.accept206 && code == 206) || (request.accept304 && code == 304);
    if (request.stopUnless200 && !accepted)
        return 0;
    return length;
}

// Failures that may pass by themselves; certificate and protocol failures are not among them.
bool IsTransient(CURLcode code) {
    switch (code) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_PARTIAL_FILE:
        case CURLE_GOT_NOTHING:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_HTTP2_STREAM:
            return true;
        default:
            return false;
    }
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

bool PrepareMethod(CURL* curl, const HttpsExchangeRequest& request) {
    const bool hasBody = !request.body.empty();
    bool ok = true;
    auto set = [&](CURLoption option, auto value) {
        ok = ok && curl_easy_setopt(curl, option, value) == CURLE_OK;
    };
    if (hasBody || request.verb == "POST") {
        set(CURLOPT_POST, 1L);
        set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        set(CURLOPT_POSTFIELDS, request.body.c_str());
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

// The request's own headers, and libcurl's extras switched off ("Name:" drops one).
bool AddHeaders(HeaderList& list, const HttpsExchangeRequest& request) {
    bool contentType = false;
    for (const auto& [name, value] : request.headers) {
        if (EqualIgnoringAsciiCase(name, "Content-Type"))
            contentType = true;
        if (!list.add(name + ": " + value))
            return false;
    }
    return (contentType || list.add("Content-Type:")) && list.add("Accept:") && list.add("Expect:");
}

std::string RequestUrl(const HttpsExchangeRequest& request) {
    const bool literalV6 = request.host.find(':') != std::string::npos;
    return "https://" + (literalV6 ? "[" + request.host + "]" : request.host) + ":" +
           std::to_string(request.port) + request.path;
}

}  // namespace

// One multi handle for the sessions of a run. Each exchange blocks its own thread, as with
// curl_easy_perform; whichever waiting thread finds nobody driving the multi handle drives it for
// every exchange in it until its own is done, then hands over. So all of them share the
// connections, and an HTTP/2 one carries them all at once. The callbacks of an exchange may run on
// another waiting thread; its owner reads what they wrote only once it is done, under the mutex.
struct HttpsPool {
    CURLM* multi = nullptr;
    std::mutex mutex;
    std::condition_variable changed;
    bool driving = false;                // a thread runs the multi handle
    std::vector<CURL*> handedIn;         // to be added by the driving thread
    std::map<CURL*, CURLcode> finished;  // out of the multi handle, for their owners
};

struct HttpsSession {
    CURL* curl = nullptr;
    HttpsPool* pool = nullptr;
};

namespace {

void FinishPooled(HttpsPool& pool, CURL* curl, CURLcode result) {
    {
        std::lock_guard lock(pool.mutex);
        pool.finished[curl] = result;
    }
    pool.changed.notify_all();
}

bool PooledDone(HttpsPool& pool, CURL* curl) {
    std::lock_guard lock(pool.mutex);
    return pool.finished.count(curl) > 0;
}

// Runs every exchange of the pool until `own` is done. Only the driving thread touches the multi
// handle; others hand their exchanges in and wake it.
void DrivePool(HttpsPool& pool, CURL* own) {
    for (;;) {
        std::vector<CURL*> adding;
        {
            std::lock_guard lock(pool.mutex);
            adding.swap(pool.handedIn);
        }
        for (CURL* curl : adding)
            if (curl_multi_add_handle(pool.multi, curl) != CURLM_OK)
                FinishPooled(pool, curl, CURLE_FAILED_INIT);
        int running = 0;
        const CURLMcode performed = curl_multi_perform(pool.multi, &running);
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(pool.multi, &queued)) {
            if (message->msg != CURLMSG_DONE)
                continue;
            CURL* curl = message->easy_handle;
            const CURLcode result = message->data.result;
            curl_multi_remove_handle(pool.multi, curl);
            FinishPooled(pool, curl, result);
        }
        if (PooledDone(pool, own))
            return;
        if (performed != CURLM_OK) {
            // The multi handle itself failed: every exchange in it ends.
            curl_multi_remove_handle(pool.multi, own);
            FinishPooled(pool, own, CURLE_FAILED_INIT);
            return;
        }
        curl_multi_poll(pool.multi, nullptr, 0, 100, nullptr);
    }
}

// curl_easy_perform over the pool's connections.
CURLcode PerformPooled(HttpsPool& pool, CURL* curl) {
    std::unique_lock lock(pool.mutex);
    pool.handedIn.push_back(curl);
    curl_multi_wakeup(pool.multi);
    for (;;) {
        if (auto done = pool.finished.find(curl); done != pool.finished.end()) {
            const CURLcode result = done->second;
            pool.finished.erase(done);
            return result;
        }
        if (pool.driving) {
            pool.changed.wait(lock);
            continue;
        }
        pool.driving = true;
        lock.unlock();
        DrivePool(pool, curl);
        lock.lock();
        pool.driving = false;
        pool.changed.notify_all();  // another waiting thread drives the rest
    }
}

}  // namespace

HttpsPool* OpenHttpsPool() {
    EnsureInitialized();
    if (!g_initOk)
        return nullptr;
    auto pool = std::make_unique<HttpsPool>();
    pool->multi = curl_multi_init();
    // Room to keep every connection a run opens for small files between two of its requests.
    constexpr long kKeptConnections = 64;
    if (!pool->multi ||
        curl_multi_setopt(pool->multi, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX) != CURLM_OK ||
        curl_multi_setopt(pool->multi, CURLMOPT_MAXCONNECTS, kKeptConnections) != CURLM_OK) {
        if (pool->multi)
            curl_multi_cleanup(pool->multi);
        return nullptr;
    }
    return pool.release();
}

void CloseHttpsPool(HttpsPool* pool) {
    if (!pool)
        return;
    curl_multi_cleanup(pool->multi);
    delete pool;
}

HttpsSession* OpenPooledHttpsSession(HttpsPool* pool) {
    auto* session = new HttpsSession;
    session->pool = pool;
    return session;
}

void CloseHttpsSession(HttpsSession* session) {
    if (!session)
        return;
    if (session->curl)
        curl_easy_cleanup(session->curl);
    delete session;
}

void InitializeHttpsTransport() {
    EnsureInitialized();
}

std::optional<HttpsUrlParts> SplitHttpsUrl(const std::string& url) {
    UrlHandle parsed;
    if (!parsed.url ||
        curl_url_set(parsed.url, CURLUPART_URL, url.c_str(), CURLU_PATH_AS_IS) != CURLUE_OK)
        return std::nullopt;
    HttpsUrlParts parts;
    const auto scheme = UrlPart(parsed.url, CURLUPART_SCHEME);
    parts.https = scheme && EqualIgnoringAsciiCase(*scheme, "https");
    parts.extraAuthority =
        UrlPart(parsed.url, CURLUPART_USER) || UrlPart(parsed.url, CURLUPART_PASSWORD) ||
        UrlPart(parsed.url, CURLUPART_OPTIONS) || UrlPart(parsed.url, CURLUPART_ZONEID);
    const auto host = UrlPart(parsed.url, CURLUPART_HOST);
    const auto path = UrlPart(parsed.url, CURLUPART_PATH);
    if (!host || !path)
        return std::nullopt;
    parts.host = *host;
    parts.portText = UrlPart(parsed.url, CURLUPART_PORT).value_or("");
    parts.path = *path;
    if (const auto query = UrlPart(parsed.url, CURLUPART_QUERY))
        parts.path += "?" + *query;
    return parts;
}

HttpsExchangeOutcome PerformHttpsExchange(const HttpsExchangeRequest& request,
                                          const HttpsBodySink& sink, HttpsSession** session) {
    HttpsExchangeOutcome outcome;
    EnsureInitialized();
    if (!g_initOk)
        return outcome;
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> ownHandle(nullptr, &curl_easy_cleanup);
    CURL* curl = nullptr;
    if (session) {
        // Every option back at its default; the open connection and the TLS session stay.
        if (!*session)
            *session = new HttpsSession;
        if (!(*session)->curl)
            (*session)->curl = curl_easy_init();
        curl = (*session)->curl;
        if (curl)
            curl_easy_reset(curl);
    } else {
        ownHandle.reset(curl_easy_init());
        curl = ownHandle.get();
    }
    if (!curl || !ConfigureHandle(curl, request))
        return outcome;
    HttpsPool* pool = session ? (*session)->pool : nullptr;
    // Where the server offers HTTP/2, a pool's exchanges wait for its one connection rather than
    // open more; the requests are the same as over HTTP/1.1.
    if (pool && (curl_easy_setopt(curl, CURLOPT_HTTP_VERSION,
                                  static_cast<long>(CURL_HTTP_VERSION_2TLS)) != CURLE_OK ||
                 curl_easy_setopt(curl, CURLOPT_PIPEWAIT, 1L) != CURLE_OK))
        return outcome;

    Exchange exchange;
    exchange.curl = curl;
    exchange.request = &request;
    exchange.sink = &sink;

    outcome.stage = HttpsExchangeOutcome::Stage::PrepareFailed;
    HeaderList headers;
    bool ok = AddHeaders(headers, request);
    auto set = [&](CURLoption option, auto value) {
        ok = ok && curl_easy_setopt(curl, option, value) == CURLE_OK;
    };
    const std::string url = RequestUrl(request);
    set(CURLOPT_URL, url.c_str());
    if (ok)
        ok = PrepareMethod(curl, request);
    set(CURLOPT_HTTPHEADER, headers.list);
    set(CURLOPT_HEADERFUNCTION, &OnHeader);
    set(CURLOPT_HEADERDATA, &exchange);
    set(CURLOPT_WRITEFUNCTION, &OnBody);
    set(CURLOPT_WRITEDATA, &exchange);
    if (!ok)
        return outcome;

    const CURLcode code = pool ? PerformPooled(*pool, curl) : curl_easy_perform(curl);
    outcome.stage = exchange.headersComplete ? HttpsExchangeOutcome::Stage::HeadersComplete
                                             : HttpsExchangeOutcome::Stage::RequestFailed;
    outcome.status = exchange.head.status;
    outcome.bodyComplete = exchange.headersComplete && code == CURLE_OK;
    outcome.sinkError = exchange.sinkError;
    outcome.transient = IsTransient(code);
    outcome.errorCode = code;
    return outcome;
}

}  // namespace qs
