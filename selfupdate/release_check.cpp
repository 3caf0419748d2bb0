#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string_view>

#include "net/https.h"
#include "net/json_reply.h"
#include "platform/wide_text.h"
#include "selfupdate/launcher_update.h"
#include "selfupdate/self_update_text.h"
#include "update/update_signature.h"

namespace qs {

const char* const LauncherVersion = "v1.0.8";

namespace {

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r';
}

// The C library's decimal conversion of a piece, saturating instead of overflowing.
std::int32_t DecimalPrefix(std::wstring_view piece) {
    constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::size_t i = 0;
    while (i < piece.size() && IsBlank(piece[i]))
        ++i;
    bool negative = false;
    if (i < piece.size() && (piece[i] == L'+' || piece[i] == L'-')) {
        negative = piece[i] == L'-';
        ++i;
    }
    std::int64_t magnitude = 0;
    for (; i < piece.size() && piece[i] >= L'0' && piece[i] <= L'9'; ++i) {
        magnitude = magnitude * 10 + (piece[i] - L'0');
        if (magnitude > kLimit)
            magnitude = kLimit;  // stays far from int64 overflow
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<std::int32_t>::max())
        return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(value);  // -2^31 is the lowest value reachable
}

std::wstring_view WithoutLowerV(const std::wstring& version) {
    std::wstring_view view = version;
    if (!view.empty() && view.front() == L'v')
        view.remove_prefix(1);
    return view;
}

const std::string* StringMember(const nlohmann::json& root, const char* key) {
    auto found = root.find(key);
    if (found == root.end() || !found->is_string())
        return nullptr;
    return &found->get_ref<const std::string&>();
}

}  // namespace

std::vector<std::int32_t> ParseVersionNumbers(const std::wstring& text) {
    std::vector<std::int32_t> numbers;
    if (text.empty())
        return numbers;
    std::size_t start = 0;
    while (true) {
        const std::size_t dot = text.find(L'.', start);
        const std::size_t end = dot == std::wstring::npos ? text.size() : dot;
        numbers.push_back(DecimalPrefix(std::wstring_view(text).substr(start, end - start)));
        if (dot == std::wstring::npos)
            break;
        start = dot + 1;
        if (start == text.size())
            break;  // a trailing dot adds no piece
    }
    return numbers;
}

int CompareVersions(const std::wstring& a, const std::wstring& b) {
    std::vector<std::int32_t> left = ParseVersionNumbers(std::wstring(WithoutLowerV(a)));
    std::vector<std::int32_t> right = ParseVersionNumbers(std::wstring(WithoutLowerV(b)));
    const std::size_t length = std::max(left.size(), right.size());
    left.resize(length, 0);
    right.resize(length, 0);
    for (std::size_t i = 0; i < length; ++i) {
        if (left[i] < right[i])
            return -1;
        if (left[i] > right[i])
            return 1;
    }
    return 0;
}

namespace {

// With a key built in, the document names the installer the launcher will run: it is taken only
// with a valid signature over its exact bytes, a serial never below one accepted before, and
// before its expiry, so a mirror can neither replay an old release nor hide a new one for long.
void CheckSignedRelease(std::string_view document, const ServiceEndpoint& service,
                        const std::atomic<bool>* cancel,
                        const std::filesystem::path& serialRecord) {
    std::vector<std::uint8_t> signature;
    try {
        signature = LauncherHttpsGet(ServiceUrl(service, "/updater/launcher/latest.json.sig"),
                                     L"GET", service, cancel, kSignatureMaxBytes);
    } catch (const HttpsStatusError&) {
        // No signature (a 404, or more than a signature file holds) is no valid one; a network
        // that failed is no answer about the signature and throws on.
    } catch (const HttpsBodyError&) {
    }
    const std::string_view signatureText(reinterpret_cast<const char*>(signature.data()),
                                         signature.size());
    if (!SignatureValid(service.updateKey, document, signatureText))
        throw std::runtime_error(kReleaseSignatureInvalid);
    const std::optional<ManifestFreshness> freshness = ReadManifestFreshness(document);
    if (!freshness)
        throw std::runtime_error(kReleaseSignatureInvalid);
    AcceptReleaseFreshness(*freshness, UnixSecondsNow(), serialRecord);
}

}  // namespace

LauncherRelease CheckLauncherRelease(const ServiceEndpoint& service,
                                     const std::atomic<bool>* cancel,
                                     const std::filesystem::path& serialRecord) {
    try {
        const std::vector<std::uint8_t> body = LauncherHttpsGet(
            ServiceUrl(service, "/updater/launcher/latest.json"), L"GET", service, cancel);
        if (!service.updateKey.empty())
            CheckSignedRelease(
                std::string_view(reinterpret_cast<const char*>(body.data()), body.size()), service,
                cancel, serialRecord);
        const nlohmann::json root = ParseJsonReply(
            std::string_view(reinterpret_cast<const char*>(body.data()), body.size()), nullptr,
            kReleaseMaxValues);
        const std::string* version = root.is_object() ? StringMember(root, "version") : nullptr;
        if (!version)
            throw std::runtime_error("Invalid launcher update manifest: missing version");
        const std::string* url = StringMember(root, "url");
        if (!url)
            throw std::runtime_error("Invalid launcher update manifest: missing url");
        const std::string* sha256 = StringMember(root, "sha256");
        if (!sha256)
            throw std::runtime_error("Invalid launcher update manifest: missing sha256");

        LauncherRelease release;
        const std::wstring published = Utf8ToWide(*version);
        const std::wstring own = Utf8ToWide(LauncherVersion);
        if (CompareVersions(own, published) >= 0) {
            release.version = own;
            return release;
        }
        release.updateAvailable = true;
        release.version = published;
        release.url = Utf8ToWide(*url);
        release.sha256 = Utf8ToWide(*sha256);
        if (const std::string* changelog = StringMember(root, "changelog"))
            release.changelog = Utf8ToWide(*changelog);
        return release;
    } catch (const std::exception& error) {
        LauncherRelease failed;
        failed.error = ErrorTextAsWide(error.what());
        return failed;
    } catch (...) {
        LauncherRelease failed;
        failed.error = L"HTTPS request failed";
        return failed;
    }
}

}  // namespace qs
