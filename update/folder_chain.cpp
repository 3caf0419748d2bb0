#include "update/folder_chain.h"

namespace qs {

namespace {

using Char = std::filesystem::path::value_type;

bool IsSeparator(Char c) {
    return c == Char('/') || c == std::filesystem::path::preferred_separator;
}

// True when `folder` lies at or beneath `prefix` by whole names.
bool StartsWithNames(NativeView folder, NativeView prefix) {
    return folder.starts_with(prefix) &&
           (folder.size() == prefix.size() || IsSeparator(folder[prefix.size()]));
}

}  // namespace

const FolderHandle* FolderChain::reach(NativeView folder) {
    std::size_t kept = 0;
    while (kept < ends_.size() &&
           StartsWithNames(folder, NativeView(reached_).substr(0, ends_[kept])))
        ++kept;
    open_.resize(kept);
    ends_.resize(kept);
    reached_.resize(kept ? ends_.back() : 0);

    std::size_t at = reached_.size();
    while (at < folder.size()) {
        if (IsSeparator(folder[at]))
            ++at;
        std::size_t end = at;
        while (end < folder.size() && !IsSeparator(folder[end]))
            ++end;
        if (end == at)
            continue;
        // NUL-terminated for the system call.
        const std::filesystem::path::string_type name(folder.substr(at, end - at));
        FolderHandle child;
        if (!child.openChild(open_.empty() ? root_ : open_.back(), name.c_str()))
            return nullptr;
        open_.push_back(std::move(child));
        reached_.assign(folder.substr(0, end));
        ends_.push_back(end);
        at = end;
    }
    return open_.empty() ? &root_ : &open_.back();
}

TargetParts SplitTarget(NativeView relative) {
    std::size_t slash = relative.size();
    while (slash > 0 && !IsSeparator(relative[slash - 1]))
        --slash;
    return {relative.substr(0, slash ? slash - 1 : 0), relative.substr(slash)};
}

}  // namespace qs
