#include "platform/long_path.h"

#include <vector>

namespace qs {

namespace {

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool IsDriveLetter(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

// `rest` split at separators, empty and "." segments dropped and ".." taking the segment before
// it (never past the root, as Windows does), joined with '\'.
std::wstring NormalSegments(std::wstring_view rest) {
    std::vector<std::wstring_view> segments;
    std::size_t start = 0;
    while (start <= rest.size()) {
        std::size_t end = start;
        while (end < rest.size() && !IsSeparator(rest[end]))
            ++end;
        const std::wstring_view segment = rest.substr(start, end - start);
        if (segment == L"..") {
            if (!segments.empty())
                segments.pop_back();
        } else if (!segment.empty() && segment != L".") {
            segments.push_back(segment);
        }
        start = end + 1;
    }
    std::wstring joined;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        if (i > 0)
            joined += L'\\';
        joined += segments[i];
    }
    return joined;
}

// Some calls (the free space of a share) want a folder named with its closing separator.
std::wstring KeepTrailingSeparator(std::wstring_view original, std::wstring extended) {
    if (IsSeparator(original.back()) && extended.back() != L'\\')
        extended += L'\\';
    return extended;
}

}  // namespace

std::wstring ExtendedLengthPath(std::wstring_view path) {
    const bool drive =
        path.size() >= 3 && IsDriveLetter(path[0]) && path[1] == L':' && IsSeparator(path[2]);
    if (drive) {
        std::wstring extended = std::wstring(L"\\\\?\\") + path[0] + L":\\";
        extended += NormalSegments(path.substr(3));
        return KeepTrailingSeparator(path, std::move(extended));
    }
    // "\\?\", "\\.\" and "\??\" already name the object as the system sees it.
    const bool unc = path.size() >= 3 && IsSeparator(path[0]) && IsSeparator(path[1]) &&
                     path[2] != L'?' && path[2] != L'.' && !IsSeparator(path[2]);
    if (!unc)
        return std::wstring(path);
    // Server and share are the root: ".." stops there.
    std::wstring_view rest = path.substr(2);
    std::size_t server = 0;
    while (server < rest.size() && !IsSeparator(rest[server]))
        ++server;
    std::size_t share = server + 1;
    while (share < rest.size() && !IsSeparator(rest[share]))
        ++share;
    if (server >= rest.size() || share == server + 1)
        return std::wstring(path);  // no share: not a path a file call can take
    std::wstring extended = L"\\\\?\\UNC\\";
    extended += rest.substr(0, server);
    extended += L'\\';
    extended += rest.substr(server + 1, share - server - 1);
    if (share < rest.size()) {
        const std::wstring tail = NormalSegments(rest.substr(share + 1));
        if (!tail.empty())
            extended += L'\\' + tail;
    }
    return KeepTrailingSeparator(path, std::move(extended));
}

std::filesystem::path ForFileCall(const std::filesystem::path& path) {
#ifdef _WIN32
    return std::filesystem::path(ExtendedLengthPath(path.native()));
#else
    return path;
#endif
}

}  // namespace qs
