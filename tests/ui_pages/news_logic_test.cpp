#include <gtest/gtest.h>

#include <ostream>
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

struct SplitCase {
    const char* name;
    std::vector<NewsItem> items;
    std::vector<std::string> changelog;
    std::vector<std::string> updates;
    bool paging;
};

void PrintTo(const SplitCase& c, std::ostream* os) {
    *os << c.name;
}

class NewsSplit : public testing::TestWithParam<SplitCase> {};

TEST_P(NewsSplit, FillsColumnsInListOrder) {
    const SplitCase& c = GetParam();
    NewsColumns columns = SplitNewsColumns(c.items);
    EXPECT_EQ(Titles(columns.changelogItems), c.changelog);
    EXPECT_EQ(Titles(columns.updateItems), c.updates);
    EXPECT_EQ(NewsPagingOn(columns), c.paging);
}

std::vector<NewsItem> Repeat(const char* tag, int count, const char* prefix) {
    std::vector<NewsItem> items;
    for (int i = 1; i <= count; ++i)
        items.push_back(Item(tag, prefix + std::to_string(i)));
    return items;
}

std::vector<NewsItem> Join(std::vector<NewsItem> a, const std::vector<NewsItem>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NewsSplit,
    testing::Values(
        SplitCase{"SevenChangelogKeepsSix",
                  Repeat("CHANGELOG", 7, "c"),
                  {"c1", "c2", "c3", "c4", "c5", "c6"},
                  {},
                  true},
        SplitCase{"ThreeAndThreeNeedNoPaging",
                  Join(Repeat("CHANGELOG", 3, "c"), Repeat("PATCH", 3, "u")),
                  {"c1", "c2", "c3"},
                  {"u1", "u2", "u3"},
                  false},
        SplitCase{"FourUpdatesPage", Repeat("EVENT", 4, "u"), {}, {"u1", "u2", "u3", "u4"}, true},
        // Only the exact tag goes left; anything else, empty included, goes right.
        SplitCase{"TagMatchIsExact",
                  {Item("changelog", "a"), Item("CHANGELOG ", "b"), Item("", "c"),
                   Item("CHANGELOG", "d")},
                  {"d"},
                  {"a", "b", "c"},
                  false},
        // The first entry is a card too unless featured; a featured entry further down is
        // shown nowhere.
        SplitCase{"FirstEntryIsAlsoACard",
                  {Item("CHANGELOG", "first"), Item("PATCH", "second")},
                  {"first"},
                  {"second"},
                  false},
        SplitCase{"FeaturedEntriesAreSkipped",
                  {Item("PATCH", "banner", true), Item("CHANGELOG", "c1"),
                   Item("CHANGELOG", "hidden", true), Item("PATCH", "u1")},
                  {"c1"},
                  {"u1"},
                  false},
        SplitCase{"EmptyList", {}, {}, {}, false}),
    [](const testing::TestParamInfo<SplitCase>& param) { return param.param.name; });

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
