// The serial record (update-serial.txt) is read back from the disk, and the serial and expiry
// come from the signed manifest. Reading a manifest of any bytes never throws; whatever the record
// holds, taking a manifest fails only as rolled back or expired, rolled back exactly when the
// record's number is above the manifest's, and leaves the record as it was or holding the
// manifest's serial as the writer writes it; and what the writer writes reads back as written.
#include <unistd.h>

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "update/update_signature.h"

namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kNow = 1000;

struct Scratch {
    fs::path root;
    Scratch() {
        const fs::path base =
            fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        std::string pattern = (base / "qs-fuzz-serial-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            std::abort();
        root = pattern;
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
};

void Write(const fs::path& file, std::string_view bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        std::abort();
}

std::string Read(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

enum class Outcome { Taken, RolledBack, Expired };

Outcome Accept(const ManifestFreshness& freshness, const fs::path& record) {
    try {
        AcceptManifestFreshness(freshness, kNow, record);
        return Outcome::Taken;
    } catch (const std::runtime_error& failure) {
        const std::string_view message = failure.what();
        if (message == kManifestRolledBack)
            return Outcome::RolledBack;
        if (message == kManifestExpired)
            return Outcome::Expired;
    } catch (...) {
    }
    std::abort();
}

// The record's number when its first line is one the writer could have written.
std::optional<std::uint64_t> WrittenNumber(std::string_view record) {
    const std::string_view line = record.substr(0, record.find('\n'));
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), value);
    if (error != std::errc() || end != line.data() + line.size() ||
        (line.size() > 1 && line[0] == '0'))
        return std::nullopt;
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Scratch scratch;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    // The record's bytes, a zero byte, then the manifest.
    const std::size_t zero = input.find('\0');
    const std::string_view recordBytes = input.substr(0, zero);
    const std::string_view manifest =
        zero == std::string_view::npos ? std::string_view() : input.substr(zero + 1);

    const std::optional<ManifestFreshness> read = ReadManifestFreshness(manifest);
    const ManifestFreshness freshness =
        read ? *read : ManifestFreshness{manifest.size(), std::numeric_limits<std::int64_t>::max()};

    const fs::path record = scratch.root / "update-serial.txt";
    Write(record, recordBytes);
    const Outcome outcome = Accept(freshness, record);
    const std::string after = Read(record);
    if ((outcome == Outcome::Expired) != (kNow >= freshness.expires))
        std::abort();
    const std::optional<std::uint64_t> highest = WrittenNumber(recordBytes);
    if (outcome != Outcome::Expired && highest &&
        (outcome == Outcome::RolledBack) != (freshness.serial < *highest))
        std::abort();
    if (after != recordBytes &&
        (outcome != Outcome::Taken || after != std::to_string(freshness.serial) + "\n"))
        std::abort();

    // What the writer wrote holds the serial against an older manifest and lets the same pass.
    if (outcome == Outcome::Taken) {
        if (Accept({freshness.serial, freshness.expires}, record) != Outcome::Taken ||
            (freshness.serial > 0 &&
             Accept({freshness.serial - 1, freshness.expires}, record) != Outcome::RolledBack))
            std::abort();
    }
    return 0;
}
