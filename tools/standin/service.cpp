#include "tools/standin/service.h"

#include <httplib.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tools/publish/gzip.h"
#include "tools/publish/signing.h"
#include "update/block_index.h"
#include "update/chunker.h"

namespace qs::test {
namespace {

// Every reply carries the server's clock, as a real web server's does.
std::string HttpDateNow() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[40];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &parts);
    return text;
}

// The signature file's text, or empty when the key cannot sign (the launcher then refuses it).
std::string SignHex(const std::string& pem, const std::string& bytes) {
    try {
        return qs::publish::SignatureText(pem, bytes);
    } catch (const std::exception&) {
        return {};
    }
}

bool AcceptsGzip(const httplib::Request& request) {
    std::string accepted = request.get_header_value("Accept-Encoding");
    for (char& c : accepted)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return accepted.find("gzip") != std::string::npos;
}

constexpr const char* kExecutableName = "Quillon Saga.exe";
constexpr const char* kFilesPrefix = "/updater/files/";
constexpr const char* kObjectsPrefix = "/updater/objects/";
constexpr const char* kReleasePath = "/updater/launcher/latest.json";
// Upper bound for a stall, so a forgotten server never holds a test binary for ever.
constexpr auto kLongestStall = std::chrono::minutes(10);

// The path of a request target in absolute form ("https://host:port/path"), which a server must
// accept as web servers do; Wine's WinHTTP sends it through a proxy's tunnel.
std::string OriginPath(const std::string& target) {
    for (std::string_view scheme : {"https://", "http://"}) {
        if (target.starts_with(scheme)) {
            const std::size_t slash = target.find('/', scheme.size());
            return slash == std::string::npos ? "/" : target.substr(slash);
        }
    }
    return target;
}

// httplib adds the peer's addresses to the request headers; they never came over the wire.
bool IsSyntheticHeader(const std::string& name) {
    return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
           name == "LOCAL_PORT";
}

struct PemPair {
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
    explicit PemPair(const CertificateAndKey& material) {
        BIO* certBio =
            BIO_new_mem_buf(material.certPem.data(), static_cast<int>(material.certPem.size()));
        BIO* keyBio =
            BIO_new_mem_buf(material.keyPem.data(), static_cast<int>(material.keyPem.size()));
        if (certBio)
            cert = PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr);
        if (keyBio)
            key = PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr);
        BIO_free(certBio);
        BIO_free(keyBio);
        if (!cert || !key) {
            X509_free(cert);
            EVP_PKEY_free(key);
            throw std::runtime_error("test service: unreadable server certificate or key");
        }
    }
    ~PemPair() {
        X509_free(cert);
        EVP_PKEY_free(key);
    }
    PemPair(const PemPair&) = delete;
    PemPair& operator=(const PemPair&) = delete;
};

const TestAuthority& UntrustedAuthority() {
    static const TestAuthority authority =
        TestAuthority::create("Quillon Saga Untrusted Authority");
    return authority;
}

std::string ReadWholeFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw std::runtime_error("test service: cannot read " + file.string());
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
struct TestService::Impl {
    using Bytes = std::shared_ptr<const std::string>;
    struct Resource {
        Bytes bytes;
        std::string contentType;
    };
    // A client file with what the manifest and the chunk route need of it, worked out once: a
    // request never copies or hashes the bytes, so large files serve as fast as a web server's.
    struct File {
        Bytes bytes;
        std::string sha256;
        Bytes chunkIndex;  // null below the chunking threshold
        Bytes blockIndex;  // with the chunk index
        std::string blockHeadSha256;
    };
    struct Content {
        int status = 200;
        Bytes body;
        std::string contentType = "application/json";
    };

