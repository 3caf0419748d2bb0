#include "update/digest.h"

#include <memory>

#include "platform/file_io.h"

namespace qs {

std::optional<std::uint64_t> HashInto(InputFile& input, Sha256Stream& digest,
                                      const std::atomic<bool>* cancel) {
    constexpr std::size_t kBlock = 65536;
    auto buffer = std::make_unique<unsigned char[]>(kBlock);
    std::uint64_t read = 0;
    for (;;) {
        if (cancel && cancel->load(std::memory_order_relaxed))
            return std::nullopt;
        const std::int64_t got = input.read(buffer.get(), kBlock);
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            return read;
        digest.update(buffer.get(), static_cast<std::size_t>(got));
        read += static_cast<std::uint64_t>(got);
    }
}

FileDigest Sha256File(const std::filesystem::path& file, const std::atomic<bool>* cancel) {
    FileDigest result;
    InputFile input;
    if (!input.open(file))
        return result;
    const std::optional<FileState> opened = input.state();
    Sha256Stream digest;
    const std::optional<std::uint64_t> read = HashInto(input, digest, cancel);
    if (!opened || !read) {
        result.read = WholeRead::ReadError;
        return result;
    }
    result.bytes = *read;
    if (*read != opened->size) {
        result.read = WholeRead::SizeDiffers;
        return result;
    }
    result.read = WholeRead::Complete;
    result.digest = digest.finish();
    return result;
}

std::string PathForMessage(std::string_view manifestPath) {
    std::string text(manifestPath);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return text;
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

}  // namespace qs
