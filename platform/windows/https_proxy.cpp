#include "platform/windows/https_proxy.h"

#include <atomic>
#include <chrono>
#include <optional>

#include "platform/proxy_plan.h"

namespace qs {

namespace {

using Clock = std::chrono::steady_clock;

// Detection on a network without it takes a while each time: after it found nothing, sessions
// opened within this time skip it.
constexpr auto kDetectionRest = std::chrono::minutes(5);
std::atomic<Clock::rep> detectionFoundNothingAt{0};

bool DetectionResting() {
    const Clock::rep at = detectionFoundNothingAt.load();
    return at != 0 && Clock::now() - Clock::time_point(Clock::duration(at)) < kDetectionRest;
}

// Wine's WinHTTP takes the automatic type but resolves nothing with it (every request goes out
// directly), so there the user's settings are read as on Windows before 8.1.
bool RunsUnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// The texts the system hands out are the receiver's to free.
void FreeTexts(std::initializer_list<LPWSTR> texts) {
    for (LPWSTR text : texts)
        if (text)
            GlobalFree(text);
}

struct UserConfig {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    bool read = WinHttpGetIEProxyConfigForCurrentUser(&config) != FALSE;
    ~UserConfig() {
        FreeTexts({config.lpszAutoConfigUrl, config.lpszProxy, config.lpszProxyBypass});
    }
    UserConfig() = default;
    UserConfig(const UserConfig&) = delete;
    UserConfig& operator=(const UserConfig&) = delete;
};

struct FoundProxy {
    WINHTTP_PROXY_INFO info{};
    ~FoundProxy() { FreeTexts({info.lpszProxy, info.lpszProxyBypass}); }
    FoundProxy() = default;
    FoundProxy(const FoundProxy&) = delete;
    FoundProxy& operator=(const FoundProxy&) = delete;
};

bool HasText(LPCWSTR text) {
    return text && *text;
}

// Request sessions are asynchronous, so a cancel can close a blocked request as documented; the
// proxy lookup's own session stays synchronous, as WinHttpGetProxyForUrl expects.
HINTERNET Open(const std::wstring& userAgent, DWORD access, LPCWSTR proxy, LPCWSTR bypass,
               DWORD flags = WINHTTP_FLAG_ASYNC) {
    return WinHttpOpen(userAgent.c_str(), access, HasText(proxy) ? proxy : WINHTTP_NO_PROXY_NAME,
                       HasText(bypass) ? bypass : WINHTTP_NO_PROXY_BYPASS, flags);
}

// What detection and the configuration script say for `url`: a proxy list or a direct
// connection; false when they say nothing.
bool Discover(const std::wstring& userAgent, const std::wstring& url, bool autoDetect,
              LPCWSTR scriptUrl, FoundProxy& found) {
    WINHTTP_AUTOPROXY_OPTIONS options{};
    if (autoDetect && !DetectionResting()) {
        options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    if (HasText(scriptUrl)) {
        options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = scriptUrl;
    }
    if (options.dwFlags == 0)
        return false;
    // The script's server may ask who the user is; the system answers for the logged-on user.
    options.fAutoLogonIfChallenged = TRUE;
    const HINTERNET lookup = Open(userAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    if (!lookup)
        return false;
    const bool answered = WinHttpGetProxyForUrl(lookup, url.c_str(), &options, &found.info);
    const DWORD error = GetLastError();
    WinHttpCloseHandle(lookup);
    if (!answered && error == ERROR_WINHTTP_AUTODETECTION_FAILED)
        detectionFoundNothingAt = Clock::now().time_since_epoch().count();
    return answered;
}

}  // namespace

HINTERNET OpenProxiedSession(const std::wstring& userAgent, const std::wstring& url) {
    if (!RunsUnderWine()) {
        // Windows 8.1 and later: detection, script, proxy server and bypass list as the user set
        // them, resolved by the system for each request. Older systems refuse the type.
        if (HINTERNET session =
                Open(userAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, nullptr, nullptr))
            return session;
    }
    const UserConfig user;
    std::optional<UserProxySettings> settings;
    if (user.read)
        settings = UserProxySettings{user.config.fAutoDetect != FALSE,
                                     HasText(user.config.lpszAutoConfigUrl),
                                     HasText(user.config.lpszProxy)};
    const ProxyPlan plan = PlanProxy(false, settings);
    if (plan.discover) {
        FoundProxy found;
        if (Discover(userAgent, url, settings->autoDetect, user.config.lpszAutoConfigUrl, found))
            return found.info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY
                       ? Open(userAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, found.info.lpszProxy,
                              found.info.lpszProxyBypass)
                       : Open(userAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr);
    }
    if (plan.session == ProxySessionKind::UserNamedProxy)
        return Open(userAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, user.config.lpszProxy,
                    user.config.lpszProxyBypass);
    return Open(userAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, nullptr, nullptr);
}

}  // namespace qs
