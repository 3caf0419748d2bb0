#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <tuple>
#include <vector>

#include "live/status_poller.h"
#include "live_test_support.h"

using namespace qs;

namespace {

auto Fields(const ServerStatus& s) {
    return std::tuple(s.online, s.players, s.maxPlayers, s.maintenance, s.motd, s.serverName);
}

TEST(ParseServerStatus, Table) {
    struct Case {
        const char* name;
        std::string body;
        ServerStatus expected;
    };
    const ServerStatus offline;
    const std::vector<Case> cases = {
        {"all six fields",
         R"({"online":true,"players":57,"maxPlayers":500,"maintenance":false,"motd":"Hi \u00e9",)"
         R"("serverName":"Quillon","extra":[1]})",
         {true, 57, 500, false, "Hi \xC3\xA9", "Quillon"}},
        {"strings where typed values are expected",
         R"({"online":"true","players":"57","maxPlayers":null,"maintenance":1,"motd":5})", offline},
        {"float truncates toward zero",
         R"({"players":12.9,"maxPlayers":-12.9})",
         {false, 12, -12, false, "", ""}},
        {"negative integer", R"({"players":-3})", {false, -3, 0, false, "", ""}},
        {"integer keeps its low 32 bits",
         R"({"players":4294967297,"maxPlayers":18446744073709551615})",
         {false, 1, -1, false, "", ""}},
        {"huge float saturates",
         R"({"players":1e300,"maxPlayers":-1e300})",
         {false, INT_MAX, INT_MIN, false, "", ""}},
        {"array holding an object", R"([{"online":true}])", offline},
        {"empty body", "", offline},
        {"truncated object", R"({"online":true,"players":5)", offline},
        {"trailing garbage", R"({"online":true} x)", offline},
        {"invalid UTF-8", "{\"online\":true,\"motd\":\"\xC3\"}", offline},
        {"nested too deeply",
         R"({"online":true,"x":)" + std::string(70, '[') + std::string(70, ']') + "}", offline},
        {"surrounding white space", " \n{\"online\":true}\n ", {true, 0, 0, false, "", ""}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Fields(ParseServerStatus(c.body)), Fields(c.expected)) << c.name;
}

TEST(StatusPolling, EveryPollReplacesTheWholeRecord) {
    ScriptedFetch network;
    StatusPoller poller(FakeService(), StatusPollTiming(), network.fetch());
    EXPECT_FALSE(poller.snapshot().online);

    network.answer(R"({"online":true,"players":57,"motd":"m"})");
    poller.pollOnce();
    EXPECT_TRUE(poller.snapshot().online);

    network.answer(R"({"players":3})");  // "online" missing: back to the default, not kept
    poller.pollOnce();
    EXPECT_EQ(Fields(poller.snapshot()), Fields(ServerStatus{false, 3, 0, false, "", ""}));

    // A transport failure, or a fetch that throws, turns the status offline.
    for (bool throwing : {false, true}) {
        network.answer(R"({"online":true})");
        poller.pollOnce();
        ASSERT_TRUE(poller.snapshot().online);
        network.answer(std::nullopt, throwing);
        poller.pollOnce();
        EXPECT_FALSE(poller.snapshot().online) << throwing;
    }
}

}  // namespace
