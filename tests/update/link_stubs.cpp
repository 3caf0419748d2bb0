// Stand-ins until the request layer is linked: weak, so the real layer wins once present.
#include <stdexcept>

#include "update/https.h"

__attribute__((weak)) std::vector<std::uint8_t> HttpsRequest(const std::wstring&,
                                                             const std::wstring&,
                                                             const std::string&,
                                                             const ServiceEndpoint&) {
    throw std::runtime_error("Unable to initialize HTTPS");
}
__attribute__((weak)) void HttpsRequestToSink(const std::wstring&, const std::wstring&,
                                              const std::string&, const BodySink&,
                                              const ServiceEndpoint&) {
    throw std::runtime_error("Unable to initialize HTTPS");
}
