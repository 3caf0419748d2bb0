#pragma once
// Which proxy the requests of a Windows session go through, decided from what the system reports.
// Offices and schools set a proxy per user (Internet Options), often as automatic detection or a
// configuration script; the machine-wide WinHTTP setting is almost never set.
#include <optional>

namespace qs {

// The current user's proxy settings as the system reports them.
struct UserProxySettings {
    bool autoDetect = false;    // "Automatically detect settings" (WPAD)
    bool configScript = false;  // "Use automatic configuration script" (a PAC address)
    bool namedProxy = false;    // "Use a proxy server", with its bypass list
};

// Where the requests of a session find their proxy when detection and script give no answer.
enum class ProxySessionKind {
    SystemAutomatic,  // the system resolves the user's settings itself, per request
    UserNamedProxy,   // the user's proxy server and bypass list
    MachineDefault,   // the machine-wide WinHTTP setting: usually a direct connection
};

struct ProxyPlan {
    ProxySessionKind session = ProxySessionKind::MachineDefault;
    // The service's address is put to detection and the script first; the session's proxy
    // serves when they give no answer.
    bool discover = false;
    bool operator==(const ProxyPlan&) const = default;
};

// `automaticAvailable`: the system resolves proxies itself (Windows 8.1 and later); `user`: the
// user's settings, nullopt when they cannot be read.
ProxyPlan PlanProxy(bool automaticAvailable, const std::optional<UserProxySettings>& user);

}  // namespace qs
