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

namespace qs {

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
constexpr float kTagShare = 0.4f;  // of a card's first line, at most
constexpr float kDateTagGap = 12.0f;

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
        drawList_->AddCircleFilled(At(origin_, kLeft + 4, 83), Scaled(2.5f), kNewsOrange);
        AddTextIfFont(drawList_, fonts.fontMedium10, 10, At(origin_, kLeft + 13, 78),
                      kSecondaryText, "QUILLON SAGA");
        if (fonts.fontBold18) {
            ImFont* bold = fonts.fontBold18;
            const ImVec2 latest = At(origin_, kLeft, 96);
            AddTextIfFont(drawList_, bold, 18, latest, kWhite, "Latest");
            const float newsX = latest.x + MeasureText(bold, 18, "Latest", ImVec2()).x + Scaled(6);
            AddTextIfFont(drawList_, bold, 18, ImVec2(newsX, latest.y), kNewsOrange, "News");
            ImTextureID streak = Textures().texStreak;
            if (streak) {
                const float x1 = newsX + MeasureText(bold, 18, "News", ImVec2()).x + Scaled(6);
                drawList_->AddImage(streak, ImVec2(x1, At(origin_, 0, 98).y),
                                    ImVec2(x1 + Scaled(80), At(origin_, 0, 114).y));
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
        drawList_->AddRectFilled(cardMin, cardMax, kBannerGround, Scaled(6));
        drawList_->AddRect(cardMin, cardMax, kCardOutline, Scaled(6), 0, Scaled(1));
        drawList_->PushClipRect(cardMin, cardMax, false);
        if (textures.texNewsBanner) {
            drawList_->AddImage(textures.texNewsBanner,
                                At(origin_, kLeft + kBannerWidth - kBannerImageWidth, kBannerTop),
                                cardMax);
            drawList_->AddRectFilledMultiColor(
                At(origin_, kLeft + 200, kBannerTop), At(origin_, kLeft + 597.3f, kBannerBottom),
                kBannerGround, kBannerFadeEnd, kBannerFadeEnd, kBannerGround);
        }
        float textX = kLeft + 20;
        if (textures.texBadgeOrb) {
            drawList_->AddImage(textures.texBadgeOrb, At(origin_, kLeft + 20, 162),
                                At(origin_, kLeft + 68, 210));
            textX = kLeft + 82;
        }
        // The text column keeps clear of the artwork on the right.
        const float columnWidth = 0.55f * (kLeft + kBannerWidth - textX);
        if (fonts.fontMedium10) {
            const char* label = "LATEST NEWS";
            const ImVec2 labelAt = At(origin_, textX, 156);
            AddTextIfFont(drawList_, fonts.fontMedium10, 10, labelAt, kNewsOrange, label);
            if (first) {
                const float labelWidth = MeasureText(fonts.fontMedium10, 10, label, ImVec2()).x;
                const std::string date =
                    FitText(BannerDateSuffix(SanitizeUiText(first->date, kOneLineBytes)),
                            fonts.fontMedium10, 10, columnWidth - labelWidth / UiScaleFactor());
                if (!date.empty())
                    AddTextIfFont(drawList_, fonts.fontMedium10, 10,
                                  ImVec2(labelAt.x + labelWidth, labelAt.y), kSecondaryText,
                                  date.c_str());
            }
        }
        if (fonts.fontMedium12 && first) {
            const std::string title = FitText(SanitizeUiText(first->title, kOneLineBytes),
                                              fonts.fontMedium12, 12, columnWidth);
            AddTextIfFont(drawList_, fonts.fontMedium12, 12, At(origin_, textX, 174), kWhite,
                          title.c_str());
        }
        if (fonts.fontMedium10 && first && !first->summary.empty()) {
            std::string summary = ShortenNewsSummary(SanitizeUiText(first->summary, 161));
            DrawWrappedText(drawList_, fonts.fontMedium10, 10, At(origin_, textX, 192), columnWidth,
                            14, 2, kSecondaryText, summary.c_str());
        }
        drawList_->PopClipRect();

        HitResult details = HitButton("##featured_details", ImVec2(textX, 236), ImVec2(130, 26));
        if (details.pressed && first)
            OpenLink(first->url);
        ImVec2 itemMin = ImGui::GetItemRectMin();
        ImVec2 itemMax = ImGui::GetItemRectMax();
        drawList_->AddRectFilled(itemMin, itemMax, White(details.hovered ? 20 : 10), Scaled(5));
        drawList_->AddRect(itemMin, itemMax, White(18), Scaled(5), 0, Scaled(1));
        const char* label = "VIEW DETAILS";
        ImVec2 labelSize = MeasureText(fonts.fontMedium10, 10, label, ImVec2(60, 10));
        float groupWidth = labelSize.x + Scaled(16);
        float x0 = itemMin.x + (Scaled(130) - groupWidth) / 2;
        float centerY = (itemMin.y + itemMax.y) / 2;
        AddTextIfFont(drawList_, fonts.fontMedium10, 10, ImVec2(x0, centerY - labelSize.y / 2),
                      kWhite, label);
        DrawTextCentered(drawList_, fonts.iconSolid10, 10, x0 + labelSize.x + Scaled(10), centerY,
                         kWhite, icon::kAngleRight);
    }

    void EmptyNotice() const {
        const UiFonts& fonts = Fonts();
        ImVec2 barMin = At(origin_, kLeft, 270);
        ImVec2 barMax = At(origin_, kLeft + kBannerWidth, 304);
        drawList_->AddRectFilled(barMin, barMax, kNoticeFill, Scaled(5));
        drawList_->AddRect(barMin, barMax, kNoticeOutline, Scaled(5), 0, Scaled(1));
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
            float countWidth = MeasureText(countFont, 11, countText.c_str(), ImVec2()).x;
            const ImVec2 right = At(origin_, x + kColumnWidth, sectionTop + 3.5f);
            AddTextIfFont(drawList_, countFont, 11, ImVec2(right.x - countWidth, right.y),
                          kMutedText, countText.c_str());
        }
    }

