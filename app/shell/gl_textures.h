#pragma once
// Images as OpenGL textures; the current context must be the window's.
#include "ui/theme.h"

// An RGBA texture with mipmaps (the 3000 px logo is drawn at 56 px); null on failure.
ImTextureID UploadTexture(const DecodedImage& image);
void DeleteTexture(ImTextureID texture);

// Decodes the built-in image `id` into `out`; false (and null) when it is missing or broken.
bool LoadTextureFromResource(int id, ImTextureID* out);
