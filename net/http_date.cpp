#include "net/http_date.h"

#include <array>
#include <charconv>
#include <chrono>
#include <string_view>

namespace qs {

namespace {

template <typename Number>
bool ReadNumber(std::string_view text, Number& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::optional<std::int64_t> ParseHttpDate(std::string_view text) {
    using namespace std::chrono;
    // "Sun, 06 Nov 1994 08:49:37 GMT": every field at a fixed place.
    constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (text.size() != 29 || text.substr(3, 2) != ", " || text[7] != ' ' || text[11] != ' ' ||
        text[16] != ' ' || text[19] != ':' || text[22] != ':' || text.substr(25) != " GMT")
        return std::nullopt;
    unsigned dayNumber = 0, hours = 0, minutes = 0, secondsPart = 0;
    int yearNumber = 0;
    if (!ReadNumber(text.substr(5, 2), dayNumber) || !ReadNumber(text.substr(12, 4), yearNumber) ||
        !ReadNumber(text.substr(17, 2), hours) || !ReadNumber(text.substr(20, 2), minutes) ||
        !ReadNumber(text.substr(23, 2), secondsPart) || hours > 23 || minutes > 59 ||
        secondsPart > 60)
        return std::nullopt;
    unsigned monthNumber = 0;
    while (monthNumber < kMonths.size() && kMonths[monthNumber] != text.substr(8, 3))
        ++monthNumber;
    const year_month_day date{year{yearNumber}, month{monthNumber + 1}, day{dayNumber}};
    if (monthNumber == kMonths.size() || !date.ok())
        return std::nullopt;
    return sys_days(date).time_since_epoch() / 1s + hours * 3600 + minutes * 60 + secondsPart;
}

}  // namespace qs