    static File MakeFile(std::string bytes) {
        File file;
        file.sha256 = Sha256Hex(bytes);
        if (bytes.size() >= kChunkedFileMin) {
            ChunkIndex index;
            index.file = *DigestFromHex(std::wstring(file.sha256.begin(), file.sha256.end()));
            index.size = bytes.size();
            index.chunks = ChunkBytes(bytes);
            file.chunkIndex = std::make_shared<const std::string>(ChunkIndexBytes(index));
            std::vector<qs::BlockList> lists;
            for (const Chunk& chunk : index.chunks)
                lists.push_back(
                    qs::BlockListOf(std::string_view(bytes).substr(chunk.offset, chunk.length)));
            file.blockIndex =
                std::make_shared<const std::string>(qs::BlockIndexBytes(*file.chunkIndex, lists));
            file.blockHeadSha256 = Sha256Hex(std::string(
                qs::BlockIndexHead(*file.blockIndex, qs::LayoutOfBlockIndex(index.chunks))));
        }
        file.bytes = std::make_shared<const std::string>(std::move(bytes));
        return file;
    }
    static Bytes Text(std::string text) {
        return std::make_shared<const std::string>(std::move(text));
    }

    std::unique_ptr<httplib::SSLServer> server;
    std::thread thread;
    std::uint16_t port = 0;
    std::string caPem;

    mutable std::mutex mutex;
    std::condition_variable stopSignal;
    bool stopping = false;

    std::map<std::string, File> files;  // manifest path -> bytes
    bool objectsNamed = true;           // the manifest names kObjectsPrefix
    mutable std::map<std::string, const File*, std::less<>> objects;  // by digest, from `files`
    mutable bool objectsStale = true;
    std::vector<std::string> mirrors;  // the manifest's "mirrors", when any
    std::string signingKeyPem;         // empty: nothing signed
    std::int64_t signedSerial = 0;
    std::optional<std::string> manifestOverride;
    std::map<std::string, Resource> resources;  // decoded path -> reply
    std::map<std::string, Fault> faults;
    std::map<std::string, Handler> handlers;
    std::vector<RecordedRequest> recorded;
    std::size_t inFlight = 0;  // requests being answered
    std::size_t peakInFlight = 0;
    std::function<void(const RecordedRequest&)> onRequest;
    struct Encoded {
        std::string etag;
        Bytes gzip;
    };
    std::string encodedSource;  // the manifest `encoded` is of
    Encoded encoded;

    // Waits until the server stops or `duration` passes; true when stopping.
    bool waitForStop(std::chrono::milliseconds duration) {
        std::unique_lock lock(mutex);
        return stopSignal.wait_for(lock, duration, [this] { return stopping; });
    }

    std::string buildManifestLocked() const {
        if (manifestOverride)
            return *manifestOverride;
        nlohmann::json manifest;
        manifest["files"] = nlohmann::json::object();
        manifest["sizes"] = nlohmann::json::object();
        for (const auto& [path, file] : files) {
            if (path == kExecutableName)
                manifest["binary"] = {{"file", path}, {"checksum", file.sha256}};
            else
                manifest["files"][path] = file.sha256;
            manifest["sizes"][path] = file.bytes->size();
            if (file.chunkIndex) {
                manifest["chunked"].push_back(path);
                manifest["blocks"][path] = file.blockHeadSha256;
            }
        }
        if (objectsNamed)
            manifest["objects"] = kObjectsPrefix;
        if (!mirrors.empty())
            manifest["mirrors"] = mirrors;
        if (!signingKeyPem.empty()) {
            manifest["serial"] = signedSerial;
            manifest["expires"] = signedSerial + 30 * 24 * 3600;
        }
        return manifest.dump();
    }

    // The release document as served signed: one without a serial gains the manifest's serial
    // and expiry, as the publisher writes it; any other is served as set.
    std::string releaseLocked(const std::string& document) const {
        nlohmann::json release = nlohmann::json::parse(document, nullptr, false);
        if (!release.is_object() || release.contains("serial"))
            return document;
        release["serial"] = signedSerial;
        release["expires"] = signedSerial + 30 * 24 * 3600;
        return release.dump();
    }

