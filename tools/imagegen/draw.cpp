#include "draw.h"

#include <stb_image_write.h>

namespace qs {

namespace imagegen {

bool WritePng(const Canvas& canvas, const std::string& path, int channels) {
    const int w = canvas.width(), h = canvas.height();
    std::vector<std::uint8_t> bytes(std::size_t(w) * h * channels);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const Rgba& c = canvas.at(x, y);
            const float dither = Hash(x, y, 977) - 0.5f;
            float r = c.r, g = c.g, b = c.b;
            if (channels == 4 && c.a > 0.0f)
                r /= c.a, g /= c.a, b /= c.a;
            auto quantise = [dither](float v) {
                return static_cast<std::uint8_t>(
                    std::clamp(v * 255.0f + 0.5f + dither, 0.0f, 255.0f));
            };
            std::uint8_t* out = &bytes[(std::size_t(y) * w + x) * channels];
            out[0] = quantise(r), out[1] = quantise(g), out[2] = quantise(b);
            if (channels == 4)
                out[3] = static_cast<std::uint8_t>(std::clamp(c.a * 255.0f + 0.5f, 0.0f, 255.0f));
        }
    }
    return stbi_write_png(path.c_str(), w, h, channels, bytes.data(), w * channels) != 0;
}

float SdPolygon(V2 p, const std::vector<V2>& v) {
    float d = Dot(p - v[0], p - v[0]);
    float s = 1.0f;
    for (std::size_t i = 0, j = v.size() - 1; i < v.size(); j = i, ++i) {
        const V2 e = v[j] - v[i], w = p - v[i];
        const V2 b = w - e * Clamp01(Dot(w, e) / Dot(e, e));
        d = std::min(d, Dot(b, b));
        const bool c1 = p.y >= v[i].y, c2 = p.y<v[j].y, c3 = e.x * w.y> e.y * w.x;
        if ((c1 && c2 && c3) || (!c1 && !c2 && !c3))
            s = -s;
    }
    return s * std::sqrt(d);
}

float SdHexagon(V2 p, V2 c, float r) {
    // Fold into one sector of a pointy-top hexagon.
    const float kx = -0.866025404f, ky = 0.5f, kz = 0.577350269f;
    V2 q{std::fabs(p.y - c.y), std::fabs(p.x - c.x)};
    const float inradius = r * 0.866025404f;
    const float k = 2.0f * std::min(kx * q.x + ky * q.y, 0.0f);
    q = q - V2{kx, ky} * k;
    q = q - V2{std::clamp(q.x, -kz * inradius, kz * inradius), inradius};
    return Length(q) * (q.y < 0.0f ? -1.0f : 1.0f);
}

float Hash(int x, int y, int seed) {
    std::uint32_t h = static_cast<std::uint32_t>(x) * 374761393u +
                      static_cast<std::uint32_t>(y) * 668265263u +
                      static_cast<std::uint32_t>(seed) * 2246822519u;
    h = (h ^ (h >> 13)) * 1274126177u;
    h ^= h >> 16;
    return (h & 0xFFFFFF) / float(0x1000000);
}

float ValueNoise(float x, float y, int seed) {
    const float fx = std::floor(x), fy = std::floor(y);
    const int ix = static_cast<int>(fx), iy = static_cast<int>(fy);
    float tx = x - fx, ty = y - fy;
    tx = tx * tx * (3 - 2 * tx), ty = ty * ty * (3 - 2 * ty);
    const float a = Hash(ix, iy, seed), b = Hash(ix + 1, iy, seed);
    const float c = Hash(ix, iy + 1, seed), d = Hash(ix + 1, iy + 1, seed);
    return Lerp(Lerp(a, b, tx), Lerp(c, d, tx), ty);
}

float Fbm(float x, float y, int octaves, int seed) {
    float sum = 0, amplitude = 0.5f, norm = 0;
    for (int i = 0; i < octaves; ++i) {
        sum += amplitude * ValueNoise(x, y, seed + i * 31);
        norm += amplitude;
        x = x * 2.03f + 17.1f, y = y * 2.03f + 9.7f;
        amplitude *= 0.5f;
    }
    return sum / norm;
}

float Fbm1(float x, int octaves, int seed) {
    return Fbm(x, 0.5f, octaves, seed);
}

}  // namespace imagegen

}  // namespace qs
