// Renders the pages through the real frame composer, with the built-in fonts and images, into PNG
// files without a window or GPU: the ImGui draw lists are rasterised in software. Home, News (an
// empty list, a full one, and one with every text as long as the feed allows) and Settings (plain,
// with its dialog, and with the keyboard's focus ring), then Home and News at display scales 1.5
// and 2.
//   page_snapshot <output folder>
#include <imgui.h>
#include <stb/stb_image_write.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include "app/state.h"
#include "live/clean_news_text.h"
#include "live/news_feed.h"
#include "resources/resources.h"
#include "ui/pages.h"
#include "ui/theme.h"

using namespace qs;

namespace fs = std::filesystem;

namespace {

constexpr int kDesignWidth = 1280;
constexpr int kDesignHeight = 760;
constexpr std::intptr_t kAtlasId = 1;

struct Rgba {
    float r = 0, g = 0, b = 0, a = 0;
};

struct Atlas {
    unsigned char* pixels = nullptr;
    int width = 0;
    int height = 0;
};

// The decoded images, indexed by texture id - kFirstImageId.
constexpr std::intptr_t kFirstImageId = 2;
std::vector<DecodedImage>& Images() {
    static std::vector<DecodedImage> images;
    return images;
}

Rgba SampleImage(std::intptr_t id, float u, float v) {
    std::size_t index = static_cast<std::size_t>(id - kFirstImageId);
    if (id < kFirstImageId || index >= Images().size())
        return {1, 0, 1, 1};
    const DecodedImage& image = Images()[index];
    int x = std::clamp(static_cast<int>(u * image.width), 0, image.width - 1);
    int y = std::clamp(static_cast<int>(v * image.height), 0, image.height - 1);
    const std::uint8_t* p = image.rgba.data() + 4 * (std::size_t(y) * image.width + x);
    return {p[0] / 255.0f, p[1] / 255.0f, p[2] / 255.0f, p[3] / 255.0f};
}

Rgba SampleAtlas(const Atlas& atlas, float u, float v) {
    int x = std::clamp(static_cast<int>(u * atlas.width), 0, atlas.width - 1);
    int y = std::clamp(static_cast<int>(v * atlas.height), 0, atlas.height - 1);
    const unsigned char* p = atlas.pixels + 4 * (y * atlas.width + x);
    return {p[0] / 255.0f, p[1] / 255.0f, p[2] / 255.0f, p[3] / 255.0f};
}

Rgba Unpack(ImU32 c) {
    return {(c & 0xFF) / 255.0f, ((c >> 8) & 0xFF) / 255.0f, ((c >> 16) & 0xFF) / 255.0f,
            ((c >> 24) & 0xFF) / 255.0f};
}

class Canvas {
public:
    Canvas(const Atlas& atlas, int width, int height)
        : atlas_(atlas), kWidth(width), kHeight(height), pixels_(std::size_t(width) * height) {
        for (Rgba& p : pixels_)
            p = {0.07f, 0.07f, 0.09f, 1};
    }

    void Draw(const ImDrawData* data) {
        for (int n = 0; n < data->CmdListsCount; ++n) {
            const ImDrawList* list = data->CmdLists[n];
            for (const ImDrawCmd& cmd : list->CmdBuffer) {
                if (cmd.UserCallback)
                    continue;
                for (unsigned i = 0; i + 2 < cmd.ElemCount; i += 3) {
                    const ImDrawIdx* idx = list->IdxBuffer.Data + cmd.IdxOffset + i;
                    const ImDrawVert* v = list->VtxBuffer.Data + cmd.VtxOffset;
                    Triangle(v[idx[0]], v[idx[1]], v[idx[2]], cmd.ClipRect,
                             reinterpret_cast<std::intptr_t>(cmd.TextureId));
                }
            }
        }
    }

