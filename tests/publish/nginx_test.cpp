// The published tree, signed, behind a real nginx (deploy/nginx/ as shipped) on 127.0.0.1, talked
// to by the launcher's own code built with the key: update runs fetch exactly what changed and
// resume with nginx's ranges, an older signed tree put back is refused, the release, status and
// news read as published, and nothing else is exposed.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <chrono>
#include <cstdlib>
#include <map>
#include <sstream>
#include <thread>

#include "live/news_feed.h"
#include "live/status_poller.h"
#include "net/https.h"
#include "scratch.h"
#include "selfupdate/launcher_update.h"
#include "tools/publish/documents.h"
#include "tools/publish/publish.h"
#include "tools/publish/signing.h"
#include "tools/standin/authority.h"
#include "tools/standin/service.h"
#include "update/digest.h"
#include "update/update_run.h"
#include "update/update_signature.h"

using namespace qs;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

fs::path NginxProgram() {
    const char* path = std::getenv("PATH");
    std::istringstream folders(std::string(path ? path : "") + ":/usr/sbin:/usr/local/sbin:/sbin");
    for (std::string folder; std::getline(folders, folder, ':');)
        if (!folder.empty() && ::access((fs::path(folder) / "nginx").c_str(), X_OK) == 0)
            return fs::path(folder) / "nginx";
    return {};
}

std::string Replace(std::string text, const std::map<std::string, std::string>& values) {
    for (const auto& [key, value] : values)
        for (std::size_t at; (at = text.find(key)) != std::string::npos;)
            text.replace(at, key.size(), value);
    return text;
}

// One nginx master with its own prefix, on a free port, serving `root` with the shipped
// configuration and a certificate from the test authority. Stopped on destruction.
class Nginx {
public:
    Nginx(const fs::path& prefix, const fs::path& root) : prefix_(prefix) {
        const fs::path program = NginxProgram();
        if (program.empty())
            throw std::runtime_error("nginx is not installed (scripts/setup-deps.sh installs it)");
        fs::create_directories(prefix / "tmp");
        const auto server = qs::test::TestAuthority::shared().issueServer();
        WriteFile(prefix / "cert.pem", server.certPem);
        WriteFile(prefix / "key.pem", server.keyPem);
        WriteFile(prefix / "nginx.conf", ReadFile(fs::path(QS_NGINX_CONF_DIR) / "standalone.conf"));
        const std::string serverBlock = ReadFile(fs::path(QS_NGINX_CONF_DIR) / "quillon.conf");
        // A root master would hand the workers to "nobody", who cannot read a private folder.
        const std::string global = ::geteuid() == 0 ? "daemon off; user root;" : "daemon off;";
        for (int attempt = 0; attempt < 5 && pid_ <= 0; ++attempt) {
            port_ = qs::test::UnusedPort();
            WriteFile(prefix / "quillon-server.conf",
                      Replace(serverBlock, {{"@LISTEN@", "127.0.0.1:" + std::to_string(port_)},
                                            {"@SERVER_NAME@", "localhost"},
                                            {"@ROOT@", root.string()},
                                            {"@CERT@", (prefix / "cert.pem").string()},
                                            {"@KEY@", (prefix / "key.pem").string()}}));
            start(program, global);
        }
        if (pid_ <= 0)
            throw std::runtime_error("nginx did not start: " + ReadFile(prefix / "nginx.out"));
    }
    ~Nginx() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Nginx(const Nginx&) = delete;
    Nginx& operator=(const Nginx&) = delete;

    std::uint16_t port() const { return port_; }
    ServiceEndpoint endpoint() const {
        return {"localhost", port_, qs::test::TestAuthority::shared().caPem()};
    }

