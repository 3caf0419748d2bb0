#pragma once
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// The strict converters WideToUtf8 / Utf8ToWide and the streaming digest Sha256Stream come from
// the platform; the rest is shared.
#include "platform/sha256.h"
#include "platform/wide_text.h"

namespace qs {

// How reading a file to its end went. Only a complete read has a digest: a file that could not be
// opened or read, or that gave fewer or more bytes than its size, is never taken for the digest of
// what happened to arrive.
enum class WholeRead {
    Complete,
    CannotOpen,
    ReadError,
    SizeDiffers,  // stopped early, or changed while it was read
};
struct FileDigest {
    WholeRead read = WholeRead::CannotOpen;
    std::wstring digest;      // lower case; empty unless the read is Complete
    std::uint64_t bytes = 0;  // read
};

// The SHA-256 digest of every byte of a file, streamed through one 65536-byte buffer. Throws
// "SHA-256 initialization failed", "SHA-256 read failed" or "SHA-256 finalization failed".
// A cancel stops the reading at once (a ReadError).
FileDigest Sha256File(const std::filesystem::path& file, const std::atomic<bool>* cancel = nullptr);

class InputFile;
// The same for a file already opened, from its current position to its end (its size when it
// was opened decides SizeDiffers).
FileDigest Sha256Input(InputFile& input, const std::atomic<bool>* cancel = nullptr);
// Feeds the rest of `input` into `digest` through the same buffer; the bytes read, or nullopt
// on a read error or once `cancel` reads true (looked at every buffer, so a long file gives way
// at once).
std::optional<std::uint64_t> HashInto(InputFile& input, Sha256Stream& digest,
                                      const std::atomic<bool>* cancel = nullptr);

// A manifest path as a message shows it: every control character (a line break, an escape) as
// '?', so a path from the service cannot break or restyle the status line.
std::string PathForMessage(std::string_view manifestPath);

// Exactly 64 bytes of "0123456789abcdefABCDEF".
bool IsChecksumText(std::string_view text);

// Equal ignoring ASCII letter case.
bool DigestsEqual(std::wstring_view a, std::wstring_view b);

// A SHA-256 digest as its 32 bytes: compact where many are kept (the record of proven files, the
// publisher's objects).
using DigestBytes = std::array<unsigned char, 32>;
// The value of a hex digit in either letter case; -1 for any other character.
int HexDigitValue(char c);
// The bytes of 64 hex digits in either letter case; nullopt for anything else.
std::optional<DigestBytes> DigestFromText(std::string_view text);
// Appends the 64 lower-case hex digits of `bytes`.
void AppendDigestText(std::string& text, const DigestBytes& bytes);

}  // namespace qs
