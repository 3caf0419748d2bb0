#include "update/manifest_path.h"

#include <algorithm>
#include <stdexcept>

#include "platform/wide_text.h"

namespace qs {

std::string TrimLeadingSlash(std::string_view manifestPath) {
    if (manifestPath.size() >= 2 && manifestPath[0] == '/' && manifestPath[1] != '/')
        manifestPath.remove_prefix(1);
    return std::string(manifestPath);
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

std::filesystem::path ResolveManifestPath(const std::filesystem::path& clientDir,
                                          std::string_view trimmedPath) {
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

    const std::filesystem::path base = std::filesystem::weakly_canonical(clientDir);
    // Refuses ill-formed UTF-8 before the bytes become a path.
    Utf8ToWide(trimmedPath);

    // Manifest paths come from Windows tooling: a backslash separates folders on every system.
    std::u8string relative(trimmedPath.begin(), trimmedPath.end());
    if constexpr (std::filesystem::path::preferred_separator == '/')
        std::replace(relative.begin(), relative.end(), u8'\\', u8'/');
    // A char8_t path is UTF-8 on every system; a wide one would go through the C locale on Linux.
    std::filesystem::path target = (base / relative).lexically_normal();

    // Second, independent guard: the whole "base/" prefix, so a sibling such as "base-old" fails.
    std::filesystem::path::string_type prefix = base.native();
    prefix += std::filesystem::path::preferred_separator;
    if (!target.native().starts_with(prefix))
        throw std::runtime_error("Manifest path escapes client directory");
    return target;
}

}  // namespace qs
