#include "ui/news_page.h"

#include <cfloat>
#include <cstdio>
#include <string>

#include "ui/links.h"
#include "ui/news_logic.h"
#include "ui/pages.h"
#include "ui/theme.h"
#include "ui/ui_logic.h"
#include "ui/widgets.h"

namespace {

using palette::kSecondaryText;
using palette::kWhite;
using palette::White;
constexpr ImU32 kMutedText = palette::kMutedIcon;
constexpr ImU32 kTagViolet = palette::kAccentViolet;
constexpr ImU32 kNewsOrange = IM_COL32(0xE6, 0x7E, 0x22, 255);
constexpr ImU32 kNewsOrangeIdle = IM_COL32(0xE6, 0x7E, 0x22, 178);
constexpr ImU32 kBannerGround = IM_COL32(0x0E, 0x11, 0x18, 255);
constexpr ImU32 kBannerFadeEnd = IM_COL32(0x0E, 0x11, 0x18, 0);
constexpr ImU32 kCardGround = IM_COL32(0x1E, 0x1F, 0x25, 255);
constexpr ImU32 kCardOutline = IM_COL32(0x32, 0x34, 0x3A, 255);
constexpr ImU32 kNoticeFill = IM_COL32(0x1E, 0x32, 0x50, 200);
constexpr ImU32 kNoticeOutline = IM_COL32(0x32, 0x5A, 0x8C, 200);
constexpr ImU32 kNoticeIcon = IM_COL32(0x50, 0xA0, 0xE6, 255);

constexpr float kLeft = 135.0f;  // the page's left edge
constexpr float kBannerWidth = 1086.0f;
constexpr float kBannerTop = 142.0f;
constexpr float kBannerBottom = 274.0f;
constexpr float kBannerImageWidth = 907.75385f;  // 2235 : 325 at 132 px, right-aligned
constexpr float kColumnWidth = 535.0f;
constexpr float kCardHeight = 110.0f;
constexpr float kCardPitch = 118.0f;
constexpr float kUpdatesLeft = 686.0f;

class NewsPainter {
public:
    NewsPainter(const NewsLinkOpener& openLink, ImDrawList* drawList, ImVec2 origin)
        : openLink_(openLink), drawList_(drawList), origin_(origin) {}

    void OpenLink(const std::string& url) const {
        if (url.empty())
            return;
        if (IsWebAddress(url) && openLink_)
            openLink_(url);
    }

    void Header() const {
        const UiFonts& fonts = Fonts();
        drawList_->AddCircleFilled(At(origin_, kLeft + 4, 83), 2.5f, kNewsOrange);
        AddTextIfFont(drawList_, fonts.fontMedium10, 10, At(origin_, kLeft + 13, 78),
                      kSecondaryText, "QUILLON SAGA");
        if (fonts.fontBold18) {
            ImFont* bold = fonts.fontBold18;
            drawList_->AddText(bold, 18, At(origin_, kLeft, 96), kWhite, "Latest");
            float newsX = kLeft + bold->CalcTextSizeA(18, FLT_MAX, 0, "Latest").x + 6;
            drawList_->AddText(bold, 18, At(origin_, newsX, 96), kNewsOrange, "News");
            ImTextureID streak = Textures().texStreak;
            if (streak) {
                float x1 = newsX + bold->CalcTextSizeA(18, FLT_MAX, 0, "News").x + 6;
                drawList_->AddImage(streak, At(origin_, x1, 98), At(origin_, x1 + 80, 114));
            }
        }
        AddTextIfFont(drawList_, fonts.fontMedium10, 10, At(origin_, kLeft, 120), kSecondaryText,
                      "Keep up with what is changing across the Saga.");
    }

