// The request layer against a real HTTPS server on 127.0.0.1 with a test authority.
#include "net/https.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>

#include "platform/wide_text.h"
#include "request_profiles.h"
#include "scratch.h"
#include "tools/standin/service.h"
#include "update/update_run.h"

using namespace qs;

namespace {

using qs::test::Fault;
using qs::test::TestService;
using std::chrono::milliseconds;

constexpr char kPrepareFailed[] = "Unable to connect to update server";
constexpr char kRequestFailed[] = "HTTPS request failed";
constexpr char kStatusRefused[] = "Update server returned an error";
constexpr char kReadFailed[] = "HTTPS response read failed";

// "ok:<body>" or the failure text.
std::string Outcome(Profile profile, const std::wstring& url, const ServiceEndpoint& service,
                    const std::wstring& verb = L"GET", const std::string& body = {}) {
    try {
        const auto bytes = profile == Profile::Update ? HttpsRequest(url, verb, body, service)
                                                      : LauncherHttpsGet(url, verb, service);
        return "ok:" + std::string(bytes.begin(), bytes.end());
    } catch (const std::runtime_error& error) {
        return error.what();
    }
}

// Wine 8's WinHTTP sends a synchronous request even when the status callback closes its handle
// after a failed certificate check; Windows cancels the send, so there nothing reaches the server.
bool SendGoesOutDespiteACancel() {
    return RunningUnderWine();
}

// Real exchanges. Limits are shortened so stalls end in seconds; restored afterwards.
class HttpsExchange : public ::testing::Test {
protected:
    void SetUp() override {
        InitializeHttps();
        savedUpdate_ = UpdateTransferLimits();
        savedLive_ = LiveTransferLimits();
        UpdateTransferLimits() = TransferLimits{10000, 2, 1000, 0};
        LiveTransferLimits() = TransferLimits{5000, 2, 1000, 0};
        service_.setFile("data/a b.txt", "file bytes");
        service_.setStatusJson(R"({"online":true,"players":128})");
    }
    void TearDown() override {
        UpdateTransferLimits() = savedUpdate_;
        LiveTransferLimits() = savedLive_;
    }

    TestService service_;
    TransferLimits savedUpdate_;
    TransferLimits savedLive_;
};

// Refused addresses send nothing; capitals in the host are accepted and the service name is sent.
TEST_F(HttpsExchange, TrustRulesOverRealExchanges) {
    const std::string port = std::to_string(service_.port());
    for (const std::string& url : {"http://localhost:" + port, "https://127.0.0.1:" + port,
                                   "https://evil@localhost:" + port}) {
        for (Profile profile : {Profile::Update, Profile::Launcher}) {
            EXPECT_EQ(Outcome(profile, Utf8ToWide(url + "/status.php"), service_.endpoint()),
                      Untrusted(profile))
                << url;
        }
        EXPECT_EQ(
            LiveHttpsGet(Utf8ToWide(url + "/status.php"), kStatusMaxBytes, service_.endpoint()),
            std::nullopt);
    }
    EXPECT_EQ(service_.requestCount(), 0u);
    for (Profile profile : {Profile::Update, Profile::Launcher}) {
        EXPECT_EQ(Outcome(profile, Utf8ToWide("https://LocalHost:" + port + "/status.php"),
                          service_.endpoint()),
                  R"(ok:{"online":true,"players":128})");
        EXPECT_EQ(service_.lastRequest()->header("Host"), "localhost:" + port);
    }
}

TEST_F(HttpsExchange, CertificateFailuresAndRefusedConnectionsFailTheRequest) {
    TestService untrusted(TestService::Certificate::Untrusted);
    TestService otherName(TestService::Certificate::OtherName);
    const ServiceEndpoint refusing{"localhost", qs::test::UnusedPort(), service_.caPem()};
    // The right authority for the right name, but a server that is not there.
    const ServiceEndpoint unresolvable{"no-such-host.invalid", service_.port(), service_.caPem()};
    const ServiceEndpoint endpoints[] = {untrusted.endpoint(), otherName.endpoint(), refusing,
                                         unresolvable};
    for (const ServiceEndpoint& endpoint : endpoints) {
        const std::wstring url = ServiceUrl(endpoint, "/status.php");
        SCOPED_TRACE(WideToUtf8(url));
        EXPECT_EQ(Outcome(Profile::Update, url, endpoint), kRequestFailed);
        EXPECT_EQ(Outcome(Profile::Launcher, url, endpoint), kRequestFailed);
        EXPECT_EQ(LiveHttpsGet(url, kStatusMaxBytes, endpoint), std::nullopt);
    }
    if (!SendGoesOutDespiteACancel()) {
        EXPECT_EQ(untrusted.requestCount(), 0u);
    }
    EXPECT_EQ(otherName.requestCount(), 0u);
}

TEST_F(HttpsExchange, OnlyStatus200IsAccepted) {
    struct Case {
        Fault fault;
        const char* expected;
    };
    const Case cases[] = {
        {Fault::replyStatus(200, ""), "ok:"},
        {Fault::replyStatus(204), kStatusRefused},
        {Fault::redirect("/updater/launcher/latest.json", 301), kStatusRefused},
        {Fault::redirect("/updater/launcher/latest.json", 302), kStatusRefused},
        {Fault::replyStatus(404, "not here"), kStatusRefused},
        {Fault::replyStatus(500, "{}"), kStatusRefused},
    };
    for (Profile profile : {Profile::Update, Profile::Launcher}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(Name(profile)) + " status " + std::to_string(c.fault.status));
            service_.setFault("/status.php", c.fault);
            EXPECT_EQ(Outcome(profile, service_.url("/status.php"), service_.endpoint()),
                      c.expected);
        }
    }
    // No redirect was followed.
    EXPECT_EQ(service_.requestCount("/updater/launcher/latest.json"), 0u);
    // A refusal is an answer, not a failed transport: its status travels with it.
    service_.setFault("/status.php", Fault::replyStatus(404, "not here"));
    try {
        HttpsRequest(service_.url("/status.php"), L"GET", std::string(), service_.endpoint());
        ADD_FAILURE() << "a 404 was accepted";
    } catch (const HttpsStatusError& refused) {
        EXPECT_EQ(refused.status(), 404);
    }
}

