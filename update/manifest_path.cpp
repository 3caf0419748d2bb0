#include "update/manifest_path.h"

#include <algorithm>
#include <stdexcept>

#include "platform/wide_text.h"

namespace qs {

std::string_view WithoutLeadingSlash(std::string_view manifestPath) {
    if (manifestPath.size() >= 2 && manifestPath[0] == '/' && manifestPath[1] != '/')
        manifestPath.remove_prefix(1);
    return manifestPath;
}

std::string TrimLeadingSlash(std::string_view manifestPath) {
    return std::string(WithoutLeadingSlash(manifestPath));
}

bool IsWindowsAliasedSegment(std::string_view segment) {
    if (segment.empty() || segment == "." || segment == "..")
        return false;
    if (segment.back() == '.' || segment.back() == ' ')
        return true;
    // Windows ignores the extension and trailing spaces before it when it matches device names.
    std::string_view stem = segment.substr(0, segment.find('.'));
    while (!stem.empty() && stem.back() == ' ')
        stem.remove_suffix(1);
    std::string upper(stem);
    for (char& c : upper)
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    if (upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL")
        return true;
    return upper.size() == 4 && (upper.starts_with("COM") || upper.starts_with("LPT")) &&
           upper[3] >= '1' && upper[3] <= '9';
}

namespace {

void RefuseUnsafePath(std::string_view trimmedPath) {
    auto unsafe = [] { throw std::runtime_error("Manifest contains an unsafe path"); };
    if (trimmedPath.empty())
        unsafe();
    if (trimmedPath.find("..") != std::string_view::npos)
        unsafe();
    if (trimmedPath.find(':') != std::string_view::npos)
        unsafe();
    if (trimmedPath.starts_with("\\\\"))
        unsafe();
    if (trimmedPath[0] == '/' || trimmedPath[0] == '\\')
        unsafe();
#ifdef _WIN32
    for (std::size_t start = 0; start <= trimmedPath.size();) {
        const std::size_t end =
            std::min(trimmedPath.find_first_of("/\\", start), trimmedPath.size());
        if (IsWindowsAliasedSegment(trimmedPath.substr(start, end - start)))
            unsafe();
        start = end + 1;
    }
#endif
}

// The lexically normal join of `relative` beneath `base`. On Linux a relative path and base that
// normalisation would leave as they are (no ".", no empty name, no trailing separator) are joined
// as texts: a plan joins every manifest path. Windows turns separators, so it always normalises.
std::filesystem::path NormalJoin(const std::filesystem::path& base, const std::u8string& relative) {
#ifndef _WIN32
    const std::string& text = base.native();
    const std::u8string_view r = relative;
    if (!text.empty() && text.back() != '/' && !text.starts_with("//") && !r.empty() &&
        r != u8"." && !r.starts_with(u8"./") && !r.ends_with(u8"/.") && r.find(u8"/./") == r.npos &&
        r.find(u8"//") == r.npos)
        return std::filesystem::path(text + '/' + std::string(r.begin(), r.end()));
#endif
    return (base / relative).lexically_normal();
}

std::filesystem::path JoinBeneath(const std::filesystem::path& base, std::string_view trimmedPath) {
    // Refuses ill-formed UTF-8 before the bytes become a path.
    Utf8ToWide(trimmedPath);

    // Manifest paths come from Windows tooling: a backslash separates folders on every system.
    std::u8string relative(trimmedPath.begin(), trimmedPath.end());
    if constexpr (std::filesystem::path::preferred_separator == '/')
        std::replace(relative.begin(), relative.end(), u8'\\', u8'/');
    // A char8_t path is UTF-8 on every system; a wide one would go through the C locale on Linux.
    std::filesystem::path target = NormalJoin(base, relative);

    // Second, independent guard: the whole "base/" prefix, so a sibling such as "base-old" fails.
    std::filesystem::path::string_type prefix = base.native();
    prefix += std::filesystem::path::preferred_separator;
    if (!target.native().starts_with(prefix))
        throw std::runtime_error("Manifest path escapes client directory");
    return target;
}

}  // namespace

std::filesystem::path ClientBase(const std::filesystem::path& clientDir) {
    return std::filesystem::weakly_canonical(clientDir);
}

std::filesystem::path ResolveManifestPath(const std::filesystem::path& clientDir,
                                          std::string_view trimmedPath) {
    RefuseUnsafePath(trimmedPath);
    return JoinBeneath(ClientBase(clientDir), trimmedPath);
}

std::filesystem::path ResolveManifestPathUnder(const std::filesystem::path& base,
                                               std::string_view trimmedPath) {
    RefuseUnsafePath(trimmedPath);
    return JoinBeneath(base, trimmedPath);
}

}  // namespace qs
