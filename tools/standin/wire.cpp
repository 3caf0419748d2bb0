#include "tools/standin/wire.h"

#include <stdexcept>

#include "update/digest.h"

namespace qs::test::wire {
namespace {

using nlohmann::json;

// Header names and paths may carry any bytes; a control message must stay valid UTF-8.
json Text(const std::string& text) {
    return json::parse(json(text).dump(-1, ' ', false, json::error_handler_t::replace));
}

json Pairs(const std::vector<std::pair<std::string, std::string>>& pairs) {
    json list = json::array();
    for (const auto& [name, value] : pairs)
        list.push_back({Text(name), Text(value)});
    return list;
}

std::vector<std::pair<std::string, std::string>> PairsFrom(const json& list) {
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const auto& pair : list)
        pairs.emplace_back(pair.at(0).get<std::string>(), pair.at(1).get<std::string>());
    return pairs;
}

constexpr std::pair<Fault::Kind, const char*> kKinds[] = {
    {Fault::Kind::Status, "status"},
    {Fault::Kind::Redirect, "redirect"},
    {Fault::Kind::Truncate, "truncate"},
    {Fault::Kind::WrongBytes, "wrong"},
    {Fault::Kind::Drip, "drip"},
    {Fault::Kind::Stall, "stall"},
    {Fault::Kind::IgnoreRange, "ignorerange"},
    {Fault::Kind::WrongRange, "wrongrange"},
    {Fault::Kind::Slow, "slow"},
    {Fault::Kind::Limit, "limit"},
    {Fault::Kind::Endless, "endless"},
    {Fault::Kind::NotJson, "notjson"},
    {Fault::Kind::GzipBomb, "gzipbomb"},
};

}  // namespace

std::string ToHex(std::string_view bytes) {
    static const char* digits = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (unsigned char byte : bytes) {
        hex += digits[byte >> 4];
        hex += digits[byte & 15];
    }
    return hex;
}

std::string FromHex(std::string_view hex) {
    if (hex.size() % 2 != 0)
        throw std::invalid_argument("hex text of odd length");
    const auto value = [](char c) {
        const int digit = HexDigitValue(c);
        if (digit < 0)
            throw std::invalid_argument("not a hex digit");
        return digit;
    };
    std::string bytes;
    bytes.reserve(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2)
        bytes += static_cast<char>(value(hex[i]) << 4 | value(hex[i + 1]));
    return bytes;
}

nlohmann::json FaultToJson(const Fault& fault) {
    json out{{"status", fault.status},
             {"location", Text(fault.location)},
             {"bytes", fault.bytes},
             {"intervalMs", fault.interval.count()},
             {"times", fault.times}};
    for (const auto& [kind, name] : kKinds)
        if (kind == fault.kind)
            out["kind"] = name;
    if (fault.body)
        out["body"] = ToHex(*fault.body);
    return out;
}

Fault FaultFromJson(const nlohmann::json& in) {
    Fault fault;
    const std::string kindName = in.at("kind").get<std::string>();
    bool known = false;
    for (const auto& [kind, name] : kKinds)
        if (kindName == name) {
            fault.kind = kind;
            known = true;
        }
    if (!known)
        throw std::invalid_argument("unknown fault kind " + kindName);
    fault.status = in.value("status", 200);
    fault.location = in.value("location", "");
    fault.bytes = in.value("bytes", 0LL);
    fault.interval = std::chrono::milliseconds(in.value("intervalMs", 0LL));
    fault.times = in.value("times", -1);
    if (in.contains("body"))
        fault.body = FromHex(in.at("body").get<std::string>());
    return fault;
}

nlohmann::json ReplyToJson(const Reply& reply) {
    return {{"status", reply.status},
            {"body", ToHex(reply.body)},
            {"contentType", Text(reply.contentType)},
            {"headers", Pairs(reply.headers)}};
}

Reply ReplyFromJson(const nlohmann::json& in) {
    Reply reply;
    reply.status = in.value("status", 200);
    reply.body = FromHex(in.value("body", ""));
    reply.contentType = in.value("contentType", "application/json");
    if (in.contains("headers"))
        reply.headers = PairsFrom(in.at("headers"));
    return reply;
}

nlohmann::json RequestToJson(const RecordedRequest& request) {
    return {{"method", Text(request.method)},
            {"target", Text(request.target)},
            {"path", Text(request.path)},
            {"headers", Pairs(request.headers)},
            {"body", ToHex(request.body)}};
}

RecordedRequest RequestFromJson(const nlohmann::json& in) {
    RecordedRequest request;
    request.method = in.at("method").get<std::string>();
    request.target = in.at("target").get<std::string>();
    request.path = in.at("path").get<std::string>();
    request.headers = PairsFrom(in.at("headers"));
    request.body = FromHex(in.at("body").get<std::string>());
    return request;
}

}  // namespace qs::test::wire
