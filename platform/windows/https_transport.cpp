// WinHTTP behind the request layer: asynchronous handles driven by one thread at a time (so a
// cancel closes the request handle as WinHTTP documents it), certificate checks always on, no
// redirects, no cookies.
#include "platform/https_transport.h"

// clang-format off
#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>
// clang-format on

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/windows/https_proxy.h"

namespace qs {

namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kHostBufferChars = 256;
constexpr DWORD kPathBufferChars = 2048;
constexpr std::size_t kReadChunkMax = 64u << 10;

// Printable ASCII only reaches here, so widening is exact.
std::wstring Widen(std::string_view text) {
    return std::wstring(text.begin(), text.end());
}

std::string Narrow(const wchar_t* text, std::size_t length) {
    std::string narrow;
    narrow.reserve(length);
    for (std::size_t i = 0; i < length; ++i)
        narrow.push_back(text[i] < 0x80 ? static_cast<char>(text[i]) : '\x7f');
    return narrow;
}

class Handle {
public:
    Handle() = default;
    explicit Handle(HINTERNET handle) : handle_(handle) {}
    ~Handle() { reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle(Handle&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = other.handle_;
            other.handle_ = nullptr;
        }
        return *this;
    }
    void reset(HINTERNET handle = nullptr) {
        if (handle_)
            WinHttpCloseHandle(handle_);
        handle_ = handle;
    }
    HINTERNET get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    HINTERNET handle_ = nullptr;
};

bool SetDword(HINTERNET handle, DWORD option, DWORD value) {
    return WinHttpSetOption(handle, option, &value, sizeof(value)) != FALSE;
}

// --- Trust of a server certificate against the given authorities only ---
struct CertStore {
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    ~CertStore() {
        if (store)
            CertCloseStore(store, 0);
    }
    CertStore() = default;
    CertStore(const CertStore&) = delete;
    CertStore& operator=(const CertStore&) = delete;
};

// Every certificate of the PEM text into `store`; false when there is none or one is malformed.
bool AddPemCertificates(HCERTSTORE store, const std::string& pem) {
    constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
    constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
    std::size_t added = 0;
    std::size_t from = 0;
    for (;;) {
        const std::size_t begin = pem.find(kBegin, from);
        if (begin == std::string::npos)
            break;
        const std::size_t end = pem.find(kEnd, begin);
        if (end == std::string::npos)
            return false;
        const std::size_t length = end + kEnd.size() - begin;
        DWORD derSize = 0;
        if (!CryptStringToBinaryA(pem.data() + begin, static_cast<DWORD>(length),
                                  CRYPT_STRING_BASE64HEADER, nullptr, &derSize, nullptr, nullptr))
            return false;
        std::string der(derSize, '\0');
        if (!CryptStringToBinaryA(pem.data() + begin, static_cast<DWORD>(length),
                                  CRYPT_STRING_BASE64HEADER, reinterpret_cast<BYTE*>(der.data()),
                                  &derSize, nullptr, nullptr) ||
            !CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING,
                                              reinterpret_cast<const BYTE*>(der.data()), derSize,
                                              CERT_STORE_ADD_ALWAYS, nullptr))
            return false;
        ++added;
        from = end + kEnd.size();
    }
    return added > 0;
}