TEST_F(HttpsExchange, HeadersReceivedByTheServer) {
    const std::wstring manifest = service_.url("/updater/updater.php");
    const std::wstring file = service_.url("/updater/files/data/a%20b.txt");
    const ServiceEndpoint endpoint = service_.endpoint();
    const std::string ua = "QuillonSagaLauncher/1.0";
    struct Case {
        std::function<void()> send;
        std::string method, headers, userAgent, body;  // every header name that arrived, sorted
    };
    const Case cases[] = {
        {[&] { HttpsRequest(manifest, L"POST", "{}", endpoint); }, "POST",
         "cache-control content-length content-type host pragma user-agent", ua, "{}"},
        {[&] { HttpsRequest(manifest, L"POST", "", endpoint); }, "POST",
         "cache-control content-length host pragma user-agent", ua, ""},
        {[&] { HttpsRequest(file, L"GET", "", endpoint); }, "GET",
         "cache-control host pragma user-agent", ua, ""},
        {[&] {
             HttpsRequestToSink(
                 file, L"GET", "", [](const char*, std::size_t) { return true; }, endpoint);
         },
         "GET", "cache-control host pragma user-agent", ua, ""},
        {[&] { LauncherHttpsGet(file, L"GET", endpoint); }, "GET", "host user-agent", ua, ""},
        {[&] { LiveHttpsGet(file, kStatusMaxBytes, endpoint); }, "GET", "host user-agent",
         "QuillonSaga Launcher/1.0", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method + " " + c.headers);
        service_.clearRequests();
        c.send();
        ASSERT_EQ(service_.requestCount(), 1u);
        const auto request = *service_.lastRequest();
        EXPECT_EQ(request.method, c.method);
        std::set<std::string> names;
        for (const std::string& name : request.headerNames())
            names.insert(name);
#ifdef _WIN32
        names.erase("connection");  // WinHTTP's own keep-alive header, not the launcher's
#endif
        std::string joined;
        for (const std::string& name : names)
            joined += (joined.empty() ? "" : " ") + name;
        EXPECT_EQ(joined, c.headers);
        EXPECT_EQ(request.header("User-Agent"), c.userAgent);
        EXPECT_EQ(request.body, c.body);
        if (request.hasHeader("Cache-Control")) {
            EXPECT_EQ(request.header("Cache-Control"), "no-cache, no-store, must-revalidate");
            EXPECT_EQ(request.header("Pragma"), "no-cache");
        }
        if (request.hasHeader("Content-Type")) {
            EXPECT_EQ(request.header("Content-Type"), "application/json");
        }
    }
}

