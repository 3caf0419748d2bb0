// Stand-in for the HTTPS request layer until it is in the tree: every request fails.
#include <stdexcept>

#include "update/https.h"

void InitializeHttps() {}

UpdateEndpoint CheckUpdateUrl(const std::wstring&, const ServiceEndpoint&) {
    throw std::runtime_error("Untrusted update URL configuration");
}
std::vector<std::uint8_t> HttpsRequest(const std::wstring&, const std::wstring&, const std::string&,
                                       const ServiceEndpoint&) {
    throw std::runtime_error("Unable to initialize HTTPS");
}
void HttpsRequestToSink(const std::wstring&, const std::wstring&, const std::string&,
                        const BodySink&, const ServiceEndpoint&) {
    throw std::runtime_error("Unable to initialize HTTPS");
}
UpdateEndpoint ResolveLauncherUrl(const std::wstring&, const ServiceEndpoint&) {
    throw std::runtime_error("Untrusted launcher update URL");
}
std::vector<std::uint8_t> LauncherHttpsGet(const std::wstring&, const std::wstring&,
                                           const ServiceEndpoint&) {
    throw std::runtime_error("Unable to initialize HTTPS");
}
void LauncherHttpsGetToSink(const std::wstring&, const std::wstring&, const BodySink&,
                            const ServiceEndpoint&) {
    throw std::runtime_error("Unable to initialize HTTPS");
}
std::optional<std::string> LiveHttpsGet(const std::wstring&, std::size_t, const ServiceEndpoint&) {
    return std::nullopt;
}
TransferLimits& UpdateTransferLimits() {
    static TransferLimits limits;
    return limits;
}
TransferLimits& LiveTransferLimits() {
    static TransferLimits limits;
    return limits;
}
