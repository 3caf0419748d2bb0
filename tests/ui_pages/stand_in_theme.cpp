// Font and image handles for headless page tests while the real theme is not in the tree.
#include "ui/theme.h"

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