TEST_F(HttpsExchange, BodyFailuresEndWithinTheLimits) {
    const std::string body(200000, 'j');
    service_.setResource("/slow", body);
    struct Case {
        const char* name;
        Fault fault;
        const char* expected;
    };
    const Case cases[] = {
        {"truncated", Fault::truncate(1000), kReadFailed},
        {"truncated at the start", Fault::truncate(1), kReadFailed},
        {"stall before any reply", Fault::stall(), kRequestFailed},
        {"stall in the body", Fault::stallAfter(100), kReadFailed},
        {"drip", Fault::drip(milliseconds(100), 10), kReadFailed},
        {"wrong bytes pass through", Fault::wrongBytes(), nullptr},
    };
    for (Profile profile : {Profile::Update, Profile::Launcher}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(Name(profile)) + " " + c.name);
            service_.setFault("/slow", c.fault);
            const auto start = std::chrono::steady_clock::now();
            const std::string outcome =
                Outcome(profile, service_.url("/slow"), service_.endpoint());
            const auto elapsed = std::chrono::steady_clock::now() - start;
            if (c.expected) {
                EXPECT_EQ(outcome, c.expected);
            } else {
                EXPECT_EQ(outcome.size(), body.size() + 3);
                EXPECT_NE(outcome, "ok:" + body);
            }
            // Far inside the server's own ten-minute stall, bounded loosely for a loaded machine.
            EXPECT_LT(elapsed, std::chrono::seconds(60));
        }
    }
}

// A body is whole up to its cap; one byte more, or an endless one, fails the request.
TEST_F(HttpsExchange, BodiesAreWholeUpToTheCapAndCutPastIt) {
    const std::string exactly(kStatusMaxBytes, 's');
    service_.setStatusJson(exactly);
    EXPECT_EQ(LiveHttpsGet(service_.url("/status.php"), kStatusMaxBytes, service_.endpoint()),
              exactly);
    service_.setStatusJson(exactly + "s");
    EXPECT_EQ(LiveHttpsGet(service_.url("/status.php"), kStatusMaxBytes, service_.endpoint()),
              std::nullopt);

    for (const char* path :
         {"/status.php", "/news.php", "/updater/updater.php", "/updater/launcher/latest.json"})
        service_.setFault(path, Fault::endless());
    EXPECT_EQ(LiveHttpsGet(service_.url("/status.php"), kStatusMaxBytes, service_.endpoint()),
              std::nullopt);
    EXPECT_EQ(LiveHttpsGet(service_.url("/news.php"), kNewsMaxBytes, service_.endpoint()),
              std::nullopt);
    EXPECT_EQ(Outcome(Profile::Update, service_.url("/updater/updater.php"), service_.endpoint(),
                      L"POST", "{}"),
              kReadFailed);
    EXPECT_EQ(Outcome(Profile::Launcher, service_.url("/updater/launcher/latest.json"),
                      service_.endpoint()),
              kReadFailed);
}

// A sink sees only the body of a 200; its refusal or its own failure ends the request.
TEST_F(HttpsExchange, SinkFailuresAndErrorPagesEndTheRequest) {
    const std::wstring url = service_.url("/updater/files/data/a%20b.txt");
    std::string received;
    const auto failure = [&](const BodySink& sink, bool launcherProfile) {
        return ErrorOf([&] {
            if (launcherProfile)
                LauncherHttpsGetToSink(url, L"GET", sink, service_.endpoint());
            else
                HttpsRequestToSink(url, L"GET", "", sink, service_.endpoint());
        });
    };
    EXPECT_EQ(failure([](const char*, std::size_t) { return false; }, false), kReadFailed);
    EXPECT_EQ(
        failure([](const char*, std::size_t) -> bool { throw std::runtime_error("disk full"); },
                true),
        "disk full");
    service_.setFault("/updater/files/data/a b.txt", Fault::replyStatus(404, "not found page"));
    const BodySink collect = [&](const char* data, std::size_t size) {
        received.append(data, size);
        return true;
    };
    EXPECT_EQ(failure(collect, false), kStatusRefused);
    EXPECT_EQ(failure(collect, true), kStatusRefused);
    EXPECT_EQ(received, "");
}