    // Access log lines ("METHOD TARGET PROTOCOL STATUS "RANGE" BYTES"), once nginx has written
    // the last request's line (it logs just after the reply).
    std::vector<std::string> log() const {
        std::string text = ReadFile(prefix_ / "access.log"), previous;
        for (int i = 0; i < 50 && text != previous; ++i) {
            previous = text;
            std::this_thread::sleep_for(100ms);
            text = ReadFile(prefix_ / "access.log");
        }
        std::vector<std::string> lines;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

private:
    void start(const fs::path& program, const std::string& global) {
        // Nothing is allocated in the child.
        const std::string output = (prefix_ / "nginx.out").string();
        const std::string prefix = prefix_.string() + "/";
        const std::string conf = (prefix_ / "nginx.conf").string();
        const pid_t child = ::fork();
        if (child == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlives a test that crashed
            const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            ::dup2(out, 1);
            ::dup2(out, 2);
            ::execl(program.c_str(), "nginx", "-p", prefix.c_str(), "-c", conf.c_str(), "-g",
                    global.c_str(), nullptr);
            ::_exit(127);
        }
        for (auto end = std::chrono::steady_clock::now() + 10s;
             std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(20ms)) {
            if (::waitpid(child, nullptr, WNOHANG) == child)
                return;  // could not start (a port taken meanwhile): the caller tries another
            if (fs::exists(prefix_ / "nginx.pid")) {  // written once it listens
                pid_ = child;
                return;
            }
        }
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }

    fs::path prefix_;
    std::uint16_t port_ = 0;
    pid_t pid_ = -1;
};

struct LoggedRequest {
    std::string method, path, status, range, bytes;
};

LoggedRequest ParseLogLine(const std::string& line) {
    std::istringstream in(line);
    LoggedRequest request;
    std::string protocol;
    in >> request.method >> request.path >> protocol >> request.status >> request.range >>
        request.bytes;
    for (std::size_t at; (at = request.path.find("%20")) != std::string::npos;)
        request.path.replace(at, 3, " ");
    request.range = request.range.substr(1, request.range.size() - 2);
    return request;
}

// The requests of one launcher action: the log lines it added.
std::vector<LoggedRequest> RequestsDuring(const Nginx& nginx, const std::function<void()>& action) {
    const std::size_t before = nginx.log().size();
    action();
    const std::vector<std::string> lines = nginx.log();
    std::vector<LoggedRequest> requests;
    for (std::size_t i = before; i < lines.size(); ++i)
        requests.push_back(ParseLogLine(lines[i]));
    return requests;
}

// Every client file is in the game folder with the same bytes.
void ExpectSameFiles(const fs::path& client, const fs::path& game) {
    for (const auto& entry : fs::recursive_directory_iterator(client))
        if (entry.is_regular_file()) {
            const fs::path relative = entry.path().lexically_relative(client);
            EXPECT_TRUE(ReadFile(game / relative) == ReadFile(entry.path())) << relative;
        }
}

struct Reply {
    long status = 0;
    std::map<std::string, std::string> headers;  // the ones the tests read, lower-case names
    std::string body;
};

// A raw HTTPS exchange (libcurl, verifying against the test authority) to see the headers.
Reply Exchange(const Nginx& nginx, const std::string& method, const std::string& path,
               const std::vector<std::string>& headers = {}) {
    Reply reply;
    CURL* curl = curl_easy_init();
    const std::string url = "https://localhost:" + std::to_string(nginx.port()) + path;
    const std::string ca = nginx.endpoint().caPem;
    curl_blob blob{const_cast<char*>(ca.data()), ca.size(), CURL_BLOB_COPY};
    curl_slist* list = nullptr;
    for (const std::string& header : headers)
        list = curl_slist_append(list, header.c_str());
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CAINFO_BLOB, &blob);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
    if (method == "HEAD")
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    else if (method == "POST")
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, "{}");
    else
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    using Write = size_t (*)(char*, size_t, size_t, void*);
    Write body = [](char* data, size_t size, size_t count, void* target) {
        static_cast<std::string*>(target)->append(data, size * count);
        return size * count;
    };
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
    if (curl_easy_perform(curl) == CURLE_OK) {
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
        for (const char* name :
             {"content-type", "cache-control", "etag", "last-modified", "content-encoding"})
            if (curl_header * found;
                curl_easy_header(curl, name, 0, CURLH_HEADER, -1, &found) == CURLHE_OK)
                reply.headers[name] = found->value;
    }
    curl_slist_free_all(list);
    curl_easy_cleanup(curl);
    return reply;
}

