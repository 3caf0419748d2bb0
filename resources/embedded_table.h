#pragma once
// The table the build generates: one row per embedded file.
#include <cstddef>

namespace qs {

struct EmbeddedResource {
    int id;
    const unsigned char* begin;
    const unsigned char* end;
};

extern const EmbeddedResource kEmbeddedResources[];
extern const std::size_t kEmbeddedResourceCount;

}  // namespace qs
