#pragma once
// A player whose clock is far off sees a fresh manifest as expired; the refusal then says so,
// judged against the server's own clock (its Date header), so the player knows what to fix.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "net/http_date.h"

namespace qs {

// "2026-12-07 21:05 UTC".
std::string UtcText(std::int64_t seconds);

// Closer than this to the server's clock, the local clock is not named as a cause.
inline constexpr std::int64_t kClockToleranceSeconds = 3600;

// The refusal of a manifest that expired by the local clock `localNow`. When the server's clock
// says it has not expired yet and the local clock is far from the server's, the likely cause is
// named: "Update manifest has expired. Your computer's clock may be wrong: it reads ...".
std::string ManifestExpiredText(std::int64_t localNow, std::int64_t expires,
                                std::optional<std::int64_t> serverNow);

}  // namespace qs