class NginxService : public ::testing::Test {
protected:
    void SetUp() override {
        InitializeHttps();
        options_.clientDir = client_;
        options_.outDir = out_;
        WriteOldFile(client_ / "Quillon Saga.exe", RandomBytes(70000, 1));
        WriteOldFile(client_ / "readme.txt", "Quillon Saga\n");
        WriteOldFile(client_ / "data/Game Settings.ini", "[graphics]\nwidth=1280\n");
        for (unsigned i = 0; i < 8; ++i)
            WriteOldFile(client_ / ("data/pack 1/chunk" + std::to_string(i) + ".bin"),
                         RandomBytes(20000 + i * 1000, 10 + i));
        WriteOldFile(client_ / "data/big.pak", RandomBytes(3 << 20, 2));
        WriteFile(scratch_.path() / "Setup 1.0.9.exe", RandomBytes(50000, 3));
        options_.documents = {
            {"status.php", R"({"online":true,"players":57,"maxPlayers":500})"},
            {"news.php", R"([{"id":"n2","title":"Patch \u2013 2"},{"id":"n1"}])"}};
        // Signed as an operator would: keygen, publish with --sign, the launcher built with the
        // key.
        const std::string publicKey = qs::publish::GenerateSigningKey(scratch_.path() / "keys");
        options_.signingKeyPem = ReadFile(scratch_.path() / "keys/update-key.pem");
        environment_.serialRecord = scratch_.path() / "update-serial.txt";
        // nginx first: the release URL names its port.
        nginx_ = std::make_unique<Nginx>(scratch_.path() / "nginx", out_);
        environment_.service = nginx_->endpoint();
        environment_.service.updateKey = publicKey;
        publish(true);
    }

    qs::publish::PublishReport publish(bool release = false) {
        options_.release.reset();
        if (release) {
            const std::string base = "https://localhost:" + std::to_string(nginx_->port());
            options_.release = qs::publish::PublishOptions::Release{
                "1.0.9", "", "Two new zones", scratch_.path() / "Setup 1.0.9.exe",
                "Setup 1.0.9.exe"};
            options_.release->url = qs::publish::PlaceInstaller(*qs::publish::ParseBaseUrl(base),
                                                                "", options_.release->installerName)
                                        .url;
        }
        return qs::publish::Publish(options_);
    }

    // One update run of the game folder; the requests nginx logged for it.
    std::vector<LoggedRequest> update(UpdateResult* outcome = nullptr) {
        UpdateResult result;
        auto requests = RequestsDuring(*nginx_, [&] {
            result = RunClientUpdate(
                game_, [](const qs::UpdateProgress&) {}, environment_);
        });
        if (outcome)
            *outcome = result;
        else
            EXPECT_TRUE(result.ok) << WideToUtf8(result.message);
        return requests;
    }

    TempFolder scratch_;
    fs::path client_ = scratch_.path() / "client";
    fs::path out_ = scratch_.path() / "out";
    fs::path game_ = scratch_.path() / "game";
    qs::publish::PublishOptions options_;
    std::unique_ptr<Nginx> nginx_;
    UpdateEnvironment environment_;
};

std::multiset<std::string> FileGets(const std::vector<LoggedRequest>& requests) {
    std::multiset<std::string> paths;
    for (const LoggedRequest& request : requests) {
        EXPECT_TRUE(request.method == "GET" || request.path == "/updater/updater.php")
            << request.method << " " << request.path;
        if (request.path.starts_with("/updater/files/"))
            paths.insert(request.path.substr(std::string_view("/updater/files/").size()));
    }
    return paths;
}

}  // namespace

