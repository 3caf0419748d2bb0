// Start, stop and the shared records of the two background clients; run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "live/news_feed.h"
#include "live/status_poller.h"
#include "live_test_support.h"

using namespace std::chrono_literals;

namespace {

// Generous: the real wait is a condition-variable wake-up, the period it must not wait out is 30 s.
constexpr auto kPromptStop = 5s;

template <typename Predicate>
bool WaitFor(Predicate done, std::chrono::seconds limit = 20s) {
    for (auto deadline = std::chrono::steady_clock::now() + limit;
         std::chrono::steady_clock::now() < deadline;) {
        if (done())
            return true;
        std::this_thread::sleep_for(5ms);
    }
    return done();
}

template <typename Client>
std::chrono::steady_clock::duration TimeStop(Client& client) {
    const auto begin = std::chrono::steady_clock::now();
    client.stop();
    return std::chrono::steady_clock::now() - begin;
}

TEST(StatusPollerThread, StopDuringFirstDelayStillPollsOnce) {
    ScriptedFetch network;
    network.answer(R"({"online":true})");
    StatusPoller poller(FakeService(), StatusPollTiming(), network.fetch());
    poller.start();
    poller.stop();
    EXPECT_EQ(network.calls(), 1);
    EXPECT_TRUE(poller.snapshot().online);
}

TEST(StatusPollerThread, StopBetweenPollsReturnsPromptly) {
    ScriptedFetch network;
    network.answer(R"({"online":true})");
    StatusPoller poller(FakeService(), StatusPollTiming(), network.fetch());
    poller.start();
    ASSERT_TRUE(WaitFor([&] { return network.calls() == 1; }));
    std::this_thread::sleep_for(50ms);  // into the 30-second wait
    EXPECT_LT(TimeStop(poller), kPromptStop);
    EXPECT_EQ(network.calls(), 1);
}

TEST(StatusPollerThread, PollsRepeatedlyWhileReadersCopy) {
    ScriptedFetch network;
    network.answer(R"({"online":true,"players":1,"motd":"a fairly long message of the day"})");
    StatusPoller poller(FakeService(), LiveTiming{0ms, 1ms, 2}, network.fetch());
    SetCurrentStatusPoller(&poller);
    poller.start();
    poller.start();  // a second start does nothing
    std::atomic<bool> reading{true};
    std::thread reader([&] {
        while (reading.load()) {
            ServerStatus status = CurrentServerStatus();
            if (status.online) {
                ASSERT_EQ(status.motd.size(), 32u);  // one poll's fields together
            }
        }
    });
    EXPECT_TRUE(WaitFor([&] { return network.calls() >= 20; }));
    reading.store(false);
    reader.join();
    SetCurrentStatusPoller(nullptr);
    poller.stop();
    poller.stop();  // stopping twice is harmless
    const int calls = network.calls();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(network.calls(), calls) << "no poll after stop returned";
}

TEST(StatusPollerThread, RestartsAfterStopAndDestructionJoins) {
    ScriptedFetch network;
    auto poller =
        std::make_unique<StatusPoller>(FakeService(), LiveTiming{0ms, 1ms, 1}, network.fetch());
    poller->start();
    ASSERT_TRUE(WaitFor([&] { return network.calls() >= 1; }));
    poller->stop();
    const int afterFirstRun = network.calls();
    poller->start();
    ASSERT_TRUE(WaitFor([&] { return network.calls() > afterFirstRun; }));
    poller.reset();  // destruction stops and joins the running worker
}

TEST(NewsFeedThread, StopDuringFirstDelayStillFetchesOnce) {
    ScratchFolder scratch;
    ScriptedFetch network;
    network.answer(R"([{"id":"1"}])");
    NewsFeed feed(FakeService(), NewsFetchTiming(), scratch.path() / "news_seen.txt",
                  network.fetch());
    feed.start();
    feed.stop();
    EXPECT_EQ(network.calls(), 1);
    EXPECT_EQ(feed.items().size(), 1u);
}

TEST(NewsFeedThread, StopBetweenFetchesReturnsPromptly) {
    ScratchFolder scratch;
    ScriptedFetch network;
    network.answer("[]");
    NewsFeed feed(FakeService(), NewsFetchTiming(), scratch.path() / "news_seen.txt",
                  network.fetch());
    feed.start();
    ASSERT_TRUE(WaitFor([&] { return network.calls() == 1; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_LT(TimeStop(feed), kPromptStop);
}

TEST(NewsFeedThread, MarkingSeenWhileFetchesPublish) {
    ScratchFolder scratch;
    ScriptedFetch network;
    network.answer(R"([{"id":"7","title":"t"},{"id":"6"}])");
    NewsFeed feed(FakeService(), LiveTiming{0ms, 1ms, 1}, scratch.path() / "d" / "news_seen.txt",
                  network.fetch());
    SetCurrentNewsFeed(&feed);
    feed.start();
    ASSERT_TRUE(WaitFor([&] { return NewsHasUnseen(); }));
    for (int round = 0; round < 50; ++round) {
        MarkNewsSeen();
        EXPECT_EQ(CurrentNewsItems().size(), 2u);
    }
    EXPECT_TRUE(WaitFor([&] { return network.calls() >= 10; }));
    SetCurrentNewsFeed(nullptr);
    feed.stop();
    EXPECT_FALSE(feed.hasUnseen()) << "the same first id never turns the dot back on";
}

}  // namespace
