// Start, stop and the shared records of the two background clients; run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "live/news_feed.h"
#include "live/status_poller.h"
#include "live_test_support.h"
#include "scratch.h"

using namespace qs;

using namespace std::chrono_literals;

namespace {

// Stop during the first delay still polls once; stop during the long wait between polls returns
// at once (generously bounded: the wait it must not sit out is 30 s or 300 s).
template <typename Client>
void ExpectFirstRunAndPromptStop(Client& first, Client& second, ScriptedFetch& firstNetwork,
                                 ScriptedFetch& secondNetwork) {
    first.start();
    first.stop();
    EXPECT_EQ(firstNetwork.calls(), 1);

    second.start();
    ASSERT_TRUE(PollUntil([&] { return secondNetwork.calls() == 1; }));
    std::this_thread::sleep_for(50ms);
    const auto begin = std::chrono::steady_clock::now();
    second.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
    EXPECT_EQ(secondNetwork.calls(), 1);
}

TEST(StatusPollerThread, FirstPollAndPromptStop) {
    ScriptedFetch network1, network2;
    network1.answer(R"({"online":true})");
    StatusPoller first(FakeService(), StatusPollTiming(), network1.fetch());
    StatusPoller second(FakeService(), StatusPollTiming(), network2.fetch());
    ExpectFirstRunAndPromptStop(first, second, network1, network2);
    EXPECT_TRUE(first.snapshot().online);
}

TEST(NewsFeedThread, FirstFetchAndPromptStop) {
    TempFolder scratch;
    ScriptedFetch network1, network2;
    network1.answer(R"([{"id":"1"}])");
    NewsFeed first(FakeService(), NewsFetchTiming(), scratch.path() / "a", network1.fetch());
    NewsFeed second(FakeService(), NewsFetchTiming(), scratch.path() / "b", network2.fetch());
    ExpectFirstRunAndPromptStop(first, second, network1, network2);
    EXPECT_EQ(first.items().size(), 1u);
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
    EXPECT_TRUE(PollUntil([&] { return network.calls() >= 20; }));
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
    ASSERT_TRUE(PollUntil([&] { return network.calls() >= 1; }));
    poller->stop();
    const int afterFirstRun = network.calls();
    poller->start();
    ASSERT_TRUE(PollUntil([&] { return network.calls() > afterFirstRun; }));
    poller.reset();  // destruction stops and joins the running worker
}

TEST(NewsFeedThread, MarkingSeenWhileFetchesPublish) {
    TempFolder scratch;
    ScriptedFetch network;
    network.answer(R"([{"id":"7","title":"t"},{"id":"6"}])");
    NewsFeed feed(FakeService(), LiveTiming{0ms, 1ms, 1}, scratch.path() / "d" / "news_seen.txt",
                  network.fetch());
    SetCurrentNewsFeed(&feed);
    feed.start();
    ASSERT_TRUE(PollUntil([&] { return NewsHasUnseen(); }));
    for (int round = 0; round < 50; ++round) {
        MarkNewsSeen();
        EXPECT_EQ(CurrentNewsItems().size(), 2u);
    }
    EXPECT_TRUE(PollUntil([&] { return network.calls() >= 10; }));
    SetCurrentNewsFeed(nullptr);
    feed.stop();
    EXPECT_FALSE(feed.hasUnseen()) << "the same first id never turns the dot back on";
}

}  // namespace
