// The serial record (update-serial.txt) is read back from the disk, and the serial and expiry
// come from the signed manifest. Reading a manifest of any bytes never throws; a record the writer
// could have written (one number and a line end) is judged by the plain rule as accepted, expired
// or rolled back, anything else counts as damaged; the record is left as it was or holds the
// manifest's serial as the writer writes it; and what the writer writes reads back as written.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "scratch_folder.h"
#include "update/update_signature.h"

using namespace qs;

namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kNow = 1000;

FreshnessOutcome Accept(const ManifestFreshness& freshness, const fs::path& record) {
    try {
        return AcceptFreshness(freshness, kNow, record);
    } catch (...) {
        std::abort();
    }
}

// The record's number when it is one decimal number and a line end, as the writer writes it.
std::optional<std::uint64_t> WrittenNumber(std::string_view record) {
    if (record.empty() || record.back() != '\n')
        return std::nullopt;
    const std::string_view line = record.substr(0, record.size() - 1);
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), value);
    if (line.empty() || error != std::errc() || end != line.data() + line.size())
        return std::nullopt;
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const ScratchFolder scratch("qs-fuzz-serial");
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
    WriteBytes(record, recordBytes);
    const FreshnessOutcome outcome = Accept(freshness, record);
    const std::string after = ReadBytes(record);
    const std::optional<std::uint64_t> highest = WrittenNumber(recordBytes);
    // Longer than any record the writer writes (20 digits and a line end): may count as damaged.
    const bool writable = recordBytes.size() <= 21;
    if (outcome == FreshnessOutcome::RecordDamaged) {
        if (highest && writable)
            std::abort();
    } else if (!highest || outcome != JudgeFreshness(freshness, kNow, *highest)) {
        std::abort();
    }
    if (after != recordBytes &&
        (outcome != FreshnessOutcome::Accepted || after != std::to_string(freshness.serial) + "\n"))
        std::abort();

    // What the writer wrote holds the serial against an older manifest and lets the same pass.
    if (outcome == FreshnessOutcome::Accepted) {
        if (Accept({freshness.serial, freshness.expires}, record) != FreshnessOutcome::Accepted ||
            (freshness.serial > 0 && Accept({freshness.serial - 1, freshness.expires}, record) !=
                                         FreshnessOutcome::RolledBack))
            std::abort();
    }
    return 0;
}
