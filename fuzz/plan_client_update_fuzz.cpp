// Any manifest reply, planned against an empty client folder: failures are std::exceptions,
// every planned path resolves inside the folder, and planning writes nothing.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "update/manifest_path.h"
#include "update/update_run.h"

using namespace qs;

namespace fs = std::filesystem;

namespace {

struct ClientFolder {
    fs::path root;
    fs::path client;
    ClientFolder() {
        std::string pattern = (fs::temp_directory_path() / "qs-fuzz-plan-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            std::abort();
        root = pattern;
        client = root / "client";
        fs::create_directory(client);
        client = fs::weakly_canonical(client);
    }
    ~ClientFolder() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const ClientFolder folder;
    std::vector<UpdatePlanEntry> plan;
    try {
        plan = PlanClientUpdate(folder.client,
                                std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const std::exception&) {
        // Every failure ends the run with its message; that is the contract.
    } catch (...) {
        std::abort();
    }
    const std::string prefix = folder.client.native() + "/";
    for (const UpdatePlanEntry& entry : plan) {
        const fs::path target = ResolveManifestPath(folder.client, entry.relativePath);
        if (!target.native().starts_with(prefix))
            std::abort();
        for (const fs::path& part : target)
            if (part == "..")
                std::abort();
    }
    // Nothing appears in the client folder or beside it.
    if (!fs::is_empty(folder.client))
        std::abort();
    if (std::distance(fs::directory_iterator(folder.root), fs::directory_iterator()) != 1)
        std::abort();
    return 0;
}
