// Any news body gives a list or nothing and never throws; the displayed texts come out cleaned.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "live/news_feed.h"

using namespace qs;

namespace {

bool IsClean(const std::string& text) {
    for (char c : text) {
        const bool kept = (c >= 0x20 && c <= 0x7E) || c == '\t' || c == '\n';
        if (!kept)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::optional<std::vector<NewsItem>> items;
    try {
        items = ParseNewsItems(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (...) {
        std::abort();
    }
    if (!items)
        return 0;
    if (items->size() > size)
        std::abort();
    for (const NewsItem& item : *items) {
        if (!IsClean(item.title) || !IsClean(item.summary) || !IsClean(item.date) ||
            !IsClean(item.author))
            std::abort();
    }
    return 0;
}
