#pragma once
// The Direct3D 11 graphics device: adapter choice, media platform, device, queue and the
// creation of every resource.

#include "AV_HAL/GraphicsDevice.h"
#include "AV_HAL/IVideoProcessor.h"

#include <d3d11.h>
#include <dxgi1_2.h>
#include <mfobjects.h>
#include <wrl/client.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>

struct IMFDXGIDeviceManager;

namespace Zarvo::HAL::Direct3D11 {

class GraphicsQueue;

struct AdapterInfo {
    Microsoft::WRL::ComPtr<IDXGIAdapter1> adapter;
    // 0 when the probe device could not be created.
    D3D_FEATURE_LEVEL featureLevel = static_cast<D3D_FEATURE_LEVEL>(0);
    DXGI_ADAPTER_DESC1 description{};
};

// Strict weak order for the adapter choice: the higher feature level first, then the larger
// dedicated video memory. Entries equal in both are equivalent, so the one inserted first stays.
struct AdapterOrder {
    bool operator()(const AdapterInfo& a, const AdapterInfo& b) const noexcept;
};
using AdapterSet = std::set<AdapterInfo, AdapterOrder>;

inline constexpr std::uint64_t kAnyAdapter = ~std::uint64_t{0};

class GraphicsDevice final : public IGraphicsDevice {
public:
    // `adapterLuid` is the wanted adapter's locally unique identifier read as one 64-bit value;
    // kAnyAdapter takes the best one. Throws ServiceUnavailableException ("Direct3D Device" or
    // "MediaFoundation") when no device can be brought up.
    explicit GraphicsDevice(std::uint64_t adapterLuid = kAnyAdapter);
    ~GraphicsDevice() override;
    GraphicsDevice(const GraphicsDevice&) = delete;
    GraphicsDevice& operator=(const GraphicsDevice&) = delete;

    std::shared_ptr<SwapChain> CreateSwapChain(std::string name, PixelFormat format, std::uint32_t width,
                                               std::uint32_t height, std::uint32_t bufferCount,
                                               void* window) override;
    std::shared_ptr<SwapChain> CreateSwapChain(std::string name, PixelFormat format,
                                               std::uint32_t bufferCount, void* window) override;
    std::shared_ptr<InputLayout> CreateInputLayout(std::string name, const void* vertexShaderCode,
                                                   std::size_t size) override;
    std::shared_ptr<Shader> CreateVertexShader(std::string name, const void* code, std::size_t size) override;
    std::shared_ptr<Shader> CreatePixelShader(std::string name, const void* code, std::size_t size) override;
    std::shared_ptr<Shader> CreateComputeShader(std::string name, const void* code,
                                                std::size_t size) override;
    std::shared_ptr<UniformBuffer> CreateUniformBuffer(std::string name, std::uint32_t byteSize,
                                                       const void* initialData) override;
    std::shared_ptr<Geometry> CreateGeometry(std::string name, std::uint32_t stride,
                                             std::uint32_t vertexCount, const void* initialData) override;
    std::shared_ptr<Sampler> CreateSampler(std::string name, std::uint32_t filter,
                                           std::uint32_t addressMode) override;
    std::shared_ptr<BlendConfig> CreateBlendConfig(std::string name, std::uint32_t colourSource,
                                                   std::uint32_t colourDestination,
                                                   std::uint32_t colourOperation, std::uint32_t alphaSource,
                                                   std::uint32_t alphaDestination,
                                                   std::uint32_t alphaOperation) override;
    std::shared_ptr<Surface> CreateSurface2D(std::string name, UsageFlags usage, PixelFormat format,
                                             std::uint32_t width, std::uint32_t height,
                                             const void* initialData, std::uint32_t initialPitch) override;
    std::shared_ptr<Surface> CreateSurface2D(std::string name, UsageFlags usage, std::uint64_t native,
                                             std::uint32_t subresource) override;
    std::shared_ptr<Surface> CreateSurfaceFromSwapChain(std::string name,
                                                        std::shared_ptr<SwapChain> swapChain) override;
    std::shared_ptr<Resource> CreateReserved(std::string name) override;
    std::shared_ptr<Surface> CreateSurfaceCube(std::string name, UsageFlags usage, PixelFormat format,
                                               std::uint32_t edge) override;
    void ReleaseNative(IUnknown* native) noexcept override;
    std::uint64_t GetSharedHandle(IUnknown* nativeTexture) override;
    Result<std::shared_ptr<IVideoProcessor>>
    CreateVideoProcessor(std::string name, const VideoDescription& description) override;
    std::shared_ptr<IGraphicsQueue> GetQueue() override;
    IUnknown* GetDeviceManager() override;

    ID3D11Device* Device() const noexcept { return mDevice.Get(); }
    // Null where the platform offers no video device (Wine, some drivers).
    ID3D11VideoDevice* VideoDevice() const noexcept { return mVideoDevice.Get(); }
    const AdapterInfo& Adapter() const noexcept { return mAdapter; }

private:
    // Construction after the media platform started: device, manager, queue.
    void BringUp();
    // An entry point of the loaded media platform; null without it.
    template <typename Function> Function MediaPlatformFunction(const char* name) const noexcept {
        return mMediaPlatform ? reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(mMediaPlatform, name)))
                              : nullptr;
    }
    // The destructor's work, also the rollback of a construction that failed half-way.
    void Teardown() noexcept;
    // Makes the views the usage asks for; false when a required view could not be made.
    bool MakeViews(Surface& surface, ID3D11Resource* texture);
    std::shared_ptr<Surface> WrapTexture(Microsoft::WRL::ComPtr<ID3D11Texture2D> texture, UsageFlags usage,
                                         std::uint32_t subresource);

    Microsoft::WRL::ComPtr<ID3D11Device> mDevice;
    Microsoft::WRL::ComPtr<ID3D11Debug> mDebug;
    Microsoft::WRL::ComPtr<IMFDXGIDeviceManager> mDeviceManager;
    Microsoft::WRL::ComPtr<ID3D11VideoDevice> mVideoDevice;
    HANDLE mDeviceHandle = nullptr;
    std::shared_ptr<GraphicsQueue> mQueue;
    std::mutex mMutex;
    UINT mResetToken = 0;
    AdapterInfo mAdapter;
    // Media Foundation, loaded for the device manager only: the camera's DirectShow module must load
    // where the media features are absent. Null where it is.
    HMODULE mMediaPlatform = nullptr;
    bool mMediaStarted = false;
};

} // namespace Zarvo::HAL::Direct3D11