// The server certificate of the request's connection chains to one of `caPem`'s authorities (and
// to no other root) and names `host`. WinHTTP has checked the name and dates already; this stands
// in for its check of the root.
bool ServerChainsToOnly(HINTERNET request, const std::string& caPem, const std::wstring& host) {
    PCCERT_CONTEXT server = nullptr;
    DWORD size = sizeof(server);
    if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &server, &size) || !server)
        return false;
    struct ServerCertificate {
        PCCERT_CONTEXT context;
        ~ServerCertificate() { CertFreeCertificateContext(context); }
    } serverHolder{server};

    CertStore roots;
    if (!roots.store || !AddPemCertificates(roots.store, caPem))
        return false;
    CERT_CHAIN_ENGINE_CONFIG config{};
    // The Windows 7 layout, the first with an exclusive root: also what Wine accepts.
    config.cbSize =
        offsetof(CERT_CHAIN_ENGINE_CONFIG, hExclusiveTrustedPeople) + sizeof(HCERTSTORE);
    config.hExclusiveRoot = roots.store;
    HCERTCHAINENGINE engine = nullptr;
    if (!CertCreateCertificateChainEngine(&config, &engine))
        return false;
    struct Engine {
        HCERTCHAINENGINE engine;
        ~Engine() { CertFreeCertificateChainEngine(engine); }
    } engineHolder{engine};

    char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    LPSTR usages[] = {serverAuth};
    CERT_CHAIN_PARA chainPara{};
    chainPara.cbSize = sizeof(chainPara);
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(engine, server, nullptr, server->hCertStore, &chainPara, 0,
                                 nullptr, &chain) ||
        !chain)
        return false;
    struct Chain {
        PCCERT_CHAIN_CONTEXT chain;
        ~Chain() { CertFreeCertificateChain(chain); }
    } chainHolder{chain};
    if (chain->TrustStatus.dwErrorStatus != CERT_TRUST_NO_ERROR)
        return false;

    std::wstring serverName = host;
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof(ssl);
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = serverName.data();
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof(policy);
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof(status);
    return CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status) &&
           status.dwError == 0;
}

// The root check of a request with authorities of its own, run when the connection is up and
// before the request goes out; an untrusted server must not see the request line, headers or body.
// Errors of a connection the peer closed: WinHTTP's own, and the socket errors Wine reports.
bool IsDroppedConnectionError(DWORD error) {
    return error == ERROR_WINHTTP_CONNECTION_ERROR ||
           error == ERROR_WINHTTP_INVALID_SERVER_RESPONSE || error == WSAECONNRESET ||
           error == WSAECONNABORTED;
}

// Failures that may pass by themselves; certificate and protocol failures are not among them.
bool IsTransientError(DWORD error) {
    return error == ERROR_WINHTTP_CANNOT_CONNECT || error == ERROR_WINHTTP_TIMEOUT ||
           error == ERROR_WINHTTP_NAME_NOT_RESOLVED || IsDroppedConnectionError(error);
}

// A header of the reply as sent (`query` names it); empty when absent or longer than any of the
// two asked for may be.
std::string HeaderText(HINTERNET request, DWORD query) {
    wchar_t text[128] = {};
    DWORD size = sizeof(text);
    if (!WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                             WINHTTP_NO_HEADER_INDEX))
        return {};
    return Narrow(text, size / sizeof(wchar_t));
}

// What WinHTTP shares with the thread that drives one request handle: the completion of the call
// under way, and the buffers WinHTTP may write to until the handle is gone. Owned jointly by the
// driver and the handle's context (a heap-held shared_ptr the callback deletes at
// WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING), so neither outlives what the other still touches.
struct RequestState {
    std::mutex mutex;
    std::condition_variable changed;
    DWORD completion = 0;    // guarded: the status that ended the call under way; 0 while it runs
    DWORD bytes = 0;         // guarded: of a DATA_AVAILABLE or READ_COMPLETE
    DWORD error = 0;         // guarded: of a REQUEST_ERROR
    bool closing = false;    // guarded: WinHTTP is done with the handle
    bool untrusted = false;  // guarded: the server failed the root check; the send was cancelled
    std::atomic<bool> closed{false};  // the handle was closed, by whichever side came first
    std::string caPem;
    std::wstring host;
    std::string body;  // sent from here: WinHTTP may read it until the send completes
    std::vector<char> buffer;
};
using RequestContext = std::shared_ptr<RequestState>;

