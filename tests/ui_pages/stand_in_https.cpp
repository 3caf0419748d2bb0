// The request layer is not in the tree yet; the linker still meets the update run, the release
// check and the live clients through the libraries. Nothing in these tests talks to the network.
#include <stdexcept>

#include "update/https.h"

namespace {
[[noreturn]] void NoNetwork() {
    throw std::runtime_error("no network in page tests");
}
}  // namespace

std::vector<std::uint8_t> HttpsRequest(const std::wstring&, const std::wstring&, const std::string&,
                                       const ServiceEndpoint&) {
    NoNetwork();
}

void HttpsRequestToSink(const std::wstring&, const std::wstring&, const std::string&,
                        const BodySink&, const ServiceEndpoint&) {
    NoNetwork();
}

UpdateEndpoint ResolveLauncherUrl(const std::wstring&, const ServiceEndpoint&) {
    NoNetwork();
}

std::vector<std::uint8_t> LauncherHttpsGet(const std::wstring&, const std::wstring&,
                                           const ServiceEndpoint&) {
    NoNetwork();
}

void LauncherHttpsGetToSink(const std::wstring&, const std::wstring&, const BodySink&,
                            const ServiceEndpoint&) {
    NoNetwork();
}

std::optional<std::string> LiveHttpsGet(const std::wstring&, std::size_t, const ServiceEndpoint&) {
    return std::nullopt;
}
