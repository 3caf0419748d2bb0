#include "scene.h"

#include <cmath>
#include <vector>

namespace qs {

namespace imagegen {
namespace {

float Triangle(V2 p, V2 a, V2 b, V2 c) {
    return SdPolygon(p, {a, b, c});
}

// Castle silhouette around the base point; s is the keep's height in pixels; y grows downwards.
float CastleDistance(V2 p, V2 base, float s) {
    const V2 q{(p.x - base.x) / s, (base.y - p.y) / s};
    auto box = [&](float cx, float cy, float hx, float hy) { return SdBox(q, {cx, cy}, {hx, hy}); };
    auto crenels = [&](float cx, float top, float hx) {
        const float merlons = box(cx, top + 0.045f, hx, 0.045f);
        const float phase = std::fmod(std::fabs(q.x - cx + hx) / 0.075f, 1.0f);
        const float gap = (phase > 0.5f && q.y > top) ? 0.01f : -1.0f;
        return std::max(merlons, gap);
    };
    float d = box(0.0f, 0.55f, 0.22f, 0.55f);  // keep
    d = std::min(d, crenels(0.0f, 1.1f, 0.22f));
    d = std::min(d, box(0.08f, 1.3f, 0.065f, 0.5f));  // spire tower
    d = std::min(d, Triangle(q, {0.0f, 1.79f}, {0.16f, 1.79f}, {0.08f, 2.35f}));
    d = std::min(d, box(-0.52f, 0.45f, 0.09f, 0.45f));  // left tower
    d = std::min(d, Triangle(q, {-0.63f, 0.89f}, {-0.41f, 0.89f}, {-0.52f, 1.32f}));
    d = std::min(d, box(0.52f, 0.55f, 0.1f, 0.55f));  // right tower
    d = std::min(d, Triangle(q, {0.4f, 1.09f}, {0.64f, 1.09f}, {0.52f, 1.58f}));
    d = std::min(d, box(0.0f, 0.2f, 0.85f, 0.22f));  // curtain wall
    d = std::min(d, crenels(-0.6f, 0.42f, 0.25f));
    d = std::min(d, crenels(0.62f, 0.42f, 0.23f));
    d = std::min(d, box(0.0f, -0.3f, 1.0f, 0.32f));  // footing into the rock
    return d * s;
}

float CastleWindows(V2 p, V2 base, float s) {
    const V2 q{(p.x - base.x) / s, (base.y - p.y) / s};
    const V2 spots[] = {{-0.09f, 0.72f}, {0.09f, 0.72f}, {0.0f, 0.42f}, {-0.52f, 0.62f},
                        {0.52f, 0.8f},   {0.08f, 1.52f}, {0.52f, 0.5f}};
    float d = 1e9f;
    for (const V2& c : spots)
        d = std::min(d, SdBox(q, c, {0.02f, 0.045f}));
    return d * s;
}

// Polynomial smooth minimum: joins shapes with a fillet of about k.
float SmoothUnion(float a, float b, float k) {
    const float h = std::max(k - std::fabs(a - b), 0.0f) / k;
    return std::min(a, b) - h * h * k * 0.25f;
}

const std::vector<V2> kCloak = {{-0.15f, 0.76f}, {0.15f, 0.76f},  {0.19f, 0.4f},  {0.22f, 0.02f},
                                {0.08f, 0.0f},   {-0.06f, 0.04f}, {-0.22f, 0.0f}, {-0.5f, 0.12f},
                                {-0.36f, 0.22f}, {-0.26f, 0.42f}, {-0.19f, 0.62f}};

// Cloaked figure seen from behind, feet at `feet`, `s` pixels tall; y grows downwards.
float FigureDistance(V2 p, V2 feet, float s) {
    const V2 q{(p.x - feet.x) / s, (feet.y - p.y) / s};
    float d = SdPolygon(q, kCloak);
    d = SmoothUnion(d, SdSegment(q, {-0.11f, 0.77f}, {0.11f, 0.77f}, 0.055f), 0.05f);  // shoulders
    float hood = SdCircle(q, {0.0f, 0.87f}, 0.07f);
    hood = SmoothUnion(hood, Triangle(q, {-0.06f, 0.9f}, {0.05f, 0.9f}, {-0.03f, 1.01f}), 0.03f);
    d = SmoothUnion(d, hood, 0.04f);
    d = SmoothUnion(d, SdSegment(q, {0.12f, 0.73f}, {0.21f, 0.92f}, 0.032f), 0.03f);  // raised arm
    d = std::min(d, SdSegment(q, {0.14f, 0.0f}, {0.23f, 1.15f}, 0.011f));             // staff
    return d * s;
}

// Darker vertical folds in the cloak, 0..1.
float CloakFolds(V2 p, V2 feet, float s) {
    const V2 q{(p.x - feet.x) / s, (feet.y - p.y) / s};
    const float wave = std::sin(q.x * 48.0f + q.y * 5.0f + 1.3f * std::sin(q.y * 7.0f));
    return Smoothstep(0.2f, 1.0f, wave) * Smoothstep(0.78f, 0.3f, q.y);
}

V2 OrbCentre(float figureX, float feetY, float s) {
    return {figureX + 0.235f * s, feetY - 1.19f * s};
}

struct Ranges {
    std::vector<float> far, mid, near;
};

Ranges MakeRanges(int w, int h, const SceneStyle& st) {
    Ranges r{std::vector<float>(w), std::vector<float>(w), std::vector<float>(w)};
    const float horizonY = st.horizon * h;
    for (int x = 0; x < w; ++x) {
        const float u = x / float(h);  // keeps the relief's shape independent of the aspect ratio
        const float ridgeFar = 1.0f - std::fabs(Fbm1(u * 2.2f, 5, st.seed) * 2.0f - 1.0f);
        r.far[x] = horizonY - h * (0.04f + 0.16f * ridgeFar * ridgeFar);
        const float ridgeMid = Fbm1(u * 3.1f + 7.0f, 5, st.seed + 5);
        float mid = horizonY + h * (0.06f - 0.14f * ridgeMid);
        if (st.castleScale > 0) {  // a crag under the castle
            const float k = (x - st.castleX) / (st.castleScale * 1.4f);
            mid -= st.castleScale * 0.9f * std::exp(-k * k);
        }
        r.mid[x] = mid;
        const float ridgeNear = Fbm1(u * 1.7f + 3.0f, 4, st.seed + 9);
        float nearY = h * (0.86f - 0.1f * ridgeNear);
        if (st.figureScale > 0) {  // a ledge under the figure
            const float k = (x - st.figureX) / (st.figureScale * 0.9f);
            nearY -= st.figureScale * 0.12f * std::exp(-k * k * k * k);
        }
        r.near[x] = nearY;
    }
    return r;
}

}  // namespace

void PaintScene(Canvas& canvas, const SceneStyle& st) {
    const int w = canvas.width(), h = canvas.height();
    const Palette& pal = st.palette;
    const Ranges ranges = MakeRanges(w, h, st);
    const float horizonY = st.horizon * h;
    const V2 castleBase{
        st.castleX, st.castleScale > 0
                        ? ranges.mid[std::clamp(int(st.castleX), 0, w - 1)] + st.castleScale * 0.08f
                        : 0.0f};
    const float feetY =
        st.figureScale > 0 ? ranges.near[std::clamp(int(st.figureX), 0, w - 1)] + 2.0f : 0.0f;
    const V2 feet{st.figureX, feetY};
    const V2 orb = OrbCentre(st.figureX, feetY, st.figureScale);
    const float diag = std::sqrt(float(w * w + h * h));

    canvas.all([&](Rgba& px, V2 p) {
        const int ix = std::min(int(p.x), w - 1);
        const float v = p.y / h;

        // Sky.
        const float t = Clamp01(p.y / horizonY);
        Rgba c = t < 0.55f
                     ? Mix(Color(pal.skyTop), Color(pal.skyMid), Smoothstep(0.0f, 0.55f, t))
                     : Mix(Color(pal.skyMid), Color(pal.skyHorizon), Smoothstep(0.55f, 1.0f, t));
        const float moonDist = Length(p - st.moon);
        const float haloScale = std::max(st.moonRadius, h * 0.05f);
        c = Add(c, Fade(Color(pal.glow), 0.55f * std::exp(-moonDist / (haloScale * 2.2f))));
        c = Add(c, Fade(Color(pal.glow), 0.18f * std::exp(-moonDist / (haloScale * 9.0f))));
        if (st.horizonWarmth > 0) {
            const float k = (p.y - horizonY) / (h * 0.12f);
            c = Add(c, Fade(Color(pal.embers), st.horizonWarmth * 0.35f * std::exp(-k * k)));
        }

        // Stars, hidden near the horizon and behind clouds.
        const float clouds =
            Smoothstep(0.52f, 0.8f, Fbm(p.x / (h * 0.45f), p.y / (h * 0.09f), 5, st.seed + 40));
        if (p.y < horizonY) {
            const int cell = 7;
            const int cx = int(p.x) / cell, cy = int(p.y) / cell;
            float star = 0.0f;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    const int gx = cx + dx, gy = cy + dy;
                    if (Hash(gx, gy, st.seed + 1) > st.starDensity)
                        continue;
                    const V2 sp{(gx + Hash(gx, gy, st.seed + 2)) * cell,
                                (gy + Hash(gx, gy, st.seed + 3)) * cell};
                    const float bright = std::pow(Hash(gx, gy, st.seed + 4), 3.0f);
                    const float r = Length(p - sp);
                    star += bright * std::exp(-r * r / (0.35f + 1.6f * bright));
                }
            star *= (1.0f - Smoothstep(0.35f, 0.95f, t)) * (1.0f - clouds);
            c = Add(c, Fade(Color(0xDCE6FF), std::min(star, 1.0f)));
        }

        // Moon disc.
        if (st.moonRadius > 0) {
            const float cover = Coverage(moonDist - st.moonRadius, 1.5f);
            if (cover > 0) {
                const float mottling =
                    Fbm(p.x / (st.moonRadius * 0.5f), p.y / (st.moonRadius * 0.5f), 4, st.seed + 7);
                Rgba disc =
                    Mix(Color(0xE9EEF7), Color(0xB9C3D6), Smoothstep(0.45f, 0.75f, mottling));
                c = Over(c, Fade(disc, cover));
            }
        }

        // Clouds lit by the halo.
        if (p.y < horizonY * 1.05f) {
            const float lit = std::exp(-moonDist / (haloScale * 4.0f));
            Rgba cloud = Mix(Color(pal.skyMid), Color(pal.glow), 0.15f + 0.55f * lit);
            c = Over(c, Fade(cloud, clouds * 0.55f * (1.0f - Smoothstep(0.75f, 1.05f, t))));
        }

        // Far range, hazy.
        const float farCover = Clamp01(p.y - ranges.far[ix] + 0.5f);
        if (farCover > 0) {
            const float depth = Clamp01((p.y - ranges.far[ix]) / (h * 0.2f));
            Rgba far = Mix(Color(pal.far), Color(pal.skyHorizon), 0.35f * (1.0f - depth));
            c = Over(c, Fade(far, farCover));
        }
        // Mist between the ranges.
        {
            const float band = std::exp(-std::pow((p.y - horizonY) / (h * 0.09f), 2.0f));
            const float n = Fbm(p.x / (h * 0.6f), p.y / (h * 0.07f), 4, st.seed + 60);
            c = Over(c, Fade(Color(pal.mist), band * Smoothstep(0.3f, 0.8f, n) * 0.5f));
        }

        // Castle on its crag, then the middle range.
        if (st.castleScale > 0) {
            const float d = CastleDistance(p, castleBase, st.castleScale);
            if (d < 1.0f)
                c = Over(c, Fade(Color(pal.mid), Coverage(d)));
            const float win = CastleWindows(p, castleBase, st.castleScale);
            if (win < st.castleScale * 0.3f && d < 0.0f) {
                c = Over(c, Fade(Color(pal.windows), Coverage(win, 0.8f)));
            }
            if (win < st.castleScale * 0.3f) {
                c = Add(c, Fade(Color(pal.windows),
                                0.22f * std::exp(-std::max(win, 0.0f) / (st.castleScale * 0.05f))));
            }
        }
        const float midCover = Clamp01(p.y - ranges.mid[ix] + 0.5f);
        if (midCover > 0) {
            const float slope =
                ranges.mid[std::min(ix + 1, w - 1)] - ranges.mid[std::max(ix - 1, 0)];
            const float facing = (st.moon.x > p.x ? -slope : slope) * 0.5f;
            const float edge = std::exp(-(p.y - ranges.mid[ix]) / 5.0f);
            Rgba mid = Color(pal.mid);
            mid = Add(mid, Fade(Color(pal.rim), Clamp01(facing) * 0.35f * edge));
            c = Over(c, Fade(mid, midCover));
        }
        // Low mist in front of the middle range.
        {
            const float low = Smoothstep(horizonY, horizonY + h * 0.18f, p.y) *
                              (1.0f - Smoothstep(h * 0.8f, h, p.y));
            const float n = Fbm(p.x / (h * 0.5f) + 4.0f, p.y / (h * 0.05f), 4, st.seed + 80);
            c = Over(c, Fade(Color(pal.mist), low * Smoothstep(0.35f, 0.85f, n) * 0.45f));
        }

        // Near ledge and the figure with its edge light and orb.
        const float nearCover = Clamp01(p.y - ranges.near[ix] + 0.5f);
        if (nearCover > 0)
            c = Over(c, Fade(Color(pal.near), nearCover));
        if (st.figureScale > 0) {
            const float s = st.figureScale;
            const float d = FigureDistance(p, feet, s);
            if (d < 1.0f) {
                Rgba body = Mix(Color(pal.near), Color(0x000000), 0.5f * CloakFolds(p, feet, s));
                body =
                    Add(body, Fade(Color(pal.far), 0.35f * (1.0f - CloakFolds(p, feet, s)) *
                                                       Smoothstep(feetY, feetY - s * 0.8f, p.y)));
                if (d > -4.0f) {
                    const float e = 0.75f;
                    const V2 n{FigureDistance(p + V2{e, 0}, feet, s) -
                                   FigureDistance(p - V2{e, 0}, feet, s),
                               FigureDistance(p + V2{0, e}, feet, s) -
                                   FigureDistance(p - V2{0, e}, feet, s)};
                    const float len = std::max(Length(n), 1e-4f);
                    const V2 toLight = st.moon - p;
                    const float facing =
                        Clamp01(Dot(n * (1.0f / len), toLight * (1.0f / Length(toLight))));
                    const float orbFacing =
                        Clamp01(Dot(n * (1.0f / len), (orb - p) * (1.0f / Length(orb - p))));
                    const float band = Smoothstep(-4.0f, -0.5f, d);
                    body = Add(body, Fade(Color(pal.rim), 0.8f * band * facing));
                    body = Add(body, Fade(Color(pal.energy),
                                          0.9f * band * orbFacing *
                                              std::exp(-Length(orb - p) / (s * 0.25f))));
                }
                c = Over(c, Fade(body, Coverage(d)));
            }
            const float orbDist = Length(p - orb);
            c = Add(c, Fade(Color(pal.energy), 0.45f * std::exp(-orbDist / (s * 0.09f))));
            c = Add(c, Fade(Color(pal.energy), 0.12f * std::exp(-orbDist / (s * 0.45f))));
            c = Over(c, Fade(Color(0xF4F0FF), Coverage(orbDist - s * 0.028f, 1.5f)));
        }

        // Embers drifting up.
        {
            const int cell = std::max(8, h / 24);
            const int cx = int(p.x) / cell, cy = int(p.y) / cell;
            float glow = 0.0f;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    const int gx = cx + dx, gy = cy + dy;
                    if (Hash(gx, gy, st.seed + 90) > st.emberDensity)
                        continue;
                    const V2 ep{(gx + Hash(gx, gy, st.seed + 91)) * cell,
                                (gy + Hash(gx, gy, st.seed + 92)) * cell};
                    const float size = 0.6f + 1.6f * Hash(gx, gy, st.seed + 93);
                    const float r = Length(p - ep);
                    const float rise = Smoothstep(0.15f, 0.75f, ep.y / h);
                    glow += rise * (std::exp(-r * r / (size * size)) +
                                    0.25f * std::exp(-r / (size * 3.0f)));
                }
            c = Add(c, Fade(Color(pal.embers), std::min(glow, 1.0f) * 0.9f));
        }

        // Ground fog and vignette.
        c = Over(c, Fade(Color(pal.mist), 0.25f * Smoothstep(0.8f, 1.0f, v)));
        const float r = Length(p - V2{w * 0.5f, h * 0.5f}) / (diag * 0.5f);
        const float dark = 1.0f - st.vignette * Smoothstep(0.45f, 1.05f, r);
        c.r *= dark, c.g *= dark, c.b *= dark;
        c.a = 1.0f;
        px = c;
    });
}

}  // namespace imagegen

}  // namespace qs
