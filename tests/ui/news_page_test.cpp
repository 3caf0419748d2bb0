#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/news_page.h"
#include "ui/pages.h"
#include "ui_harness.h"

using namespace qs;

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

const ImVec2 kPrevious(636 + 12, 668 + 12);
const ImVec2 kNext(696 + 12, 668 + 12);
const ImVec2 kBannerDetails(135 + 82 + 65, 236 + 13);

class NewsPageTest : public testing::Test {
protected:
    void Click(ImVec2 at) {
        h.clickWith(at.x, at.y, [this] {
            const ImVec2 size = ImGui::GetIO().DisplaySize;
            DrawNewsPageItems(
                h.ui, items, [this](const std::string& url) { opened.push_back(url); },
                ImGui::GetWindowDrawList(), ImGui::GetWindowPos(), size.x, size.y);
        });
    }
    // Centre of the card in row `row` of the left (changelog) or right (updates) column.
    static ImVec2 CardPoint(bool left, int row, float sectionTop = 284) {
        return ImVec2(left ? 135 + 267 : 686 + 267, sectionTop + 26 + 118 * row + 55);
    }

    UiHarness h{FontMode::Default};
    std::vector<NewsItem> items;
    std::vector<std::string> opened;
};

TEST_F(NewsPageTest, PagingMovesBetweenTwoPagesAndStopsAtTheEnds) {
    for (int i = 0; i < 7; ++i)
        items.push_back(Item("CHANGELOG", "https://quillonsaga.example/c" + std::to_string(i)));
    Click(kPrevious);  // nothing before the first page
    EXPECT_EQ(h.ui.newsPage, 0);
    Click(kNext);
    EXPECT_EQ(h.ui.newsPage, 1);
    Click(kNext);  // nothing after the second page
    EXPECT_EQ(h.ui.newsPage, 1);

    // Page 2 shows entries 3, 4 and 5; the seventh is never shown.
    Click(CardPoint(true, 0));
    Click(CardPoint(true, 2));
    EXPECT_EQ(opened, (std::vector<std::string>{"https://quillonsaga.example/c3",
                                                "https://quillonsaga.example/c5"}));
    Click(kPrevious);
    EXPECT_EQ(h.ui.newsPage, 0);
}

TEST_F(NewsPageTest, NoSwitcherWithoutPagingAndThePageReturnsToOne) {
    for (const char* tag : {"CHANGELOG", "CHANGELOG", "CHANGELOG", "PATCH", "PATCH", "PATCH"})
        items.push_back(Item(tag, "https://a.example/"));
    h.ui.newsPage = 1;  // left over from a longer list
    Click(kNext);
    EXPECT_EQ(h.ui.newsPage, 0);
    EXPECT_TRUE(opened.empty());
}

TEST_F(NewsPageTest, CardsAndBannerOpenOnlyWebAddresses) {
    items = {Item("CHANGELOG", "javascript:alert(1)"), Item("CHANGELOG", "file:///usr/bin/xterm"),
             Item("PATCH", "https://quillonsaga.example/patch"), Item("PATCH", "")};
    Click(CardPoint(true, 0));
    Click(CardPoint(true, 1));
    Click(CardPoint(false, 1));  // no address: only the click sound
    Click(kBannerDetails);
    EXPECT_TRUE(opened.empty());

    Click(CardPoint(false, 0));
    EXPECT_EQ(opened, std::vector<std::string>{"https://quillonsaga.example/patch"});
}

TEST_F(NewsPageTest, BannerOpensTheFirstEntryEvenWhenFeatured) {
    items = {Item("EVENT", "https://quillonsaga.example/featured", true),
             Item("PATCH", "https://quillonsaga.example/second")};
    Click(kBannerDetails);
    Click(CardPoint(false, 0));  // the featured entry is no card
    EXPECT_EQ(opened, (std::vector<std::string>{"https://quillonsaga.example/featured",
                                                "https://quillonsaga.example/second"}));
}

TEST_F(NewsPageTest, EmptyListMovesTheColumnsDownAndOpensNothing) {
    h.ui.newsPage = 1;
    Click(kBannerDetails);
    Click(CardPoint(true, 0, 324));
    EXPECT_EQ(h.ui.newsPage, 0);
    EXPECT_TRUE(opened.empty());
}

}  // namespace
