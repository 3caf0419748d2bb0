#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "headless_frame.h"
#include "ui/news_page.h"
#include "ui/pages.h"

namespace {

NewsItem Item(std::string tag, std::string url, bool featured = false) {
    NewsItem item;
    item.tag = std::move(tag);
    item.title = "Title of " + item.tag;
    item.summary = "A summary.";
    item.date = "2024-05-01";
    item.url = std::move(url);
    item.featured = featured;
    return item;
}

class NewsPageTest : public testing::Test {
protected:
    HeadlessFrame::Page Page() {
        return [this](ImDrawList* drawList, ImVec2 windowPos, float width, float height) {
            DrawNewsPageItems(
                ui, items, [this](const std::string& url) { opened.push_back(url); }, drawList,
                windowPos, width, height);
        };
    }

    // Centre of the card in row `row` of the left (changelog) or right (updates) column.
    static ImVec2 CardPoint(bool left, int row, float sectionTop = 284) {
        return ImVec2(left ? 135 + 267 : 686 + 267, sectionTop + 26 + 118 * row + 55);
    }

    HeadlessFrame frame;
    UiState ui;
    std::vector<NewsItem> items;
    std::vector<std::string> opened;
};

const ImVec2 kPrevious(636 + 12, 668 + 12);
const ImVec2 kNext(696 + 12, 668 + 12);

TEST_F(NewsPageTest, PagingMovesBetweenTwoPagesAndStopsAtTheEnds) {
    for (int i = 0; i < 7; ++i)
        items.push_back(Item("CHANGELOG", "https://quillonsaga.example/c" + std::to_string(i)));
    frame.Run(Page());
    EXPECT_EQ(ui.newsPage, 0);

    frame.Click(Page(), kPrevious);  // nothing before the first page
    EXPECT_EQ(ui.newsPage, 0);
    frame.Click(Page(), kNext);
    EXPECT_EQ(ui.newsPage, 1);
    frame.Click(Page(), kNext);  // nothing after the second page
    EXPECT_EQ(ui.newsPage, 1);

    // Page 2 shows entries 3, 4 and 5; the seventh is never shown.
    frame.Click(Page(), CardPoint(true, 0));
    frame.Click(Page(), CardPoint(true, 2));
    EXPECT_EQ(opened, (std::vector<std::string>{"https://quillonsaga.example/c3",
                                                "https://quillonsaga.example/c5"}));

    frame.Click(Page(), kPrevious);
    EXPECT_EQ(ui.newsPage, 0);
}

TEST_F(NewsPageTest, NoSwitcherWithoutPagingAndThePageReturnsToOne) {
    for (int i = 0; i < 3; ++i)
        items.push_back(Item("CHANGELOG", "https://a.example/c"));
    for (int i = 0; i < 3; ++i)
        items.push_back(Item("PATCH", "https://a.example/u"));
    ui.newsPage = 1;  // left over from a longer list
    frame.Run(Page());
    EXPECT_EQ(ui.newsPage, 0);
    frame.Click(Page(), kNext);
    EXPECT_EQ(ui.newsPage, 0);
    EXPECT_TRUE(opened.empty());
}

TEST_F(NewsPageTest, CardsAndBannerOpenOnlyWebAddresses) {
    items = {Item("CHANGELOG", "javascript:alert(1)"), Item("CHANGELOG", "file:///usr/bin/xterm"),
             Item("PATCH", "https://quillonsaga.example/patch"), Item("PATCH", "")};
    frame.Click(Page(), CardPoint(true, 0));
    frame.Click(Page(), CardPoint(true, 1));
    frame.Click(Page(), CardPoint(false, 1));              // no address: only the click sound
    frame.Click(Page(), ImVec2(135 + 82 + 65, 236 + 13));  // the banner's VIEW DETAILS
    EXPECT_TRUE(opened.empty());

    frame.Click(Page(), CardPoint(false, 0));
    EXPECT_EQ(opened, std::vector<std::string>{"https://quillonsaga.example/patch"});
}

TEST_F(NewsPageTest, BannerOpensTheFirstEntryEvenWhenFeatured) {
    items = {Item("EVENT", "https://quillonsaga.example/featured", true),
             Item("PATCH", "https://quillonsaga.example/second")};
    frame.Click(Page(), ImVec2(135 + 82 + 65, 236 + 13));
    frame.Click(Page(), CardPoint(false, 0));  // the featured entry is no card
    EXPECT_EQ(opened, (std::vector<std::string>{"https://quillonsaga.example/featured",
                                                "https://quillonsaga.example/second"}));
}

TEST_F(NewsPageTest, EmptyListMovesTheColumnsDownAndOpensNothing) {
    ui.newsPage = 1;
    frame.Click(Page(), ImVec2(135 + 82 + 65, 236 + 13));
    frame.Click(Page(), CardPoint(true, 0, 324));
    EXPECT_EQ(ui.newsPage, 0);
    EXPECT_TRUE(opened.empty());
}

// The composer's entry point reads the feed; with no feed it draws the empty page.
TEST_F(NewsPageTest, DrawsFromTheFeed) {
    frame.Run([this](ImDrawList* drawList, ImVec2 windowPos, float width, float height) {
        DrawNewsPage(ui, drawList, windowPos, width, height);
    });
    EXPECT_EQ(ui.newsPage, 0);
}

}  // namespace
