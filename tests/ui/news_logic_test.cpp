#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ui/news_logic.h"
#include "ui/widgets.h"

using namespace qs;

namespace {

// Entries written as "TAG:title|TAG:title"; a leading '*' marks a featured entry.
std::vector<NewsItem> Items(const std::string& entries) {
    std::vector<NewsItem> items;
    for (std::size_t at = 0; at < entries.size();) {
        std::size_t end = std::min(entries.find('|', at), entries.size());
        std::string entry = entries.substr(at, end - at);
        NewsItem item;
        item.featured = entry.starts_with('*');
        item.tag = entry.substr(item.featured, entry.rfind(':') - item.featured);
        item.title = entry.substr(entry.rfind(':') + 1);
        items.push_back(item);
        at = end + 1;
    }
    return items;
}

std::string Titles(const std::vector<const NewsItem*>& items) {
    std::string titles;
    for (const NewsItem* item : items)
        titles += (titles.empty() ? "" : "|") + item->title;
    return titles;
}

std::string Repeat(const std::string& tag, int count, const std::string& prefix) {
    std::string entries;
    for (int i = 1; i <= count; ++i)
        entries += (i > 1 ? "|" : "") + tag + ":" + prefix + std::to_string(i);
    return entries;
}

// Only the exact tag goes left; anything else, empty included, goes right. The first entry is a
// card too unless featured; a featured entry further down is shown nowhere.
TEST(NewsSplit, FillsColumnsInListOrder) {
    struct Case {
        std::string items, changelog, updates;
        bool paging;
    };
    const Case cases[] = {
        {Repeat("CHANGELOG", 7, "c"), "c1|c2|c3|c4|c5|c6", "", true},
        {Repeat("CHANGELOG", 3, "c") + "|" + Repeat("PATCH", 3, "u"), "c1|c2|c3", "u1|u2|u3",
         false},
        {Repeat("EVENT", 4, "u"), "", "u1|u2|u3|u4", true},
        {"changelog:a|CHANGELOG :b|:c|CHANGELOG:d", "d", "a|b|c", false},
        {"CHANGELOG:first|PATCH:second", "first", "second", false},
        {"*PATCH:banner|CHANGELOG:c1|*CHANGELOG:hidden|PATCH:u1", "c1", "u1", false},
        {"", "", "", false},
    };
    for (const Case& c : cases) {
        const std::vector<NewsItem> items = Items(c.items);
        const NewsColumns columns = SplitNewsColumns(items);
        EXPECT_EQ(Titles(columns.changelogItems), c.changelog) << c.items;
        EXPECT_EQ(Titles(columns.updateItems), c.updates) << c.items;
        EXPECT_EQ(NewsPagingOn(columns), c.paging) << c.items;
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

// The tag is kept as received, the rest cleaned and shortened; a field of megabytes is read only
// as far as a card can show it, and the raw tag is cut at a character boundary.
TEST(NewsTexts, CardTextsKeepTheTagCleanTheRestAndReadOnlyWhatShows) {
    NewsItem item;
    item.tag = "\xC3\x89V\xC3\x89NEMENT \xF0\x9F\x8E\x89";
    item.date = "1 mai\r";
    item.title = "Caf\xC3\xA9 " + std::string(40, 't');
    item.summary = "r\xC3\xA9sum\xC3\xA9";
    NewsCardTexts texts = CardTexts(item);
    EXPECT_EQ(texts.tag, item.tag);
    EXPECT_EQ(texts.date, "1 mai");
    EXPECT_EQ(texts.title, "Caf " + std::string(28, 't') + "...");
    EXPECT_EQ(texts.summary, "rsum");

    const std::string huge(4 << 20, 'w');
    item.title = item.summary = item.date = huge;
    item.tag = "a";
    for (int i = 0; i < 1 << 20; ++i)
        item.tag += "\xC3\xA9";
    texts = CardTexts(item);
    EXPECT_EQ(texts.title, std::string(32, 'w') + "...");
    EXPECT_EQ(texts.summary, std::string(157, 'w') + "...");
    EXPECT_EQ(texts.date, std::string(kOneLineBytes, 'w'));
    EXPECT_EQ(texts.tag.size(), kOneLineBytes - 1);  // "a" and whole two-byte letters
    EXPECT_EQ(texts.tag.back(), '\xA9');
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
