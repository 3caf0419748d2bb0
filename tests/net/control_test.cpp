// The stand-in's control port, as the Windows tests use it: services made and driven by JSON
// commands, and the message encoding those commands share with the control-port client.
#include "tools/standin/control.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>

#include "net/https.h"
#include "tools/standin/wire.h"

using namespace qs;

namespace {

using nlohmann::json;
using qs::test::Fault;

json Command(std::uint16_t port, const json& command, int expectedStatus = 200) {
    httplib::Client client("127.0.0.1", port);
    const auto reply = client.Post("/control", command.dump(), "application/json");
    EXPECT_TRUE(reply);
    if (!reply)
        return {};
    EXPECT_EQ(reply->status, expectedStatus) << reply->body;
    return json::parse(reply->body);
}

TEST(StandInWire, FaultsRepliesAndRequestsSurviveTheTrip) {
    const std::string binary("\x00\xFF\x80 bytes\r\n", 10);
    Fault fault = Fault::drip(std::chrono::milliseconds(250), 7);
    fault.withBody(binary);
    const Fault back = qs::test::wire::FaultFromJson(qs::test::wire::FaultToJson(fault));
    EXPECT_EQ(back.kind, Fault::Kind::Drip);
    EXPECT_EQ(back.bytes, 7);
    EXPECT_EQ(back.interval, std::chrono::milliseconds(250));
    EXPECT_EQ(back.body, binary);

    const qs::test::Reply reply{418, binary, "text/plain", {{"Set-Cookie", "a=b"}}};
    const auto replyBack = qs::test::wire::ReplyFromJson(qs::test::wire::ReplyToJson(reply));
    EXPECT_EQ(replyBack.status, 418);
    EXPECT_EQ(replyBack.body, binary);
    EXPECT_EQ(replyBack.headers, reply.headers);

    qs::test::RecordedRequest request{"POST", "/a%20b?x", "/a b", {{"Host", "h"}}, binary};
    const auto requestBack =
        qs::test::wire::RequestFromJson(qs::test::wire::RequestToJson(request));
    EXPECT_EQ(requestBack.target, request.target);
    EXPECT_EQ(requestBack.headers, request.headers);
    EXPECT_EQ(requestBack.body, binary);
    EXPECT_THROW(qs::test::wire::FromHex("abc"), std::invalid_argument);
    EXPECT_THROW(qs::test::wire::FromHex("zz"), std::invalid_argument);
}

TEST(StandInControl, MakesDrivesAndDropsServices) {
    InitializeHttps();
    const auto& authority = qs::test::TestAuthority::shared();
    qs::test::ControlChannel control(authority, nullptr, 0);
    const json created = Command(control.port(), {{"op", "create"}, {"certificate", "trusted"}});
    const ServiceEndpoint endpoint{"localhost", created.at("port").get<std::uint16_t>(),
                                   created.at("caPem").get<std::string>()};
    const long long id = created.at("id").get<long long>();

    Command(control.port(), {{"op", "setResource"},
                             {"id", id},
                             {"path", "/status.php"},
                             {"bytes", qs::test::wire::ToHex("{}")},
                             {"contentType", "application/json"}});
    EXPECT_EQ(LiveHttpsGet(ServiceUrl(endpoint, "/status.php"), kStatusMaxBytes, endpoint), "{}");
    Command(control.port(),
            {{"op", "setFault"},
             {"id", id},
             {"path", "/status.php"},
             {"fault", qs::test::wire::FaultToJson(Fault::replyStatus(503, "down"))}});
    EXPECT_EQ(LiveHttpsGet(ServiceUrl(endpoint, "/status.php"), kStatusMaxBytes, endpoint), "down");

    const json seen = Command(control.port(), {{"op", "requests"}, {"id", id}});
    ASSERT_EQ(seen.at("requests").size(), 2u);
    EXPECT_EQ(seen.at("requests")[0].at("path"), "/status.php");

    EXPECT_EQ(Command(control.port(), {{"op", "nonsense"}, {"id", id}}, 400).at("error"),
              "unknown op nonsense");
    Command(control.port(), {{"op", "destroy"}, {"id", id}});
    EXPECT_EQ(Command(control.port(), {{"op", "requests"}, {"id", id}}, 400).at("error"),
              "no service " + std::to_string(id));
    // The folder's service (id 0) exists only when the stand-in has one.
    Command(control.port(), {{"op", "requests"}, {"id", 0}}, 400);
}

}  // namespace
