#pragma once
#include <string>

namespace qs {

// An error message as a wide string. A JSON parse error quotes the body it stopped at, which may
// not be valid UTF-8; such bytes are left out rather than failing the report itself.
std::wstring ErrorTextAsWide(const char* message);

}  // namespace qs
