#include "update/kept_manifest.h"

#include <charconv>
#include <fstream>
#include <system_error>

#include "platform/durable_file.h"
#include "platform/sha256.h"
#include "platform/wide_text.h"

namespace qs {
namespace {

constexpr std::string_view kFirstLine = "quillon kept manifest 1";
// The header lines in their order, each "<name> <value>".
constexpr std::string_view kEtag = "etag";
constexpr std::string_view kLastModified = "last-modified";
constexpr std::string_view kSignature = "signature";
constexpr std::string_view kDigest = "sha256";
constexpr std::string_view kLength = "length";
constexpr std::size_t kHeaderMaxBytes = 4 * kValidatorMaxChars + 512;

std::string BodyDigest(std::string_view body) {
    Sha256Stream digest;
    digest.update(body.data(), body.size());
    return WideToUtf8(digest.finish());
}

bool OneLine(std::string_view value) {
    for (unsigned char c : value)
        if (c < 0x20 || c >= 0x7f)
            return false;
    return true;
}

// Header values the file can hold: one printable line each, of bounded length.
bool WritableFields(std::string_view signature, const ReplyValidator& validator) {
    return OneLine(validator.etag) && OneLine(validator.lastModified) && OneLine(signature) &&
           validator.etag.size() <= kValidatorMaxChars &&
           validator.lastModified.size() <= kValidatorMaxChars &&
           signature.size() <= kValidatorMaxChars * 2;
}

// Reads "<name> <value>\n" at `at`; nullopt unless that is exactly what is there.
std::optional<std::string_view> HeaderValue(std::string_view text, std::size_t& at,
                                            std::string_view name) {
    const std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos)
        return std::nullopt;
    const std::string_view line = text.substr(at, end - at);
    if (!line.starts_with(name) || line.size() <= name.size() || line[name.size()] != ' ')
        return std::nullopt;
    at = end + 1;
    return line.substr(name.size() + 1);
}

// The kept copy's header parts and where its body begins in `text`; the body itself is left to
// the caller, so a large manifest is not copied.
std::optional<KeptManifest> ParseKeptManifest(std::string_view text, std::string& bodyDigest,
                                              std::size_t& bodyAt) {
    std::size_t at = 0;
    if (!text.starts_with(kFirstLine) || text.size() <= kFirstLine.size() ||
        text[kFirstLine.size()] != '\n')
        return std::nullopt;
    at = kFirstLine.size() + 1;
    const auto etag = HeaderValue(text, at, kEtag);
    const auto lastModified = etag ? HeaderValue(text, at, kLastModified) : std::nullopt;
    const auto signature = lastModified ? HeaderValue(text, at, kSignature) : std::nullopt;
    const auto digest = signature ? HeaderValue(text, at, kDigest) : std::nullopt;
    const auto lengthText = digest ? HeaderValue(text, at, kLength) : std::nullopt;
    if (!lengthText || at >= text.size() || text[at] != '\n')
        return std::nullopt;
    ++at;
    std::size_t length = 0;
    const auto [end, parsed] =
        std::from_chars(lengthText->data(), lengthText->data() + lengthText->size(), length);
    if (parsed != std::errc() || end != lengthText->data() + lengthText->size() ||
        length != text.size() - at || *lengthText != std::to_string(length))
        return std::nullopt;
    KeptManifest kept;
    kept.signature = std::string(*signature);
    kept.validator = {std::string(*etag), std::string(*lastModified)};
    // Only what the writer could have written: the validator goes back out as a header.
    const std::string_view body = text.substr(at);
    if (!WritableFields(kept.signature, kept.validator) || BodyDigest(body) != *digest)
        return std::nullopt;
    bodyDigest = std::string(*digest);
    bodyAt = at;
    return kept;
}

}  // namespace

KeptManifestRead LoadKeptManifest(const std::filesystem::path& file) {
    KeptManifestRead read;
    std::error_code error;
    if (file.empty() || std::filesystem::symlink_status(file, error).type() ==
                            std::filesystem::file_type::not_found)
        return read;
    read.state = KeptManifestState::Damaged;
    try {
        std::ifstream in(file, std::ios::binary);
        const std::uintmax_t size = std::filesystem::file_size(file, error);
        if (!in || error || size > kManifestMaxBytes + kHeaderMaxBytes)
            return read;
        std::string text(static_cast<std::size_t>(size), '\0');
        in.read(text.data(), static_cast<std::streamsize>(text.size()));
        if (static_cast<std::uintmax_t>(in.gcount()) != size || in.peek() != EOF)
            return read;
        std::size_t bodyAt = 0;
        if (auto kept = ParseKeptManifest(text, read.bodyDigest, bodyAt)) {
            read.kept = std::move(*kept);
            text.erase(0, bodyAt);
            read.kept.body = std::move(text);
            read.state = KeptManifestState::Loaded;
        }
    } catch (const std::exception&) {
        // An unreadable copy is a damaged one: the manifest is asked for whole.
    }
    return read;
}

std::optional<std::string> KeptManifestText(std::string_view body, std::string_view signature,
                                            const ReplyValidator& validator) {
    if (!WritableFields(signature, validator))
        return std::nullopt;
    std::string text(kFirstLine);
    text += "\n";
    auto line = [&text](std::string_view name, std::string_view value) {
        text.append(name).append(" ").append(value).append("\n");
    };
    line(kEtag, validator.etag);
    line(kLastModified, validator.lastModified);
    line(kSignature, signature);
    line(kDigest, BodyDigest(body));
    line(kLength, std::to_string(body.size()));
    text += "\n";
    text += body;
    return text;
}

bool SaveKeptManifest(const std::filesystem::path& file, std::string_view body,
                      std::string_view signature, const ReplyValidator& validator) {
    try {
        const std::optional<std::string> text = KeptManifestText(body, signature, validator);
        if (!text)
            return false;
        std::error_code error;
        std::filesystem::create_directories(file.parent_path(), error);
        return !error && WriteFileDurably(file, text->data(), text->size()) == 0;
    } catch (const std::exception&) {
        return false;
    }
}

void ForgetKeptManifest(const std::filesystem::path& file) {
    std::error_code ignored;
    if (!file.empty())
        std::filesystem::remove(file, ignored);
}

}  // namespace qs
