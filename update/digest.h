#pragma once
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// The strict converters WideToUtf8 / Utf8ToWide and the streaming digest Sha256Stream come from
// the platform; the rest is shared.
#include "platform/sha256.h"
#include "platform/wide_text.h"

// Lower-case SHA-256 digest text of a file, streamed through one 65536-byte buffer. A file that
// cannot be opened digests as zero bytes. Throws "SHA-256 initialization failed",
// "SHA-256 read failed" or "SHA-256 finalization failed".
std::wstring Sha256File(const std::filesystem::path& file);

class InputFile;
// The same for a file already open, read from where it stands.
std::wstring Sha256File(InputFile& input);
// Feeds the rest of `input` into `digest` through the same buffer; the bytes read, or nullopt
// on a read error.
std::optional<std::uint64_t> HashInto(InputFile& input, Sha256Stream& digest);

// Exactly 64 bytes of "0123456789abcdefABCDEF".
bool IsChecksumText(std::string_view text);

// Equal ignoring ASCII letter case.
bool DigestsEqual(std::wstring_view a, std::wstring_view b);