void CALLBACK OnRequestStatus(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID information,
                              DWORD length) {
    if (!context)
        return;
    auto* keeper = reinterpret_cast<RequestContext*>(context);
    RequestState& state = **keeper;
    if (status == WINHTTP_CALLBACK_STATUS_SENDING_REQUEST) {
        // The root check of a request with authorities of its own, run when the connection is up
        // and before the request goes out: an untrusted server must not see the request line,
        // headers or body. Closing the handle here cancels the send (Wine 8 sends regardless; the
        // request still fails).
        if (state.caPem.empty() || ServerChainsToOnly(handle, state.caPem, state.host))
            return;
        {
            std::lock_guard lock(state.mutex);
            state.untrusted = true;
        }
        state.changed.notify_all();
        if (!state.closed.exchange(true))
            WinHttpCloseHandle(handle);
        return;
    }
    {
        std::lock_guard lock(state.mutex);
        switch (status) {
            case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
                state.bytes = information ? *static_cast<const DWORD*>(information) : 0;
                state.completion = status;
                break;
            case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
                state.bytes = length;
                state.completion = status;
                break;
            case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
                state.error = information
                                  ? static_cast<const WINHTTP_ASYNC_RESULT*>(information)->dwError
                                  : ERROR_WINHTTP_INTERNAL_ERROR;
                state.completion = status;
                break;
            case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
            case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
                state.completion = status;
                break;
            case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
                state.closing = true;
                break;
            default:
                return;
        }
    }
    state.changed.notify_all();
    // No callback follows this one for the handle: the context goes (the state with it, when
    // the driver let go of it already).
    if (status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING)
        delete keeper;
}

// One asynchronous request handle and the thread that drives it: each call is started, then
// awaited here. A cancel closes the handle from this same thread, which is how WinHTTP documents
// cancelling an asynchronous request; no call follows a close, and the handle is closed once.
class AsyncRequest {
public:
    AsyncRequest(const HttpsExchangeRequest& request, std::size_t readChunk)
        : state_(std::make_shared<RequestState>()) {
        state_->caPem = request.caPem;
        state_->host = Widen(request.host);
        state_->body = request.body;
        state_->buffer.resize(readChunk);
    }
    ~AsyncRequest() { close(); }
    AsyncRequest(const AsyncRequest&) = delete;
    AsyncRequest& operator=(const AsyncRequest&) = delete;