    // The reply the content set gives for a request, before any fault.
    Content contentFor(const httplib::Request& request, const std::string& path) const {
        std::lock_guard lock(mutex);
        const bool isGet = request.method == "GET" || request.method == "HEAD";
        if (path == "/updater/updater.php") {
            if (request.method != "POST")
                return {405, Text(""), "text/plain"};
            return {200, Text(buildManifestLocked()), "application/json"};
        }
        if (isGet && path.rfind(kFilesPrefix, 0) == 0) {
            auto file = files.find(path.substr(std::string_view(kFilesPrefix).size()));
            if (file != files.end())
                return {200, file->second.bytes, "application/octet-stream"};
        }
        if (isGet && path.starts_with(kObjectsPrefix))
            if (const File* file =
                    objectLocked(path.substr(std::string_view(kObjectsPrefix).size())))
                return {200, file->bytes, "application/octet-stream"};
        if (isGet) {
            auto resource = resources.find(path);
            if (resource != resources.end() && path == kReleasePath && !signingKeyPem.empty())
                return {200, Text(releaseLocked(*resource->second.bytes)),
                        resource->second.contentType};
            if (resource != resources.end())
                return {200, resource->second.bytes, resource->second.contentType};
            if (Bytes index = chunkIndexLocked(path))
                return {200, index, "application/octet-stream"};
        }
        if (isGet && !signingKeyPem.empty()) {
            if (path == "/updater/updater.sig")
                return {200, Text(SignHex(signingKeyPem, buildManifestLocked())), "text/plain"};
            auto latest = resources.find(kReleasePath);
            if (path == "/updater/launcher/latest.json.sig" && latest != resources.end())
                return {200, Text(SignHex(signingKeyPem, releaseLocked(*latest->second.bytes))),
                        "text/plain"};
        }
        return {404, Text(""), "text/plain"};
    }

    // The file named "<xx>/<digest>" under the objects path, xx being the digest's first two.
    // By an index of the digests, made again after the files changed: a client of many files
    // costs a lookup per request, not a pass over them all.
    const File* objectLocked(std::string_view name) const {
        if (name.size() < 3 || name[2] != '/' || name.substr(3, 2) != name.substr(0, 2))
            return nullptr;
        if (objectsStale) {
            objects.clear();
            for (const auto& [path, file] : files)
                objects.emplace(file.sha256, &file);
            objectsStale = false;
        }
        auto found = objects.find(name.substr(3));
        return found == objects.end() ? nullptr : found->second;
    }

    // /updater/chunks/<digest>.idx and .blk of a file being served, as the publisher lays
    // them out.
    Bytes chunkIndexLocked(const std::string& path) const {
        constexpr std::string_view prefix = "/updater/chunks/";
        const bool blocks = path.ends_with(".blk");
        if (!path.starts_with(prefix) || !(blocks || path.ends_with(".idx")))
            return nullptr;
        const std::string digest = path.substr(prefix.size(), path.size() - prefix.size() - 4);
        for (const auto& [name, file] : files)
            if (file.chunkIndex && file.sha256 == digest)
                return blocks ? file.blockIndex : file.chunkIndex;
        return nullptr;
    }

    // The server library reads straight from the shared bytes, ranges included.
    static void ServeShared(const httplib::Request& request, httplib::Response& response,
                            const Content& content) {
        response.status = OkStatus(request, content.status);
        if (content.body->empty()) {
            response.set_content("", content.contentType);
            return;
        }
        response.set_content_provider(
            content.body->size(), content.contentType,
            [body = content.body](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                return sink.write(body->data() + offset, length);
            });
    }

    // Counts a request as answered from its arrival until its handler returns.
    struct InFlight {
        Impl& impl;
        explicit InFlight(Impl& owner) : impl(owner) {
            std::lock_guard lock(impl.mutex);
            impl.peakInFlight = std::max(impl.peakInFlight, ++impl.inFlight);
        }
        ~InFlight() {
            std::lock_guard lock(impl.mutex);
            --impl.inFlight;
        }
    };

