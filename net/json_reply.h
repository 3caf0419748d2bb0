#pragma once
// Every service reply is JSON. A document costs many times the bytes of a deeply nested reply
// (each level a value, a container and parser stack entries), so a reply's nesting is measured
// first, in one pass that builds nothing, and a reply nested deeper than any real document is
// refused before the parser sees it.
#include <cstddef>
#include <nlohmann/json.hpp>
#include <string_view>

namespace qs {

// The service's documents nest three or four levels deep.
inline constexpr std::size_t kJsonReplyMaxDepth = 64;

// True when no byte of `reply` lies inside more than `maxDepth` arrays and objects; brackets
// inside strings do not count.
bool JsonReplyDepthWithin(std::string_view reply, std::size_t maxDepth = kJsonReplyMaxDepth);

// A wide reply costs too: every value is a node of tens of bytes however few bytes it took, so a
// cap of tiny values ("[0,0,...]", {"a":"","b":"",...}) would build a structure dozens of times
// its size. The count is an upper bound taken in the same pass: separators plus containers.
inline constexpr std::size_t kJsonReplyUnlimitedValues = static_cast<std::size_t>(-1);
// A manifest lists each file twice at most ("files" and "sizes"): half a million files.
inline constexpr std::size_t kManifestMaxValues = 1'000'000;
// The release document has four members.
inline constexpr std::size_t kReleaseMaxValues = 10'000;
bool JsonReplyValuesWithin(std::string_view reply, std::size_t maxValues);

// nlohmann::json::parse (strict, with exceptions) once depth and size are within the limits;
// otherwise throws std::runtime_error("JSON reply is nested too deeply") or
// ("JSON reply has too many values").
nlohmann::json ParseJsonReply(std::string_view reply,
                              nlohmann::json::parser_callback_t callback = nullptr,
                              std::size_t maxValues = kJsonReplyUnlimitedValues);

// The same without exceptions: a reply nested too deeply or not valid JSON gives a discarded
// value, as the library's parse does with exceptions off.
nlohmann::json ParseJsonReplyOrDiscarded(std::string_view reply,
                                         nlohmann::json::parser_callback_t callback = nullptr);

}  // namespace qs
