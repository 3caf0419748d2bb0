#include "app/shell/win32/d3d_textures.h"

#include <wrl/client.h>

using Microsoft::WRL::ComPtr;

ImTextureID UploadTexture(ID3D11Device* device, ID3D11DeviceContext* context,
                          const DecodedImage& image) {
    if (device == nullptr || context == nullptr || image.width <= 0 || image.height <= 0 ||
        image.rgba.size() != std::size_t(image.width) * image.height * 4)
        return nullptr;
    D3D11_TEXTURE2D_DESC description{};
    description.Width = UINT(image.width);
    description.Height = UINT(image.height);
    description.MipLevels = 0;  // the whole chain
    description.ArraySize = 1;
    description.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    description.SampleDesc.Count = 1;
    description.Usage = D3D11_USAGE_DEFAULT;
    // Mip generation draws into the texture, so it is a render target too.
    description.BindFlags = D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET;
    description.MiscFlags = D3D11_RESOURCE_MISC_GENERATE_MIPS;
    ComPtr<ID3D11Texture2D> texture;
    if (FAILED(device->CreateTexture2D(&description, nullptr, texture.GetAddressOf())))
        return nullptr;
    context->UpdateSubresource(texture.Get(), 0, nullptr, image.rgba.data(), UINT(image.width) * 4,
                               0);
    ID3D11ShaderResourceView* view = nullptr;
    if (FAILED(device->CreateShaderResourceView(texture.Get(), nullptr, &view)))
        return nullptr;
    context->GenerateMips(view);
    return reinterpret_cast<ImTextureID>(view);
}

void DeleteTexture(ImTextureID texture) {
    if (texture != nullptr)
        static_cast<ID3D11ShaderResourceView*>(texture)->Release();
}