    void Banner(const std::vector<NewsItem>& items) const {
        const UiFonts& fonts = Fonts();
        const UiTextures& textures = Textures();
        const NewsItem* first = items.empty() ? nullptr : &items.front();
        ImVec2 cardMin = At(origin_, kLeft, kBannerTop);
        ImVec2 cardMax = At(origin_, kLeft + kBannerWidth, kBannerBottom);
        drawList_->AddRectFilled(cardMin, cardMax, kBannerGround, 6);
        drawList_->AddRect(cardMin, cardMax, kCardOutline, 6, 0, 1);
        if (textures.texNewsBanner) {
            drawList_->PushClipRect(cardMin, cardMax, false);
            drawList_->AddImage(textures.texNewsBanner,
                                At(origin_, kLeft + kBannerWidth - kBannerImageWidth, kBannerTop),
                                cardMax);
            drawList_->AddRectFilledMultiColor(
                At(origin_, kLeft + 200, kBannerTop), At(origin_, kLeft + 597.3f, kBannerBottom),
                kBannerGround, kBannerFadeEnd, kBannerFadeEnd, kBannerGround);
            drawList_->PopClipRect();
        }
        float textX = kLeft + 20;
        if (textures.texBadgeOrb) {
            drawList_->AddImage(textures.texBadgeOrb, At(origin_, kLeft + 20, 162),
                                At(origin_, kLeft + 68, 210));
            textX = kLeft + 82;
        }
        if (fonts.fontMedium10) {
            const char* label = "LATEST NEWS";
            drawList_->AddText(fonts.fontMedium10, 10, At(origin_, textX, 156), kNewsOrange, label);
            if (first) {
                std::string date = BannerDateSuffix(SanitizeUiText(first->date));
                if (!date.empty()) {
                    float labelWidth = fonts.fontMedium10->CalcTextSizeA(10, FLT_MAX, 0, label).x;
                    drawList_->AddText(fonts.fontMedium10, 10, At(origin_, textX + labelWidth, 156),
                                       kSecondaryText, date.c_str());
                }
            }
        }
        if (fonts.fontMedium12 && first) {
            std::string title = SanitizeUiText(first->title);
            drawList_->AddText(fonts.fontMedium12, 12, At(origin_, textX, 174), kWhite,
                               title.c_str());
        }
        if (fonts.fontMedium10 && first && !first->summary.empty()) {
            std::string summary = ShortenNewsSummary(SanitizeUiText(first->summary));
            DrawWrappedText(drawList_, fonts.fontMedium10, 10, At(origin_, textX, 192),
                            0.55f * (kLeft + kBannerWidth - textX), 14, 2, kSecondaryText,
                            summary.c_str());
        }

        HitResult details = HitButton("##featured_details", ImVec2(textX, 236), ImVec2(130, 26));
        if (details.pressed && first)
            OpenLink(first->url);
        ImVec2 itemMin = ImGui::GetItemRectMin();
        ImVec2 itemMax = ImGui::GetItemRectMax();
        drawList_->AddRectFilled(itemMin, itemMax, White(details.hovered ? 20 : 10), 5);
        drawList_->AddRect(itemMin, itemMax, White(18), 5, 0, 1);
        const char* label = "VIEW DETAILS";
        ImVec2 labelSize = MeasureText(fonts.fontMedium10, 10, label, ImVec2(60, 10));
        float groupWidth = labelSize.x + 16;
        float x0 = itemMin.x + (130 - groupWidth) / 2;
        float centerY = (itemMin.y + itemMax.y) / 2;
        AddTextIfFont(drawList_, fonts.fontMedium10, 10, ImVec2(x0, centerY - labelSize.y / 2),
                      kWhite, label);
        DrawTextCentered(drawList_, fonts.iconSolid10, 10, x0 + labelSize.x + 10, centerY, kWhite,
                         icon::kAngleRight);
    }

    void EmptyNotice() const {
        const UiFonts& fonts = Fonts();
        ImVec2 barMin = At(origin_, kLeft, 270);
        ImVec2 barMax = At(origin_, kLeft + kBannerWidth, 304);
        drawList_->AddRectFilled(barMin, barMax, kNoticeFill, 5);
        drawList_->AddRect(barMin, barMax, kNoticeOutline, 5, 0, 1);
        ImVec2 icon = At(origin_, kLeft + 18, 287);
        DrawTextCentered(drawList_, fonts.iconSolid12, 12, icon.x, icon.y, kNoticeIcon,
                         icon::kCircleInfo);
        AddTextIfFont(drawList_, fonts.fontMedium10, 10, At(origin_, kLeft + 34, 282),
                      kSecondaryText,
                      "Preview content is shown until the Discord channels are connected.");
    }

    void ColumnHeader(float x, float sectionTop, const char* icon, const char* title,
                      std::size_t count) const {
        const UiFonts& fonts = Fonts();
        ImVec2 iconCenter = At(origin_, x + 9, sectionTop + 9);
        DrawTextCentered(drawList_, fonts.iconSolid16, 16, iconCenter.x, iconCenter.y, kWhite,
                         icon);
        AddTextIfFont(drawList_, fonts.fontMedium11, 11, At(origin_, x + 22, sectionTop + 3.5f),
                      kWhite, title);
        ImFont* countFont = fonts.fontMedium11 ? fonts.fontMedium11 : fonts.fontMedium10;
        if (countFont) {
            std::string countText = NewsCountText(count);
            float countWidth = countFont->CalcTextSizeA(11, FLT_MAX, 0, countText.c_str()).x;
            drawList_->AddText(countFont, 11,
                               At(origin_, x + kColumnWidth - countWidth, sectionTop + 3.5f),
                               kMutedText, countText.c_str());
        }
    }

