#pragma once
// Images as Direct3D 11 shader-resource views on the launcher's device.
#include <d3d11.h>

#include "ui/theme.h"

namespace qs {

// An RGBA texture with mipmaps (the 3000 px logo is drawn at 56 px) and its view; null on
// failure. The view keeps the texture alive.
ImTextureID UploadTexture(ID3D11Device* device, ID3D11DeviceContext* context,
                          const DecodedImage& image);
void DeleteTexture(ImTextureID texture);

// ImGui's Direct3D 11 backend samples every texture with MaxLOD 0, which never reads a mipmap:
// the logo would shimmer. This trilinear sampler (edges clamped, as the OpenGL textures) reaches
// the whole chain; null on failure.
ID3D11SamplerState* CreateMipmapSampler(ID3D11Device* device);
// Puts the switch to `sampler` ahead of everything drawn this frame; call after ImGui::NewFrame.
void UseSamplerThisFrame(ID3D11SamplerState* sampler);

}  // namespace qs
