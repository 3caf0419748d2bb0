#include "update/digest.h"

#include <memory>

#include "platform/file_io.h"

std::optional<std::uint64_t> HashInto(InputFile& input, Sha256Stream& digest) {
    constexpr std::size_t kBlock = 65536;
    auto buffer = std::make_unique<unsigned char[]>(kBlock);
    std::uint64_t read = 0;
    for (;;) {
        const std::int64_t got = input.read(buffer.get(), kBlock);
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            return read;
        digest.update(buffer.get(), static_cast<std::size_t>(got));
        read += static_cast<std::uint64_t>(got);
    }
}

std::wstring Sha256File(InputFile& input) {
    Sha256Stream digest;
    // A file that stops reading part-way digests as what was read.
    HashInto(input, digest);
    return digest.finish();
}

std::wstring Sha256File(const std::filesystem::path& file) {
    // A file that cannot be opened digests as zero bytes.
    InputFile input;
    if (!input.open(file))
        return Sha256Stream().finish();
    return Sha256File(input);
}

bool IsChecksumText(std::string_view text) {
    if (text.size() != 64)
        return false;
    for (char c : text) {
        bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex)
            return false;
    }
    return true;
}

bool DigestsEqual(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size())
        return false;
    auto lower = [](wchar_t c) {
        return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
    };
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return true;
}
