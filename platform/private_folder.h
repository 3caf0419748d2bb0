#pragma once
// A folder inside a shared temporary folder that other local users can neither enter nor swap,
// for a program that is written, verified and then started.
#include <filesystem>
#include <string>

#include "platform/file_io.h"

namespace qs {

// Where files for `prefix` go under `temporaryFolder`. Linux: "<prefix>-<user id>" (the
// temporary folder is shared by all users); Windows: the temporary folder itself, which belongs
// to the user already.
std::filesystem::path UserFolderIn(const std::filesystem::path& temporaryFolder,
                                   const std::string& prefix);

// Whether a folder, looked at without following links, may hold the program: owned by `user`,
// with mode 0700 exactly.
inline bool IsPrivateFolder(bool isDirectory, unsigned ownerId, unsigned mode, unsigned user) {
    return isDirectory && ownerId == user && mode == 0700;
}

class PrivateFolder {
public:
    PrivateFolder() = default;
    ~PrivateFolder();
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;
    // Creates `folder` when missing (owner-only access), opens it without following links and
    // checks it. False when it is not ours alone.
    bool open(const std::filesystem::path& folder);
    // Creates `name` in the folder as a fresh file. An earlier file of that name is removed
    // first: a program started from it may still be running. False on failure.
    bool createFile(const std::string& name, OutputFile& file);
    // Removes `name` from the folder; failures are ignored.
    void removeFile(const std::string& name) noexcept;
    // The folder's path still names the folder that was checked.
    bool stillSame() const;

private:
    std::filesystem::path path_;
    std::intptr_t handle_ = -1;
};

}  // namespace qs
