// Stand-in for the request layer while it is not in the tree; tests/ui/CMakeLists.txt stops
// linking it as soon as update/ defines LiveHttpsGet.
#include <imgui.h>

#include <optional>
#include <string>

#include "app/service.h"
#include "update/https.h"

#include <stdexcept>
#include <vector>

std::optional<std::string> LiveHttpsGet(const std::wstring&, std::size_t, const ServiceEndpoint&) {
    return std::nullopt;
}

std::vector<std::uint8_t> HttpsRequest(const std::wstring&, const std::wstring&, const std::string&,
                                       const ServiceEndpoint&) {
    throw std::runtime_error("no network in these tests");
}

void HttpsRequestToSink(const std::wstring&, const std::wstring&, const std::string&,
                        const BodySink&, const ServiceEndpoint&) {
    throw std::runtime_error("no network in these tests");
}

std::vector<std::uint8_t> LauncherHttpsGet(const std::wstring&, const std::wstring&,
                                           const ServiceEndpoint&) {
    throw std::runtime_error("no network in these tests");
}

void LauncherHttpsGetToSink(const std::wstring&, const std::wstring&, const BodySink&,
                            const ServiceEndpoint&) {
    throw std::runtime_error("no network in these tests");
}

UpdateEndpoint ResolveLauncherUrl(const std::wstring&, const ServiceEndpoint&) {
    throw std::runtime_error("no network in these tests");
}
