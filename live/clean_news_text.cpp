#include "live/clean_news_text.h"

namespace qs {

namespace {

bool IsKeptAscii(unsigned char byte) {
    return (byte >= 0x20 && byte <= 0x7E) || byte == '\t' || byte == '\n';
}

// The first '>' at or after a position, for positions that only grow: the last answer stays
// right until the position passes it, so a text full of unclosed tokens is scanned once rather
// than once per token.
class CloseFinder {
public:
    explicit CloseFinder(std::string_view text) : text_(text) {}
    std::size_t from(std::size_t i) {
        if (!searched_ || found_ < i) {
            found_ = text_.find('>', i);
            searched_ = true;
        }
        return found_;
    }

private:
    std::string_view text_;
    std::size_t found_ = std::string_view::npos;
    bool searched_ = false;
};

// Mention ("<@...>", "<#...>") and custom emoji ("<:name:id>", "<a:name:id>") tokens start at
// `i`; returns the position after the closing '>' or npos when the '<' is literal.
std::size_t SkipChatToken(std::string_view text, std::size_t i, CloseFinder& closes) {
    const std::size_t n = text.size();
    const bool mention = i + 1 < n && (text[i + 1] == '@' || text[i + 1] == '#');
    const bool emoji =
        !mention && i + 2 < n && (text[i + 1] == ':' || (text[i + 1] == 'a' && text[i + 2] == ':'));
    if (!mention && !emoji)
        return std::string_view::npos;
    std::size_t close = closes.from(i);
    return close == std::string_view::npos ? close : close + 1;
}

// The general punctuation block (E2 80 xx) as ASCII; other E2 sequences vanish.
std::string_view PunctuationAsAscii(unsigned char second, unsigned char third) {
    if (second != 0x80)
        return {};
    switch (third) {
        case 0x93:
        case 0x94:
        case 0xA2:
            return "-";
        case 0x98:
        case 0x99:
            return "'";
        case 0x9C:
        case 0x9D:
            return "\"";
        case 0xA6:
            return "...";
        default:
            return {};
    }
}

}  // namespace

std::string CleanNewsText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const std::size_t n = text.size();
    std::size_t i = 0;
    CloseFinder closes(text);
    while (i < n) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const std::size_t left = n - i - 1;  // bytes after this one
        if (byte == '<') {
            std::size_t next = SkipChatToken(text, i, closes);
            if (next != std::string_view::npos) {
                i = next;
            } else {
                out.push_back('<');
                ++i;
            }
        } else if (byte == 0xE2 && left >= 2) {
            out += PunctuationAsAscii(static_cast<unsigned char>(text[i + 1]),
                                      static_cast<unsigned char>(text[i + 2]));
            i += 3;
        } else if (byte >= 0xC0 && byte <= 0xDF && left >= 1) {
            const auto second = static_cast<unsigned char>(text[i + 1]);
            if (byte == 0xC2 && second == 0xB7)
                out.push_back('-');
            if (byte == 0xC2 && second == 0xA0)
                out.push_back(' ');
            i += 2;
        } else if (byte >= 0xE0 && byte <= 0xEF && left >= 2) {
            i += 3;
        } else if (byte >= 0xF0 && byte <= 0xF7 && left >= 3) {
            i += 4;
        } else {
            if (IsKeptAscii(byte))
                out.push_back(static_cast<char>(byte));
            ++i;
        }
    }
    return out;
}

}  // namespace qs
