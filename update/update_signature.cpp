#include "update/update_signature.h"

#include <charconv>
#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <system_error>

#include "net/json_reply.h"
#include "platform/durable_file.h"
#include "update/digest.h"

namespace qs {

namespace {

template <std::size_t N>
std::optional<std::array<std::uint8_t, N>> FromHex(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\n' || text.front() == '\r'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\n' || text.back() == '\r'))
        text.remove_suffix(1);
    if (text.size() != 2 * N)
        return std::nullopt;
    std::array<std::uint8_t, N> bytes{};
    for (std::size_t i = 0; i < N; ++i) {
        const int high = HexDigitValue(text[2 * i]), low = HexDigitValue(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return bytes;
}

std::optional<std::string> FromBase64(std::string_view text) {
    std::string bytes;
    unsigned value = 0;
    int bits = 0;
    for (char c : text) {
        int digit = -1;
        if (c >= 'A' && c <= 'Z')
            digit = c - 'A';
        else if (c >= 'a' && c <= 'z')
            digit = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            digit = c - '0' + 52;
        else if (c == '+')
            digit = 62;
        else if (c == '/')
            digit = 63;
        else if (c == '=' || c == '\n' || c == '\r' || c == ' ')
            continue;
        else
            return std::nullopt;
        value = (value << 6) | static_cast<unsigned>(digit);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes.push_back(static_cast<char>((value >> bits) & 0xFF));
        }
    }
    return bytes;
}

}  // namespace

std::optional<Ed25519PublicKey> ParseUpdatePublicKey(std::string_view text) {
    constexpr std::string_view kBegin = "-----BEGIN PUBLIC KEY-----";
    constexpr std::string_view kEnd = "-----END PUBLIC KEY-----";
    const std::size_t begin = text.find(kBegin);
    if (begin == std::string_view::npos)
        return FromHex<32>(text);
    const std::size_t end = text.find(kEnd, begin);
    if (end == std::string_view::npos)
        return std::nullopt;
    const auto der = FromBase64(text.substr(begin + kBegin.size(), end - begin - kBegin.size()));
    // SubjectPublicKeyInfo of Ed25519 (OID 1.3.101.112): a fixed 12-byte header, then the key.
    constexpr std::string_view kHeader("\x30\x2a\x30\x05\x06\x03\x2b\x65\x70\x03\x21\x00", 12);
    if (!der || der->size() != 44 || std::string_view(*der).substr(0, 12) != kHeader)
        return std::nullopt;
    Ed25519PublicKey key{};
    std::copy(der->begin() + 12, der->end(), key.begin());
    return key;
}

std::optional<Ed25519Signature> ParseSignatureText(std::string_view text) {
    return FromHex<64>(text);
}

bool SignatureValid(std::string_view keyText, std::string_view body,
                    std::string_view signatureText) {
    const auto key = ParseUpdatePublicKey(keyText);
    const auto signature = ParseSignatureText(signatureText);
    return key && signature && VerifyEd25519(*key, body, *signature);
}

std::int64_t UnixSecondsNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::optional<ManifestFreshness> ReadManifestFreshness(std::string_view manifest) {
    try {
        // Only the two top-level numbers are kept; the files were read by the planning pass.
        const nlohmann::json root = ParseJsonReply(
            manifest, [](int depth, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
                if (event == nlohmann::json::parse_event_t::key && depth == 1)
                    return parsed == "serial" || parsed == "expires";
                return depth <= 1;
            });
        const auto serial = root.find("serial");
        const auto expires = root.find("expires");
        if (serial == root.end() || expires == root.end() || !serial->is_number_unsigned() ||
            !expires->is_number_integer())
            return std::nullopt;
        return ManifestFreshness{serial->get<std::uint64_t>(), expires->get<std::int64_t>()};
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

FreshnessOutcome JudgeFreshness(const ManifestFreshness& freshness, std::int64_t nowSeconds,
                                std::uint64_t highest) {
    if (nowSeconds >= freshness.expires)
        return FreshnessOutcome::Expired;
    if (freshness.serial < highest)
        return FreshnessOutcome::RolledBack;
    return FreshnessOutcome::Accepted;
}

std::optional<std::uint64_t> ReadSerialRecord(const std::filesystem::path& serialFile) {
    std::error_code error;
    const auto status = std::filesystem::status(serialFile, error);
    if (status.type() == std::filesystem::file_type::not_found)
        return 0;
    // Read whole and strictly: a torn or foreign record must not pass as a lower serial, which
    // would let an older document back in.
    std::ifstream in(serialFile, std::ios::binary);
    std::string text(32, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad() || !in.eof())
        return std::nullopt;
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (text.empty() || text.back() != '\n')
        return std::nullopt;
    text.pop_back();
    std::uint64_t serial = 0;
    const auto [end, parsed] = std::from_chars(text.data(), text.data() + text.size(), serial);
    if (parsed != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return serial;
}

FreshnessOutcome AcceptFreshness(const ManifestFreshness& freshness, std::int64_t nowSeconds,
                                 const std::filesystem::path& serialFile) {
    std::uint64_t highest = 0;
    if (!serialFile.empty()) {
        const std::optional<std::uint64_t> recorded = ReadSerialRecord(serialFile);
        if (!recorded)
            return FreshnessOutcome::RecordDamaged;
        highest = *recorded;
    }
    const FreshnessOutcome outcome = JudgeFreshness(freshness, nowSeconds, highest);
    if (outcome != FreshnessOutcome::Accepted || freshness.serial <= highest || serialFile.empty())
        return outcome;
    const std::string text = std::to_string(freshness.serial) + "\n";
    std::error_code error;
    std::filesystem::create_directories(serialFile.parent_path(), error);
    if (error || WriteFileDurably(serialFile, text.data(), text.size()) != 0)
        return FreshnessOutcome::RecordNotSaved;
    return outcome;
}

namespace {

std::string PathText(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

void ThrowUnlessAccepted(FreshnessOutcome outcome, const char* rolledBack, const char* expired,
                         const std::filesystem::path& serialFile) {
    switch (outcome) {
        case FreshnessOutcome::Accepted:
            return;
        case FreshnessOutcome::RolledBack:
            throw std::runtime_error(rolledBack);
        case FreshnessOutcome::Expired:
            throw std::runtime_error(expired);
        case FreshnessOutcome::RecordDamaged:
            throw std::runtime_error(kSerialRecordDamaged + PathText(serialFile));
        case FreshnessOutcome::RecordNotSaved:
            throw std::runtime_error(kSerialRecordNotSaved + PathText(serialFile));
    }
}

}  // namespace

void AcceptManifestFreshness(const ManifestFreshness& freshness, std::int64_t nowSeconds,
                             const std::filesystem::path& serialFile) {
    ThrowUnlessAccepted(AcceptFreshness(freshness, nowSeconds, serialFile), kManifestRolledBack,
                        kManifestExpired, serialFile);
}

void AcceptReleaseFreshness(const ManifestFreshness& freshness, std::int64_t nowSeconds,
                            const std::filesystem::path& serialFile) {
    ThrowUnlessAccepted(AcceptFreshness(freshness, nowSeconds, serialFile), kReleaseRolledBack,
                        kReleaseExpired, serialFile);
}

}  // namespace qs
