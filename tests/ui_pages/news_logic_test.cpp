#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/news_logic.h"

namespace {

NewsItem Item(std::string tag, std::string title, bool featured = false) {
    NewsItem item;
    item.tag = std::move(tag);
    item.title = std::move(title);
    item.featured = featured;
    return item;
}

std::vector<std::string> Titles(const std::vector<NewsItem>& items) {
    std::vector<std::string> titles;
    for (const auto& item : items)
        titles.push_back(item.title);
    return titles;
}

std::vector<NewsItem> Repeat(const char* tag, int count, const char* prefix) {
    std::vector<NewsItem> items;
    for (int i = 1; i <= count; ++i)
        items.push_back(Item(tag, prefix + std::to_string(i)));
    return items;
}

TEST(NewsSplit, FillsColumnsInListOrder) {
    struct Case {
        const char* name;
        std::vector<NewsItem> items;
        std::vector<std::string> changelog, updates;
        bool paging;
    };
    std::vector<NewsItem> threeAndThree = Repeat("CHANGELOG", 3, "c");
    for (const NewsItem& item : Repeat("PATCH", 3, "u"))
        threeAndThree.push_back(item);
    const Case cases[] = {
        {"seven changelog entries keep six",
         Repeat("CHANGELOG", 7, "c"),
         {"c1", "c2", "c3", "c4", "c5", "c6"},
         {},
         true},
        {"three and three need no paging",
         threeAndThree,
         {"c1", "c2", "c3"},
         {"u1", "u2", "u3"},
         false},
        {"four updates page", Repeat("EVENT", 4, "u"), {}, {"u1", "u2", "u3", "u4"}, true},
        // Only the exact tag goes left; anything else, empty included, goes right.
        {"tag match is exact",
         {Item("changelog", "a"), Item("CHANGELOG ", "b"), Item("", "c"), Item("CHANGELOG", "d")},
         {"d"},
         {"a", "b", "c"},
         false},
        // The first entry is a card too unless featured; a featured entry further down is
        // shown nowhere.
        {"first entry is also a card",
         {Item("CHANGELOG", "first"), Item("PATCH", "second")},
         {"first"},
         {"second"},
         false},
        {"featured entries are skipped",
         {Item("PATCH", "banner", true), Item("CHANGELOG", "c1"), Item("CHANGELOG", "hidden", true),
          Item("PATCH", "u1")},
         {"c1"},
         {"u1"},
         false},
        {"empty list", {}, {}, {}, false},
    };
    for (const Case& c : cases) {
        const NewsColumns columns = SplitNewsColumns(c.items);
        EXPECT_EQ(Titles(columns.changelogItems), c.changelog) << c.name;
        EXPECT_EQ(Titles(columns.updateItems), c.updates) << c.name;
        EXPECT_EQ(NewsPagingOn(columns), c.paging) << c.name;
    }
}

TEST(NewsPaging, PageSettlesAndSelectsThreeCards) {
    EXPECT_EQ(SettleNewsPage(1, false), 0);
    EXPECT_EQ(SettleNewsPage(0, false), 0);
    EXPECT_EQ(SettleNewsPage(1, true), 1);
    EXPECT_EQ(SettleNewsPage(7, true), 1);
    EXPECT_EQ(SettleNewsPage(-3, true), 0);

    struct Case {
        std::size_t size;
        std::int32_t page;
        std::size_t begin, end;
    };
    for (Case c : {Case{6, 0, 0, 3}, Case{6, 1, 3, 6}, Case{4, 1, 3, 4}, Case{2, 0, 0, 2},
                   Case{2, 1, 2, 2}, Case{0, 0, 0, 0}, Case{0, 1, 0, 0}}) {
        NewsCardRange range = NewsCardsOnPage(c.size, c.page);
        EXPECT_EQ(range.begin, c.begin) << c.size << " on page " << c.page;
        EXPECT_EQ(range.end, c.end) << c.size << " on page " << c.page;
    }
}

TEST(NewsTexts, ShorteningLimits) {
    struct Case {
        std::string (*shorten)(std::string_view);
        std::size_t length;
        std::size_t expectedLength;
        bool ellipsis;
    };
    for (Case c :
         {Case{ShortenNewsTitle, 35, 35, false}, Case{ShortenNewsTitle, 36, 35, true},
          Case{ShortenNewsTitle, 80, 35, true}, Case{ShortenNewsTitle, 0, 0, false},
          Case{ShortenNewsSummary, 160, 160, false}, Case{ShortenNewsSummary, 161, 160, true},
          Case{ShortenNewsSummary, 400, 160, true}}) {
        std::string text(c.length, 'x');
        std::string shown = c.shorten(text);
        EXPECT_EQ(shown.size(), c.expectedLength) << "from " << c.length;
        EXPECT_EQ(shown.ends_with("..."), c.ellipsis) << "from " << c.length;
    }
    EXPECT_EQ(ShortenNewsTitle("abcdefghijklmnopqrstuvwxyz0123456789"),
              "abcdefghijklmnopqrstuvwxyz012345...");
}

TEST(NewsTexts, CountsPagesAndBannerDate) {
    EXPECT_EQ(NewsCountText(6), "06");
    EXPECT_EQ(NewsCountText(0), "00");
    EXPECT_EQ(NewsPageText(0), "1 of 2");
    EXPECT_EQ(NewsPageText(1), "2 of 2");
    EXPECT_EQ(BannerDateSuffix(""), "");
    EXPECT_EQ(BannerDateSuffix("2024-05-01"), "  2024-05-01");
    EXPECT_EQ(BannerDateSuffix(std::string(100, 'd')), "  " + std::string(61, 'd'));
}

}  // namespace
