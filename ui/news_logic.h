#pragma once
// Decisions of the News page, kept apart from its drawing.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "live/live.h"

namespace qs {

inline constexpr std::size_t kNewsColumnCapacity = 6;
inline constexpr std::size_t kNewsCardsPerPage = 3;
inline constexpr std::int32_t kNewsPageCount = 2;

// Pointers into the list they were split from, which must outlive them: a frame copies no text.
struct NewsColumns {
    std::vector<const NewsItem*> changelogItems;
    std::vector<const NewsItem*> updateItems;
};

// In list order, the first entry included: featured entries are skipped (the banner shows the
// first entry), "CHANGELOG" entries fill the left column, every other tag the right one; each
// column keeps at most six.
NewsColumns SplitNewsColumns(const std::vector<NewsItem>& items);

// Paging is on when either column has more than one page of cards.
bool NewsPagingOn(const NewsColumns& columns);

// The page to show this frame: back to 0 when paging is off, and never outside 0..1.
std::int32_t SettleNewsPage(std::int32_t newsPage, bool pagingOn);

// Indices [begin, end) of a column's cards on `newsPage`.
struct NewsCardRange {
    std::size_t begin = 0;
    std::size_t end = 0;
};
NewsCardRange NewsCardsOnPage(std::size_t columnSize, std::int32_t newsPage);

// 36 bytes or longer: the first 32 bytes and "...". Expects sanitized (ASCII) text.
std::string ShortenNewsTitle(std::string_view title);
// 161 bytes or longer: the first 157 bytes and "...". Expects sanitized (ASCII) text.
std::string ShortenNewsSummary(std::string_view summary);

// The texts of one news card before they are fitted to it. The tag goes out as received: the
// fonts cover Latin-1, so a tag such as "\xC3\x89V\xC3\x89NEMENT" keeps its accents. Title and
// summary are sanitized and shortened. Only a text's start is read: a field of megabytes costs
// what a short one does.
struct NewsCardTexts {
    std::string date;
    std::string tag;
    std::string title;
    std::string summary;
};
NewsCardTexts CardTexts(const NewsItem& item);

// "%02d" of a column's entry count: "06", "00".
std::string NewsCountText(std::size_t count);
// "%d of 2" with the page shown, counted from 1.
std::string NewsPageText(std::int32_t newsPage);
// Enough of a one-line text to overflow any box on the page (even the narrowest glyphs): what
// the fitting then shortens, so it never has to read the rest.
inline constexpr std::size_t kOneLineBytes = 1024;

// What follows "LATEST NEWS": two spaces and at most 61 bytes of the date; empty without a date.
std::string BannerDateSuffix(std::string_view date);

}  // namespace qs