    bool Write(const fs::path& file) const {
        std::vector<unsigned char> bytes(std::size_t(kWidth) * kHeight * 3);
        for (std::size_t i = 0; i < pixels_.size(); ++i) {
            bytes[3 * i] = static_cast<unsigned char>(std::clamp(pixels_[i].r, 0.0f, 1.0f) * 255);
            bytes[3 * i + 1] =
                static_cast<unsigned char>(std::clamp(pixels_[i].g, 0.0f, 1.0f) * 255);
            bytes[3 * i + 2] =
                static_cast<unsigned char>(std::clamp(pixels_[i].b, 0.0f, 1.0f) * 255);
        }
        return stbi_write_png(file.c_str(), kWidth, kHeight, 3, bytes.data(), kWidth * 3) != 0;
    }

private:
    void Triangle(const ImDrawVert& a, const ImDrawVert& b, const ImDrawVert& c, ImVec4 clip,
                  std::intptr_t texture) {
        float area =
            (b.pos.x - a.pos.x) * (c.pos.y - a.pos.y) - (b.pos.y - a.pos.y) * (c.pos.x - a.pos.x);
        if (std::fabs(area) < 1e-6f)
            return;
        int x0 = std::max({0, static_cast<int>(std::floor(std::min({a.pos.x, b.pos.x, c.pos.x}))),
                           static_cast<int>(clip.x)});
        int x1 = std::min({kWidth - 1,
                           static_cast<int>(std::ceil(std::max({a.pos.x, b.pos.x, c.pos.x}))),
                           static_cast<int>(std::ceil(clip.z)) - 1});
        int y0 = std::max({0, static_cast<int>(std::floor(std::min({a.pos.y, b.pos.y, c.pos.y}))),
                           static_cast<int>(clip.y)});
        int y1 = std::min({kHeight - 1,
                           static_cast<int>(std::ceil(std::max({a.pos.y, b.pos.y, c.pos.y}))),
                           static_cast<int>(std::ceil(clip.w)) - 1});
        Rgba ca = Unpack(a.col), cb = Unpack(b.col), cc = Unpack(c.col);
        for (int y = y0; y <= y1; ++y) {
            for (int x = x0; x <= x1; ++x) {
                float px = x + 0.5f, py = y + 0.5f;
                float w0 =
                    ((b.pos.x - px) * (c.pos.y - py) - (b.pos.y - py) * (c.pos.x - px)) / area;
                float w1 =
                    ((c.pos.x - px) * (a.pos.y - py) - (c.pos.y - py) * (a.pos.x - px)) / area;
                float w2 = 1 - w0 - w1;
                if (w0 < 0 || w1 < 0 || w2 < 0)
                    continue;
                float u = w0 * a.uv.x + w1 * b.uv.x + w2 * c.uv.x;
                float v = w0 * a.uv.y + w1 * b.uv.y + w2 * c.uv.y;
                Rgba colour{w0 * ca.r + w1 * cb.r + w2 * cc.r, w0 * ca.g + w1 * cb.g + w2 * cc.g,
                            w0 * ca.b + w1 * cb.b + w2 * cc.b, w0 * ca.a + w1 * cb.a + w2 * cc.a};
                Rgba sample =
                    texture == kAtlasId ? SampleAtlas(atlas_, u, v) : SampleImage(texture, u, v);
                float alpha = colour.a * sample.a;
                Rgba& dst = pixels_[std::size_t(y) * kWidth + x];
                dst.r = colour.r * sample.r * alpha + dst.r * (1 - alpha);
                dst.g = colour.g * sample.g * alpha + dst.g * (1 - alpha);
                dst.b = colour.b * sample.b * alpha + dst.b * (1 - alpha);
            }
        }
    }

