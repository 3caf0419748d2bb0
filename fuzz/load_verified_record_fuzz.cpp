// The record of proven files is read back from the disk, where anything may have changed it.
// Loading any bytes never throws; what a load keeps, the writer writes and a second load keeps
// unchanged; and any record the writer is given reads back vouching for every file it holds.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sha256.h"
#include "scratch_folder.h"
#include "update/digest.h"
#include "update/verified_record.h"

using namespace qs;

namespace fs = std::filesystem;

namespace {

fs::path ClientOf(const ScratchFolder& scratch) {
    return scratch.root / "client";
}

constexpr std::int64_t kWrittenNs = 1'700'000'000'000'000'000;

std::string Sha256Text(std::string_view text) {
    Sha256Stream digest;
    digest.update(text.data(), text.size());
    return WideToUtf8(digest.finish());
}

// What a load keeps survives a write and a second load exactly.
void CheckLoaded(const ScratchFolder& scratch, const fs::path& file) {
    const VerifiedRecord loaded = VerifiedRecord::load(file, ClientOf(scratch));
    const fs::path first = scratch.root / "first", second = scratch.root / "second";
    if (!loaded.save(first, ClientOf(scratch)))
        std::abort();
    const VerifiedRecord again = VerifiedRecord::load(first, ClientOf(scratch));
    if (again.size() != loaded.size() || !again.save(second, ClientOf(scratch)) ||
        ReadBytes(first) != ReadBytes(second))
        std::abort();
}

// A record given paths and stamps from the input, as runs remember files.
void CheckWritten(const ScratchFolder& scratch, std::string_view bytes) {
    VerifiedRecord record;
    struct Remembered {
        std::string path;
        std::string digest;
        TakenStamp stamp;
    };
    std::vector<Remembered> remembered;
    std::size_t line = 0;
    while (!bytes.empty() && remembered.size() < 16) {
        const std::size_t end = bytes.find('\n');
        const std::string_view path = bytes.substr(0, end);
        bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 1);
        Remembered entry{std::string(path), Sha256Text(path), {}};
        FileStamp& stamp = entry.stamp.stamp;
        stamp.size = path.size();
        stamp.modifiedNs = kWrittenNs - 10'000'000'000 - static_cast<std::int64_t>(line);
        stamp.changedNs = stamp.modifiedNs + 1;
        stamp.volume = line;
        stamp.index = ~line;
        entry.stamp.takenNs = kWrittenNs;
        record.remember(entry.path, entry.digest, entry.stamp);
        remembered.push_back(std::move(entry));
        ++line;
    }
    const fs::path file = scratch.root / "written";
    if (!record.save(file, ClientOf(scratch)))
        std::abort();
    const VerifiedRecord read = VerifiedRecord::load(file, ClientOf(scratch));
    if (read.size() != record.size())
        std::abort();
    // The last stamp given for a path is the one kept.
    for (std::size_t i = 0; i < remembered.size(); ++i) {
        bool last = true;
        for (std::size_t j = i + 1; j < remembered.size(); ++j)
            last = last && remembered[j].path != remembered[i].path;
        const Remembered& entry = remembered[i];
        if (last && read.vouchesFor(entry.path, entry.digest, entry.stamp.stamp) !=
                        record.vouchesFor(entry.path, entry.digest, entry.stamp.stamp))
            std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const ScratchFolder scratch("qs-fuzz-record");
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const fs::path file = scratch.root / "record";

    // As found on the disk.
    WriteBytes(file, bytes);
    CheckLoaded(scratch, file);
    // After the header and sealed with the digest line, so the entries are read too.
    // The second form also names the manifest it was made against, on the line the input begins.
    const std::string folder = "folder " + ClientOf(scratch).lexically_normal().string() + "\n";
    for (const std::string head :
         {"quillon-verified 2\n" + folder, "quillon-verified 3\n" + folder + "manifest "}) {
        const std::string body = head + std::string(bytes);
        WriteBytes(file, body + "sha256 " + Sha256Text(body) + "\n");
        CheckLoaded(scratch, file);
    }

    CheckWritten(scratch, bytes);
    return 0;
}
