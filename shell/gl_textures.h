#pragma once
// Images as OpenGL textures; the current context must be the window's.
#include "ui/theme.h"

namespace qs {

// An RGBA texture with mipmaps (the 3000 px logo is drawn at 56 px); null on failure.
ImTextureID UploadTexture(const DecodedImage& image);
void DeleteTexture(ImTextureID texture);

}  // namespace qs
