#include "art.h"

#include <stb_image_write.h>
#include <stb_truetype.h>

#include <cmath>
#include <vector>

namespace qs {

namespace imagegen {
namespace {

constexpr std::uint32_t kOrangeLight = 0xFFC47A, kOrange = 0xE67E22, kOrangeDeep = 0xA4471A;

// Emblem distance in units of the frame radius; q.y grows upwards.
float EmblemDistance(V2 q, Emblem emblem) {
    switch (emblem) {
        case Emblem::Orb:
            return SdCircle(q, {0.0f, 0.0f}, 0.36f);
        case Emblem::Bolt:
            return SdPolygon(q, {{0.1f, 0.64f},
                                 {-0.3f, -0.04f},
                                 {-0.03f, -0.04f},
                                 {-0.13f, -0.64f},
                                 {0.31f, 0.1f},
                                 {0.04f, 0.1f}});
        case Emblem::Swords: {
            float d = 1e9f;
            for (float side : {-1.0f, 1.0f}) {
                const V2 s = Rotate(q, side * 0.72f);  // local frame: blade along +y
                float sword = SdPolygon(s, {{-0.05f, -0.14f},
                                            {0.05f, -0.14f},
                                            {0.05f, 0.5f},
                                            {0.0f, 0.64f},
                                            {-0.05f, 0.5f}});
                sword = std::min(sword, SdBox(s, {0.0f, -0.18f}, {0.19f, 0.035f}, 0.02f));  // guard
                sword = std::min(sword, SdBox(s, {0.0f, -0.32f}, {0.032f, 0.11f}));         // grip
                sword = std::min(sword, SdCircle(s, {0.0f, -0.47f}, 0.06f));  // pommel
                d = std::min(d, sword);
            }
            return d;
        }
        case Emblem::Bell: {
            float d = SdCircle(q, {0.0f, 0.17f}, 0.27f);
            d = std::min(
                d,
                SdPolygon(q, {{-0.27f, 0.17f}, {0.27f, 0.17f}, {0.41f, -0.28f}, {-0.41f, -0.28f}}));
            d = std::min(d, SdBox(q, {0.0f, -0.31f}, {0.47f, 0.065f}, 0.05f));
            d = std::min(d, SdCircle(q, {0.0f, -0.47f}, 0.09f));
            d = std::min(d, std::fabs(SdCircle(q, {0.0f, 0.5f}, 0.07f)) - 0.03f);
            return d;
        }
        case Emblem::Trophy: {
            float cup = std::max(SdCircle(q, {0.0f, 0.3f}, 0.34f), q.y - 0.52f);
            cup = std::min(cup, SdBox(q, {0.0f, 0.46f}, {0.34f, 0.06f}));
            float d = cup;
            for (float side : {-1.0f, 1.0f})
                d = std::min(d, std::fabs(SdCircle(q, {side * 0.34f, 0.32f}, 0.13f)) - 0.035f);
            d = std::min(d, SdBox(q, {0.0f, -0.14f}, {0.05f, 0.12f}));
            d = std::min(d, SdBox(q, {0.0f, -0.28f}, {0.15f, 0.035f}, 0.01f));
            d = std::min(d, SdBox(q, {0.0f, -0.39f}, {0.25f, 0.07f}, 0.03f));
            return d;
        }
    }
    return 1e9f;
}

// Glowing orange emblem with a top-lit gradient and a dark outline.
Rgba ShadeEmblem(Rgba c, V2 q, float R, Emblem emblem, float emblemScale) {
    const V2 e = q * (1.0f / emblemScale);
    const float d = EmblemDistance(e, emblem) * emblemScale * R;  // pixels
    c = Add(c, Fade(Color(kOrange), 0.55f * std::exp(-std::max(d, 0.0f) / (R * 0.07f))));
    if (d < 1.5f) {
        Rgba fill = Mix(Color(kOrangeLight), Color(kOrangeDeep), Smoothstep(0.6f, -0.6f, e.y));
        if (emblem == Emblem::Orb) {  // a lit sphere with a hot core
            const float r = Length(e - V2{-0.1f, 0.12f}) / 0.5f;
            fill = Mix(Color(0xFFF3DC), Color(kOrange), Smoothstep(0.0f, 0.75f, r));
            fill = Mix(fill, Color(kOrangeDeep), Smoothstep(0.7f, 1.1f, r));
        }
        const float inner = Smoothstep(-R * 0.03f, 0.0f, d);  // darker rim inside the edge
        fill = Mix(fill, Color(0x5A1E08), inner * 0.45f);
        c = Over(c, Fade(fill, Coverage(d)));
    }
    if (emblem == Emblem::Orb) {  // a tilted energy ring around the orb
        const V2 r = Rotate(q * (1.0f / emblemScale), 0.35f);
        const float ring = std::fabs(Length(V2{r.x / 0.62f, r.y / 0.2f}) - 1.0f) * 0.2f - 0.012f;
        const bool behind = r.y > 0.0f && EmblemDistance(q * (1.0f / emblemScale), emblem) < 0.0f;
        if (!behind)
            c = Over(c, Fade(Color(0xFFD9A0), Coverage(ring * emblemScale * R)));
    }
    return c;
}

Rgba ShadeFrameMetal(float y01) {
    return Mix(Color(0xFFB35C), Color(0x8A3A12), Smoothstep(0.0f, 1.0f, y01));
}

}  // namespace

void PaintHexBadge(Canvas& canvas, Emblem emblem) {
    const float w = canvas.width(), h = canvas.height();
    const V2 centre{w * 0.5f, h * 0.5f};
    const float R = std::min(w / (2.0f * 0.866f), h * 0.5f) * 0.84f;
    canvas.all([&](Rgba& px, V2 p) {
        const float d = SdHexagon(p, centre, R);
        const V2 q{(p.x - centre.x) / R, (centre.y - p.y) / R};
        Rgba c{};
        if (d > 0) {
            c = Fade(Color(kOrange), 0.4f * std::exp(-d / (R * 0.09f)));
        } else {
            const float y01 = (p.y - (centre.y - R)) / (2 * R);
            // Plate: dark warm radial gradient with a faint grain.
            const float r = Length(q);
            Rgba plate = Mix(Color(0x4A2614), Color(0x160C07), Smoothstep(0.0f, 0.95f, r));
            plate = Mix(plate, Color(0x000000),
                        0.15f * Fbm(p.x / (R * 0.15f), p.y / (R * 0.15f), 3, 5));
            c = plate;
            // Frame: a metallic band with a thin inner line.
            const float band = Coverage(-(d + R * 0.1f));
            c = Mix(c, ShadeFrameMetal(y01), band);
            c = Over(c, Fade(Color(0x2A0E04), Coverage(std::fabs(d + R * 0.1f) - 1.0f)));
            c = Over(c,
                     Fade(Color(0xF0A050), 0.7f * Coverage(std::fabs(d + R * 0.15f) - R * 0.008f)));
            // Sheen across the upper half of the frame.
            const float sheen = Smoothstep(0.25f, 0.0f, std::fabs(q.x + q.y * 0.6f - 0.35f)) * band;
            c = Add(c, Fade(Color(0xFFE2B0), 0.35f * sheen));
            c = ShadeEmblem(c, q, R, emblem, emblem == Emblem::Orb ? 0.78f : 0.84f);
            c.a = 1.0f;
            const float edge = Coverage(d);
            c = Over(Fade(Color(kOrange), 0.4f), Fade(c, edge));
        }
        px = c;
    });
}

void PaintRoundIcon(Canvas& canvas, Emblem emblem) {
    const float w = canvas.width(), h = canvas.height();
    const V2 centre{w * 0.5f, h * 0.5f};
    const float R = std::min(w, h) * 0.5f * 0.86f;
    canvas.all([&](Rgba& px, V2 p) {
        const float d = SdCircle(p, centre, R);
        const V2 q{(p.x - centre.x) / R, (centre.y - p.y) / R};
        Rgba c = Fade(Color(kOrange), 0.4f * std::exp(-std::max(d, 0.0f) / (R * 0.08f)));
        if (d < 1.0f) {
            Rgba plate = Mix(Color(0x3A1E0E), Color(0x100805), Smoothstep(0.0f, 1.0f, Length(q)));
            const float band = Coverage(-(d + R * 0.11f));
            plate = Mix(plate, ShadeFrameMetal((p.y - (centre.y - R)) / (2 * R)), band);
            plate = Over(plate, Fade(Color(0x2A0E04), Coverage(std::fabs(d + R * 0.11f) - 1.0f)));
            plate = ShadeEmblem(plate, q, R, emblem, 0.86f);
            plate.a = 1.0f;
            c = Over(c, Fade(plate, Coverage(d)));
        }
        px = c;
    });
}

void PaintStreak(Canvas& canvas) {
    const float w = canvas.width(), h = canvas.height();
    canvas.all([&](Rgba& px, V2 p) {
        const float u = p.x / w, v = p.y / h;
        // Ground: dark orange, softly rounded at the ends.
        const float ends = Smoothstep(0.0f, 0.08f, u) * Smoothstep(1.0f, 0.92f, u);
        const float rows = Smoothstep(0.0f, 0.12f, v) * Smoothstep(1.0f, 0.88f, v);
        Rgba c = Fade(Mix(Color(0x4A1C07), Color(0x2A0F04), std::fabs(v - 0.5f) * 2.0f),
                      0.92f * ends * rows);
        // Streak: thick in the middle, tapering to threads, hot white core.
        const float thickness = h * (0.02f + 0.09f * std::pow(std::sin(3.14159f * u), 1.6f));
        const float dy = (p.y - h * 0.5f) / thickness;
        const float core = std::exp(-dy * dy);
        const float halo =
            std::exp(-std::fabs(p.y - h * 0.5f) / (h * 0.18f)) * std::sin(3.14159f * u);
        c = Add(c, Fade(Color(kOrange), 0.55f * halo));
        c = Add(c, Fade(Color(0xFFB062), core));
        c = Add(c, Fade(Color(0xFFF4E0), std::pow(core, 4.0f) * std::sin(3.14159f * u)));
        // Thin speed lines above and below.
        for (int i = 0; i < 4; ++i) {
            const float y = h * (0.28f + 0.15f * i + (i > 1 ? 0.06f : 0.0f));
            const float x0 = w * (0.12f + 0.17f * i),
                        x1 = std::min(x0 + w * (0.28f + 0.05f * i), w * 0.9f);
            if (p.x < x0 || p.x > x1)
                continue;
            const float t = (p.x - x0) / (x1 - x0);
            const float line = std::exp(-std::pow((p.y - y) / 1.1f, 2.0f)) * std::sin(3.14159f * t);
            c = Add(c, Fade(Color(0xFF9A45), 0.55f * line));
        }
        px = c;
    });
}

bool RenderText(const std::vector<unsigned char>& font, const std::string& text, float capHeight,
                float tracking, TextMask& mask) {
    stbtt_fontinfo info;
    const int offset = stbtt_GetFontOffsetForIndex(font.data(), 0);
    if (offset < 0 || !stbtt_InitFont(&info, font.data(), offset))
        return false;
    int hx0, hy0, hx1, hy1;
    if (!stbtt_GetCodepointBox(&info, 'H', &hx0, &hy0, &hx1, &hy1) || hy1 <= 0)
        return false;
    const float scale = capHeight / hy1;
    int ascent, descent, gap;
    stbtt_GetFontVMetrics(&info, &ascent, &descent, &gap);
    const int baseline = static_cast<int>(std::ceil(ascent * scale));
    const int height = baseline + static_cast<int>(std::ceil(-descent * scale)) + 2;
    float advanceTotal = 0;
    for (char ch : text) {
        int advance, bearing;
        stbtt_GetCodepointHMetrics(&info, ch, &advance, &bearing);
        advanceTotal += advance * scale + tracking * capHeight;
    }
    const int width = static_cast<int>(std::ceil(advanceTotal)) + 4;
    std::vector<unsigned char> canvas(std::size_t(width) * height, 0);
    float penX = 2;
    std::vector<unsigned char> glyph;
    for (char ch : text) {
        int x0, y0, x1, y1;
        const float shift = penX - std::floor(penX);
        stbtt_GetCodepointBitmapBoxSubpixel(&info, ch, scale, scale, shift, 0, &x0, &y0, &x1, &y1);
        const int gw = x1 - x0, gh = y1 - y0;
        if (gw > 0 && gh > 0) {
            glyph.assign(std::size_t(gw) * gh, 0);
            stbtt_MakeCodepointBitmapSubpixel(&info, glyph.data(), gw, gh, gw, scale, scale, shift,
                                              0, ch);
            for (int y = 0; y < gh; ++y)
                for (int x = 0; x < gw; ++x) {
                    const int tx = int(std::floor(penX)) + x0 + x, ty = baseline + y0 + y;
                    if (tx < 0 || ty < 0 || tx >= width || ty >= height)
                        continue;
                    unsigned char& out = canvas[std::size_t(ty) * width + tx];
                    out = std::max(out, glyph[std::size_t(y) * gw + x]);
                }
        }
        int advance, bearing;
        stbtt_GetCodepointHMetrics(&info, ch, &advance, &bearing);
        penX += advance * scale + tracking * capHeight;
    }
    // Crop to the ink so callers can centre what is visible.
    int minX = width, minY = height, maxX = -1, maxY = -1;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            if (canvas[std::size_t(y) * width + x]) {
                minX = std::min(minX, x), maxX = std::max(maxX, x);
                minY = std::min(minY, y), maxY = std::max(maxY, y);
            }
    if (maxX < 0)
        return false;
    mask.width = maxX - minX + 1, mask.height = maxY - minY + 1;
    mask.coverage.assign(std::size_t(mask.width) * mask.height, 0);
    for (int y = 0; y < mask.height; ++y)
        std::copy_n(&canvas[std::size_t(y + minY) * width + minX], mask.width,
                    &mask.coverage[std::size_t(y) * mask.width]);
    return true;
}

void PaintAppIcon(Canvas& canvas, const TextMask& letter) {
    const float w = canvas.width(), h = canvas.height();
    const V2 centre{w * 0.5f, h * 0.5f};
    const int lx = int((w - letter.width) * 0.5f), ly = int((h - letter.height) * 0.5f);
    canvas.all([&](Rgba& px, V2 p) {
        const float tile = SdBox(p, centre, {w * 0.46f, h * 0.46f}, w * 0.2f);
        Rgba c{};
        if (tile < 1.0f) {
            Rgba ground = Mix(Color(0x2A2450), Color(0x0D0E16),
                              Smoothstep(0.0f, w * 0.75f, Length(p - V2{w * 0.3f, h * 0.2f})));
            const float hex = SdHexagon(p, centre, w * 0.36f);
            ground =
                Add(ground, Fade(Color(0x7D67CB), 0.35f * std::exp(-std::fabs(hex) / (w * 0.03f))));
            ground = Over(ground, Fade(Color(0x9580DC), Coverage(std::fabs(hex) - w * 0.006f)));
            const int x = int(p.x) - lx, y = int(p.y) - ly;
            float ink = 0;
            if (x >= 0 && y >= 0 && x < letter.width && y < letter.height)
                ink = letter.coverage[std::size_t(y) * letter.width + x] / 255.0f;
            ground = Over(ground, Fade(Mix(Color(0xFFFFFF), Color(0xC9BEF2), p.y / h), ink));
            ground = Over(ground,
                          Fade(Color(0xFFFFFF), 0.06f * Coverage(std::fabs(tile + 1.5f) - 0.8f)));
            c = Fade(ground, Coverage(tile));
        }
        px = c;
    });
}

bool WriteWordmark(const std::vector<unsigned char>& font, int size, const std::string& path) {
    TextMask title, subtitle, probe;
    // Size the title to 92% of the canvas width from a small trial render.
    if (!RenderText(font, "QUILLON", 100.0f, 0.06f, probe))
        return false;
    const float titleCap = 100.0f * size * 0.92f / probe.width;
    if (!RenderText(font, "QUILLON", titleCap, 0.06f, title))
        return false;
    // "SAGA" is spread to the title's width, the classic stacked wordmark.
    if (!RenderText(font, "SAGA", titleCap * 0.62f, 0.0f, probe))
        return false;
    const float spread = (title.width - probe.width) / (3.0f * titleCap * 0.62f);
    if (!RenderText(font, "SAGA", titleCap * 0.62f, std::max(0.0f, spread), subtitle))
        return false;

    if (title.width > size || subtitle.width > size)
        return false;

    const int ruleGap = int(titleCap * 0.28f), ruleHeight = std::max(2, int(titleCap * 0.045f));
    const int blockHeight = title.height + ruleGap * 2 + ruleHeight + subtitle.height;
    const int top = (size - blockHeight) / 2;
    const int titleX = (size - title.width) / 2, subtitleX = (size - subtitle.width) / 2;
    const int ruleY = top + title.height + ruleGap;
    const int subtitleY = ruleY + ruleHeight + ruleGap;

    // White everywhere so filtered edges never darken; only alpha carries the shape.
    std::vector<unsigned char> rgba(std::size_t(size) * size * 4);
    for (std::size_t i = 0; i < rgba.size(); i += 4)
        rgba[i] = rgba[i + 1] = rgba[i + 2] = 255, rgba[i + 3] = 0;
    auto blit = [&](const TextMask& mask, int ox, int oy) {
        for (int y = 0; y < mask.height; ++y)
            for (int x = 0; x < mask.width; ++x)
                rgba[(std::size_t(oy + y) * size + ox + x) * 4 + 3] =
                    mask.coverage[std::size_t(y) * mask.width + x];
    };
    blit(title, titleX, top);
    blit(subtitle, subtitleX, subtitleY);
    // A rule between the lines with a diamond in the middle, tapering at both ends.
    const float cx = size * 0.5f, cy = ruleY + ruleHeight * 0.5f;
    const float half = title.width * 0.5f, diamond = ruleHeight * 4.0f;
    for (int y = int(cy - diamond - 2); y <= int(cy + diamond + 2); ++y)
        for (int x = int(cx - half); x <= int(cx + half); ++x) {
            const float dx = std::fabs(x + 0.5f - cx), dy = std::fabs(y + 0.5f - cy);
            const float taper = 1.0f - Smoothstep(half * 0.55f, half, dx);
            const float rule =
                Coverage(dy - ruleHeight * 0.5f * taper) * (dx > diamond * 1.6f ? 1.0f : 0.0f);
            const float gem = Coverage((dx + dy) - diamond);
            const float a = std::max(rule, gem);
            unsigned char& alpha = rgba[(std::size_t(y) * size + x) * 4 + 3];
            alpha = std::max<unsigned char>(alpha, static_cast<unsigned char>(a * 255.0f + 0.5f));
        }
    stbi_write_png_compression_level = 6;
    stbi_write_force_png_filter = 0;  // mostly empty rows: no filter search needed
    const bool ok = stbi_write_png(path.c_str(), size, size, 4, rgba.data(), size * 4) != 0;
    stbi_write_force_png_filter = -1;
    stbi_write_png_compression_level = 8;
    return ok;
}

}  // namespace imagegen

}  // namespace qs
