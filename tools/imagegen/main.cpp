// Draws every image the launcher embeds, at its exact size and channel count, into one folder.
// Usage: qs_imagegen <output folder> <bold font file>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "art.h"
#include "scene.h"

using namespace qs;

namespace {

using namespace imagegen;

const Palette kNightPalette{
    0x05070C, 0x111726, 0x2A3850,  // sky
    0x9DB3D8,                      // moon halo
    0x222C3E, 0x121824, 0x07090D,  // ranges
    0x5B6B86,                      // mist
    0x9DB3D8,                      // edge light
    0xFFB35C, 0x9C86F0, 0xFF8A3C,
};

const Palette kEmberPalette{
    0x120705, 0x3A160A, 0x9A3E14,  // sky
    0xFFA050,                      // low sun
    0x3A1A0C, 0x1E0D06, 0x0B0503,  // ranges
    0x8A4A2A,                      // mist
    0xFFB070,                      // edge light
    0xFFD08A, 0xFFB060, 0xFF8A3C,
};

bool Write(const Canvas& canvas, const std::filesystem::path& folder, const char* name,
           int channels) {
    const bool ok = WritePng(canvas, (folder / name).string(), channels);
    if (!ok)
        std::fprintf(stderr, "imagegen: cannot write %s\n", name);
    return ok;
}

bool Scene(const std::filesystem::path& folder, const char* name, int w, int h, SceneStyle style) {
    Canvas canvas(w, h);
    PaintScene(canvas, style);
    return Write(canvas, folder, name, 3);
}

bool NewsBanner(const std::filesystem::path& folder) {
    const int w = 2235, h = 325;
    Canvas canvas(w, h);
    SceneStyle style;
    style.seed = 23;
    style.palette = kEmberPalette;
    style.moon = {w * 0.74f, h * 0.6f};
    style.horizon = 0.66f;
    style.castleX = w * 0.87f, style.castleScale = h * 0.2f;
    style.figureX = w * 0.64f, style.figureScale = h * 0.5f;
    style.starDensity = 0.04f;
    style.emberDensity = 0.08f;
    style.horizonWarmth = 1.0f;
    style.vignette = 0.3f;
    PaintScene(canvas, style);
    // The left part stays transparent; the artwork fades in towards the right.
    canvas.all([&](Rgba& px, V2 p) { px = Fade(px, Smoothstep(w * 0.34f, w * 0.6f, p.x)); });
    return Write(canvas, folder, "111.png", 4);
}

template <class Paint>
bool Art(const std::filesystem::path& folder, const char* name, int w, int h, Paint&& paint) {
    Canvas canvas(w, h);
    paint(canvas);
    return Write(canvas, folder, name, 4);
}

// An icon file whose one 256 x 256 entry is the PNG itself, as Windows has read since Vista.
bool WriteIcon(const std::filesystem::path& png, const std::filesystem::path& ico) {
    std::ifstream in(png, std::ios::binary);
    const std::vector<char> image{std::istreambuf_iterator<char>(in), {}};  // whole file
    if (!in.is_open() || image.empty())
        return false;
    const auto le16 = [](std::string& out, unsigned v) {
        out += char(v & 0xFF);
        out += char(v >> 8 & 0xFF);
    };
    const auto le32 = [&](std::string& out, std::size_t v) {
        le16(out, unsigned(v & 0xFFFF));
        le16(out, unsigned(v >> 16 & 0xFFFF));
    };
    std::string header;
    le16(header, 0), le16(header, 1), le16(header, 1);  // reserved, type icon, one entry
    header += '\0', header += '\0';                     // width and height 256 are written as 0
    header += '\0', header += '\0';                     // no palette, reserved
    le16(header, 1), le16(header, 32);                  // planes, bits per pixel
    le32(header, image.size());
    le32(header, 6 + 16);  // the image follows the one directory entry
    std::ofstream out(ico, std::ios::binary | std::ios::trunc);
    out.write(header.data(), std::streamsize(header.size()));
    out.write(image.data(), std::streamsize(image.size()));
    return bool(out.flush());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: qs_imagegen <output folder> <bold font file>\n");
        return 2;
    }
    const auto started = std::chrono::steady_clock::now();
    const std::filesystem::path folder = argv[1];
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    std::ifstream fontFile(argv[2], std::ios::binary);
    const std::vector<unsigned char> font{std::istreambuf_iterator<char>(fontFile), {}};
    if (font.empty()) {
        std::fprintf(stderr, "imagegen: cannot read %s\n", argv[2]);
        return 1;
    }

    bool ok = true;
    {
        SceneStyle style;
        style.seed = 7;
        style.palette = kNightPalette;
        style.moon = {942 * 0.64f, 619 * 0.2f};
        style.moonRadius = 26;
        style.horizon = 0.58f;
        style.castleX = 942 * 0.8f, style.castleScale = 619 * 0.085f;
        style.figureX = 942 * 0.9f, style.figureScale = 619 * 0.3f;
        style.starDensity = 0.12f;
        ok &= Scene(folder, "101.png", 942, 619, style);
    }
    {
        SceneStyle style;
        style.seed = 11;
        style.palette = kNightPalette;
        style.palette.embers = 0xFF7A30;
        style.moon = {520 * 0.3f, 325 * 0.24f};
        style.moonRadius = 17;
        style.horizon = 0.6f;
        style.castleX = 520 * 0.66f, style.castleScale = 325 * 0.11f;
        style.figureX = 520 * 0.3f, style.figureScale = 325 * 0.36f;
        style.starDensity = 0.1f;
        style.emberDensity = 0.07f;
        style.horizonWarmth = 0.5f;
        ok &= Scene(folder, "105.png", 520, 325, style);
    }
    ok &= WriteWordmark(font, 3000, (folder / "106.png").string());
    ok &= NewsBanner(folder);
    ok &= Art(folder, "112.png", 255, 268, [](Canvas& c) { PaintHexBadge(c, Emblem::Orb); });
    ok &= Art(folder, "113.png", 243, 270, [](Canvas& c) { PaintHexBadge(c, Emblem::Bolt); });
    ok &= Art(folder, "114.png", 241, 273, [](Canvas& c) { PaintHexBadge(c, Emblem::Swords); });
    ok &= Art(folder, "115.png", 323, 347, [](Canvas& c) { PaintHexBadge(c, Emblem::Bell); });
    ok &= Art(folder, "117.png", 133, 129, [](Canvas& c) { PaintRoundIcon(c, Emblem::Bolt); });
    ok &= Art(folder, "118.png", 136, 132, [](Canvas& c) { PaintRoundIcon(c, Emblem::Trophy); });
    ok &= Art(folder, "119.png", 620, 129, [](Canvas& c) { PaintStreak(c); });
    {
        TextMask letter;
        ok &= RenderText(font, "Q", 256 * 0.42f, 0.0f, letter);
        ok &= Art(folder, "icon-256.png", 256, 256, [&](Canvas& c) { PaintAppIcon(c, letter); });
        ok &= WriteIcon(folder / "icon-256.png", folder / "icon.ico");
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    std::printf("imagegen: %s in %lld ms\n", ok ? "images written" : "FAILED",
                static_cast<long long>(ms.count()));
    return ok ? 0 : 1;
}