    const Atlas& atlas_;
    const int kWidth;
    const int kHeight;
    std::vector<Rgba> pixels_;
};

std::vector<NewsItem> SampleNews() {
    auto item = [](const char* id, const char* tag, const char* title, const char* summary,
                   const char* date, bool featured = false) {
        NewsItem n;
        n.id = id;
        n.tag = tag;
        n.title = title;
        n.summary = summary;
        n.date = date;
        n.url = "https://quillonsaga.example/news/" + n.id;
        n.featured = featured;
        return n;
    };
    const char* longSummary =
        "Balance pass across every class: energy costs of the ranged techniques drop, the "
        "transformation timers reset on a duel's end, and the arena ladder keeps its season "
        "rewards for one more week while we watch the numbers.";
    return {
        item("1", "EVENT", "The Ember Festival opens its gates this weekend",
             "Lanterns, duels and a new boss in the old quarter. Bring friends: the festival "
             "quests scale with the size of your party.",
             "2024-05-01", true),
        item("2", "CHANGELOG", "Patch 1.4.2 \xE2\x80\x93 class balance", longSummary, "2024-04-28"),
        item("3", "CHANGELOG", "Patch 1.4.1", "Fixes for the dungeon finder and the market.",
             "2024-04-21"),
        item("4", "PATCH", "Server maintenance on Tuesday", "Two hours, from 06:00 UTC.",
             "2024-04-20"),
        item("5", "CHANGELOG", "Patch 1.4.0: The Sunken Library opens to every adventurer",
             longSummary, "2024-04-14"),
        item("6", "CHANGELOG", "Patch 1.3.9", "Quality of life changes.", "2024-04-07"),
        item("7", "UPDATE", "New mounts in the shop", "Three new mounts, earnable in play.",
             "2024-04-02"),
    };
}

// Every text of every item as long as the feed lets it be: the body cap of 4 MiB shared by 200
// items, cleaned as the feed cleans them, and a tag as received with accented letters.
std::vector<NewsItem> LongestNews() {
    constexpr std::size_t kBodyCap = 4u << 20;
    constexpr std::size_t kItems = 200;
    const std::size_t each = kBodyCap / kItems / 5;  // five text fields per item
    std::string words;
    while (words.size() < each)
        words += "Wide-Words-Without-Breaks WWWWWWWWWWWWWWWWWWWWWWWWWWWW mmmmmmmmmmmmmmmm ";
    std::string tag;
    while (tag.size() < each)
        tag += "\xC3\x89V\xC3\x89NEMENT ";
    std::vector<NewsItem> items;
    for (std::size_t i = 0; i < kItems; ++i) {
        NewsItem n;
        n.id = std::to_string(1000 - i);
        n.tag = i % 2 ? "CHANGELOG" : tag;
        n.title = CleanNewsText(words);
        n.summary = CleanNewsText(words);
        n.date = CleanNewsText(words);
        n.author = CleanNewsText(words);
        n.url = "https://quillonsaga.example/news/" + n.id;
        items.push_back(std::move(n));
    }
    return items;
}

void RenderFrame(UiState& ui, LauncherState& state) {
    ImGui::NewFrame();
    DrawLauncherFrame(ui, state);
    ImGui::Render();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
        return 2;
    }
    fs::path output = argv[1];
    fs::create_directories(output);

    // The composer loads settings and shows the client folder: keep both away from the real home.
    std::string homeTemplate = (fs::temp_directory_path() / "qs-snapshot-XXXXXX").string();
    const fs::path home = mkdtemp(homeTemplate.data());
    setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    const fs::path client = home / "data" / "Quillon Saga" / "QuillonSaga Game";
    fs::create_directories(client);
    std::ofstream(client / "Quillon Saga.exe") << "x";

    NewsFeed feed(
        BuiltInService(), NewsFetchTiming(), home / "news_seen.txt",
        [](const std::wstring&, std::size_t) -> std::optional<std::string> { return {}; });
    SetCurrentNewsFeed(&feed);

