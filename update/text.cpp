#include "update/text.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <stdexcept>

static_assert(sizeof(wchar_t) == 4,
              "this converter handles UTF-32 wide strings; Windows uses the platform calls");

namespace {

bool IsScalarValue(char32_t c) {
    return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

}  // namespace

std::string WideToUtf8(std::wstring_view wide) {
    std::string out;
    out.reserve(wide.size());
    for (wchar_t unit : wide) {
        auto c = static_cast<char32_t>(static_cast<std::uint32_t>(unit));
        if (!IsScalarValue(c))
            throw std::runtime_error("Invalid UTF-16");
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::wstring Utf8ToWide(std::string_view utf8) {
    std::wstring out;
    out.reserve(utf8.size());
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const auto* end = p + utf8.size();
    auto fail = [] { throw std::runtime_error("Invalid UTF-8"); };
    while (p < end) {
        unsigned char lead = *p;
        if (lead < 0x80) {
            out.push_back(static_cast<wchar_t>(lead));
            ++p;
            continue;
        }
        // Unicode Table 3-7: the second byte's range depends on the lead byte, which rules out
        // overlong forms, encoded surrogates and values above U+10FFFF in one place.
        int length = 0;
        unsigned char low = 0x80, high = 0xBF;
        char32_t c = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            c = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            c = lead & 0x0F;
            if (lead == 0xE0)
                low = 0xA0;
            if (lead == 0xED)
                high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            c = lead & 0x07;
            if (lead == 0xF0)
                low = 0x90;
            if (lead == 0xF4)
                high = 0x8F;
        } else {
            fail();
        }
        if (end - p < length)
            fail();
        if (p[1] < low || p[1] > high)
            fail();
        c = (c << 6) | (p[1] & 0x3F);
        for (int i = 2; i < length; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                fail();
            c = (c << 6) | (p[i] & 0x3F);
        }
        out.push_back(static_cast<wchar_t>(c));
        p += length;
    }
    return out;
}

Sha256Stream::Sha256Stream() : context_(EVP_MD_CTX_new()) {
    if (!context_ || EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(context_);
        throw std::runtime_error("SHA-256 initialization failed");
    }
}

Sha256Stream::~Sha256Stream() {
    EVP_MD_CTX_free(context_);
}

void Sha256Stream::update(const void* data, std::size_t size) {
    if (size > 0 && EVP_DigestUpdate(context_, data, size) != 1)
        throw std::runtime_error("SHA-256 read failed");
}

std::wstring Sha256Stream::finish() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_, digest, &length) != 1 || length != 32)
        throw std::runtime_error("SHA-256 finalization failed");
    static constexpr wchar_t kHex[] = L"0123456789abcdef";
    std::wstring text;
    text.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        text.push_back(kHex[digest[i] >> 4]);
        text.push_back(kHex[digest[i] & 0x0F]);
    }
    return text;
}

std::wstring Sha256File(const std::filesystem::path& file) {
    Sha256Stream digest;
    // A file that cannot be opened, or stops reading part-way, digests as what was read.
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        constexpr std::size_t kBlock = 65536;
        auto buffer = std::make_unique<unsigned char[]>(kBlock);
        for (;;) {
            ssize_t got = read(fd, buffer.get(), kBlock);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            try {
                digest.update(buffer.get(), static_cast<std::size_t>(got));
            } catch (...) {
                close(fd);
                throw;
            }
        }
        close(fd);
    }
    return digest.finish();
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
