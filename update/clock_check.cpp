#include "update/clock_check.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>

#include "update/update_signature.h"

namespace qs {

std::string UtcText(std::int64_t seconds) {
    using namespace std::chrono;
    // Four-digit years only: a clock set to anything is still printed without overflow.
    constexpr std::int64_t kLastSecondOf9999 = 253'402'300'799;
    const sys_seconds moment{
        std::chrono::seconds(std::clamp<std::int64_t>(seconds, 0, kLastSecondOf9999))};
    const sys_days dayStart = floor<days>(moment);
    const year_month_day date{dayStart};
    const auto inDay = (moment - dayStart) / 1min;
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d UTC", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(inDay / 60), static_cast<int>(inDay % 60));
    return text;
}

std::string ManifestExpiredText(std::int64_t localNow, std::int64_t expires,
                                std::optional<std::int64_t> serverNow) {
    std::string text = kManifestExpired;
    // A server that says the manifest is still good, and a clock far from the server's: the
    // clock, not the manifest, is the likely fault.
    if (serverNow && *serverNow < expires && localNow > *serverNow + kClockToleranceSeconds)
        text += ". Your computer's clock may be wrong: it reads " + UtcText(localNow) + ".";
    return text;
}

}  // namespace qs
