#pragma once
// The reading of one reply header line as libcurl hands it over, apart so it can be fuzzed.
#include <string_view>

#include "platform/https_transport.h"

namespace qs {

// Keeps the two framing headers of the reply being read; a new status line starts afresh.
void NoteHeaderLine(HttpsResponseHead& head, std::string_view line);

}  // namespace qs