    void DrawNewsCard(const char* id, float x, float y, float w, float h, const NewsItem& item,
                      ImTextureID badge) const {
        const UiFonts& fonts = Fonts();
        ImVec2 cardMin = At(origin_, x, y);
        ImVec2 cardMax = At(origin_, x + w, y + h);
        drawList_->AddRectFilled(cardMin, cardMax, kCardGround, Scaled(6));
        drawList_->AddRect(cardMin, cardMax, kCardOutline, Scaled(6), 0, Scaled(1));
        // Whatever the server sends, nothing of a card is drawn outside it.
        drawList_->PushClipRect(cardMin, cardMax, true);
        if (badge) {
            drawList_->AddImage(badge, At(origin_, x + 16, y + h / 2 - 24),
                                At(origin_, x + 64, y + h / 2 + 24));
        }
        float textX = x + 78;
        const float textRight = x + w - 14;
        const NewsCardTexts texts = CardTexts(item);
        // Date and tag share the first line: the tag takes at most its part, the date the rest.
        float tagLeft = textRight;
        if (fonts.fontMedium10 && !item.tag.empty()) {
            const std::string tag =
                FitText(texts.tag, fonts.fontMedium10, 10, kTagShare * (textRight - textX));
            float tagWidth = MeasureText(fonts.fontMedium10, 10, tag.c_str(), ImVec2()).x;
            const ImVec2 right = At(origin_, textRight, y + 14);
            AddTextIfFont(drawList_, fonts.fontMedium10, 10, ImVec2(right.x - tagWidth, right.y),
                          kTagViolet, tag.c_str());
            tagLeft = textRight - tagWidth / UiScaleFactor() - kDateTagGap;
        }
        if (fonts.fontMedium10 && !item.date.empty()) {
            const std::string date = FitText(texts.date, fonts.fontMedium10, 10, tagLeft - textX);
            AddTextIfFont(drawList_, fonts.fontMedium10, 10, At(origin_, textX, y + 14),
                          kNewsOrange, date.c_str());
        }
        if (fonts.fontMedium12 && !item.title.empty()) {
            const std::string title =
                FitText(texts.title, fonts.fontMedium12, 12, textRight - textX);
            AddTextIfFont(drawList_, fonts.fontMedium12, 12, At(origin_, textX, y + 32), kWhite,
                          title.c_str());
        }
        if (fonts.fontMedium10 && !item.summary.empty()) {
            DrawWrappedText(drawList_, fonts.fontMedium10, 10, At(origin_, textX, y + 50),
                            textRight - textX, 14, 2, kSecondaryText, texts.summary.c_str());
        }
        HitResult hit = HitButton(id, ImVec2(x, y), ImVec2(w, h));
        if (hit.pressed)
            OpenLink(item.url);
        if (fonts.fontMedium10) {
            ImU32 colour = hit.hovered ? kNewsOrange : kNewsOrangeIdle;
            const char* label = "VIEW DETAILS";
            AddTextIfFont(drawList_, fonts.fontMedium10, 10, At(origin_, textX, y + h - 24), colour,
                          label);
            float labelWidth = MeasureText(fonts.fontMedium10, 10, label, ImVec2()).x;
            ImVec2 icon = At(origin_, textX, y + h - 19);
            DrawTextCentered(drawList_, fonts.iconSolid10, 10, icon.x + labelWidth + Scaled(10),
                             icon.y, colour, icon::kAngleRight);
        }
        drawList_->PopClipRect();
    }

    void Column(const std::vector<const NewsItem*>& column, std::int32_t newsPage, float x,
                float sectionTop, const char* idFormat, ImTextureID badge) const {
        NewsCardRange range = NewsCardsOnPage(column.size(), newsPage);
        for (std::size_t index = range.begin; index < range.end; ++index) {
            char id[32];
            std::snprintf(id, sizeof id, idFormat, index);
            float row = static_cast<float>(index - range.begin);
            DrawNewsCard(id, x, sectionTop + 26 + kCardPitch * row, kColumnWidth, kCardHeight,
                         *column[index], badge);
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
            ImVec2 size = MeasureText(fonts.fontMedium9, 9, kLauncherVersionText, ImVec2());
            const ImVec2 right = At(origin_, width - 16, centerY);
            AddTextIfFont(drawList_, fonts.fontMedium9, 9,
                          ImVec2(right.x - size.x, right.y - size.y / 2), kMutedText,
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
        drawList_->AddRectFilled(itemMin, itemMax, White(lit ? 24 : 12), Scaled(4));
        drawList_->AddRect(itemMin, itemMax, White(18), Scaled(4), 0, Scaled(1));
        ImU32 iconColour = lit ? kWhite : (usable ? kSecondaryText : kMutedText);
        DrawTextCentered(drawList_, fonts.iconSolid10, 10, (itemMin.x + itemMax.x) / 2,
                         (itemMin.y + itemMax.y) / 2, iconColour, icon);
        return hit.pressed && usable;
    }

    void FooterLabel(float x, float centerY, ImU32 colour, const char* label) const {
        ImFont* font = Fonts().fontMedium9;
        if (!font)
            return;
        ImVec2 size = MeasureText(font, 9, label, ImVec2());
        const ImVec2 at = At(origin_, x, centerY);
        AddTextIfFont(drawList_, font, 9, ImVec2(at.x, at.y - size.y / 2), colour, label);
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

}  // namespace qs
