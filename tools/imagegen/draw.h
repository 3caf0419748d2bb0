#pragma once
// A tiny software painter: premultiplied float canvas, signed-distance shapes, value noise.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace qs {

namespace imagegen {

struct Rgba {
    float r = 0, g = 0, b = 0, a = 0;  // premultiplied
};

struct V2 {
    float x = 0, y = 0;
};
inline V2 operator+(V2 a, V2 b) {
    return {a.x + b.x, a.y + b.y};
}
inline V2 operator-(V2 a, V2 b) {
    return {a.x - b.x, a.y - b.y};
}
inline V2 operator*(V2 a, float k) {
    return {a.x * k, a.y * k};
}
inline float Dot(V2 a, V2 b) {
    return a.x * b.x + a.y * b.y;
}
inline float Length(V2 a) {
    return std::sqrt(Dot(a, a));
}
inline V2 Rotate(V2 p, float angle) {
    const float c = std::cos(angle), s = std::sin(angle);
    return {c * p.x - s * p.y, s * p.x + c * p.y};
}

inline float Clamp01(float v) {
    return std::clamp(v, 0.0f, 1.0f);
}
inline float Lerp(float a, float b, float t) {
    return a + (b - a) * t;
}
inline float Smoothstep(float e0, float e1, float x) {
    const float t = Clamp01((x - e0) / (e1 - e0));
    return t * t * (3.0f - 2.0f * t);
}

inline Rgba Color(std::uint32_t rgb, float alpha = 1.0f) {
    return {((rgb >> 16) & 255) / 255.0f * alpha, ((rgb >> 8) & 255) / 255.0f * alpha,
            (rgb & 255) / 255.0f * alpha, alpha};
}
inline Rgba Fade(Rgba c, float k) {
    return {c.r * k, c.g * k, c.b * k, c.a * k};
}
inline Rgba Mix(Rgba a, Rgba b, float t) {
    return {Lerp(a.r, b.r, t), Lerp(a.g, b.g, t), Lerp(a.b, b.b, t), Lerp(a.a, b.a, t)};
}
// Source over destination.
inline Rgba Over(Rgba dst, Rgba src) {
    const float k = 1.0f - src.a;
    return {src.r + dst.r * k, src.g + dst.g * k, src.b + dst.b * k, src.a + dst.a * k};
}
// Light added on top (glows); alpha grows with the added light.
inline Rgba Add(Rgba dst, Rgba light) {
    return {dst.r + light.r, dst.g + light.g, dst.b + light.b, std::min(1.0f, dst.a + light.a)};
}

class Canvas {
public:
    Canvas(int width, int height)
        : width_(width), height_(height), pixels_(std::size_t(width) * height) {}
    int width() const { return width_; }
    int height() const { return height_; }
    Rgba& at(int x, int y) { return pixels_[std::size_t(y) * width_ + x]; }
    const Rgba& at(int x, int y) const { return pixels_[std::size_t(y) * width_ + x]; }

    // Calls shade(pixel, centre) for every pixel of the clipped rectangle.
    template <class Shade>
    void region(int x0, int y0, int x1, int y1, Shade&& shade) {
        x0 = std::max(0, x0), y0 = std::max(0, y0);
        x1 = std::min(width_, x1), y1 = std::min(height_, y1);
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                shade(at(x, y), V2{x + 0.5f, y + 0.5f});
    }
    template <class Shade>
    void all(Shade&& shade) {
        region(0, 0, width_, height_, shade);
    }

private:
    int width_, height_;
    std::vector<Rgba> pixels_;
};

// 3 channels: composited over black; 4: straight alpha. Dithered to hide gradient banding.
bool WritePng(const Canvas& canvas, const std::string& path, int channels);

// --- Signed distances in pixels (negative inside) ---
inline float SdCircle(V2 p, V2 c, float r) {
    return Length(p - c) - r;
}
inline float SdBox(V2 p, V2 c, V2 half, float rounding = 0.0f) {
    const V2 q{std::fabs(p.x - c.x) - half.x + rounding, std::fabs(p.y - c.y) - half.y + rounding};
    const V2 outside{std::max(q.x, 0.0f), std::max(q.y, 0.0f)};
    return Length(outside) + std::min(std::max(q.x, q.y), 0.0f) - rounding;
}
inline float SdSegment(V2 p, V2 a, V2 b, float r) {
    const V2 pa = p - a, ba = b - a;
    const float h = Clamp01(Dot(pa, ba) / Dot(ba, ba));
    return Length(pa - ba * h) - r;
}
float SdPolygon(V2 p, const std::vector<V2>& vertices);
// Pointy-top regular hexagon with circumradius r.
float SdHexagon(V2 p, V2 c, float r);

inline float Coverage(float distance, float softness = 1.0f) {
    return Clamp01(0.5f - distance / softness);
}

// --- Noise ---
float Hash(int x, int y, int seed);
float ValueNoise(float x, float y, int seed);
float Fbm(float x, float y, int octaves, int seed);
float Fbm1(float x, int octaves, int seed);

}  // namespace imagegen

}  // namespace qs
