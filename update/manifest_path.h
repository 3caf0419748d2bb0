#pragma once
#include <filesystem>
#include <string>
#include <string_view>

// Removes one leading '/' when the path has at least two characters and the second is not '/'.
std::string TrimLeadingSlash(std::string_view manifestPath);

// Joins a trimmed manifest path to the weakly canonical client folder and proves the result
// lies strictly under it. Throws "Manifest contains an unsafe path",
// "Manifest path escapes client directory", "Invalid UTF-8" or a filesystem_error.
std::filesystem::path ResolveManifestPath(const std::filesystem::path& clientDir,
                                          std::string_view trimmedPath);
