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

inline constexpr char kManifestSignatureInvalid[] = "Update manifest signature is invalid";
inline constexpr char kReleaseSignatureInvalid[] = "Launcher update signature is invalid";
inline constexpr char kManifestRolledBack[] = "Update manifest is older than the installed client";
inline constexpr char kManifestExpired[] = "Update manifest has expired";

// A signature file holds at most this much (128 hex digits and a line end).
inline constexpr std::size_t kSignatureMaxBytes = 4096;

// The key as built in: 64 hex digits, or the PEM of an Ed25519 SubjectPublicKeyInfo.
std::optional<Ed25519PublicKey> ParseUpdatePublicKey(std::string_view text);
// A signature file: 128 hex digits, surrounding blanks and line ends allowed.
std::optional<Ed25519Signature> ParseSignatureText(std::string_view text);

// True when `signatureText` is a valid signature of exactly `body` by the key in `keyText`.
bool SignatureValid(std::string_view keyText, std::string_view body,
                    std::string_view signatureText);

// The "serial" and "expires" (seconds since 1970) of a signed manifest; nullopt when either is
// missing or not a whole number. Reads nothing else of the document.
struct ManifestFreshness {
    std::uint64_t serial = 0;
    std::int64_t expires = 0;
};
std::optional<ManifestFreshness> ReadManifestFreshness(std::string_view manifest);

// Throws kManifestRolledBack or kManifestExpired, else records `serial` as the highest accepted
// (crash-safely, in `serialFile`) and returns. An unreadable record counts as none.
void AcceptManifestFreshness(const ManifestFreshness& freshness, std::int64_t nowSeconds,
                             const std::filesystem::path& serialFile);
