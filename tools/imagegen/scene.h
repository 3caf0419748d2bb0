#pragma once
#include <cstdint>

#include "draw.h"

namespace qs {

namespace imagegen {

struct Palette {
    std::uint32_t skyTop, skyMid, skyHorizon;
    std::uint32_t glow;  // moon or sun halo
    std::uint32_t far, mid, near;
    std::uint32_t mist;
    std::uint32_t rim;      // edge light on the silhouettes
    std::uint32_t windows;  // lit castle windows
    std::uint32_t energy;   // the figure's orb
    std::uint32_t embers;
};

struct SceneStyle {
    int seed = 1;
    Palette palette{};
    V2 moon{};             // pixels
    float moonRadius = 0;  // 0: a glow without a disc (sun below the clouds)
    float horizon = 0.6f;  // fraction of the height where the far range stands
    float castleX = 0, castleScale = 0;
    float figureX = 0, figureScale = 0;  // 0: no figure
    float starDensity = 0.1f;
    float emberDensity = 0.05f;
    float horizonWarmth = 0.0f;
    float vignette = 0.55f;
};

// Moody landscape: sky, stars, halo, clouds, three mountain ranges with mist, a castle on a crag,
// a cloaked figure holding a glowing orb, drifting embers, vignette.
void PaintScene(Canvas& canvas, const SceneStyle& style);

}  // namespace imagegen

}  // namespace qs
