// The published tree, signed, behind a real nginx (deploy/nginx/ as shipped) on 127.0.0.1, talked
// to by the launcher's own code built with the key: update runs fetch exactly what changed, by
// the files' content addresses, and resume with nginx's ranges, an older signed tree put back is
// refused, the release, status and news read as published, and nothing else is exposed.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "live/news_feed.h"
#include "live/status_poller.h"
#include "net/https.h"
#include "scratch.h"
#include "selfupdate/launcher_update.h"
#include "tools/publish/documents.h"
#include "tools/publish/publish.h"
#include "tools/publish/purge.h"
#include "tools/publish/signing.h"
#include "tools/standin/authority.h"
#include "tools/standin/service.h"
#include "update/digest.h"
#include "update/update_run.h"
#include "update/update_signature.h"
#include "web_servers.h"

using namespace qs;
using namespace qs::test;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The requests of one launcher action: the log lines it added.
std::vector<LoggedRequest> RequestsDuring(const Nginx& nginx, const std::function<void()>& action) {
    const std::size_t before = nginx.log().size();
    action();
    return ParseLog(nginx.log(), before);
}

// Every client file is in the game folder with the same bytes.
void ExpectSameFiles(const fs::path& client, const fs::path& game) {
    for (const auto& entry : fs::recursive_directory_iterator(client))
        if (entry.is_regular_file()) {
            const fs::path relative = entry.path().lexically_relative(client);
            EXPECT_TRUE(ReadFile(game / relative) == ReadFile(entry.path())) << relative;
        }
}

// A raw HTTPS exchange to see the headers.
WebReply Exchange(const Nginx& nginx, const std::string& method, const std::string& path,
                  const std::vector<std::string>& headers = {}) {
    return qs::test::Exchange(LocalUrl(nginx.port()) + path, method, headers);
}

class NginxService : public ::testing::Test {
protected:
    virtual bool throughCache() const { return false; }
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
        // The servers first: the release URL names the port.
        if (throughCache()) {
            if (FindProgram("varnishd").empty())
                GTEST_SKIP() << "varnishd is not installed (scripts/setup-deps.sh installs it)";
            tier_ = std::make_unique<CacheTier>(scratch_.path() / "tier", out_);
            nginx_ = &tier_->edge;
        } else {
            direct_ = std::make_unique<Nginx>(scratch_.path() / "nginx", TreeServerBlock(out_));
            nginx_ = direct_.get();
        }
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
    std::unique_ptr<Nginx> direct_;
    std::unique_ptr<CacheTier> tier_;
    const Nginx* nginx_ = nullptr;  // the server launchers talk to, whose log update() reads
    UpdateEnvironment environment_;
};

// The path a file is published under by its digest, which the launcher fetches it from.
std::string ObjectPath(const fs::path& file) {
    const std::string digest = WideToUtf8(Sha256File(file).digest);
    return "/updater/objects/" + digest.substr(0, 2) + "/" + digest;
}

std::multiset<std::string> FileGets(const std::vector<LoggedRequest>& requests) {
    std::multiset<std::string> paths;
    for (const LoggedRequest& request : requests) {
        EXPECT_TRUE(request.method == "GET" || request.path == "/updater/updater.php")
            << request.method << " " << request.path;
        if (request.path.starts_with("/updater/files/") ||
            request.path.starts_with("/updater/objects/"))
            paths.insert(request.path);
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
    EXPECT_EQ(FileGets(update()),
              (std::multiset<std::string>{ObjectPath(client_ / "data/new file.dat"),
                                          ObjectPath(client_ / "data/pack 1/chunk3.bin"),
                                          ObjectPath(client_ / "readme.txt")}));
    ExpectSameFiles(client_, game_);

    // A download cut short: its first MiB waits beside the target and only the rest is asked.
    const std::string big = RandomBytes(3 << 20, 7);
    WriteFile(client_ / "data/big.pak", big);
    publish();
    WriteFile(game_ / "data/big.pak.download", big.substr(0, 1 << 20));
    requests = update();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[2].path, ObjectPath(client_ / "data/big.pak"));
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
        } else if (request.path == ObjectPath(client_ / "data/archive.pak")) {
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
        WebReply reply = Exchange(*nginx_, c.method, c.path);
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
    // Objects, which the runs above fetched, may be kept by any cache for a year.
    WebReply object = Exchange(*nginx_, "GET", ObjectPath(client_ / "readme.txt"));
    EXPECT_EQ(object.status, 200);
    EXPECT_EQ(object.body, ReadFile(client_ / "readme.txt"));
    EXPECT_EQ(object.headers["cache-control"], "public, max-age=31536000, immutable");
    EXPECT_EQ(object.headers["content-type"], "application/octet-stream");
    EXPECT_EQ(Exchange(*nginx_, "POST", ObjectPath(client_ / "readme.txt")).status, 403);
    const WebReply file = Exchange(*nginx_, "GET", "/updater/files/readme.txt");
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
    EXPECT_EQ(FileGets(requests), std::multiset<std::string>{ObjectPath(client_ / "readme.txt")});
    ExpectSameFiles(client_, game_);
    WebReply compressed =
        Exchange(*nginx_, "POST", "/updater/updater.php", {"Accept-Encoding: gzip"});
    EXPECT_EQ(compressed.headers["content-encoding"], "gzip");
    EXPECT_EQ(compressed.headers["cache-control"], "no-cache");
    EXPECT_EQ(Exchange(*nginx_, "POST", "/updater/updater.php",
                       {"Accept-Encoding: gzip", "If-None-Match: " + compressed.headers["etag"]})
                  .status,
              304);
}

