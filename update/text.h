#pragma once
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

// Strict conversions: no replacement characters; throw std::runtime_error
// "Invalid UTF-16" / "Invalid UTF-8". A wide unit that is a surrogate or above U+10FFFF is invalid.
std::string WideToUtf8(std::wstring_view wide);
std::wstring Utf8ToWide(std::string_view utf8);

// A SHA-256 digest fed piece by piece; throws the same texts as Sha256File.
class Sha256Stream {
public:
    Sha256Stream();
    ~Sha256Stream();
    Sha256Stream(const Sha256Stream&) = delete;
    Sha256Stream& operator=(const Sha256Stream&) = delete;
    void update(const void* data, std::size_t size);
    // Lower-case digest text; the stream is spent afterwards.
    std::wstring finish();

private:
    struct evp_md_ctx_st* context_;
};

// Lower-case SHA-256 digest text of a file, streamed through one 65536-byte buffer. A file that
// cannot be opened digests as zero bytes. Throws "SHA-256 initialization failed",
// "SHA-256 read failed" or "SHA-256 finalization failed".
std::wstring Sha256File(const std::filesystem::path& file);

// Exactly 64 bytes of "0123456789abcdefABCDEF".
bool IsChecksumText(std::string_view text);

// Equal ignoring ASCII letter case.
bool DigestsEqual(std::wstring_view a, std::wstring_view b);
