#pragma once
// The last accepted manifest, kept in the launcher's data folder with its signature and its
// validator, so an unchanged manifest comes back as a 304 without a body. The kept copy is no
// more trusted than the network: its signature and freshness are checked again whenever it is
// used, and its own digest tells a damaged file from a kept one.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "net/https.h"

namespace qs {

struct KeptManifest {
    std::string body;       // the manifest's exact bytes, as its signature covers them
    std::string signature;  // the signature file's text, trimmed; empty for an unsigned service
    ReplyValidator validator;
    bool operator==(const KeptManifest&) const = default;
};

enum class KeptManifestState {
    None,     // nothing kept (or no place to keep it)
    Damaged,  // a file that is not exactly as written: never used
    Loaded,
};
struct KeptManifestRead {
    KeptManifestState state = KeptManifestState::None;
    KeptManifest kept;
    std::string bodyDigest;  // the body's SHA-256 in hex, as the file states it and it was checked
};

// The copy at `file`; its text is refused unless it is exactly what KeptManifestText writes for
// what it holds (header, length and digest).
KeptManifestRead LoadKeptManifest(const std::filesystem::path& file);

// The file's text for `kept`; nullopt when a part could not be read back as written (a validator
// or signature with a line end).
std::optional<std::string> KeptManifestText(std::string_view body, std::string_view signature,
                                            const ReplyValidator& validator);

// Writes the copy crash-safely over `file` (a temporary file, flushed, moved over, the folder
// flushed): a crash leaves the old copy or the new one. False when it could not be written.
bool SaveKeptManifest(const std::filesystem::path& file, std::string_view body,
                      std::string_view signature, const ReplyValidator& validator);
inline bool SaveKeptManifest(const std::filesystem::path& file, const KeptManifest& kept) {
    return SaveKeptManifest(file, kept.body, kept.signature, kept.validator);
}

// Removes the copy, so no validator of it is sent again. Never throws.
void ForgetKeptManifest(const std::filesystem::path& file);

}  // namespace qs