    // Opens the handle on `connection` and hands WinHTTP its context; false when it cannot.
    bool open(HINTERNET connection, const std::wstring& verb, const std::wstring& path) {
        handle_ =
            WinHttpOpenRequest(connection, verb.c_str(), path.c_str(), nullptr, WINHTTP_NO_REFERER,
                               WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
        if (!handle_)
            return false;
        auto* keeper = new RequestContext(state_);
        const DWORD_PTR context = reinterpret_cast<DWORD_PTR>(keeper);
        constexpr DWORD kEvents = WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS |
                                  WINHTTP_CALLBACK_FLAG_SEND_REQUEST |
                                  WINHTTP_CALLBACK_FLAG_HANDLES;
        if (!WinHttpSetOption(handle_, WINHTTP_OPTION_CONTEXT_VALUE,
                              const_cast<DWORD_PTR*>(&context), sizeof context) ||
            WinHttpSetStatusCallback(handle_, OnRequestStatus, kEvents, 0) ==
                WINHTTP_INVALID_STATUS_CALLBACK) {
            // No callback is installed that could ever reach it.
            delete keeper;
            return false;
        }
        context_ = context;
        return true;
    }
    HINTERNET get() const { return handle_; }
    DWORD_PTR context() const { return context_; }
    std::vector<char>& buffer() { return state_->buffer; }
    const std::string& body() const { return state_->body; }

    // Before each call: forget the last completion.
    void starting() {
        std::lock_guard lock(state_->mutex);
        state_->completion = 0;
    }

    // Waits for the call just started (or a synchronous failure `started` false) to end. Returns
    // its completion status, or REQUEST_ERROR with `error` set; 0 when `cancel` was raised, and
    // the handle is then closed.
    DWORD await(BOOL started, const std::atomic<bool>* cancel, DWORD& error) {
        if (!started) {
            error = GetLastError();
            return WINHTTP_CALLBACK_STATUS_REQUEST_ERROR;
        }
        std::unique_lock lock(state_->mutex);
        for (;;) {
            if (state_->untrusted || state_->closing) {
                error = ERROR_WINHTTP_OPERATION_CANCELLED;
                return WINHTTP_CALLBACK_STATUS_REQUEST_ERROR;
            }
            if (state_->completion) {
                error = state_->error;
                return state_->completion;
            }
            if (cancel && cancel->load()) {
                lock.unlock();
                close();
                return 0;
            }
            state_->changed.wait_for(lock, std::chrono::milliseconds(100));
        }
    }
    DWORD bytes() {
        std::lock_guard lock(state_->mutex);
        return state_->bytes;
    }
    bool untrusted() {
        std::lock_guard lock(state_->mutex);
        return state_->untrusted;
    }

    // Closes the handle once, whoever asks; a call under way ends with it. WinHTTP's callback
    // keeps what it still needs alive, so this waits only briefly, for tidiness: a connection
    // reused next sees the request gone.
    void close() {
        if (!handle_)
            return;
        if (!state_->closed.exchange(true))
            WinHttpCloseHandle(handle_);
        handle_ = nullptr;
        if (!context_)
            return;
        std::unique_lock lock(state_->mutex);
        state_->changed.wait_for(lock, std::chrono::seconds(2), [this] { return state_->closing; });
    }

private:
    RequestContext state_;
    HINTERNET handle_ = nullptr;
    DWORD_PTR context_ = 0;
};

// --- Exchange helpers ---
// The address a proxy script is asked about.
std::wstring RequestUrl(const HttpsExchangeRequest& request) {
    return L"https://" + Widen(request.host) + L":" + std::to_wstring(request.port) +
           Widen(request.path);
}

std::wstring HeaderBlock(const HttpsExchangeRequest& request) {
    std::wstring block;
    for (const auto& [name, value] : request.headers)
        block += Widen(name) + L": " + Widen(value) + L"\r\n";
    return block;
}

// Content-Length of a reply whose body is framed by it; nullopt for a chunked or unframed one.
std::optional<unsigned long long> FramedLength(HINTERNET request) {
    DWORD size = 0;
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_TRANSFER_ENCODING, WINHTTP_HEADER_NAME_BY_INDEX,
                            WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX) ||
        GetLastError() == ERROR_INSUFFICIENT_BUFFER)
        return std::nullopt;
    wchar_t text[32] = {};
    size = sizeof(text);
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                             text, &size, WINHTTP_NO_HEADER_INDEX))
        return std::nullopt;
    unsigned long long length = 0;
    std::size_t digits = 0;
    for (const wchar_t* c = text; *c; ++c) {
        if (*c == L' ')
            continue;
        if (*c < L'0' || *c > L'9' || ++digits > 18)
            return std::nullopt;
        length = length * 10 + static_cast<unsigned long long>(*c - L'0');
    }
    if (digits == 0)
        return std::nullopt;
    return length;
}

// The low-speed rule: fewer than `lowSpeedBytes` per second on average over any
// `lowSpeedTimeSec` stretch ends the transfer. A transfer where nothing at all arrives is ended by
// WinHTTP's receive time-out, which has the same length.
class SpeedWatch {
public:
    explicit SpeedWatch(const HttpsTimeouts& timeouts)
        : window_(std::chrono::seconds(std::max(1L, timeouts.lowSpeedTimeSec))),
          minimumBytes_(static_cast<unsigned long long>(std::max(0L, timeouts.lowSpeedBytes)) *
                        static_cast<unsigned long long>(std::max(1L, timeouts.lowSpeedTimeSec))),
          start_(Clock::now()) {}
    // False when the transfer is too slow.
    bool add(std::size_t bytes) {
        bytes_ += bytes;
        const auto now = Clock::now();
        if (now - start_ < window_)
            return true;
        if (bytes_ < minimumBytes_)
            return false;
        start_ = now;
        bytes_ = 0;
        return true;
    }

private:
    Clock::duration window_;
    unsigned long long minimumBytes_;
    Clock::time_point start_;
    unsigned long long bytes_ = 0;
};

// WinHTTP's four phase time-outs from the limits; a total limit shortens each.
bool SetTimeouts(HINTERNET request, const HttpsTimeouts& timeouts) {
    auto bounded = [&](long ms) {
        if (timeouts.totalMs > 0 && (ms <= 0 || ms > timeouts.totalMs))
            ms = timeouts.totalMs;
        return static_cast<int>(std::clamp(ms, 1L, 0x7fffffffL));
    };
    const int connect = bounded(timeouts.connectMs);
    const int transfer = bounded(timeouts.lowSpeedTimeSec * 1000);
    // The wait for the response headers has a limit of its own.
    return WinHttpSetTimeouts(request, connect, connect, transfer, transfer) &&
           SetDword(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, static_cast<DWORD>(transfer));
}

}  // namespace

