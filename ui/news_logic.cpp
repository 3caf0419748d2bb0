#include "ui/news_logic.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "platform/wide_text.h"
#include "ui/ui_logic.h"
#include "ui/widgets.h"

namespace qs {

namespace {

constexpr std::size_t kTitleLimit = 36;
constexpr std::size_t kTitleKeep = 32;
constexpr std::size_t kSummaryLimit = 161;
constexpr std::size_t kSummaryKeep = 157;
constexpr std::size_t kBannerDateBytes = 61;  // a 64-byte line: two spaces, the date, the zero

std::string Shorten(std::string_view text, std::size_t limit, std::size_t keep) {
    if (text.size() < limit)
        return std::string(text);
    std::string shortened(text.substr(0, keep));
    shortened += "...";
    return shortened;
}

}  // namespace

NewsColumns SplitNewsColumns(const std::vector<NewsItem>& items) {
    NewsColumns columns;
    for (const NewsItem& item : items) {
        if (item.featured)
            continue;
        auto& column = item.tag == "CHANGELOG" ? columns.changelogItems : columns.updateItems;
        if (column.size() < kNewsColumnCapacity)
            column.push_back(&item);
    }
    return columns;
}

bool NewsPagingOn(const NewsColumns& columns) {
    return columns.changelogItems.size() > kNewsCardsPerPage ||
           columns.updateItems.size() > kNewsCardsPerPage;
}

std::int32_t SettleNewsPage(std::int32_t newsPage, bool pagingOn) {
    if (!pagingOn)
        return 0;
    return std::clamp<std::int32_t>(newsPage, 0, kNewsPageCount - 1);
}

NewsCardRange NewsCardsOnPage(std::size_t columnSize, std::int32_t newsPage) {
    if (newsPage < 0)
        newsPage = 0;
    std::size_t begin = kNewsCardsPerPage * static_cast<std::size_t>(newsPage);
    begin = std::min(begin, columnSize);
    return {begin, std::min(begin + kNewsCardsPerPage, columnSize)};
}

std::string ShortenNewsTitle(std::string_view title) {
    return Shorten(title, kTitleLimit, kTitleKeep);
}

std::string ShortenNewsSummary(std::string_view summary) {
    return Shorten(summary, kSummaryLimit, kSummaryKeep);
}

NewsCardTexts CardTexts(const NewsItem& item) {
    return {SanitizeUiText(item.date, kOneLineBytes),
            std::string(Utf8Prefix(item.tag, kOneLineBytes)),
            ShortenNewsTitle(SanitizeUiText(item.title, kTitleLimit)),
            ShortenNewsSummary(SanitizeUiText(item.summary, kSummaryLimit))};
}

std::string NewsCountText(std::size_t count) {
    char text[24];
    std::snprintf(text, sizeof text, "%02zu", count);
    return text;
}

std::string NewsPageText(std::int32_t newsPage) {
    char text[32];
    std::snprintf(text, sizeof text, "%d of %d", static_cast<int>(newsPage) + 1,
                  static_cast<int>(kNewsPageCount));
    return text;
}

std::string BannerDateSuffix(std::string_view date) {
    if (date.empty())
        return {};
    std::string suffix = "  ";
    suffix.append(date.substr(0, kBannerDateBytes));
    return suffix;
}

}  // namespace qs
