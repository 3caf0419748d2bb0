// Any status body gives a record and never throws: an unreadable body leaves the defaults.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "live/status_poller.h"

using namespace qs;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ServerStatus status;
    try {
        status = ParseServerStatus(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (...) {
        std::abort();
    }
    // The texts are copied from the body, so they can never be longer than it.
    if (status.motd.size() > size || status.serverName.size() > size)
        std::abort();
    return 0;
}
