// The status poller and the news feed against the in-process HTTPS stand-in service.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "live/news_feed.h"
#include "live/status_poller.h"
#include "scratch.h"
#include "tools/standin/service.h"

using namespace qs;

using namespace std::chrono_literals;
using qs::test::Fault;
using qs::test::TestService;

namespace {

constexpr const char* kStatusExample =
    R"({"online":true,"players":57,"maxPlayers":500,"maintenance":false,"motd":"Welcome back","serverName":"Quillon"})";

// Both documents sent a byte at a time, `interval` apart.
void Drip(TestService& service, std::chrono::milliseconds interval) {
    service.setStatusJson(kStatusExample);
    service.setNewsJson(R"([{"id":"1","title":"A title long enough to drip for a while"}])");
    service.setFault("/status.php", Fault::drip(interval));
    service.setFault("/news.php", Fault::drip(interval));
}

class LiveAgainstService : public ::testing::Test {
protected:
    TestService service_;
    TempFolder scratch_;
    StatusPoller poller_{service_.endpoint(), StatusPollTiming()};
    NewsFeed feed_{service_.endpoint(), NewsFetchTiming(), scratch_.path() / "news_seen.txt"};
};

// Both clients GET their document with the live agent and parse what comes (the parsing itself:
// status_poller_test and news_feed_test).
TEST_F(LiveAgainstService, ReadTheirDocuments) {
    service_.setStatusJson(kStatusExample);
    service_.setNewsJson(R"([1,{"id":"42","title":"Patch 1.2 \u2013 \u201cSkyfall\u201d\u2026"}])");
    poller_.pollOnce();
    feed_.fetchOnce();
    EXPECT_EQ(poller_.snapshot().players, 57);
    EXPECT_EQ(poller_.snapshot().serverName, "Quillon");
    ASSERT_EQ(feed_.items().size(), 2u);
    EXPECT_EQ(feed_.items()[1].title, "Patch 1.2 - \"Skyfall\"...");
    for (const char* path : {"/status.php", "/news.php"}) {
        const auto request = service_.lastRequest(path);
        ASSERT_TRUE(request.has_value()) << path;
        EXPECT_EQ(request->method, "GET");
        EXPECT_EQ(request->header("User-Agent"), "QuillonSaga Launcher/1.0");
    }
}

// An error status with a usable body is read (a maintenance page); after a good poll any failure
// turns the status offline, while the news keeps its last good list.
TEST_F(LiveAgainstService, FailuresTurnTheStatusOfflineAndKeepTheNews) {
    service_.setFault("/status.php",
                      Fault::replyStatus(503, R"({"online":false,"maintenance":true})"));
    service_.setFault("/news.php", Fault::replyStatus(500, R"([{"id":"x","title":"Kept"}])"));
    poller_.pollOnce();
    feed_.fetchOnce();
    EXPECT_TRUE(poller_.snapshot().maintenance);
    ASSERT_EQ(feed_.items().size(), 1u);

    const std::string oversizedStatus =
        R"({"online":true,"motd":")" + std::string(100000, 'm') + "\"}";
    const std::string oversizedNews = "[" + std::string(5u << 20, ' ') + "]";
    const std::pair<Fault, Fault> faults[] = {
        {Fault::notJson(), Fault::notJson()},
        {Fault::replyStatus(200, ""), Fault::replyStatus(503, R"({"error":"down"})")},
        {Fault::replyStatus(200, oversizedStatus), Fault::replyStatus(200, oversizedNews)},
        {Fault::truncate(), Fault::truncate()},
    };
    for (const auto& [status, news] : faults) {
        SCOPED_TRACE(static_cast<int>(status.kind));
        service_.clearFaultsAndHandlers();
        service_.setStatusJson(kStatusExample);
        poller_.pollOnce();
        ASSERT_TRUE(poller_.snapshot().online);
        service_.setFault("/status.php", status);
        service_.setFault("/news.php", news);
        poller_.pollOnce();
        feed_.fetchOnce();
        EXPECT_FALSE(poller_.snapshot().online);
        EXPECT_EQ(poller_.snapshot().players, 0);
        ASSERT_EQ(feed_.items().size(), 1u);
        EXPECT_EQ(feed_.items()[0].title, "Kept");
    }
}

// Unreachable, silent, dripping or untrusted: offline, and each poll ends within the 5 s limits
// (bounded loosely for a loaded machine; a drip of two bytes a second would take over a minute).
TEST(StatusWithoutAService, StaysOfflineAndEachPollEndsWithinTheLimits) {
    TestService stalled, dripping, untrusted(TestService::Certificate::Untrusted);
    stalled.setFault("/status.php", Fault::stall());
    Drip(dripping, 500ms);
    untrusted.setStatusJson(kStatusExample);
    TempFolder scratch;
    for (const ServiceEndpoint& endpoint :
         {ServiceEndpoint{"localhost", qs::test::UnusedPort(), stalled.caPem()}, stalled.endpoint(),
          dripping.endpoint(), untrusted.endpoint()}) {
        SCOPED_TRACE(endpoint.port);
        StatusPoller poller(endpoint, StatusPollTiming());
        NewsFeed feed(endpoint, NewsFetchTiming(), scratch.path() / "news_seen.txt");
        const auto begin = std::chrono::steady_clock::now();
        poller.pollOnce();
        feed.fetchOnce();
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 40s);
        EXPECT_FALSE(poller.snapshot().online);
        EXPECT_TRUE(feed.items().empty());
    }
}

// Closing the launcher stops both clients: a request under way is given up within about a second
// however slowly the service answers.
TEST(LiveClientsAgainstADrippingService, StopIsPrompt) {
    TestService dripping;
    Drip(dripping, 200ms);
    TempFolder scratch;
    const LiveTiming soon{0ms, 1000ms, 30};
    StatusPoller poller(dripping.endpoint(), soon);
    NewsFeed feed(dripping.endpoint(), soon, scratch.path() / "news_seen.txt");
    poller.start();
    feed.start();
    PollUntil([&] {
        return dripping.requestCount("/status.php") > 0 && dripping.requestCount("/news.php") > 0;
    });
    std::this_thread::sleep_for(500ms);
    const auto begin = std::chrono::steady_clock::now();
    feed.stop();
    poller.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 2500ms);
}

}  // namespace
