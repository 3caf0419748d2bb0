#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "live/news_feed.h"
#include "live_test_support.h"
#include "scratch.h"

using namespace qs;

namespace fs = std::filesystem;

namespace {

TEST(NewsParsing, OnlyAnArrayIsAList) {
    const std::string tooDeep = "[{\"x\":" + std::string(70, '[') + std::string(70, ']') + "}]";
    for (const std::string body :
         {"", "{\"error\":\"down\"}", "[1,2", "\"[]\"", "null", "[] // c", tooDeep.c_str()})
        EXPECT_FALSE(ParseNewsItems(body).has_value()) << body;
    auto items = ParseNewsItems(" [ ] ");
    ASSERT_TRUE(items.has_value());
    EXPECT_TRUE(items->empty());
}

// Objects, arrays and plain values each count as one element; past the cap they are read and
// dropped, and must still be valid.
TEST(NewsParsing, KeepsOnlyTheFirstItemsOfALongList) {
    std::string body = "[";
    for (std::size_t i = 0; i < kNewsMaxItems + 30; ++i) {
        const std::string id = std::to_string(i);
        body += i % 3 == 0 ? R"({"id":")" + id + R"(","x":[1,{}]})" : i % 3 == 1 ? "[1]" : id;
        body += ",";
    }
    body.back() = ']';
    auto items = ParseNewsItems(body);
    ASSERT_TRUE(items.has_value());
    ASSERT_EQ(items->size(), kNewsMaxItems);
    EXPECT_EQ(items->front().id, "0");
    EXPECT_EQ((*items)[kNewsMaxItems - 2].id, std::to_string(kNewsMaxItems - 2));

    body.insert(body.size() - 1, ",tru");
    EXPECT_FALSE(ParseNewsItems(body).has_value());
}

// Every element is an item: one that is no object, or a key of the wrong type, leaves defaults.
TEST(NewsParsing, OddElementsAndWronglyTypedKeysLeaveDefaults) {
    auto items =
        ParseNewsItems(R"([1, {"id":"7","title":"Patch"}, null, "x",)"
                       R"( {"id":42,"title":["t"],"summary":null,"featured":"true","url":{}}])");
    ASSERT_TRUE(items.has_value());
    ASSERT_EQ(items->size(), 5u);
    EXPECT_EQ((*items)[0].id, "");
    EXPECT_EQ((*items)[1].id, "7");
    EXPECT_EQ((*items)[1].title, "Patch");
    for (const NewsItem& item : {(*items)[3], (*items)[4]}) {
        EXPECT_EQ(item.id + item.title + item.summary + item.url, "");
        EXPECT_FALSE(item.featured);
    }
}

TEST(NewsParsing, DisplayTextsAreCleanedOthersKeptAsSent) {
    const std::string emoji = "\xF0\x9F\x8E\x89", accent = "\xC3\xA9";
    const std::string body =
        "[{\"id\":\"n" + emoji + accent + "\",\"tag\":\"T" + emoji + "\",\"title\":\"Caf" + accent +
        " " + emoji +
        "\\r\\n\",\"summary\":\"Hi <@12> <b>x</b> <a:wave:9>\",\"date\":\"1 \\u2013 2\","
        "\"author\":\"\\u201cQ\\u201d\\u2026\",\"url\":\"https://e.test/" +
        accent + "\",\"featured\":true}]";
    auto items = ParseNewsItems(body);
    ASSERT_TRUE(items.has_value());
    ASSERT_EQ(items->size(), 1u);
    const NewsItem& item = items->front();
    EXPECT_EQ(item.id, "n" + emoji + accent);
    EXPECT_EQ(item.tag, "T" + emoji);
    EXPECT_EQ(item.url, "https://e.test/" + accent);
    EXPECT_EQ(item.title, "Caf \n");
    EXPECT_EQ(item.summary, "Hi  <b>x</b> ");
    EXPECT_EQ(item.date, "1 - 2");
    EXPECT_EQ(item.author, "\"Q\"...");
    EXPECT_TRUE(item.featured);
}

// The feed's list and the seen marker.
class NewsFeedWithMarker : public ::testing::Test {
protected:
    std::unique_ptr<NewsFeed> MakeFeed() {
        return std::make_unique<NewsFeed>(FakeService(), NewsFetchTiming(), marker_,
                                          network_.fetch());
    }
    void Fetch(NewsFeed& feed, std::optional<std::string> body, bool throwing = false) {
        network_.answer(std::move(body), throwing);
        feed.fetchOnce();
    }

