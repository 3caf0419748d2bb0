#include "selfupdate/self_update_text.h"

#include <stdexcept>

#include "platform/wide_text.h"

namespace qs {

std::wstring ErrorTextAsWide(const char* message) {
    const std::string text = message ? message : "";
    try {
        return Utf8ToWide(text);
    } catch (const std::runtime_error&) {
        std::wstring ascii;
        for (char c : text)
            if (static_cast<unsigned char>(c) < 0x80)
                ascii.push_back(static_cast<wchar_t>(c));
        return ascii;
    }
}

}  // namespace qs
