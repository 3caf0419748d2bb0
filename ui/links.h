#pragma once
// The community, web site and trailer addresses; all live on the service host.
#include <string>

#include "net/service.h"
#include "platform/wide_text.h"

namespace qs {

inline std::string CommunityInviteUrl(const ServiceEndpoint& service = BuiltInService()) {
    return WideToUtf8(ServiceUrl(service, "/discord"));
}

inline std::string WebSiteUrl(const ServiceEndpoint& service = BuiltInService()) {
    return WideToUtf8(ServiceUrl(service, "/"));
}

inline std::string TrailerUrl(const ServiceEndpoint& service = BuiltInService()) {
    return WideToUtf8(ServiceUrl(service, "/trailer"));
}

}  // namespace qs