    void DrawNewsCard(const char* id, float x, float y, float w, float h, const NewsItem& item,
                      ImTextureID badge) const {
        const UiFonts& fonts = Fonts();
        ImVec2 cardMin = At(origin_, x, y);
        ImVec2 cardMax = At(origin_, x + w, y + h);
        drawList_->AddRectFilled(cardMin, cardMax, kCardGround, 6);
        drawList_->AddRect(cardMin, cardMax, kCardOutline, 6, 0, 1);
        if (badge) {
            drawList_->AddImage(badge, At(origin_, x + 16, y + h / 2 - 24),
                                At(origin_, x + 64, y + h / 2 + 24));
        }
        float textX = x + 78;
        const NewsCardTexts texts = CardTexts(item);
        if (fonts.fontMedium10 && !item.date.empty()) {
            drawList_->AddText(fonts.fontMedium10, 10, At(origin_, textX, y + 14), kNewsOrange,
                               texts.date.c_str());
        }
        if (fonts.fontMedium10 && !item.tag.empty()) {
            const char* tag = texts.tag.c_str();
            float tagWidth = fonts.fontMedium10->CalcTextSizeA(10, FLT_MAX, 0, tag).x;
            drawList_->AddText(fonts.fontMedium10, 10, At(origin_, x + w - 14 - tagWidth, y + 14),
                               kTagViolet, tag);
        }
        if (fonts.fontMedium12 && !item.title.empty()) {
            drawList_->AddText(fonts.fontMedium12, 12, At(origin_, textX, y + 32), kWhite,
                               texts.title.c_str());
        }
        if (fonts.fontMedium10 && !item.summary.empty()) {
            DrawWrappedText(drawList_, fonts.fontMedium10, 10, At(origin_, textX, y + 50),
                            (x + w) - textX - 14, 14, 2, kSecondaryText, texts.summary.c_str());
        }
        HitResult hit = HitButton(id, ImVec2(x, y), ImVec2(w, h));
        if (hit.pressed)
            OpenLink(item.url);
        if (fonts.fontMedium10) {
            ImU32 colour = hit.hovered ? kNewsOrange : kNewsOrangeIdle;
            const char* label = "VIEW DETAILS";
            drawList_->AddText(fonts.fontMedium10, 10, At(origin_, textX, y + h - 24), colour,
                               label);
            float labelWidth = fonts.fontMedium10->CalcTextSizeA(10, FLT_MAX, 0, label).x;
            ImVec2 icon = At(origin_, textX + labelWidth + 10, y + h - 19);
            DrawTextCentered(drawList_, fonts.iconSolid10, 10, icon.x, icon.y, colour,
                             icon::kAngleRight);
        }
    }

    void Column(const std::vector<NewsItem>& column, std::int32_t newsPage, float x,
                float sectionTop, const char* idFormat, ImTextureID badge) const {
        NewsCardRange range = NewsCardsOnPage(column.size(), newsPage);
        for (std::size_t index = range.begin; index < range.end; ++index) {
            char id[32];
            std::snprintf(id, sizeof id, idFormat, index);
            float row = static_cast<float>(index - range.begin);
            DrawNewsCard(id, x, sectionTop + 26 + kCardPitch * row, kColumnWidth, kCardHeight,
                         column[index], badge);
        }
    }

    // Returns the page after this frame's presses.
    std::int32_t PageSwitcher(std::int32_t newsPage, float rowY) const {
        const UiFonts& fonts = Fonts();
        std::int32_t next = newsPage;
        next = PageButton("##news_page_prev", 636, rowY, newsPage > 0, icon::kChevronLeft)
                   ? newsPage - 1
                   : next;
        ImFont* textFont = fonts.fontMedium11 ? fonts.fontMedium11 : fonts.fontMedium10;
        std::string pageText = NewsPageText(newsPage);
        ImVec2 center = At(origin_, 678, rowY + 12);
        DrawTextCentered(drawList_, textFont, 11, center.x, center.y, kSecondaryText,
                         pageText.c_str());
        if (PageButton("##news_page_next", 696, rowY, newsPage < kNewsPageCount - 1,
                       icon::kChevronRight))
            next = newsPage + 1;
        return next;
    }

