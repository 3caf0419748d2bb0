#include "platform/image_decode.h"

#include <stb_image.h>

#include <climits>

namespace qs {

bool DecodeImage(std::span<const std::uint8_t> data, DecodedImage& image) {
    image = DecodedImage{};
    if (data.empty() || data.size() > INT_MAX)
        return false;
    const int length = static_cast<int>(data.size());
    int width = 0, height = 0, channels = 0;
    // Check the header before decoding so a hostile size never allocates.
    if (!stbi_info_from_memory(data.data(), length, &width, &height, &channels))
        return false;
    if (width <= 0 || height <= 0 || width > kMaxImageEdge || height > kMaxImageEdge)
        return false;
    stbi_uc* pixels = stbi_load_from_memory(data.data(), length, &width, &height, &channels, 4);
    if (pixels == nullptr)
        return false;
    image.width = width;
    image.height = height;
    image.rgba.assign(pixels, pixels + std::size_t(width) * height * 4);
    stbi_image_free(pixels);
    return true;
}

}  // namespace qs