namespace {

// The same tree behind the cache tier as shipped (deploy/varnish/): launchers talk to the TLS
// edge, Varnish answers from its copies, the origin nginx sees what reached it.
class CacheTierService : public NginxService {
protected:
    bool throughCache() const override { return true; }

    // Publishes and purges what changed, as quillon-publish --purge does.
    void publishAndPurge() {
        const qs::publish::TreeSnapshot before = qs::publish::SnapshotTree(out_);
        publish();
        const auto results = qs::publish::PurgeCaches(
            {"http://127.0.0.1:" + std::to_string(tier_->cache.port())},
            qs::publish::ChangedAddresses(before, qs::publish::SnapshotTree(out_)));
        for (const auto& result : results)
            EXPECT_EQ(result.outcome, qs::publish::PurgeOutcome::Purged) << result.url;
    }

    // File bodies the origin sent, by path: whole and ranged GETs of files, objects and chunks.
    std::map<std::string, int> originBodies() const {
        std::map<std::string, int> bodies;
        for (const LoggedRequest& request : ParseLog(tier_->origin.log()))
            if ((request.status == "200" || request.status == "206") &&
                std::regex_search(request.path, std::regex("^/updater/(files|objects|chunks)/")))
                ++bodies[request.path];
        return bodies;
    }
};

// Two launchers update through the cache, the tree is republished (and purged), both update
// again: every run takes the new manifest at once and verifies every file, each file's bytes
// reach the origin once per publish whichever launcher asked first, and ranges (a resume) are
// answered from the cache.
TEST_F(CacheTierService, LaunchersUpdateThroughTheCacheAndEachBodyLeavesTheOriginOnce) {
    fs::path second = scratch_.path() / "second game";
    // The edge's log of the second launcher's run.
    auto updateBoth = [&] {
        update();
        ExpectSameFiles(client_, game_);
        std::swap(game_, second);
        const std::vector<LoggedRequest> requests = update();
        ExpectSameFiles(client_, game_);
        std::swap(game_, second);
        return requests;
    };
    // Bodies in all, whatever address a launcher fetches a file from (client path or content).
    auto total = [](const std::map<std::string, int>& bodies) {
        int sum = 0;
        for (const auto& [path, count] : bodies)
            sum += count;
        return sum;
    };
    updateBoth();
    std::map<std::string, int> bodies = originBodies();
    EXPECT_EQ(total(bodies), 12);
    EXPECT_EQ(bodies.size(), 12u);

    WriteFile(client_ / "readme.txt", "Quillon Sagb\n");  // the same size
    WriteFile(client_ / "data/pack 1/chunk3.bin", RandomBytes(30000, 99));
    std::string big = RandomBytes(3 << 20, 7);
    WriteFile(client_ / "data/big.pak", big);
    publishAndPurge();
    EXPECT_EQ(Exchange(*nginx_, "POST", "/updater/updater.php").body,
              ReadFile(out_ / "updater/updater.php"));
    // One launcher was cut short: its first MiB waits beside the target, the rest is a range.
    WriteFile(second / "data/big.pak.download", big.substr(0, 1 << 20));
    const std::vector<LoggedRequest> resumed = updateBoth();
    EXPECT_EQ(std::count_if(resumed.begin(), resumed.end(),
                            [](const LoggedRequest& request) {
                                return request.range == "bytes=1048576-" && request.status == "206";
                            }),
              1);
    bodies = originBodies();
    // The three changed files once more, and the big file's chunk index for the launcher that
    // holds an old copy of it.
    EXPECT_EQ(total(bodies), 16);
    for (const auto& [path, count] : bodies)
        EXPECT_LE(count, path.starts_with("/updater/files/") ? 2 : 1) << path;

    WebReply range =
        Exchange(*nginx_, "GET", ObjectPath(client_ / "data/big.pak"), {"Range: bytes=100-199"});
    EXPECT_EQ(range.status, 206);
    EXPECT_EQ(range.headers["content-range"], "bytes 100-199/" + std::to_string(big.size()));
    EXPECT_TRUE(range.body == big.substr(100, 100));
    EXPECT_EQ(originBodies(), bodies);

    // Only the publisher's machine purges, never anyone through the edge.
    const std::string cache = "http://127.0.0.1:" + std::to_string(tier_->cache.port());
    EXPECT_EQ(Exchange(*nginx_, "PURGE", "/updater/updater.php").status, 403);
    EXPECT_EQ(
        qs::test::Exchange(cache + "/updater/updater.php", "PURGE", {"X-Quillon-Edge: 1"}).status,
        403);
    EXPECT_EQ(qs::test::Exchange(cache + "/updater/updater.php", "PURGE").status, 200);

    // The manifest asked for if changed: the cache answers 304 to the launcher (gzip) and to a
    // client without gzip, to which it sends the stored gzip decoded.
    environment_.keptManifest = scratch_.path() / "manifest-kept.txt";
    update();
    const std::vector<LoggedRequest> requests = update();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method + " " + requests[0].status, "POST 304");
    const WebReply plain = Exchange(*nginx_, "POST", "/updater/updater.php");
    EXPECT_EQ(plain.body, ReadFile(out_ / "updater/updater.php"));
    EXPECT_EQ(Exchange(*nginx_, "POST", "/updater/updater.php",
                       {"If-None-Match: " + plain.headers.at("etag")})
                  .status,
              304);
}

