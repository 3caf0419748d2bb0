#include "net/service.h"

#include "platform/wide_text.h"

namespace qs {

std::wstring ServiceUrl(const ServiceEndpoint& service, std::string_view path) {
    std::string url = "https://" + service.host;
    if (service.port != 443)
        url += ":" + std::to_string(service.port);
    url += path;
    return Utf8ToWide(url);
}

}  // namespace qs
