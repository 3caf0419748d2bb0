#pragma once
// The server's clock as its replies state it (the Date header).
#include <cstdint>
#include <optional>
#include <string_view>

namespace qs {

// An HTTP date in its current form ("Sun, 06 Nov 1994 08:49:37 GMT") as seconds since 1970;
// nullopt for anything else.
std::optional<std::int64_t> ParseHttpDate(std::string_view text);

}  // namespace qs