TEST_F(NginxService, RunsFetchExactlyWhatChangedResumeByRangeAndPatchLargeFiles) {
    std::vector<LoggedRequest> requests = update();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests[0].method + " " + requests[0].path + " " + requests[0].status,
              "POST /updater/updater.php 200");
    EXPECT_EQ(requests[1].method + " " + requests[1].path + " " + requests[1].status,
              "GET /updater/updater.sig 200");
    EXPECT_EQ(FileGets(requests).size(), 12u);
    ExpectSameFiles(client_, game_);

    // Two files changed (one keeping its size), one added, one removed.
    WriteFile(client_ / "readme.txt", "Quillon Sagb\n");
    WriteFile(client_ / "data/pack 1/chunk3.bin", RandomBytes(30000, 99));
    WriteFile(client_ / "data/new file.dat", "new");
    fs::remove(client_ / "data/pack 1/chunk5.bin");
    EXPECT_EQ(publish().hashedFiles, 3u);
    EXPECT_EQ(
        FileGets(update()),
        (std::multiset<std::string>{"data/new file.dat", "data/pack 1/chunk3.bin", "readme.txt"}));
    ExpectSameFiles(client_, game_);

    // A download cut short: its first MiB waits beside the target and only the rest is asked.
    const std::string big = RandomBytes(3 << 20, 7);
    WriteFile(client_ / "data/big.pak", big);
    publish();
    WriteFile(game_ / "data/big.pak.download", big.substr(0, 1 << 20));
    requests = update();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[2].path, "/updater/files/data/big.pak");
    EXPECT_EQ(requests[2].range, "bytes=1048576-");
    EXPECT_EQ(requests[2].status, "206");
    EXPECT_EQ(requests[2].bytes, std::to_string(big.size() - (1 << 20)));
    EXPECT_TRUE(ReadFile(game_ / "data/big.pak") == big);
    EXPECT_FALSE(fs::exists(game_ / "data/big.pak.download"));

    EXPECT_EQ(update().size(), 2u);  // up to date: the manifest and its signature alone
    ExpectSameFiles(client_, game_);

    // A changed large file: its index and a few closed ranges come from nginx, not the whole file.
    std::string archive = RandomBytes(6 << 20, 11);
    WriteFile(client_ / "data/archive.pak", archive);
    publish();
    update();
    archive.replace(200000, 5000, RandomBytes(5000, 12));
    archive.replace(4 << 20, 5000, RandomBytes(5000, 13));
    WriteFile(client_ / "data/archive.pak", archive);
    publish();

    std::uint64_t ranged = 0;
    int indexes = 0;
    int blockRanges = 0;
    for (const LoggedRequest& request : update()) {
        if (request.path.starts_with("/updater/chunks/")) {
            // The chunk index whole; the head and groups of the block index as ranges.
            const bool whole = request.path.ends_with(".idx");
            indexes += whole ? 1 : 0;
            blockRanges += whole ? 0 : 1;
            EXPECT_EQ(request.status, whole ? "200" : "206");
        } else if (request.path == "/updater/files/data/archive.pak") {
            EXPECT_EQ(request.status, "206");
            EXPECT_TRUE(request.range.starts_with("bytes=")) << request.range;
            ranged += std::stoull(request.bytes);
        }
    }
    EXPECT_EQ(indexes, 1);
    EXPECT_GE(blockRanges, 2);
    EXPECT_GT(ranged, 0u);
    EXPECT_LE(ranged, 6u * 4096);  // the blocks the two edits touch
    EXPECT_TRUE(ReadFile(game_ / "data/archive.pak") == archive);
    ExpectSameFiles(client_, game_);
}

// A mirror that puts an older signed tree back: the launcher refuses its manifest, fetches no
// file and leaves the installed client as the newer tree made it.
TEST_F(NginxService, AnOlderSignedTreePutBackIsRefused) {
    update();
    const fs::path older = scratch_.path() / "older";
    fs::copy(out_ / "updater", older, fs::copy_options::recursive);
    WriteFile(client_ / "readme.txt", "Quillon Saga, patched\n");
    WriteFile(client_ / "Quillon Saga.exe", RandomBytes(70000, 4));
    publish();
    update();
    ExpectSameFiles(client_, game_);

    fs::rename(out_ / "updater", scratch_.path() / "newer");
    fs::rename(older, out_ / "updater");
    UpdateResult result;
    EXPECT_TRUE(FileGets(update(&result)).empty());
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(WideToUtf8(result.message), kManifestRolledBack);
    ExpectSameFiles(client_, game_);
    EXPECT_TRUE(fs::is_regular_file(game_ / "Quillon Saga.exe"));
}

