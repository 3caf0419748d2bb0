#pragma once
// The community, web site and trailer addresses; all live on the service host.
#include <string>

#include "update/service.h"
#include "update/text.h"

inline std::string CommunityInviteUrl(const ServiceEndpoint& service = BuiltInService()) {
    return WideToUtf8(ServiceUrl(service, "/discord"));
}

inline std::string WebSiteUrl(const ServiceEndpoint& service = BuiltInService()) {
    return WideToUtf8(ServiceUrl(service, "/"));
}

inline std::string TrailerUrl(const ServiceEndpoint& service = BuiltInService()) {
    return WideToUtf8(ServiceUrl(service, "/trailer"));
}
