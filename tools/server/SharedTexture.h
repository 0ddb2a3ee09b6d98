#pragma once
// The NV12 texture the server shares with the camera through a legacy shared handle.

#include <d3d11.h>
#include <wrl/client.h>

#include <cstdint>
#include <mutex>
#include <string>

namespace Zarvo::Server {

class SharedTexture {
public:
    // The handle of a shared NV12 texture of the given size, made on first use and again when
    // the size changes; 0 with `whyNot` filled in when the platform cannot provide one.
    std::uint64_t Open(std::uint32_t width, std::uint32_t height, std::string& whyNot);

    // Copies one NV12 frame (luma rows then chroma rows, both at `pitch`) into the shared
    // texture if there is one of that size. Returns false when nothing was written.
    bool Write(const std::uint8_t* frame, std::size_t pitch, std::uint32_t width, std::uint32_t height);

    void Release();

private:
    bool EnsureDevice(std::string& whyNot);

    std::mutex mMutex; // guards every member below: the immediate context is not thread-safe
    Microsoft::WRL::ComPtr<ID3D11Device> mDevice;
    Microsoft::WRL::ComPtr<ID3D11DeviceContext> mContext;
    Microsoft::WRL::ComPtr<ID3D11Texture2D> mShared;
    Microsoft::WRL::ComPtr<ID3D11Texture2D> mStaging;
    std::uint32_t mWidth = 0;
    std::uint32_t mHeight = 0;
    std::uint64_t mHandle = 0;
};

} // namespace Zarvo::Server
