// TEMPORARY link stand-ins for work not yet merged into this branch (theme and the HTTPS layer);
// deleted once those land.
#include <imgui.h>

#include <optional>
#include <string>

#include "app/service.h"
#include "ui/theme.h"
#include "update/https.h"

#include <stdexcept>
#include <vector>

UiFonts& Fonts() {
    static UiFonts fonts;
    return fonts;
}

UiTextures& Textures() {
    static UiTextures textures;
    return textures;
}

ImFont* SystemFont() {
    return Fonts().fontSystem14 ? Fonts().fontSystem14 : Fonts().fontMedium11;
}

void ApplyLauncherStyle() {
    ImGui::StyleColorsDark();
    ImGui::GetStyle().WindowPadding = ImVec2(0.0f, 0.0f);
}

void LoadUiFonts() {
    ImFont* font = ImGui::GetIO().Fonts->AddFontDefault();
    UiFonts& f = Fonts();
    f.fontMedium9 = f.fontMedium10 = f.fontMedium11 = f.fontLight13 = f.fontMedium12 = font;
    f.fontBold18 = f.fontRegular28 = f.fontBold52 = font;
    f.iconSolid10 = f.iconSolid12 = f.iconSolid14 = f.iconSolid16 = f.iconBrands10 =
        f.iconBrands14 = font;
}

std::optional<std::string> LiveHttpsGet(const std::wstring&, std::size_t, const ServiceEndpoint&) {
    return std::nullopt;
}

std::vector<std::uint8_t> HttpsRequest(const std::wstring&, const std::wstring&, const std::string&,
                                       const ServiceEndpoint&) {
    throw std::runtime_error("no network in these tests");
}

void HttpsRequestToSink(const std::wstring&, const std::wstring&, const std::string&,
                        const BodySink&, const ServiceEndpoint&) {
    throw std::runtime_error("no network in these tests");
}

std::vector<std::uint8_t> LauncherHttpsGet(const std::wstring&, const std::wstring&,
                                           const ServiceEndpoint&) {
    throw std::runtime_error("no network in these tests");
}
