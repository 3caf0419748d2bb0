#pragma once
// PNG (and other image) bytes to 8-bit RGBA pixels.
#include <cstdint>
#include <span>
#include <vector>

namespace qs {

// An image decoded to 8-bit RGBA rows, whatever the file's own channel count.
struct DecodedImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba;
};

// Largest image edge we accept; the biggest built-in image is 3000 px.
inline constexpr int kMaxImageEdge = 8192;

// False for empty, broken or oversized data; `image` is then empty.
bool DecodeImage(std::span<const std::uint8_t> data, DecodedImage& image);

}  // namespace qs
