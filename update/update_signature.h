#pragma once
// Signed updates: with a public key built in, the manifest and the release document are taken
// only with a valid Ed25519 signature over their exact bytes, a manifest never older than the
// newest one this installation accepted, and never past its expiry. A stolen server or CDN can
// then neither ship other software, nor roll the client back, nor freeze it on an old manifest.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/signature.h"

namespace qs {

inline constexpr char kManifestSignatureInvalid[] = "Update manifest signature is invalid";
inline constexpr char kReleaseSignatureInvalid[] = "Launcher update signature is invalid";
inline constexpr char kManifestRolledBack[] = "Update manifest is older than the installed client";
inline constexpr char kManifestExpired[] = "Update manifest has expired";
inline constexpr char kReleaseRolledBack[] =
    "Launcher update information is older than what this launcher already saw";
inline constexpr char kReleaseExpired[] = "Launcher update information has expired";
// Followed by the record's path.
inline constexpr char kSerialRecordDamaged[] = "The record of accepted updates is damaged: ";
inline constexpr char kSerialRecordNotSaved[] = "Cannot save the record of accepted updates: ";

// A signature file holds at most this much (128 hex digits and a line end).
inline constexpr std::size_t kSignatureMaxBytes = 4096;

// The key as built in: 64 hex digits, or the PEM of an Ed25519 SubjectPublicKeyInfo.
std::optional<Ed25519PublicKey> ParseUpdatePublicKey(std::string_view text);
// A signature file: 128 hex digits, surrounding blanks and line ends allowed.
std::optional<Ed25519Signature> ParseSignatureText(std::string_view text);

// True when `signatureText` is a valid signature of exactly `body` by the key in `keyText`.
bool SignatureValid(std::string_view keyText, std::string_view body,
                    std::string_view signatureText);

// The "serial" and "expires" (seconds since 1970) of a signed manifest or release document;
// nullopt when either is missing or not a whole number. Reads nothing else of the document.
struct ManifestFreshness {
    std::uint64_t serial = 0;
    std::int64_t expires = 0;
};
std::optional<ManifestFreshness> ReadManifestFreshness(std::string_view manifest);

// The system clock in whole seconds since 1970, as expiries are written.
std::int64_t UnixSecondsNow();

// What becomes of a signed document's freshness against the highest serial accepted before.
enum class FreshnessOutcome {
    Accepted,
    RolledBack,     // older than one accepted before
    Expired,        // at or past its expiry
    RecordDamaged,  // the record exists but holds no serial, or cannot be read
    RecordNotSaved  // a newer serial that the record did not take
};
// The decision alone: `highest` is the record's serial, 0 when there is none yet.
FreshnessOutcome JudgeFreshness(const ManifestFreshness& freshness, std::int64_t nowSeconds,
                                std::uint64_t highest);

// The serial the record at `serialFile` holds: 0 when there is no record, nullopt when it is
// damaged (anything but one decimal number and a line end, as it is written) or unreadable.
std::optional<std::uint64_t> ReadSerialRecord(const std::filesystem::path& serialFile);

// Judges `freshness` against the record in `serialFile` (none when empty) and, when accepted and
// newer, records its serial there crash-safely.
FreshnessOutcome AcceptFreshness(const ManifestFreshness& freshness, std::int64_t nowSeconds,
                                 const std::filesystem::path& serialFile);

// Throws kManifestRolledBack, kManifestExpired or a record failure (naming the record), else
// returns with `serial` recorded as the highest accepted manifest.
void AcceptManifestFreshness(const ManifestFreshness& freshness, std::int64_t nowSeconds,
                             const std::filesystem::path& serialFile);
// The same for the launcher release document, with kReleaseRolledBack and kReleaseExpired.
void AcceptReleaseFreshness(const ManifestFreshness& freshness, std::int64_t nowSeconds,
                            const std::filesystem::path& serialFile);

}  // namespace qs
