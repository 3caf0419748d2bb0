#pragma once
#include <filesystem>
#include <string>
#include <string_view>

namespace qs {

// Removes one leading '/' when the path has at least two characters and the second is not '/'.
std::string TrimLeadingSlash(std::string_view manifestPath);
// The same without a copy.
std::string_view WithoutLeadingSlash(std::string_view manifestPath);

// A path segment Windows would not store under its own name: a device name (CON, PRN, AUX, NUL,
// COM1-COM9, LPT1-LPT9, with or without an extension, any case) or a name that ends in a period
// or a space, which Windows silently strips. "." and ".." are not names and are left to the caller.
bool IsWindowsAliasedSegment(std::string_view segment);

// Joins a trimmed manifest path to the weakly canonical client folder and proves the result
// lies strictly under it. On Windows a segment that IsWindowsAliasedSegment is refused as unsafe
// too: it would read or write a device or another file. Throws "Manifest contains an unsafe path",
// "Manifest path escapes client directory", "Invalid UTF-8" or a filesystem_error.
std::filesystem::path ResolveManifestPath(const std::filesystem::path& clientDir,
                                          std::string_view trimmedPath);

// The weakly canonical form of the client folder, as ResolveManifestPath makes it.
std::filesystem::path ClientBase(const std::filesystem::path& clientDir);

// ResolveManifestPath beneath a base ClientBase already made: a plan resolves every manifest path
// against one base instead of resolving the client folder again for each.
std::filesystem::path ResolveManifestPathUnder(const std::filesystem::path& base,
                                               std::string_view trimmedPath);

}  // namespace qs
