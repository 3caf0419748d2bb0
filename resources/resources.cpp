#include "resources/resources.h"

// Placeholder until the build embeds the fonts and images.
std::span<const std::uint8_t> FindResourceData(int) {
    return {};
}