    void handle(const httplib::Request& request, httplib::Response& response) {
        const InFlight counted(*this);
        RecordedRequest record;
        record.method = request.method;
        record.target = request.target;
        record.path = OriginPath(request.path);
        for (const auto& [name, value] : request.headers)
            if (!IsSyntheticHeader(name))
                record.headers.emplace_back(name, value);
        record.body = request.body;

        std::optional<Fault> fault;
        Handler handler;
        {
            std::lock_guard lock(mutex);
            recorded.push_back(record);
            if (auto found = handlers.find(record.path); found != handlers.end())
                handler = found->second;
            if (auto found = faults.find(record.path); found != faults.end()) {
                fault = found->second;
                if (found->second.times > 0 && --found->second.times == 0)
                    faults.erase(found);
            }
        }
        if (onRequest)
            onRequest(record);
        response.set_header("Date", HttpDateNow());
        if (handler) {
            Reply reply = handler(record);
            response.status = reply.status;
            if (httplib::Headers(reply.headers.begin(), reply.headers.end()).count("Date"))
                response.headers.erase("Date");
            for (const auto& [name, value] : reply.headers)
                response.set_header(name, value);
            response.set_content(reply.body, reply.contentType);
            return;
        }
        Content content = contentFor(request, record.path);
        // A slow reply is the normal one, late.
        if (fault && fault->kind == Fault::Kind::Slow) {
            if (waitForStop(fault->interval))
                return;
            fault.reset();
        }
        // A range that starts past the end is answered here: the server library gets it wrong.
        const bool rangeMinded = !fault || (fault->kind != Fault::Kind::IgnoreRange &&
                                            fault->kind != Fault::Kind::WrongRange);
        const std::size_t servedSize =
            fault && fault->body ? fault->body->size() : content.body->size();
        if (rangeMinded && content.status == 200 && request.ranges.size() == 1 &&
            request.ranges[0].first >= 0 &&
            static_cast<std::size_t>(request.ranges[0].first) >= servedSize) {
            response.status = 416;
            response.set_header("Content-Range", "bytes */" + std::to_string(servedSize));
            return;
        }
        if (!fault) {
            if (request.path == "/updater/updater.php" && content.status == 200 &&
                !ServeManifest(request, response, content))
                return;
            ServeShared(request, response, content);
            return;
        }
        applyFault(*fault, fault->body ? *fault->body : *content.body, content.contentType, request,
                   response);
    }

    // The manifest's ETag and gzip member, made once per manifest as a web server's are.
    Encoded encodedFor(const std::string& manifest) {
        {
            std::lock_guard lock(mutex);
            if (encodedSource == manifest)
                return encoded;
        }
        Encoded made{"\"" + Sha256Hex(manifest).substr(0, 32) + "\"",
                     Text(qs::publish::GzipBytes(manifest))};
        std::lock_guard lock(mutex);
        encodedSource = manifest;
        encoded = made;
        return made;
    }

    // The manifest as a web server serves a static file: an ETag of its bytes, 304 when the
    // request names it, gzip when asked for. False when the reply is complete (the 304).
    bool ServeManifest(const httplib::Request& request, httplib::Response& response,
                       Content& content) {
        const std::string etag = encodedFor(*content.body).etag;
        response.set_header("ETag", etag);
        if (request.get_header_value("If-None-Match") == etag) {
            response.status = 304;
            return false;
        }
        if (AcceptsGzip(request)) {
            content.body = encodedFor(*content.body).gzip;
            response.set_header("Content-Encoding", "gzip");
            response.set_header("Vary", "Accept-Encoding");
        }
        return true;
    }

    // A 200 reply to a range request is left for the server library to turn into 206 (or 416) over
    // the whole body, as any web server answers a range of a static file.
    static int OkStatus(const httplib::Request& request, int status) {
        return status == 200 && !request.ranges.empty() ? -1 : status;
    }

