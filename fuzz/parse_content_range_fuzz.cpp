// A reply header line as the server sends it, read by the transport and then as the answer to a
// range request. The transport keeps a Content-Length only when it is a plain decimal number and
// hands a Content-Range over trimmed; a range is taken only in the exact "bytes first-last/total"
// form, with the numbers it reads and first <= last < total; bytes are appended only when the
// range is exactly the rest of the file from where the download stopped.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "platform/linux/https_header_line.h"
#include "update/transfer.h"

using namespace qs;

namespace {

// Above this the transfer's own reading may refuse a number that still fits 64 bits.
constexpr std::uint64_t kPlainlyInRange = 1'000'000'000'000'000'000;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool SameLetters(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                             text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

// One run of decimal digits from the front of `text`, as the C++ library reads it.
enum class Number { Missing, TooLarge, Read };
Number TakeDigits(std::string_view& text, std::uint64_t& value) {
    std::size_t digits = 0;
    while (digits < text.size() && IsDigit(text[digits]))
        ++digits;
    if (digits == 0)
        return Number::Missing;
    const auto read = std::from_chars(text.data(), text.data() + digits, value);
    text.remove_prefix(digits);
    return read.ec == std::errc() ? Number::Read : Number::TooLarge;
}

bool TakeLiteral(std::string_view& text, std::string_view literal) {
    if (!text.starts_with(literal))
        return false;
    text.remove_prefix(literal.size());
    return true;
}

// The grammar read independently: nullopt when the text is not of the form at all, `tooLarge`
// when a number does not fit 64 bits (the transfer must refuse it then).
struct Reference {
    ContentRange range;
    bool tooLarge = false;
};
std::optional<Reference> ReadReference(std::string_view text) {
    Reference reference;
    std::uint64_t total = 0;
    Number first = Number::Missing, last = Number::Missing, end = Number::Read;
    if (!TakeLiteral(text, "bytes ") ||
        (first = TakeDigits(text, reference.range.first)) == Number::Missing ||
        !TakeLiteral(text, "-") ||
        (last = TakeDigits(text, reference.range.last)) == Number::Missing ||
        !TakeLiteral(text, "/"))
        return std::nullopt;
    if (!TakeLiteral(text, "*")) {
        if ((end = TakeDigits(text, total)) == Number::Missing)
            return std::nullopt;
        reference.range.total = total;
    }
    if (!text.empty())
        return std::nullopt;
    reference.tooLarge =
        first == Number::TooLarge || last == Number::TooLarge || end == Number::TooLarge;
    return reference;
}

bool InPlainRange(const ContentRange& range) {
    return range.first < kPlainlyInRange && range.last < kPlainlyInRange &&
           (!range.total || *range.total < kPlainlyInRange);
}

void CheckRange(std::string_view text) {
    const std::optional<ContentRange> range = ParseContentRange(text);
    const std::optional<Reference> reference = ReadReference(text);
    if (range) {
        if (!reference || reference->tooLarge || range->first != reference->range.first ||
            range->last != reference->range.last || range->total != reference->range.total)
            std::abort();
        if (range->first > range->last || (range->total && range->last >= *range->total))
            std::abort();
    } else if (reference && !reference->tooLarge && InPlainRange(reference->range)) {
        // Refused although well formed: only an empty or impossible range may be.
        const ContentRange& r = reference->range;
        if (r.first <= r.last && (!r.total || r.last < *r.total))
            std::abort();
    }

    // The answer to "the rest from offset", for offsets and published sizes near the range's own.
    const std::uint64_t offsets[] = {0, 100, range ? range->first : 1};
    const std::optional<std::uint64_t> sizes[] = {std::nullopt, 1000,
                                                  range ? range->total : std::nullopt};
    for (std::uint64_t offset : offsets)
        for (const std::optional<std::uint64_t>& size : sizes) {
            if (ClassifyRangeReply(offset, 206, text, size) != RangeReply::Append)
                continue;
            if (!range || offset == 0 || range->first != offset || !range->total ||
                range->last + 1 != *range->total || (size && *size != *range->total))
                std::abort();
        }
}

void CheckHeaderLine(std::string_view line) {
    HttpsResponseHead head;
    head.status = 206;
    NoteHeaderLine(head, line);
    const std::size_t colon = line.find(':');
    if (line.starts_with("HTTP/") || colon == std::string_view::npos) {
        if (!line.starts_with("HTTP/") && (head.contentLength || !head.contentRange.empty()))
            std::abort();
        return;
    }
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = Trim(line.substr(colon + 1));
    if (SameLetters(name, "Content-Range")) {
        if (head.contentRange != value || head.contentLength)
            std::abort();
        CheckRange(head.contentRange);
    } else if (SameLetters(name, "Content-Length")) {
        std::string_view rest = value;
        std::uint64_t length = 0;
        const bool plain =
            value.size() <= 19 && TakeDigits(rest, length) == Number::Read && rest.empty();
        if (head.contentLength != (plain ? std::optional<std::uint64_t>(length) : std::nullopt))
            std::abort();
    } else if (head.contentLength || !head.contentRange.empty()) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    CheckRange(text);
    CheckHeaderLine(text);
    return 0;
}
