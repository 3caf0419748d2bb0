#pragma once
// The folders of a client reached one name at a time from its root, never through a link, and
// kept open while the files in them are looked at: a walk in folder order opens every folder once
// instead of resolving every file's whole path.
#include <cstddef>
#include <filesystem>
#include <string_view>
#include <vector>

#include "platform/folder_walk.h"

namespace qs {

using NativeView = std::basic_string_view<std::filesystem::path::value_type>;

class FolderChain {
public:
    explicit FolderChain(const FolderHandle& root) : root_(root) {}

    // The handle of `folder`: names below the root joined by separators, empty for the root
    // itself. nullptr when one of its names is missing, not a folder or a link.
    const FolderHandle* reach(NativeView folder);

private:
    const FolderHandle& root_;
    std::vector<FolderHandle> open_;  // open_[i]: the folder of the first i + 1 names reached
    std::vector<std::size_t> ends_;   // where the i + 1 names end in reached_
    std::filesystem::path::string_type reached_;
};

// A target beneath the client folder split into its folder there and the file's name; the name is
// empty for a target that ends in a separator.
struct TargetParts {
    NativeView folder;
    NativeView name;
};
TargetParts SplitTarget(NativeView target);

}  // namespace qs