    void applyFault(const Fault& fault, const std::string& body, const std::string& contentType,
                    const httplib::Request& request, httplib::Response& response) {
        auto shared = std::make_shared<std::string>(body);
        switch (fault.kind) {
            case Fault::Kind::Status:
                response.status = fault.status;
                response.set_content(body, contentType);
                return;
            case Fault::Kind::Redirect:
                response.set_redirect(fault.location, fault.status);
                return;
            case Fault::Kind::NotJson:
                response.status = 200;
                response.set_content(
                    "<html><body><h1>Service temporarily unavailable</h1></body></html>",
                    "text/html");
                return;
            case Fault::Kind::WrongBytes: {
                std::string wrong = body.empty() ? std::string("wrong") : body;
                for (char& c : wrong)
                    c = static_cast<char>(c ^ 0x5a);
                response.status = 200;
                response.set_content(wrong, contentType);
                return;
            }
            case Fault::Kind::Truncate: {
                // Always promise more than is sent, even for an empty body.
                auto whole =
                    std::make_shared<std::string>(body.empty() ? std::string(64, 'x') : body);
                const std::size_t sent =
                    fault.bytes > 0 ? std::min<std::size_t>(static_cast<std::size_t>(fault.bytes),
                                                            whole->size() - 1)
                                    : whole->size() / 2;
                response.status = OkStatus(request, 200);
                response.set_content_provider(
                    whole->size(), contentType,
                    [whole, sent](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                        if (offset >= sent)
                            return false;
                        return sink.write(whole->data() + offset, sent - offset);
                    });
                return;
            }
            case Fault::Kind::Drip: {
                const auto step = static_cast<std::size_t>(fault.bytes);
                const auto interval = fault.interval;
                response.status = OkStatus(request, 200);
                response.set_content_provider(
                    shared->size(), contentType,
                    [this, shared, step, interval](std::size_t offset, std::size_t length,
                                                   httplib::DataSink& sink) {
                        if (waitForStop(interval))
                            return false;
                        return sink.write(shared->data() + offset, std::min(step, length));
                    });
                return;
            }
            case Fault::Kind::Stall: {
                if (fault.bytes < 0) {
                    waitForStop(kLongestStall);
                    response.status = 500;
                    return;
                }
                const auto sent =
                    std::min<std::size_t>(static_cast<std::size_t>(fault.bytes), shared->size());
                const std::size_t promised = std::max<std::size_t>(shared->size(), sent + 1);
                response.status = OkStatus(request, 200);
                response.set_content_provider(
                    promised, contentType,
                    [this, shared, sent](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                        if (offset < sent)
                            return sink.write(shared->data() + offset, sent - offset);
                        waitForStop(kLongestStall);
                        return false;
                    });
                return;
            }
            case Fault::Kind::IgnoreRange:
            case Fault::Kind::WrongRange: {
                // Chunked, so the server library leaves the reply exactly as made here.
                const bool wrong = fault.kind == Fault::Kind::WrongRange;
                response.status = wrong ? 206 : 200;
                if (wrong)
                    response.set_header("Content-Range", "bytes 0-" +
                                                             std::to_string(shared->size() - 1) +
                                                             "/" + std::to_string(shared->size()));
                response.set_chunked_content_provider(
                    contentType, [shared](std::size_t offset, httplib::DataSink& sink) {
                        if (offset < shared->size())
                            sink.write(shared->data() + offset, shared->size() - offset);
                        sink.done();
                        return true;
                    });
                return;
            }
            case Fault::Kind::GzipBomb: {
                // Not a type the server library compresses itself: the body goes out as made.
                auto encoded = std::make_shared<const std::string>(
                    qs::publish::GzipZeros(static_cast<std::uint64_t>(fault.bytes)));
                response.status = 200;
                response.set_header("Content-Encoding", "gzip");
                ServeShared(request, response, {200, encoded, "application/octet-stream"});
                return;
            }
            case Fault::Kind::Slow:
                return;  // answered as the normal reply in handle()
            case Fault::Kind::Limit: {
                const auto perSecond = static_cast<std::size_t>(fault.bytes);
                const auto tick = std::chrono::milliseconds(50);
                const std::size_t step = std::max<std::size_t>(1, perSecond / 20);
                response.status = OkStatus(request, 200);
                response.set_content_provider(
                    shared->size(), contentType,
                    [this, shared, step, tick](std::size_t offset, std::size_t length,
                                               httplib::DataSink& sink) {
                        if (waitForStop(tick))
                            return false;
                        return sink.write(shared->data() + offset, std::min(step, length));
                    });
                return;
            }
            case Fault::Kind::Endless: {
                auto block = std::make_shared<std::string>(
                    body.empty() || !fault.body ? std::string(64 << 10, 'x') : body);
                response.status = 200;
                response.set_chunked_content_provider(
                    contentType, [this, block](std::size_t, httplib::DataSink& sink) {
                        {
                            std::lock_guard lock(mutex);
                            if (stopping)
                                return false;
                        }
                        return sink.write(block->data(), block->size());
                    });
                return;
            }
        }
    }
};

void TestService::setSigningKey(const std::string& privateKeyPem) {
    std::lock_guard lock(impl_->mutex);
    impl_->signingKeyPem = privateKeyPem;
    impl_->signedSerial = std::chrono::duration_cast<std::chrono::seconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
}

