#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "live/status_poller.h"
#include "live_test_support.h"

namespace {

struct StatusCase {
    const char* name;
    std::string body;
    ServerStatus expected;
};
void PrintTo(const StatusCase& c, std::ostream* out) {
    *out << c.name;
}

ServerStatus Status(bool online, int players, int maxPlayers, bool maintenance,
                    std::string motd = "", std::string serverName = "") {
    return ServerStatus{online,      players,         maxPlayers,
                        maintenance, std::move(motd), std::move(serverName)};
}

class ServerStatusConversion : public ::testing::TestWithParam<StatusCase> {};

TEST_P(ServerStatusConversion, GivesTheRecord) {
    const ServerStatus got = ParseServerStatus(GetParam().body);
    const ServerStatus& want = GetParam().expected;
    EXPECT_EQ(got.online, want.online);
    EXPECT_EQ(got.players, want.players);
    EXPECT_EQ(got.maxPlayers, want.maxPlayers);
    EXPECT_EQ(got.maintenance, want.maintenance);
    EXPECT_EQ(got.motd, want.motd);
    EXPECT_EQ(got.serverName, want.serverName);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServerStatusConversion,
    ::testing::Values(
        StatusCase{
            "AllSixFields",
            R"({"online":true,"players":57,"maxPlayers":500,"maintenance":false,"motd":"Hi \u00e9",)"
            R"("serverName":"Quillon","extra":[1]})",
            Status(true, 57, 500, false, "Hi \xC3\xA9", "Quillon")},
        StatusCase{"StringsWhereTypedValuesExpected",
                   R"({"online":"true","players":"57","maxPlayers":null,"maintenance":1,"motd":5})",
                   Status(false, 0, 0, false)},
        StatusCase{"FloatTruncatesTowardZero", R"({"players":12.9,"maxPlayers":-12.9})",
                   Status(false, 12, -12, false)},
        StatusCase{"NegativeInteger", R"({"players":-3})", Status(false, -3, 0, false)},
        StatusCase{"IntegerKeepsLow32Bits",
                   R"({"players":4294967297,"maxPlayers":18446744073709551615})",
                   Status(false, 1, -1, false)},
        StatusCase{"HugeFloatSaturates", R"({"players":1e300,"maxPlayers":-1e300})",
                   Status(false, INT_MAX, INT_MIN, false)},
        StatusCase{"MaintenanceReply", R"({"online":false,"maintenance":true})",
                   Status(false, 0, 0, true)},
        StatusCase{"ArrayHoldingObject", R"([{"online":true}])", Status(false, 0, 0, false)},
        StatusCase{"TopLevelScalar", R"("online")", Status(false, 0, 0, false)},
        StatusCase{"Null", "null", Status(false, 0, 0, false)},
        StatusCase{"EmptyBody", "", Status(false, 0, 0, false)},
        StatusCase{"HtmlErrorPage", "<html><body>502 Bad Gateway</body></html>",
                   Status(false, 0, 0, false)},
        StatusCase{"TruncatedObject", R"({"online":true,"players":5)", Status(false, 0, 0, false)},
        StatusCase{"TrailingGarbage", R"({"online":true} x)", Status(false, 0, 0, false)},
        StatusCase{"CommentRefused", "{\"online\":true} // up", Status(false, 0, 0, false)},
        StatusCase{"InvalidUtf8Refused", "{\"online\":true,\"motd\":\"\xC3\"}",
                   Status(false, 0, 0, false)},
        StatusCase{"SurroundingWhiteSpace", " \n{\"online\":true}\n ", Status(true, 0, 0, false)}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace

namespace {

TEST(StatusPolling, EveryPollReplacesTheWholeRecord) {
    ScriptedFetch network;
    StatusPoller poller(FakeService(), StatusPollTiming(), network.fetch());
    EXPECT_FALSE(poller.snapshot().online);

    network.answer(R"({"online":true,"players":57,"motd":"m"})");
    poller.pollOnce();
    EXPECT_TRUE(poller.snapshot().online);
    EXPECT_EQ(poller.snapshot().players, 57);

    network.answer(R"({"players":3})");  // "online" missing: back to the default, not kept
    poller.pollOnce();
    EXPECT_FALSE(poller.snapshot().online);
    EXPECT_EQ(poller.snapshot().players, 3);
    EXPECT_EQ(poller.snapshot().motd, "");

    network.answer(R"({"online":true})");
    poller.pollOnce();
    network.answer(std::nullopt);  // a transport failure turns the status offline
    poller.pollOnce();
    EXPECT_FALSE(poller.snapshot().online);

    ASSERT_EQ(network.calls(), 4);
    EXPECT_EQ(network.urls()[0], L"https://news.test:8443/status.php");
}

TEST(StatusPolling, ThrowingFetchPublishesOffline) {
    bool fail = false;
    StatusPoller poller(FakeService(), StatusPollTiming(), [&](const std::wstring&, std::size_t) {
        if (fail)
            throw std::runtime_error("boom");
        return std::optional<std::string>(R"({"online":true})");
    });
    poller.pollOnce();
    EXPECT_TRUE(poller.snapshot().online);
    fail = true;
    poller.pollOnce();
    EXPECT_FALSE(poller.snapshot().online);
}

TEST(StatusAccessor, DefaultWithoutAPollerAndACopyWithOne) {
    SetCurrentStatusPoller(nullptr);
    EXPECT_FALSE(CurrentServerStatus().online);
    ScriptedFetch network;
    network.answer(R"({"online":true,"players":8})");
    StatusPoller poller(FakeService(), StatusPollTiming(), network.fetch());
    poller.pollOnce();
    SetCurrentStatusPoller(&poller);
    EXPECT_EQ(CurrentServerStatus().players, 8);
    SetCurrentStatusPoller(nullptr);
    EXPECT_EQ(CurrentServerStatus().players, 0);
}

}  // namespace
