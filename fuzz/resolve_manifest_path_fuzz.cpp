// Whatever a manifest names, an accepted path lies under "<base>/" with no ".." component, in
// normal form; a refused one fails with one of the documented messages.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

#include "update/manifest_path.h"

using namespace qs;

namespace fs = std::filesystem;

namespace {

// One client folder for the whole run, removed at exit. Its sibling "base-old" shares the name
// prefix, so a plain string prefix test would let paths into it.
struct ClientFolder {
    fs::path root;
    fs::path base;
    ClientFolder() {
        std::string pattern = (fs::temp_directory_path() / "qs-fuzz-path-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            std::abort();
        root = pattern;
        base = root / "base";
        fs::create_directory(base);
        fs::create_directory(root / "base-old");
        base = fs::weakly_canonical(base);
    }
    ~ClientFolder() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
};

bool IsDocumentedRefusal(std::string_view message) {
    return message == "Manifest contains an unsafe path" ||
           message == "Manifest path escapes client directory" || message == "Invalid UTF-8";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const ClientFolder folder;
    const std::string trimmed =
        TrimLeadingSlash(std::string_view(reinterpret_cast<const char*>(data), size));
    fs::path target;
    try {
        target = ResolveManifestPath(folder.base, trimmed);
    } catch (const std::runtime_error& failure) {
        if (!IsDocumentedRefusal(failure.what()))
            std::abort();
        return 0;
    }
    const std::string prefix = folder.base.native() + "/";
    if (!target.native().starts_with(prefix))
        std::abort();
    for (const fs::path& part : target)
        if (part == "..")
            std::abort();
    if (target != target.lexically_normal())
        std::abort();
    if (trimmed.find("..") != std::string::npos)
        std::abort();
    return 0;
}
