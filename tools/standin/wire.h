#pragma once
// The stand-in's control messages: JSON for the fault, reply and request types, so a test
// program on another system (Windows under Wine) drives a stand-in running on this machine.
// Bytes travel as hex text: bodies need not be UTF-8.
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "tools/standin/service.h"

namespace qs::test::wire {

std::string ToHex(std::string_view bytes);
// Throws std::invalid_argument on an odd length or a character that is no hex digit.
std::string FromHex(std::string_view hex);

nlohmann::json FaultToJson(const Fault& fault);
Fault FaultFromJson(const nlohmann::json& json);

nlohmann::json ReplyToJson(const Reply& reply);
Reply ReplyFromJson(const nlohmann::json& json);

nlohmann::json RequestToJson(const RecordedRequest& request);
RecordedRequest RequestFromJson(const nlohmann::json& json);

}  // namespace qs::test::wire
