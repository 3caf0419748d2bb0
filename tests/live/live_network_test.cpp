// The status poller and the news feed against the in-process HTTPS stand-in service.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "live/news_feed.h"
#include "live/status_poller.h"
#include "scratch.h"
#include "tools/standin/service.h"

using namespace std::chrono_literals;
using qs::test::Fault;
using qs::test::TestService;

namespace {

constexpr const char* kStatusExample =
    R"({"online":true,"players":57,"maxPlayers":500,"maintenance":false,"motd":"Welcome back","serverName":"Quillon"})";

class StatusAgainstService : public ::testing::Test {
protected:
    TestService service_;
    StatusPoller poller_{service_.endpoint(), StatusPollTiming()};
};

TEST_F(StatusAgainstService, ExampleBodyGivesTheSixFields) {
    service_.setStatusJson(kStatusExample);
    poller_.pollOnce();
    const ServerStatus status = poller_.snapshot();
    EXPECT_TRUE(status.online);
    EXPECT_EQ(status.players, 57);
    EXPECT_EQ(status.maxPlayers, 500);
    EXPECT_FALSE(status.maintenance);
    EXPECT_EQ(status.motd, "Welcome back");
    EXPECT_EQ(status.serverName, "Quillon");

    auto request = service_.lastRequest("/status.php");
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->method, "GET");
    EXPECT_EQ(request->header("User-Agent"), "QuillonSaga Launcher/1.0");
}

TEST_F(StatusAgainstService, ErrorStatusWithJsonBodyIsStillRead) {
    service_.setFault("/status.php", Fault::Status(503, R"({"online":false,"maintenance":true})"));
    poller_.pollOnce();
    EXPECT_TRUE(poller_.snapshot().maintenance);
    EXPECT_FALSE(poller_.snapshot().online);
}

TEST_F(StatusAgainstService, FailuresAfterAGoodPollTurnTheStatusOffline) {
    const std::string oversized = R"({"online":true,"motd":")" + std::string(100000, 'm') + "\"}";
    for (Fault fault : {Fault::NotJson(), Fault::Status(200, ""), Fault::Status(200, oversized),
                        Fault::Truncate()}) {
        service_.clearFaultsAndHandlers();
        service_.setStatusJson(kStatusExample);
        poller_.pollOnce();
        ASSERT_TRUE(poller_.snapshot().online);
        service_.setFault("/status.php", fault);
        poller_.pollOnce();
        EXPECT_FALSE(poller_.snapshot().online) << static_cast<int>(fault.kind);
        EXPECT_EQ(poller_.snapshot().players, 0);
    }
}

// Unreachable, silent, dripping or untrusted: offline, and each poll ends within the 5 s limits
// (bounded loosely for a loaded machine; a drip of two bytes a second would take over a minute).
TEST(StatusWithoutAService, StaysOfflineAndEachPollEndsWithinTheLimits) {
    TestService stalled, dripping, untrusted(TestService::Certificate::Untrusted);
    stalled.setFault("/status.php", Fault::Stall());
    dripping.setStatusJson(kStatusExample);
    dripping.setNewsJson(R"([{"id":"1","title":"A title long enough to drip for a while"}])");
    dripping.setFault("/status.php", Fault::Drip(500ms));
    dripping.setFault("/news.php", Fault::Drip(500ms));
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
    dripping.setStatusJson(kStatusExample);
    dripping.setNewsJson(R"([{"id":"1","title":"A title long enough to drip for a while"}])");
    dripping.setFault("/status.php", Fault::Drip(200ms));
    dripping.setFault("/news.php", Fault::Drip(200ms));
    TempFolder scratch;
    const LiveTiming soon{0ms, 1000ms, 30};
    StatusPoller poller(dripping.endpoint(), soon);
    NewsFeed feed(dripping.endpoint(), soon, scratch.path() / "news_seen.txt");
    poller.start();
    feed.start();
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while ((dripping.requestCount("/status.php") == 0 || dripping.requestCount("/news.php") == 0) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    std::this_thread::sleep_for(500ms);
    const auto begin = std::chrono::steady_clock::now();
    feed.stop();
    poller.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 2500ms);
}

class NewsAgainstService : public ::testing::Test {
protected:
    TestService service_;
    TempFolder scratch_;
    NewsFeed feed_{service_.endpoint(), NewsFetchTiming(), scratch_.path() / "news_seen.txt"};
};

TEST_F(NewsAgainstService, ExampleListIsReadAndCleaned) {
    service_.setNewsJson(
        R"([1,{"id":"42","tag":"PATCH","title":"Patch 1.2 \u2013 \u201cSkyfall\u201d\u2026",)"
        R"("summary":"Thanks <@1234> <b>all</b>\r\n","url":"https://e.test/n/42","featured":true}])");
    feed_.fetchOnce();
    const std::vector<NewsItem> items = feed_.items();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].id, "");
    EXPECT_EQ(items[1].id, "42");
    EXPECT_EQ(items[1].title, "Patch 1.2 - \"Skyfall\"...");
    EXPECT_EQ(items[1].summary, "Thanks  <b>all</b>\n");
    EXPECT_TRUE(feed_.hasUnseen());  // the first item has no id, so latestId is empty
    EXPECT_EQ(service_.lastRequest("/news.php")->header("User-Agent"), "QuillonSaga Launcher/1.0");
}

TEST_F(NewsAgainstService, ErrorStatusWithArrayBodyIsUsed) {
    service_.setFault("/news.php", Fault::Status(500, R"([{"id":"x"}])"));
    feed_.fetchOnce();
    ASSERT_EQ(feed_.items().size(), 1u);
    EXPECT_EQ(feed_.items()[0].id, "x");
}

TEST_F(NewsAgainstService, FailedFetchAfterAGoodOneKeepsTheList) {
    service_.setNewsJson(R"([{"id":"1","title":"Kept"}])");
    feed_.fetchOnce();
    ASSERT_EQ(feed_.items().size(), 1u);
    const std::string oversized = "[" + std::string(5u << 20, ' ') + "]";
    for (Fault fault : {Fault::NotJson(), Fault::Status(503, R"({"error":"down"})"),
                        Fault::Truncate(), Fault::Status(200, oversized)}) {
        service_.setFault("/news.php", fault);
        feed_.fetchOnce();
        ASSERT_EQ(feed_.items().size(), 1u) << static_cast<int>(fault.kind);
        EXPECT_EQ(feed_.items()[0].title, "Kept");
    }
}

}  // namespace
