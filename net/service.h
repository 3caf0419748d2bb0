#pragma once
// The one web service the launcher talks to. Its values are fixed at build time; tests hand
// their own endpoint (a stand-in service on 127.0.0.1 with a test authority) to the code.
#include <cstdint>
#include <string>
#include <string_view>

namespace qs {

struct ServiceEndpoint {
    std::string host;  // ASCII host name, compared ignoring letter case
    std::uint16_t port = 443;
    std::string
        caPem;  // PEM of the authorities to trust instead of the system store; empty: system store
    // The Ed25519 key updates must be signed with (64 hex digits or a PEM public key); empty:
    // updates are not signed, and no signature is asked for.
    std::string updateKey{};
};

// The endpoint compiled into this build (QS_SERVICE_HOST, QS_SERVICE_PORT, QS_SERVICE_CA_FILE,
// QS_UPDATE_PUBLIC_KEY).
const ServiceEndpoint& BuiltInService();

// "https://" + host (+ ":" + port when not 443) + path; path starts with '/'.
std::wstring ServiceUrl(const ServiceEndpoint& service, std::string_view path);

}  // namespace qs
