#include "shell/win32/d3d_textures.h"

#include <imgui.h>
#include <wrl/client.h>

namespace qs {

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

ID3D11SamplerState* CreateMipmapSampler(ID3D11Device* device) {
    D3D11_SAMPLER_DESC description{};
    description.Filter = D3D11_FILTER_MIN_MAG_MIP_LINEAR;
    description.AddressU = D3D11_TEXTURE_ADDRESS_CLAMP;
    description.AddressV = D3D11_TEXTURE_ADDRESS_CLAMP;
    description.AddressW = D3D11_TEXTURE_ADDRESS_CLAMP;
    description.ComparisonFunc = D3D11_COMPARISON_ALWAYS;
    description.MinLOD = 0.0f;
    description.MaxLOD = D3D11_FLOAT32_MAX;
    ID3D11SamplerState* sampler = nullptr;
    if (device == nullptr || FAILED(device->CreateSamplerState(&description, &sampler)))
        return nullptr;
    return sampler;
}

namespace {

// Runs inside ImGui_ImplDX11_RenderDrawData, after the backend has bound its own sampler.
void BindSampler(const ImDrawList*, const ImDrawCmd* command) {
    auto* sampler = static_cast<ID3D11SamplerState*>(command->UserCallbackData);
    ComPtr<ID3D11Device> device;
    sampler->GetDevice(device.GetAddressOf());
    ComPtr<ID3D11DeviceContext> context;
    device->GetImmediateContext(context.GetAddressOf());
    context->PSSetSamplers(0, 1, &sampler);
}

}  // namespace

void UseSamplerThisFrame(ID3D11SamplerState* sampler) {
    // The background list is drawn first, so the switch precedes every image.
    if (sampler != nullptr)
        ImGui::GetBackgroundDrawList()->AddCallback(BindSampler, sampler);
}

}  // namespace qs