// The origin stops in the middle of a run through the cache: the files the cache does not hold
// come from the mirror the signed manifest names (as quillon-publish --mirror writes it), and the
// run still ends ready with every file proven.
TEST_F(CacheTierService, AMirrorFinishesTheRunWhenTheOriginStops) {
    update();  // the cache holds the first tree
    Nginx mirror(scratch_.path() / "mirror", TreeServerBlock(out_));
    options_.mirrors = {"https://127.0.0.1:" + std::to_string(mirror.port()) + "/updater/objects/"};
    std::set<std::string> added;
    for (unsigned i = 0; i < 12; ++i) {
        const fs::path file = client_ / ("data/patch/" + std::to_string(i) + ".bin");
        WriteFile(file, RandomBytes(4000 + i, 40 + i));
        added.insert(ObjectPath(file));
    }
    publishAndPurge();

    // One file at a time; the origin stops once the first is fetched, the others still to come.
    environment_.transfers = environment_.smallFileTransfers = 1;
    int taken = 0;
    environment_.beforeNextFile = [&] {
        if (++taken == 2)
            tier_->origin.stop();
    };
    const std::vector<LoggedRequest> edge = update();
    ExpectSameFiles(client_, game_);
    // The launcher met the stopped origin behind the edge and moved on.
    EXPECT_TRUE(std::any_of(edge.begin(), edge.end(), [&](const LoggedRequest& request) {
        return added.contains(request.path) && request.status.starts_with("5");
    }));
    // Every new file came whole from the origin before it stopped or from the mirror.
    std::set<std::string> fromOrigin, fromMirror;
    for (const auto& [path, count] : originBodies())
        fromOrigin.insert(path);
    for (const LoggedRequest& request : ParseLog(mirror.log()))
        if (request.status == "200")
            fromMirror.insert(request.path);
    EXPECT_LE(std::count_if(added.begin(), added.end(),
                            [&](const std::string& path) { return fromOrigin.contains(path); }),
              1);
    for (const std::string& path : added)
        EXPECT_TRUE(fromOrigin.contains(path) || fromMirror.contains(path)) << path;
}

}  // namespace
