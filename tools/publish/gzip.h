#pragma once
// gzip members as a web server's precompressed files hold them (nginx's gzip_static).
#include <cstdint>
#include <string>
#include <string_view>

namespace qs::publish {

// The gzip member of `bytes`.
std::string GzipBytes(std::string_view bytes);
// The gzip member of `count` zero bytes, made piece by piece (a test's "gzip bomb").
std::string GzipZeros(std::uint64_t count);

}  // namespace qs::publish