TestService::TestService(Options options) : impl_(std::make_unique<Impl>()) {
    CertificateAndKey material;
    if (options.server) {
        material = *options.server;
        impl_->caPem = options.caPem;
    } else {
        impl_->caPem = TestAuthority::shared().caPem();
        switch (options.certificate) {
            case Certificate::Trusted:
                material = TestAuthority::shared().issueServer();
                break;
            case Certificate::Untrusted:
                material = UntrustedAuthority().issueServer();
                break;
            case Certificate::OtherName:
                material = TestAuthority::shared().issueServer(ServerNames{{"other.example"}, {}});
                break;
        }
    }
    impl_->onRequest = std::move(options.onRequest);
    PemPair pair(material);  // the server context takes its own references
    impl_->server = std::make_unique<httplib::SSLServer>(pair.cert, pair.key);
    if (!impl_->server->is_valid())
        throw std::runtime_error("test service: TLS context failed");

    auto& server = *impl_->server;
    server.set_tcp_nodelay(true);
    // Threads for as many kept connections as a launcher opens for small files, with room for a
    // second client (the library's default is 8 on a small machine).
    server.new_task_queue = [] { return new httplib::ThreadPool(80); };
    server.set_keep_alive_timeout(1);
    // A run's downloads share its connections, up to nginx's default of 1000 requests each.
    server.set_keep_alive_max_count(1000);
    server.set_read_timeout(5);
    server.set_write_timeout(5);
    Impl* impl = impl_.get();
    auto route = [impl](const httplib::Request& request, httplib::Response& response) {
        impl->handle(request, response);
    };
    // A POST without Content-Length (curl -X POST) would otherwise be refused before any handler.
    server.set_pre_routing_handler(
        [impl](const httplib::Request& request, httplib::Response& response) {
            const bool bodyless =
                !request.has_header("Content-Length") && !request.has_header("Transfer-Encoding");
            if (request.method == "GET" || request.method == "HEAD" || !bodyless)
                return httplib::Server::HandlerResponse::Unhandled;
            impl->handle(request, response);
            return httplib::Server::HandlerResponse::Handled;
        });
    server.Get(".*", route);
    server.Post(".*", route);
    server.Put(".*", route);
    server.Patch(".*", route);
    server.Delete(".*", route);
    server.Options(".*", route);

    if (options.port == 0) {
        const int bound = server.bind_to_any_port(options.bindAddress);
        if (bound <= 0)
            throw std::runtime_error("test service: cannot bind " + options.bindAddress);
        impl_->port = static_cast<std::uint16_t>(bound);
    } else {
        if (!server.bind_to_port(options.bindAddress, options.port))
            throw std::runtime_error("test service: cannot bind " + options.bindAddress + ":" +
                                     std::to_string(options.port));
        impl_->port = options.port;
    }
    // The socket already listens; connections wait in the backlog until the loop runs.
    impl_->thread = std::thread([impl] { impl->server->listen_after_bind(); });
    // stop() is a no-op until the loop runs; wait for it so a quick destruction cannot hang.
    while (!server.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TestService::~TestService() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
    }
    impl_->stopSignal.notify_all();
    impl_->server->stop();
    if (impl_->thread.joinable())
        impl_->thread.join();
}

std::uint16_t TestService::port() const {
    return impl_->port;
}
const std::string& TestService::caPem() const {
    return impl_->caPem;
}

void TestService::setFile(const std::string& path, std::string bytes) {
    Impl::File file = Impl::MakeFile(std::move(bytes));
    std::lock_guard lock(impl_->mutex);
    impl_->files[path] = std::move(file);
    impl_->objectsStale = true;
}
void TestService::removeFile(const std::string& path) {
    std::lock_guard lock(impl_->mutex);
    impl_->files.erase(path);
    impl_->objectsStale = true;
}
void TestService::clearFiles() {
    std::lock_guard lock(impl_->mutex);
    impl_->files.clear();
    impl_->objectsStale = true;
}
void TestService::setObjectsNamed(bool named) {
    std::lock_guard lock(impl_->mutex);
    impl_->objectsNamed = named;
}
void TestService::setMirrors(std::vector<std::string> urls) {
    std::lock_guard lock(impl_->mutex);
    impl_->mirrors = std::move(urls);
}
std::string TestService::filePath(const std::string& path) const {
    std::lock_guard lock(impl_->mutex);
    auto file = impl_->files.find(path);
    bool named = impl_->objectsNamed;
    if (impl_->manifestOverride) {
        const auto manifest = nlohmann::json::parse(*impl_->manifestOverride, nullptr, false);
        named = manifest.is_object() && manifest.contains("objects");
    }
    if (!named || file == impl_->files.end())
        return kFilesPrefix + path;
    return kObjectsPrefix + file->second.sha256.substr(0, 2) + "/" + file->second.sha256;
}
void TestService::setManifestJson(std::optional<std::string> json) {
    std::lock_guard lock(impl_->mutex);
    impl_->manifestOverride = std::move(json);
}
std::string TestService::manifestJson() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->buildManifestLocked();
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
    std::lock_guard lock(impl_->mutex);
    impl_->resources[path] = {Impl::Text(std::move(bytes)), std::move(contentType)};
}