TEST_F(HttpsExchange, LiveProfileIgnoresTheStatusAndFailsQuietly) {
    const std::wstring url = service_.url("/status.php");
    service_.setFault("/status.php", Fault::replyStatus(503, "{}"));
    EXPECT_EQ(LiveHttpsGet(url, kStatusMaxBytes, service_.endpoint()), "{}");
    service_.setFault("/status.php", Fault::redirect("/news.php", 302));
    EXPECT_EQ(LiveHttpsGet(url, kStatusMaxBytes, service_.endpoint()), "");
    EXPECT_EQ(service_.requestCount("/news.php"), 0u);
    for (const Fault& fault : {Fault::stallAfter(10), Fault::truncate(10)}) {
        service_.setFault("/status.php", fault);
        EXPECT_EQ(LiveHttpsGet(url, kStatusMaxBytes, service_.endpoint()), std::nullopt);
    }
}

TEST_F(HttpsExchange, AVerbThatIsNoTokenIsRefusedBeforeAnyTraffic) {
    for (const wchar_t* verb : {L"", L"GE T", L"GET\r\nX: y"})
        for (Profile profile : {Profile::Update, Profile::Launcher})
            EXPECT_EQ(Outcome(profile, service_.url("/status.php"), service_.endpoint(), verb),
                      kPrepareFailed);
    EXPECT_EQ(service_.requestCount(), 0u);
}

TEST_F(HttpsExchange, NoCookiesAreKept) {
    service_.setReply(
        "/status.php",
        qs::test::Reply{200, "{}", "application/json", {{"Set-Cookie", "session=abc; Path=/"}}});
    for (int round = 0; round < 2; ++round)
        for (Profile profile : {Profile::Update, Profile::Launcher})
            EXPECT_EQ(Outcome(profile, service_.url("/status.php"), service_.endpoint()), "ok:{}");
    for (const auto& request : service_.requests())
        EXPECT_FALSE(request.hasHeader("Cookie"));
}

#ifndef _WIN32
// The demo content folder, served from a snapshot: an update run brings the whole demo client,
// and from yesterday's client (what `make run` starts from) today's patch fetches a small part.
TEST(DemoContent, GeneratedFolderServesAWholeClientAndItsPatch) {
    TempFolder root;
    const std::string command = "bash '" QS_SOURCE_DIR "/scripts/make-demo-content.sh' '" +
                                root.path().string() + "' >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    TestService service;
    service.loadFolder(root.path());
    InitializeHttps();
    UpdateEnvironment environment;
    environment.service = service.endpoint();
    const auto result = RunClientUpdate(
        root.path() / "installed", [](const qs::UpdateProgress&) {}, environment);
    EXPECT_TRUE(result.ok) << WideToUtf8(result.message);
    EXPECT_TRUE(std::filesystem::exists(root.path() / "installed" / "data" / "Game Settings.ini"));
    EXPECT_TRUE(std::filesystem::exists(root.path() / "installed" / "Quillon Saga.exe"));

    const std::filesystem::path archive = "data/maps/atlas.pak";
    ASSERT_NE(ReadFile(root.path() / "previous" / archive),
              ReadFile(root.path() / "client" / archive));
    std::uint64_t fetched = 0;
    const auto patched = RunClientUpdate(
        root.path() / "previous",
        [&fetched](const qs::UpdateProgress& progress) { fetched = progress.amountFetched; },
        environment);
    EXPECT_TRUE(patched.ok) << WideToUtf8(patched.message);
    EXPECT_EQ(ReadFile(root.path() / "previous" / archive),
              ReadFile(root.path() / "client" / archive));
    EXPECT_LT(fetched, std::uint64_t{1} << 20);
    const auto get = [&](const char* path, std::size_t cap) {
        return nlohmann::json::parse(*LiveHttpsGet(service.url(path), cap, service.endpoint()));
    };
    EXPECT_EQ(get("/news.php", kNewsMaxBytes).size(), 8u);
    EXPECT_EQ(get("/status.php", kStatusMaxBytes)["players"], 128);
    EXPECT_EQ(get("/updater/launcher/latest.json", kNewsMaxBytes)["version"], "v1.0.8");
}
#endif  // the Windows smoke test downloads the demo content instead (scripts/smoke-windows.sh)

}  // namespace
