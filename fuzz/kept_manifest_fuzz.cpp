// The kept manifest (manifest-kept.txt) is read back from the disk, and its validator goes out
// again as a request header. Reading any bytes never throws, and a copy is loaded only when it is
// exactly what the writer writes for what it holds: so nothing that could not have been written
// (a line end in a validator, a body that is not the one digested) is ever used.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "scratch_folder.h"
#include "update/kept_manifest.h"

using namespace qs;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const ScratchFolder scratch("qs-fuzz-kept-manifest");
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::filesystem::path file = scratch.root / "manifest-kept.txt";
    WriteBytes(file, input);
    qs::KeptManifestRead read;
    try {
        read = qs::LoadKeptManifest(file);
    } catch (...) {
        std::abort();
    }
    if (read.state == qs::KeptManifestState::None)
        std::abort();  // a file is there
    if (read.state == qs::KeptManifestState::Loaded &&
        qs::KeptManifestText(read.kept.body, read.kept.signature, read.kept.validator) !=
            std::string(input))
        std::abort();
    return 0;
}