void TestService::loadFolder(const std::filesystem::path& root) {
    const auto client = root / "client";
    std::map<std::string, Impl::File> loaded;
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(client, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        if (!it->is_regular_file())
            continue;
        loaded[it->path().lexically_relative(client).generic_string()] =
            Impl::MakeFile(ReadWholeFile(it->path()));
    }
    if (error)
        throw std::runtime_error("test service: cannot read " + client.string() + ": " +
                                 error.message());
    {
        std::lock_guard lock(impl_->mutex);
        impl_->files = std::move(loaded);
        impl_->objectsStale = true;
    }
    const std::pair<const char*, const char*> documents[] = {
        {"latest.json", "/updater/launcher/latest.json"},
        {"status.json", "/status.php"},
        {"news.json", "/news.php"}};
    for (const auto& [name, path] : documents)
        if (std::filesystem::is_regular_file(root / name))
            setResource(path, ReadWholeFile(root / name), "application/json");
}

void TestService::setFault(const std::string& path, Fault fault) {
    std::lock_guard lock(impl_->mutex);
    impl_->faults[path] = std::move(fault);
}
void TestService::clearFault(const std::string& path) {
    std::lock_guard lock(impl_->mutex);
    impl_->faults.erase(path);
}
void TestService::setHandler(const std::string& path, Handler handler) {
    std::lock_guard lock(impl_->mutex);
    impl_->handlers[path] = std::move(handler);
}
void TestService::setReply(const std::string& path, Reply reply) {
    setHandler(path, [reply = std::move(reply)](const RecordedRequest&) { return reply; });
}
void TestService::clearHandler(const std::string& path) {
    std::lock_guard lock(impl_->mutex);
    impl_->handlers.erase(path);
}
void TestService::clearFaultsAndHandlers() {
    std::lock_guard lock(impl_->mutex);
    impl_->faults.clear();
    impl_->handlers.clear();
}

std::vector<RecordedRequest> TestService::requests() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->recorded;
}
std::size_t TestService::requestCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->recorded.size();
}
std::size_t TestService::requestCount(std::string_view path) const {
    std::lock_guard lock(impl_->mutex);
    return static_cast<std::size_t>(
        std::count_if(impl_->recorded.begin(), impl_->recorded.end(),
                      [&](const RecordedRequest& r) { return r.path == path; }));
}
std::optional<RecordedRequest> TestService::lastRequest(std::string_view path) const {
    std::lock_guard lock(impl_->mutex);
    for (auto it = impl_->recorded.rbegin(); it != impl_->recorded.rend(); ++it)
        if (path.empty() || it->path == path)
            return *it;
    return std::nullopt;
}
void TestService::clearRequests() {
    std::lock_guard lock(impl_->mutex);
    impl_->recorded.clear();
    impl_->peakInFlight = impl_->inFlight;
}

std::size_t TestService::peakRequestsInFlight() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->peakInFlight;
}

// ---------------------------------------------------------------------------------------------
std::string Sha256Hex(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("test service: SHA-256 failed");
    static const char* hex = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 15];
    }
    return text;
}

std::uint16_t UnusedPort() {
    const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
    if (sock < 0)
        throw std::runtime_error("UnusedPort: socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(sock);
        throw std::runtime_error("UnusedPort: bind failed");
    }
    ::close(sock);
    return ntohs(address.sin_port);
}

bool PortListening(std::uint16_t port) {
    const int sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected =
        sock >= 0 && ::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (sock >= 0)
        ::close(sock);
    return connected;
}

}  // namespace qs::test
