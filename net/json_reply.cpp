#include "net/json_reply.h"

#include <stdexcept>
#include <utility>

namespace qs {

bool JsonReplyDepthWithin(std::string_view reply, std::size_t maxDepth) {
    std::size_t depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < reply.size(); ++i) {
        const char byte = reply[i];
        if (inString) {
            if (byte == '\\')
                ++i;  // the escaped byte can be a quote
            else if (byte == '"')
                inString = false;
            continue;
        }
        switch (byte) {
            case '"':
                inString = true;
                break;
            case '[':
            case '{':
                if (++depth > maxDepth)
                    return false;
                break;
            case ']':
            case '}':
                // A stray closer makes the reply invalid; the parser says so.
                if (depth > 0)
                    --depth;
                break;
            default:
                break;
        }
    }
    return true;
}

bool JsonReplyValuesWithin(std::string_view reply, std::size_t maxValues) {
    std::size_t values = 1;
    bool inString = false;
    for (std::size_t i = 0; i < reply.size(); ++i) {
        const char byte = reply[i];
        if (inString) {
            if (byte == '\\')
                ++i;
            else if (byte == '"')
                inString = false;
            continue;
        }
        if (byte == '"')
            inString = true;
        else if ((byte == ',' || byte == '[' || byte == '{') && ++values > maxValues)
            return false;
    }
    return true;
}

nlohmann::json ParseJsonReply(std::string_view reply, nlohmann::json::parser_callback_t callback,
                              std::size_t maxValues) {
    if (!JsonReplyDepthWithin(reply))
        throw std::runtime_error("JSON reply is nested too deeply");
    if (maxValues != kJsonReplyUnlimitedValues && !JsonReplyValuesWithin(reply, maxValues))
        throw std::runtime_error("JSON reply has too many values");
    return nlohmann::json::parse(reply, std::move(callback));
}

nlohmann::json ParseJsonReplyOrDiscarded(std::string_view reply,
                                         nlohmann::json::parser_callback_t callback) {
    if (!JsonReplyDepthWithin(reply))
        return nlohmann::json(nlohmann::json::value_t::discarded);
    return nlohmann::json::parse(reply, std::move(callback), /*allow_exceptions=*/false);
}

}  // namespace qs
