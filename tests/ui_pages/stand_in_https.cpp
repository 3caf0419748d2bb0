// The request layer is not in the tree yet; the linker still meets the release check through
// GoogleTest's string instantiations. Nothing in these tests talks to the network.
#include <stdexcept>

#include "update/https.h"

std::vector<std::uint8_t> LauncherHttpsGet(const std::wstring&, const std::wstring&,
                                           const ServiceEndpoint&) {
    throw std::runtime_error("no network in page tests");
}

std::optional<std::string> LiveHttpsGet(const std::wstring&, std::size_t, const ServiceEndpoint&) {
    return std::nullopt;
}