struct HttpsSession {
    Handle root;
    Handle connection;
    std::string host;
    std::uint16_t port = 0;
    std::string userAgent;
    std::string caPem;  // kept connections were accepted under this trust
};

// WinHTTP keeps and shares its connections itself.
HttpsPool* OpenHttpsPool() {
    return nullptr;
}

void CloseHttpsPool(HttpsPool*) {}

HttpsSession* OpenPooledHttpsSession(HttpsPool*) {
    return new HttpsSession;
}

void CloseHttpsSession(HttpsSession* session) {
    if (!session)
        return;
    session->connection.reset();
    session->root.reset();
    delete session;
}

void InitializeHttpsTransport() {}

std::optional<HttpsUrlParts> SplitHttpsUrl(const std::string& url) {
    const std::wstring wide = Widen(url);
    wchar_t host[kHostBufferChars] = {};
    wchar_t path[kPathBufferChars] = {};
    URL_COMPONENTS components{};
    components.dwStructSize = sizeof(components);
    components.lpszHostName = host;
    components.dwHostNameLength = kHostBufferChars;
    components.lpszUrlPath = path;
    components.dwUrlPathLength = kPathBufferChars;
    // Located in the URL itself, not copied.
    components.dwUserNameLength = static_cast<DWORD>(-1);
    components.dwPasswordLength = static_cast<DWORD>(-1);
    components.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(wide.c_str(), 0, 0, &components))
        return std::nullopt;

    HttpsUrlParts parts;
    parts.https = components.nScheme == INTERNET_SCHEME_HTTPS;
    parts.host = Narrow(host, components.dwHostNameLength);
    // A query or fragment right after the host is left in the host name.
    std::string glued;
    if (const std::size_t cut = parts.host.find_first_of("?#"); cut != std::string::npos) {
        glued = parts.host.substr(cut);
        parts.host.resize(cut);
    }

    // WinHTTP accepts some authorities loosely (trailing junk after a port number, a query glued
    // to the host); the text between "//" and the path must be exactly host[:port].
    const std::size_t slashes = url.find("//");
    if (slashes == std::string::npos)
        return std::nullopt;
    const std::size_t authorityStart = slashes + 2;
    const std::size_t authorityEnd = url.find_first_of("/?#", authorityStart);
    const std::string authority = url.substr(authorityStart, authorityEnd == std::string::npos
                                                                 ? std::string::npos
                                                                 : authorityEnd - authorityStart);
    parts.extraAuthority = components.dwUserNameLength > 0 || components.dwPasswordLength > 0 ||
                           authority.find('@') != std::string::npos;
    if (!parts.extraAuthority) {
        if (authority.compare(0, parts.host.size(), parts.host) != 0)
            return std::nullopt;
        if (authority.size() > parts.host.size()) {
            if (authority[parts.host.size()] != ':')
                return std::nullopt;
            parts.portText = authority.substr(parts.host.size() + 1);
            const bool digits = !parts.portText.empty() && parts.portText.size() <= 5 &&
                                parts.portText.find_first_not_of("0123456789") == std::string::npos;
            if (digits && std::stoul(parts.portText) != components.nPort)
                return std::nullopt;
        }
    }

    parts.path = Narrow(path, components.dwUrlPathLength);
    if (parts.path.empty())
        parts.path.push_back('/');
    if (components.lpszExtraInfo && components.dwExtraInfoLength > 0) {
        std::string extra = Narrow(components.lpszExtraInfo, components.dwExtraInfoLength);
        extra = extra.substr(0, extra.find('#'));
        parts.path += extra;
    }
    parts.path += glued.substr(0, glued.find('#'));
    return parts;
}

