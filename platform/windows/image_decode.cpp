#include "platform/image_decode.h"

#include <objbase.h>
#include <wincodec.h>
#include <windows.h>
#include <wrl/client.h>

#include <climits>
#include <cstring>
#include <utility>

namespace qs {

using Microsoft::WRL::ComPtr;

namespace {

// Balanced per call: the launcher's main thread already has an apartment (this only counts up),
// a test thread may not.
class ComApartment {
public:
    ComApartment() : initialised_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
    ~ComApartment() {
        if (initialised_)
            CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    bool initialised_;
};

// A stream over a moveable global copy of the bytes; the stream frees the memory.
ComPtr<IStream> StreamOverCopy(std::span<const std::uint8_t> data) {
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, data.size());
    if (memory == nullptr)
        return nullptr;
    void* target = GlobalLock(memory);
    if (target == nullptr) {
        GlobalFree(memory);
        return nullptr;
    }
    std::memcpy(target, data.data(), data.size());
    GlobalUnlock(memory);
    ComPtr<IStream> stream;
    if (FAILED(CreateStreamOnHGlobal(memory, TRUE, stream.GetAddressOf()))) {
        GlobalFree(memory);
        return nullptr;
    }
    return stream;
}

}  // namespace

bool DecodeImage(std::span<const std::uint8_t> data, DecodedImage& image) {
    image = DecodedImage{};
    if (data.empty() || data.size() > INT_MAX)
        return false;
    ComApartment apartment;
    ComPtr<IStream> stream = StreamOverCopy(data);
    if (!stream)
        return false;
    ComPtr<IWICImagingFactory> factory;
    if (FAILED(CoCreateInstance(CLSID_WICImagingFactory2, nullptr, CLSCTX_INPROC_SERVER,
                                IID_PPV_ARGS(factory.GetAddressOf()))))
        return false;
    ComPtr<IWICBitmapDecoder> decoder;
    if (FAILED(factory->CreateDecoderFromStream(stream.Get(), nullptr, WICDecodeMetadataCacheOnLoad,
                                                decoder.GetAddressOf())))
        return false;
    ComPtr<IWICBitmapFrameDecode> frame;
    if (FAILED(decoder->GetFrame(0, frame.GetAddressOf())))
        return false;
    // The header's size decides before any pixel is allocated.
    UINT width = 0, height = 0;
    if (FAILED(frame->GetSize(&width, &height)))
        return false;
    if (width == 0 || height == 0 || width > UINT(kMaxImageEdge) || height > UINT(kMaxImageEdge))
        return false;
    ComPtr<IWICFormatConverter> converter;
    if (FAILED(factory->CreateFormatConverter(converter.GetAddressOf())))
        return false;
    if (FAILED(converter->Initialize(frame.Get(), GUID_WICPixelFormat32bppRGBA,
                                     WICBitmapDitherTypeNone, nullptr, 0.0,
                                     WICBitmapPaletteTypeCustom)))
        return false;
    const UINT stride = width * 4;
    std::vector<std::uint8_t> pixels(std::size_t(stride) * height, 0);
    // Truncated or corrupt image data fails here, not in the header.
    if (FAILED(converter->CopyPixels(nullptr, stride, UINT(pixels.size()), pixels.data())))
        return false;
    image.width = int(width);
    image.height = int(height);
    image.rgba = std::move(pixels);
    return true;
}

}  // namespace qs