    bool imagesLoaded = false;
    // One ImGui context per scale: the atlas is rasterised at that scale.
    auto session = [&](float scale,
                       const std::function<void(UiState&, LauncherState&,
                                                const std::function<void(const char*)>&)>& body) {
        ImGui::CreateContext();
        ImGuiIO& io = ImGui::GetIO();
        io.IniFilename = nullptr;
        const int width = static_cast<int>(std::lround(kDesignWidth * scale));
        const int height = static_cast<int>(std::lround(kDesignHeight * scale));
        io.DisplaySize = ImVec2(static_cast<float>(width), static_cast<float>(height));
        io.DeltaTime = 1.0f / 60.0f;
        for (int key = 0; key < ImGuiKey_COUNT; ++key)
            io.KeyMap[key] = key;
        ApplyLauncherStyle(scale);
        ImGui::GetStyle().WindowBorderSize = 0;
        LoadUiFonts(scale);
        if (!imagesLoaded) {
            LoadUiTextures(FindResourceData, [](const DecodedImage& image) {
                Images().push_back(image);
                return reinterpret_cast<ImTextureID>(kFirstImageId +
                                                     std::intptr_t(Images().size()) - 1);
            });
            imagesLoaded = true;
        }
        Atlas atlas;
        io.Fonts->GetTexDataAsRGBA32(&atlas.pixels, &atlas.width, &atlas.height);
        io.Fonts->SetTexID(reinterpret_cast<ImTextureID>(kAtlasId));

        UiState ui;
        ui.scale = scale;
        LauncherState state;
        auto shoot = [&](const char* name) {
            for (int i = 0; i < 3; ++i)
                RenderFrame(ui, state);  // let the sidebar settle
            Canvas canvas(atlas, width, height);
            canvas.Draw(ImGui::GetDrawData());
            fs::path file = output / name;
            std::printf("%s %s\n", canvas.Write(file) ? "wrote" : "FAILED", file.c_str());
        };
        body(ui, state, shoot);
        ImGui::DestroyContext();
        Fonts() = UiFonts{};
    };
    // A key pressed for one frame, as a keyboard would.
    auto pressKey = [](UiState& ui, LauncherState& state, ImGuiKey key) {
        ImGuiIO& io = ImGui::GetIO();
        io.KeysDown[io.KeyMap[key]] = true;
        RenderFrame(ui, state);
        io.KeysDown[io.KeyMap[key]] = false;
        RenderFrame(ui, state);
    };

    session(1.0f, [&](UiState& ui, LauncherState& state, const auto& shoot) {
        ui.activePage = ActivePage::Home;
        shoot("home.png");
        ui.activePage = ActivePage::News;
        shoot("news_empty.png");
        feed.publish(SampleNews());
        shoot("news_full.png");
        ui.newsPage = 1;
        shoot("news_full_page2.png");
        ui.activePage = ActivePage::Settings;
        shoot("settings.png");
        ui.clearConfirmOpen = true;
        shoot("settings_dialog.png");
        ui.clearConfirmOpen = false;
        for (int i = 0; i < 10; ++i)  // sidebar, window buttons, path, folder, first toggle
            pressKey(ui, state, ImGuiKey_Tab);
        shoot("settings_focus.png");
        ui.activePage = ActivePage::News;
        ui.newsPage = 0;
        feed.publish(LongestNews());
        shoot("news_long_text.png");
        feed.publish(SampleNews());
    });
    for (float scale : {1.5f, 2.0f}) {
        session(scale, [&](UiState& ui, LauncherState&, const auto& shoot) {
            const std::string suffix = scale == 1.5f ? "@1.5x.png" : "@2x.png";
            ui.activePage = ActivePage::Home;
            shoot(("home" + suffix).c_str());
            ui.activePage = ActivePage::News;
            shoot(("news" + suffix).c_str());
        });
    }

    SetCurrentNewsFeed(nullptr);
    Textures() = UiTextures{};
    std::error_code ignored;
    fs::remove_all(home, ignored);
    return 0;
}
