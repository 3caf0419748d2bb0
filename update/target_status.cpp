#include "update/target_status.h"

#include <stdexcept>
#include <system_error>

namespace qs {

bool TargetFileExists(const std::filesystem::path& target) {
    namespace fs = std::filesystem;
    if (!target.has_filename())
        throw std::runtime_error("Manifest contains an unsafe path");
    std::error_code error;
    fs::file_status status = fs::status(target, error);
    if (!fs::status_known(status) || (error && status.type() != fs::file_type::not_found))
        throw fs::filesystem_error("exists", target, error);
    if (status.type() == fs::file_type::not_found)
        return false;
    if (fs::is_directory(status))
        throw std::runtime_error("Manifest contains an unsafe path");
    // A FIFO, socket or device would block or feed the digest forever; only files are client files.
    if (!fs::is_regular_file(status))
        throw std::runtime_error("Client file is not a regular file");
    return true;
}

}  // namespace qs
