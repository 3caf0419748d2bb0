#include "resources/resources.h"

#include "resources/embedded_table.h"

namespace qs {

std::span<const std::uint8_t> FindResourceData(int id) {
    for (std::size_t i = 0; i < kEmbeddedResourceCount; ++i) {
        const EmbeddedResource& entry = kEmbeddedResources[i];
        if (entry.id == id)
            return {entry.begin, static_cast<std::size_t>(entry.end - entry.begin)};
    }
    return {};
}

}  // namespace qs