    TempFolder scratch_;
    fs::path marker_ = scratch_.path() / "config" / "QuillonSagaLauncher" / "news_seen.txt";
    ScriptedFetch network_;
};

TEST_F(NewsFeedWithMarker, FirstRunShowsTheDotAndMarkingWritesExactlyTheId) {
    auto feed = MakeFeed();
    EXPECT_FALSE(feed->hasUnseen());
    Fetch(*feed, R"([{"id":"42","title":"New"},{"id":"41"}])");
    EXPECT_TRUE(feed->hasUnseen());
    feed->markSeen();  // the folder does not exist yet: it is created with its parents
    EXPECT_FALSE(feed->hasUnseen());
    EXPECT_EQ(ReadFile(marker_), "42");
    // No temporary file is left beside the marker.
    EXPECT_EQ(
        std::distance(fs::directory_iterator(marker_.parent_path()), fs::directory_iterator()), 1);

    // Restart: a new feed reads the file the old one wrote.
    feed.reset();
    auto restarted = MakeFeed();
    Fetch(*restarted, R"([{"id":"42"}])");
    EXPECT_FALSE(restarted->hasUnseen());

    // A newer first item turns the dot on again until the News entry is selected.
    Fetch(*restarted, R"([{"id":"43"},{"id":"42"}])");
    EXPECT_TRUE(restarted->hasUnseen());
    Fetch(*restarted, R"([{"id":"42"}])");
    EXPECT_TRUE(restarted->hasUnseen()) << "only markSeen clears the dot";
    restarted->markSeen();
    EXPECT_EQ(ReadFile(marker_), "42");
}

// Before a good fetch (a throwing one changes nothing) there is no dot and nothing to write.
TEST_F(NewsFeedWithMarker, NothingToMarkBeforeAGoodFetch) {
    auto feed = MakeFeed();
    Fetch(*feed, std::nullopt, true);
    EXPECT_TRUE(feed->items().empty());
    feed->markSeen();
    EXPECT_FALSE(feed->hasUnseen());
    EXPECT_FALSE(fs::exists(marker_.parent_path()));
}

TEST_F(NewsFeedWithMarker, FirstItemWithoutIdAlwaysShowsTheDotAndNeverWrites) {
    auto feed = MakeFeed();
    Fetch(*feed, R"([{"title":"no id"},{"id":"5"}])");
    EXPECT_TRUE(feed->hasUnseen());
    feed->markSeen();
    EXPECT_FALSE(feed->hasUnseen());
    Fetch(*feed, R"([{"title":"no id"}])");
    EXPECT_TRUE(feed->hasUnseen());
    feed->markSeen();
    EXPECT_FALSE(fs::exists(marker_));
}

TEST_F(NewsFeedWithMarker, EmptyArrayEmptiesTheListButKeepsTheSeenState) {
    auto feed = MakeFeed();
    Fetch(*feed, R"([{"id":"9"}])");
    Fetch(*feed, "[]");
    EXPECT_TRUE(feed->items().empty());
    EXPECT_TRUE(feed->hasUnseen());
    feed->markSeen();  // latestId is still the 9 of the earlier fetch
    EXPECT_EQ(ReadFile(marker_), "9");
}

TEST_F(NewsFeedWithMarker, OnlyTheMarkersFirstLineCounts) {
    struct Case {
        std::string content;
        bool dotAfterFetchOf42;
    };
    for (const Case& c :
         {Case{"42", false}, Case{"42\n", false}, Case{"42\r\n", false}, Case{"42\n43\n", false},
          Case{"43\n42\n", true}, Case{"", true}, Case{"\n42", true}, Case{"421", true}}) {
        WriteFile(marker_, c.content);
        auto feed = MakeFeed();
        Fetch(*feed, R"([{"id":"42"}])");
        EXPECT_EQ(feed->hasUnseen(), c.dotAfterFetchOf42) << ::testing::PrintToString(c.content);
    }
}

TEST_F(NewsFeedWithMarker, UnreadableMarkerCountsAsNone) {
    fs::create_directories(marker_);  // a folder where the file should be
    auto feed = MakeFeed();
    Fetch(*feed, R"([{"id":"42"}])");
    EXPECT_TRUE(feed->hasUnseen());
    feed->markSeen();  // the write fails quietly; the state in memory still changes
    EXPECT_FALSE(feed->hasUnseen());
    Fetch(*feed, R"([{"id":"42"}])");
    EXPECT_FALSE(feed->hasUnseen());
}

TEST_F(NewsFeedWithMarker, BareFileNameIsReadButNeverWritten) {
    const fs::path previous = fs::current_path();
    fs::current_path(scratch_.path());
    {
        NewsFeed feed(FakeService(), NewsFetchTiming(), "news_seen.txt", network_.fetch());
        Fetch(feed, R"([{"id":"42"}])");
        feed.markSeen();
        EXPECT_FALSE(fs::exists(scratch_.path() / "news_seen.txt"));
    }
    WriteFile(scratch_.path() / "news_seen.txt", "42");
    {
        NewsFeed feed(FakeService(), NewsFetchTiming(), "news_seen.txt", network_.fetch());
        Fetch(feed, R"([{"id":"42"}])");
        EXPECT_FALSE(feed.hasUnseen());
    }
    fs::current_path(previous);
}

// The page keeps its copy of the list and copies again only when the current feed's list is new.
TEST_F(NewsFeedWithMarker, SnapshotIsCopiedOnlyWhenTheListChanges) {
    struct Registered {
        explicit Registered(NewsFeed* feed) { SetCurrentNewsFeed(feed); }
        ~Registered() { SetCurrentNewsFeed(nullptr); }
    };
    NewsSnapshot snapshot;
    auto feed = MakeFeed();
    {
        Registered current(feed.get());
        Fetch(*feed, R"([{"id":"1"}])");
        RefreshNewsSnapshot(snapshot);
        ASSERT_EQ(snapshot.items.size(), 1u);
        snapshot.items[0].title = "mine";  // a needless copy would overwrite it
        RefreshNewsSnapshot(snapshot);
        Fetch(*feed, "{}");  // a discarded body is no new list
        RefreshNewsSnapshot(snapshot);
        EXPECT_EQ(snapshot.items[0].title, "mine");

        Fetch(*feed, R"([{"id":"1"}])");  // the same items again are still a new list
        RefreshNewsSnapshot(snapshot);
        EXPECT_EQ(snapshot.items[0].title, "");
    }
    auto other = MakeFeed();  // never published: its empty list is not the first feed's
    {
        Registered current(other.get());
        RefreshNewsSnapshot(snapshot);
        EXPECT_TRUE(snapshot.items.empty());
        Fetch(*feed, R"([{"id":"2"}])");
        RefreshNewsSnapshot(snapshot);
        EXPECT_TRUE(snapshot.items.empty());
    }
    snapshot.items.resize(1);
    RefreshNewsSnapshot(snapshot);  // no feed at all
    EXPECT_TRUE(snapshot.items.empty());
}

#ifndef _WIN32
// Windows takes the folder from the shell, not from the environment.
TEST(SeenMarkerLocation, LivesInTheLauncherDataFolder) {
    ScopedEnv home("XDG_CONFIG_HOME", "/cfg/home");
    EXPECT_EQ(SeenMarkerPath(), fs::path("/cfg/home/QuillonSagaLauncher/news_seen.txt"));
}
#endif

}  // namespace
