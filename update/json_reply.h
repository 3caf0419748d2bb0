#pragma once
// Every service reply is JSON. A document costs many times the bytes of a deeply nested reply
// (each level a value, a container and parser stack entries), so a reply's nesting is measured
// first, in one pass that builds nothing, and a reply nested deeper than any real document is
// refused before the parser sees it.
#include <cstddef>
#include <nlohmann/json.hpp>
#include <string_view>

// The service's documents nest three or four levels deep.
inline constexpr std::size_t kJsonReplyMaxDepth = 64;

// True when no byte of `reply` lies inside more than `maxDepth` arrays and objects; brackets
// inside strings do not count.
bool JsonReplyDepthWithin(std::string_view reply, std::size_t maxDepth = kJsonReplyMaxDepth);

// nlohmann::json::parse (strict, with exceptions) once the depth is within the limit; otherwise
// throws std::runtime_error("JSON reply is nested too deeply").
nlohmann::json ParseJsonReply(std::string_view reply,
                              nlohmann::json::parser_callback_t callback = nullptr);

// The same without exceptions: a reply nested too deeply or not valid JSON gives a discarded
// value, as the library's parse does with exceptions off.
nlohmann::json ParseJsonReplyOrDiscarded(std::string_view reply,
                                         nlohmann::json::parser_callback_t callback = nullptr);
