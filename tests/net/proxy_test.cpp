// Requests through the proxy the player's system names, certificate checks still on.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <cstdint>
#include <string>
#include <vector>

#include "connect_proxy.h"
#include "net/https.h"
#include "platform/proxy_plan.h"
#include "scratch.h"
#include "tools/standin/service.h"

namespace qs {
namespace {

using test::ConnectProxy;
using test::TestService;

TEST(ProxyPlan, FollowsWhatTheSystemReports) {
    using enum ProxySessionKind;
    struct Case {
        bool automatic;
        std::optional<UserProxySettings> user;
        ProxyPlan plan;
    };
    const Case cases[] = {
        // The system resolves everything itself where it can.
        {true, UserProxySettings{true, true, true}, {SystemAutomatic, false}},
        {true, std::nullopt, {SystemAutomatic, false}},
        // Otherwise detection and script first, the proxy server when they give nothing.
        {false, std::nullopt, {MachineDefault, false}},
        {false, UserProxySettings{}, {MachineDefault, false}},
        {false, UserProxySettings{false, false, true}, {UserNamedProxy, false}},
        {false, UserProxySettings{true, false, false}, {MachineDefault, true}},
        {false, UserProxySettings{false, true, false}, {MachineDefault, true}},
        {false, UserProxySettings{true, true, true}, {UserNamedProxy, true}},
    };
    for (const Case& c : cases) {
        const ProxyPlan plan = PlanProxy(c.automatic, c.user);
        EXPECT_TRUE(plan == c.plan) << static_cast<int>(plan.session) << plan.discover;
    }
}

std::string StatusThrough(const TestService& service) {
    const std::vector<std::uint8_t> body =
        HttpsRequest(service.url("/status.php"), L"GET", "", service.endpoint());
    return std::string(body.begin(), body.end());
}

#ifdef _WIN32
// The current user's proxy as Internet Options keep it (every program of the user reads it),
// restored afterwards.
class UserProxyOverride {
public:
    static constexpr DWORD kNamedProxy = 0x2, kScript = 0x4;
    UserProxyOverride(DWORD flags, const std::string& proxy, const std::string& script) {
        RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                        &key_, nullptr);
        DWORD size = 0;
        if (RegQueryValueExW(key_, kValue, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
            saved_.resize(size);
            RegQueryValueExW(key_, kValue, nullptr, nullptr, saved_.data(), &size);
            hadValue_ = true;
        }
        // Version, change counter, flags, then proxy, bypass list and script address.
        std::vector<BYTE> blob;
        auto add = [&](DWORD word) {
            blob.insert(blob.end(), reinterpret_cast<BYTE*>(&word),
                        reinterpret_cast<BYTE*>(&word) + 4);
        };
        auto addText = [&](const std::string& text) {
            add(static_cast<DWORD>(text.size()));
            blob.insert(blob.end(), text.begin(), text.end());
        };
        add(0x46);
        add(1);
        add(flags | 0x1);
        addText(proxy);
        addText("");
        addText(script);
        blob.resize(blob.size() + 32);
        RegSetValueExW(key_, kValue, 0, REG_BINARY, blob.data(), static_cast<DWORD>(blob.size()));
    }
    ~UserProxyOverride() {
        if (hadValue_)
            RegSetValueExW(key_, kValue, 0, REG_BINARY, saved_.data(),
                           static_cast<DWORD>(saved_.size()));
        else
            RegDeleteValueW(key_, kValue);
        RegCloseKey(key_);
    }

private:
    static constexpr wchar_t kKey[] =
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
    static constexpr wchar_t kValue[] = L"DefaultConnectionSettings";
    HKEY key_ = nullptr;
    std::vector<BYTE> saved_;
    bool hadValue_ = false;
};

TEST(SystemProxy, RequestsGoThroughTheUsersProxyServer) {
    TestService service;
    service.setStatusJson(R"({"online":true})");
    ConnectProxy proxy;
    const UserProxyOverride settings(UserProxyOverride::kNamedProxy,
                                     "127.0.0.1:" + std::to_string(proxy.port()), "");
    EXPECT_EQ(StatusThrough(service), R"({"online":true})");
    EXPECT_EQ(proxy.tunnels(),
              std::vector<std::string>{"localhost:" + std::to_string(service.port())});
}

TEST(SystemProxy, RequestsGoThroughTheProxyTheScriptNames) {
    TestService service;
    service.setStatusJson(R"({"online":true})");
    ConnectProxy proxy;
    const UserProxyOverride settings(
        UserProxyOverride::kScript, "",
        "http://127.0.0.1:" + std::to_string(proxy.port()) + "/proxy.pac");
    EXPECT_EQ(StatusThrough(service), R"({"online":true})");
    EXPECT_GE(proxy.scriptRequests(), 1);
    EXPECT_EQ(proxy.tunnels(),
              std::vector<std::string>{"localhost:" + std::to_string(service.port())});
}
#else
// libcurl takes the proxy from the environment, as the README tells players.
TEST(SystemProxy, RequestsGoThroughTheProxyOfTheEnvironment) {
    TestService service;
    service.setStatusJson(R"({"online":true})");
    ConnectProxy proxy;
    const ScopedEnv noBypass("no_proxy", std::nullopt);
    const ScopedEnv noBypassUpper("NO_PROXY", std::nullopt);
    const ScopedEnv https("https_proxy", "http://127.0.0.1:" + std::to_string(proxy.port()));
    EXPECT_EQ(StatusThrough(service), R"({"online":true})");
    EXPECT_EQ(proxy.tunnels(),
              std::vector<std::string>{"localhost:" + std::to_string(service.port())});
}
#endif

}  // namespace
}  // namespace qs