// The release, status and news read by the launcher as published; what nginx answers besides the
// launcher's own requests: validators and no-cache on every document, the right types, and
// nothing outside the endpoints.
TEST_F(NginxService, ServesTheDocumentsAndOnlyTheEndpointsWithValidators) {
    const LauncherRelease release = CheckLauncherRelease(environment_.service);
    ASSERT_EQ(release.error, L"");
    EXPECT_TRUE(release.updateAvailable);
    EXPECT_EQ(release.version, L"1.0.9");
    EXPECT_EQ(WideToUtf8(release.sha256),
              WideToUtf8(Sha256File(scratch_.path() / "Setup 1.0.9.exe").digest));
    std::vector<std::uint8_t> installer =
        LauncherHttpsGet(release.url, L"GET", environment_.service);
    EXPECT_EQ(std::string(installer.begin(), installer.end()),
              ReadFile(scratch_.path() / "Setup 1.0.9.exe"));

    const auto status = LiveHttpsGet(ServiceUrl(environment_.service, "/status.php"),
                                     kStatusMaxBytes, environment_.service);
    ASSERT_TRUE(status);
    EXPECT_TRUE(ParseServerStatus(*status).online);
    EXPECT_EQ(ParseServerStatus(*status).players, 57);
    const auto news = LiveHttpsGet(ServiceUrl(environment_.service, "/news.php"), kNewsMaxBytes,
                                   environment_.service);
    ASSERT_TRUE(news);
    EXPECT_EQ(ParseNewsItems(*news)->at(0).title, "Patch - 2");

    struct Case {
        const char* method;
        const char* path;
        long status;
        const char* type;  // nullptr: not checked
    };
    const Case cases[] = {
        {"POST", "/updater/updater.php", 200, "application/json"},
        {"GET", "/updater/files/data/pack%201/chunk0.bin", 200, "application/octet-stream"},
        {"HEAD", "/updater/files/readme.txt", 200, "application/octet-stream"},
        {"GET", "/updater/updater.sig", 200, "text/plain"},
        {"HEAD", "/updater/updater.sig", 200, "text/plain"},
        {"GET", "/updater/launcher/latest.json", 200, "application/json"},
        {"GET", "/updater/launcher/latest.json.sig", 200, "text/plain"},
        {"GET", "/updater/launcher/Setup%201.0.9.exe", 200, "application/octet-stream"},
        {"GET", "/status.php", 200, "application/json"},
        {"GET", "/news.php", 200, "application/json"},
        {"GET", "/updater/updater.php", 403, nullptr},
        {"PUT", "/updater/updater.php", 403, nullptr},
        {"POST", "/updater/updater.sig", 403, nullptr},
        {"POST", "/updater/files/readme.txt", 403, nullptr},
        {"DELETE", "/status.php", 403, nullptr},
        {"GET", "/updater/files/data/", 403, nullptr},
        {"GET", "/internal/manifest", 404, nullptr},
        {"GET", "/.quillon-publish/standby/files/readme.txt", 404, nullptr},
        {"GET", "/updater/files/nothing.bin", 404, nullptr},
        {"GET", "/", 404, nullptr},
    };
    for (const Case& c : cases) {
        Reply reply = Exchange(*nginx_, c.method, c.path);
        EXPECT_EQ(reply.status, c.status) << c.method << " " << c.path;
        if (!c.type)
            continue;
        EXPECT_EQ(reply.headers["content-type"], c.type) << c.path;
        EXPECT_EQ(reply.headers["cache-control"], "no-cache") << c.path;
        EXPECT_TRUE(reply.headers.contains("etag") && reply.headers.contains("last-modified"))
            << c.path;
    }
    EXPECT_EQ(Exchange(*nginx_, "POST", "/updater/updater.php").body,
              ReadFile(out_ / "updater/updater.php"));
    const Reply file = Exchange(*nginx_, "GET", "/updater/files/readme.txt");
    EXPECT_EQ(Exchange(*nginx_, "GET", "/updater/files/readme.txt",
                       {"If-None-Match: " + file.headers.at("etag")})
                  .status,
              304);
}

// With a kept copy, an unchanged manifest costs a 304 without a body (through the POST redirect)
// and no signature request; a changed one comes from the precompressed file, decoded to the
// signed bytes.
TEST_F(NginxService, ManifestIsAskedForIfChangedAndComesCompressed) {
    environment_.keptManifest = scratch_.path() / "manifest-kept.txt";
    update();
    std::vector<LoggedRequest> requests = update();
    ASSERT_EQ(requests.size(), 1u);
    // nginx logs the status the POST redirect set; the reply on the wire was a 304.
    EXPECT_EQ(requests[0].path + " " + requests[0].bytes, "/updater/updater.php 0");

    WriteFile(client_ / "readme.txt", "Quillon Saga, compressed\n");
    publish();
    requests = update();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].status + " " + requests[0].bytes,
              "200 " + std::to_string(fs::file_size(out_ / "updater/updater.php.gz")));
    EXPECT_EQ(FileGets(requests), std::multiset<std::string>{"readme.txt"});
    ExpectSameFiles(client_, game_);
    Reply compressed = Exchange(*nginx_, "POST", "/updater/updater.php", {"Accept-Encoding: gzip"});
    EXPECT_EQ(compressed.headers["content-encoding"], "gzip");
    EXPECT_EQ(compressed.headers["cache-control"], "no-cache");
    EXPECT_EQ(Exchange(*nginx_, "POST", "/updater/updater.php",
                       {"Accept-Encoding: gzip", "If-None-Match: " + compressed.headers["etag"]})
                  .status,
              304);
}
