#pragma once
#include <string>

#include "draw.h"

namespace qs {

namespace imagegen {

enum class Emblem { Orb, Bolt, Swords, Bell, Trophy };

// An emblem inside a hexagonal frame with an orange glow.
void PaintHexBadge(Canvas& canvas, Emblem emblem);
// An emblem inside a round frame.
void PaintRoundIcon(Canvas& canvas, Emblem emblem);
// A horizontal orange light streak over a dark orange ground.
void PaintStreak(Canvas& canvas);

// Text rendered with a TrueType/OpenType face; coverage 0..255 per pixel.
struct TextMask {
    int width = 0, height = 0;
    std::vector<unsigned char> coverage;
};
// `tracking` is extra space between letters as a fraction of the pixel height.
bool RenderText(const std::vector<unsigned char>& font, const std::string& text, float pixelHeight,
                float tracking, TextMask& mask);

// The square application icon: a violet "Q" on a dark rounded tile.
void PaintAppIcon(Canvas& canvas, const TextMask& letter);

// White wordmark on a transparent square, written straight to a PNG (the canvas is large).
bool WriteWordmark(const std::vector<unsigned char>& font, int size, const std::string& path);

}  // namespace imagegen

}  // namespace qs