HttpsExchangeOutcome PerformHttpsExchange(const HttpsExchangeRequest& request,
                                          const HttpsBodySink& sink, HttpsSession** session) {
    using Stage = HttpsExchangeOutcome::Stage;
    HttpsExchangeOutcome outcome;
    const Clock::time_point deadline =
        request.timeouts.totalMs > 0
            ? Clock::now() + std::chrono::milliseconds(request.timeouts.totalMs)
            : Clock::time_point::max();

    // Declared before the request handle, so closed after it: request, connection, root.
    HttpsSession ownSession;
    HttpsSession* current = &ownSession;
    if (session) {
        if (!*session)
            *session = new HttpsSession;
        current = *session;
        if (current->host != request.host || current->port != request.port ||
            current->userAgent != request.userAgent || current->caPem != request.caPem) {
            current->connection.reset();
            current->root.reset();
        }
    }

    if (!current->root) {
        current->root.reset(qs::OpenProxiedSession(Widen(request.userAgent), RequestUrl(request)));
        if (!current->root)
            return outcome;
        // Redirects stay with the caller as a non-200 status.
        if (!SetDword(current->root.get(), WINHTTP_OPTION_REDIRECT_POLICY,
                      WINHTTP_OPTION_REDIRECT_POLICY_NEVER)) {
            current->root.reset();
            return outcome;
        }
        // HTTP/2 where the server offers it, its connections shared; a system without it (older
        // Windows, Wine) keeps HTTP/1.1.
        SetDword(current->root.get(), WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL,
                 WINHTTP_PROTOCOL_FLAG_HTTP2);
        current->host = request.host;
        current->port = request.port;
        current->userAgent = request.userAgent;
        current->caPem = request.caPem;
    }
    // A kept connection the server closed while it sat idle fails at its next send or receive;
    // like libcurl, open a fresh one once instead of failing the download.
    bool keptConnection = static_cast<bool>(current->connection);
    const std::wstring verb = Widen(request.verb);
    const std::wstring path = Widen(request.path);
    std::optional<AsyncRequest> handle;
    bool decoding = false;
    auto cancelled = [&] { return request.cancel && request.cancel->load(); };
    DWORD error = 0;
    for (;;) {
        handle.reset();
        if (cancelled())
            return outcome;
        outcome.stage = Stage::PrepareFailed;
        if (!current->connection) {
            current->connection.reset(
                WinHttpConnect(current->root.get(), Widen(request.host).c_str(), request.port, 0));
            if (!current->connection)
                return outcome;
        }
        handle.emplace(request, kReadChunkMax);
        if (!handle->open(current->connection.get(), verb, path))
            return outcome;

        // Certificate checks stay on; with authorities of its own only the unknown root is left
        // to the check after the handshake, which must pass before anything is sent.
        outcome.stage = Stage::InitFailed;
        if (!SetDword(handle->get(), WINHTTP_OPTION_DISABLE_FEATURE, WINHTTP_DISABLE_REDIRECTS) ||
            !SetDword(handle->get(), WINHTTP_OPTION_DISABLE_FEATURE, WINHTTP_DISABLE_COOKIES) ||
            !SetTimeouts(handle->get(), request.timeouts))
            return outcome;
        if (!request.caPem.empty() && !SetDword(handle->get(), WINHTTP_OPTION_SECURITY_FLAGS,
                                                SECURITY_FLAG_IGNORE_UNKNOWN_CA))
            return outcome;
        // Windows 8.1 and later decode gzip themselves (and ask for it); older ones refuse the
        // option, ask for no encoding and get the plain body.
        decoding = request.acceptGzip && SetDword(handle->get(), WINHTTP_OPTION_DECOMPRESSION,
                                                  WINHTTP_DECOMPRESSION_FLAG_GZIP);

        outcome.stage = Stage::RequestFailed;
        const std::wstring headers = HeaderBlock(request);
        const DWORD bodyLength = static_cast<DWORD>(handle->body().size());
        handle->starting();
        DWORD ended = handle->await(
            WinHttpSendRequest(
                handle->get(), headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                headers.empty() ? 0 : static_cast<DWORD>(-1),
                bodyLength ? const_cast<char*>(handle->body().data()) : WINHTTP_NO_REQUEST_DATA,
                bodyLength, bodyLength, handle->context()),
            request.cancel, error);
        if (ended == 0 || handle->untrusted())
            return outcome;
        if (ended == WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE) {
            // A second guard, should the callback not have run.
            if (!request.caPem.empty() &&
                !ServerChainsToOnly(handle->get(), request.caPem, Widen(request.host)))
                return outcome;
            handle->starting();
            ended = handle->await(WinHttpReceiveResponse(handle->get(), nullptr), request.cancel,
                                  error);
            if (ended == 0)
                return outcome;
            if (ended == WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE)
                break;
        }
        outcome.errorCode = static_cast<long>(error);
        if (!keptConnection || !IsDroppedConnectionError(error)) {
            outcome.transient = !cancelled() && IsTransientError(error);
            return outcome;
        }
        keptConnection = false;
        handle.reset();
        current->connection.reset();
    }

    DWORD status = 0;
    DWORD statusSize = sizeof(status);
    WinHttpQueryHeaders(handle->get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize,
                        WINHTTP_NO_HEADER_INDEX);
    outcome.stage = Stage::HeadersComplete;
    outcome.status = static_cast<long>(status);
    const bool bodyless = request.verb == "HEAD" || status == 204 || status == 304;
    // Decoding, WinHTTP hands over more bytes than the Content-Length of the encoding and may drop
    // the Content-Encoding header, so the body ends where WinHTTP says (a cut gzip stream fails
    // its decoder). Only the manifest asks for it: a body cut short there fails its parse or its
    // signature, and the request layer's cap counts the decoded bytes.
    const std::optional<unsigned long long> expected = bodyless
                                                           ? std::optional<unsigned long long>(0)
                                                       : decoding ? std::nullopt
                                                                  : FramedLength(handle->get());
    if (request.onHead) {
        HttpsResponseHead head;
        head.status = outcome.status;
        head.contentLength = expected;
        head.contentRange = HeaderText(handle->get(), WINHTTP_QUERY_CONTENT_RANGE);
        head.date = HeaderText(handle->get(), WINHTTP_QUERY_DATE);
        head.etag = HeaderText(handle->get(), WINHTTP_QUERY_ETAG);
        head.lastModified = HeaderText(handle->get(), WINHTTP_QUERY_LAST_MODIFIED);
        try {
            if (!request.onHead(head))
                return outcome;
        } catch (...) {
            outcome.sinkError = std::current_exception();
            return outcome;
        }
    }
    const bool accepted = status == 200 || (request.accept206 && status == 206) ||
                          (request.accept304 && status == 304);
    if (request.stopUnless200 && !accepted)
        return outcome;

    // Whatever ends the body early below, other than the sink, is a cut or a stall.
    auto cutShort = [&] {
        outcome.transient = !cancelled();
        return outcome;
    };
    unsigned long long received = 0;
    SpeedWatch speed(request.timeouts);
    std::vector<char>& chunk = handle->buffer();
    for (;;) {
        if (Clock::now() >= deadline || cancelled())
            return cutShort();
        handle->starting();
        if (handle->await(WinHttpQueryDataAvailable(handle->get(), nullptr), request.cancel,
                          error) != WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE)
            return cutShort();
        const DWORD available = handle->bytes();
        if (available == 0)
            break;
        handle->starting();
        if (handle->await(
                WinHttpReadData(handle->get(), chunk.data(),
                                static_cast<DWORD>(std::min<std::size_t>(available, chunk.size())),
                                nullptr),
                request.cancel, error) != WINHTTP_CALLBACK_STATUS_READ_COMPLETE)
            return cutShort();
        const DWORD read = handle->bytes();
        if (read == 0)
            break;
        received += read;
        if (expected && received > *expected)
            return outcome;
        try {
            if (!sink(chunk.data(), read))
                return outcome;
        } catch (...) {
            outcome.sinkError = std::current_exception();
            return outcome;
        }
        if (!speed.add(read))
            return cutShort();
    }
    // A connection that closed before the announced length is a short body, never a whole one.
    outcome.bodyComplete = !expected || received == *expected;
    outcome.transient = !outcome.bodyComplete;
    return outcome;
}

}  // namespace qs
