#pragma once
#include <filesystem>

namespace qs {

// Whether a resolved manifest target exists. A target that names a folder (the client folder
// itself, a path ending in a separator, an existing directory) throws
// "Manifest contains an unsafe path": the run only ever places files; anything else that is not a
// regular file throws "Client file is not a regular file" (the run names the file). A status that
// cannot be read throws a filesystem_error naming "exists".
bool TargetFileExists(const std::filesystem::path& target);

}  // namespace qs