    void Footer(float width, float height) const {
        const UiFonts& fonts = Fonts();
        float centerY = height - 24;
        HitResult discord =
            HitButton("##news_ftr_discord", ImVec2(130, height - 46), ImVec2(76, 44));
        if (discord.pressed)
            OpenLink(CommunityInviteUrl());
        ImU32 discordColour = discord.hovered ? kSecondaryText : kMutedText;
        ImVec2 discordIcon = At(origin_, 136, centerY);
        DrawTextCentered(drawList_, fonts.iconBrands10, 12, discordIcon.x, discordIcon.y,
                         discordColour, icon::kDiscord);
        FooterLabel(147, centerY, discordColour, "DISCORD");

        HitResult website =
            HitButton("##news_ftr_website", ImVec2(214, height - 46), ImVec2(80, 44));
        if (website.pressed)
            OpenLink(WebSiteUrl());
        ImU32 websiteColour = website.hovered ? kSecondaryText : kMutedText;
        ImVec2 globe = At(origin_, 219.5f, centerY);
        DrawTextCentered(drawList_, fonts.iconSolid10, 11, globe.x, globe.y, websiteColour,
                         icon::kGlobe);
        FooterLabel(230, centerY, websiteColour, "WEBSITE");

        if (fonts.fontMedium9) {
            ImVec2 size = fonts.fontMedium9->CalcTextSizeA(9, FLT_MAX, 0, kLauncherVersionText);
            drawList_->AddText(fonts.fontMedium9, 9,
                               At(origin_, width - size.x - 16, centerY - size.y / 2), kMutedText,
                               kLauncherVersionText);
        }
    }

private:
    bool PageButton(const char* id, float x, float y, bool usable, const char* icon) const {
        const UiFonts& fonts = Fonts();
        HitResult hit = HitButton(id, ImVec2(x, y), ImVec2(24, 24), usable);
        // The hand shows over an unusable button too; only its press is inert.
        if (hit.hovered && !usable)
            ImGui::SetMouseCursor(ImGuiMouseCursor_Hand);
        bool lit = hit.hovered && usable;
        ImVec2 itemMin = ImGui::GetItemRectMin();
        ImVec2 itemMax = ImGui::GetItemRectMax();
        drawList_->AddRectFilled(itemMin, itemMax, White(lit ? 24 : 12), 4);
        drawList_->AddRect(itemMin, itemMax, White(18), 4, 0, 1);
        ImU32 iconColour = lit ? kWhite : (usable ? kSecondaryText : kMutedText);
        DrawTextCentered(drawList_, fonts.iconSolid10, 10, (itemMin.x + itemMax.x) / 2,
                         (itemMin.y + itemMax.y) / 2, iconColour, icon);
        return hit.pressed && usable;
    }

    void FooterLabel(float x, float centerY, ImU32 colour, const char* label) const {
        ImFont* font = Fonts().fontMedium9;
        if (!font)
            return;
        ImVec2 size = font->CalcTextSizeA(9, FLT_MAX, 0, label);
        drawList_->AddText(font, 9, At(origin_, x, centerY - size.y / 2), colour, label);
    }

    const NewsLinkOpener& openLink_;
    ImDrawList* drawList_;
    ImVec2 origin_;
};

}  // namespace

void DrawNewsPageItems(UiState& ui, const std::vector<NewsItem>& items,
                       const NewsLinkOpener& openLink, ImDrawList* drawList, ImVec2 windowPos,
                       float width, float height) {
    NewsColumns columns = SplitNewsColumns(items);
    bool pagingOn = NewsPagingOn(columns);
    ui.newsPage = SettleNewsPage(ui.newsPage, pagingOn);

    NewsPainter painter(openLink, drawList, windowPos);
    painter.Header();
    painter.Banner(items);
    float sectionTop = 284;
    if (items.empty()) {
        painter.EmptyNotice();
        sectionTop = 324;
    }

    const UiTextures& textures = Textures();
    painter.ColumnHeader(kLeft, sectionTop, icon::kList, "CHANGELOG",
                         columns.changelogItems.size());
    painter.ColumnHeader(kUpdatesLeft, sectionTop, icon::kDownload, "UPDATES",
                         columns.updateItems.size());
    painter.Column(columns.changelogItems, ui.newsPage, kLeft, sectionTop, "##cl_card_%zu",
                   textures.texBadgeBolt);
    painter.Column(columns.updateItems, ui.newsPage, kUpdatesLeft, sectionTop, "##up_card_%zu",
                   textures.texBadgeBell);

    if (pagingOn)
        ui.newsPage = painter.PageSwitcher(ui.newsPage, sectionTop + 26 + 358);
    painter.Footer(width, height);
}

void DrawNewsPage(UiState& ui, ImDrawList* drawList, ImVec2 windowPos, float width, float height) {
    auto open = [](const std::string& address) { OpenWebAddress(address); };
    RefreshNewsSnapshot(ui.news);
    DrawNewsPageItems(ui, ui.news.items, open, drawList, windowPos, width, height);
}
