#pragma once
// The device layer's abstract interfaces. The frame client talks to a device only through
// these, so a test double can stand in for the GPU.

#include "AV_HAL/GraphicsTypes.h"
#include "AV_HAL/Resources.h"
#include "AppSettings/ErrorRecord.h"

#include <unknwn.h>
#include <wrl/client.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace Zarvo::HAL {

class IGraphicsQueue;
class IVideoProcessor;

// Guard over the immediate context: the device mutex is held for the guard's lifetime.
class LockedContext {
public:
    virtual ~LockedContext() = default;
};

class IGraphicsDevice {
public:
    virtual ~IGraphicsDevice() = default;

    virtual std::shared_ptr<SwapChain> CreateSwapChain(std::string name, PixelFormat format,
                                                       std::uint32_t width, std::uint32_t height,
                                                       std::uint32_t bufferCount, void* window) = 0;
    virtual std::shared_ptr<SwapChain> CreateSwapChain(std::string name, PixelFormat format,
                                                       std::uint32_t bufferCount, void* window) = 0;
    virtual std::shared_ptr<InputLayout> CreateInputLayout(std::string name, const void* vertexShaderCode,
                                                           std::size_t size) = 0;
    virtual std::shared_ptr<Shader> CreateVertexShader(std::string name, const void* code,
                                                       std::size_t size) = 0;
    virtual std::shared_ptr<Shader> CreatePixelShader(std::string name, const void* code,
                                                      std::size_t size) = 0;
    virtual std::shared_ptr<Shader> CreateComputeShader(std::string name, const void* code,
                                                        std::size_t size) = 0;
    virtual std::shared_ptr<UniformBuffer> CreateUniformBuffer(std::string name, std::uint32_t byteSize,
                                                               const void* initialData) = 0;
    virtual std::shared_ptr<Geometry> CreateGeometry(std::string name, std::uint32_t stride,
                                                     std::uint32_t vertexCount, const void* initialData) = 0;
    // filter: a D3D11_FILTER value; addressMode: a D3D11_TEXTURE_ADDRESS_MODE value.
    virtual std::shared_ptr<Sampler> CreateSampler(std::string name, std::uint32_t filter,
                                                   std::uint32_t addressMode) = 0;
    // Codes are D3D11_BLEND / D3D11_BLEND_OP values.
    virtual std::shared_ptr<BlendConfig>
    CreateBlendConfig(std::string name, std::uint32_t colourSource, std::uint32_t colourDestination,
                      std::uint32_t colourOperation, std::uint32_t alphaSource,
                      std::uint32_t alphaDestination, std::uint32_t alphaOperation) = 0;
    // A new texture; initial data is used only when both pointer and pitch are non-zero.
    virtual std::shared_ptr<Surface> CreateSurface2D(std::string name, UsageFlags usage, PixelFormat format,
                                                     std::uint32_t width, std::uint32_t height,
                                                     const void* initialData, std::uint32_t initialPitch) = 0;
    // With Shared in `usage`, `native` is a legacy shared handle; otherwise an ID3D11Texture2D*
    // made elsewhere, of which one reference is added.
    virtual std::shared_ptr<Surface> CreateSurface2D(std::string name, UsageFlags usage, std::uint64_t native,
                                                     std::uint32_t subresource) = 0;
    virtual std::shared_ptr<Surface> CreateSurfaceFromSwapChain(std::string name,
                                                                std::shared_ptr<SwapChain> swapChain) = 0;
    // Reserved slot: always empty.
    virtual std::shared_ptr<Resource> CreateReserved(std::string name) = 0;
    virtual std::shared_ptr<Surface> CreateSurfaceCube(std::string name, UsageFlags usage, PixelFormat format,
                                                       std::uint32_t edge) = 0;
    // Releases one counted reference.
    virtual void ReleaseNative(IUnknown* native) noexcept = 0;
    // The legacy shared handle of a texture, 0 when it has none.
    virtual std::uint64_t GetSharedHandle(IUnknown* nativeTexture) = 0;
    virtual Result<std::shared_ptr<IVideoProcessor>>
    CreateVideoProcessor(std::string name, const VideoDescription& description) = 0;
    // The same queue every time; must not outlive the device.
    virtual std::shared_ptr<IGraphicsQueue> GetQueue() = 0;
    // Not counted.
    virtual IUnknown* GetDeviceManager() = 0;
};

class IGraphicsQueue {
public:
    virtual ~IGraphicsQueue() = default;

    // Opens a named annotation region; empty when the context offers none.
    virtual Microsoft::WRL::ComPtr<IUnknown> BeginEvent(const std::string& name) = 0;
    // Closes the region BeginEvent opened and releases its interface.
    virtual void EndEvent(Microsoft::WRL::ComPtr<IUnknown> annotation) = 0;
    virtual void Flush() = 0;
    virtual void FlushAndReset() = 0;
    virtual void PushViewport(const ViewportRect& rect) = 0;
    virtual void PopViewport() = 0;
    virtual void PushRenderTarget(std::shared_ptr<Surface> surface) = 0;
    virtual void PopRenderTarget() = 0;
    virtual void Clear(const std::array<float, 4>& colour) = 0;
    virtual void ResizeSwapChain(std::shared_ptr<SwapChain> swapChain) = 0;
    virtual void Present(std::shared_ptr<SwapChain> swapChain) = 0;
    virtual void SetInputLayout(std::shared_ptr<InputLayout> layout) = 0;
    virtual void SetVertexShader(std::shared_ptr<Shader> shader) = 0;
    virtual void SetPixelShader(std::shared_ptr<Shader> shader) = 0;
    virtual void SetComputeShader(std::shared_ptr<Shader> shader) = 0;
    virtual void Draw(std::shared_ptr<Geometry> geometry) = 0;
    virtual void Dispatch(std::uint32_t x, std::uint32_t y, std::uint32_t z) = 0;
    virtual void SetVertexUniforms(std::shared_ptr<UniformBuffer> buffer, std::uint32_t slot) = 0;
    virtual void SetPixelUniforms(std::shared_ptr<UniformBuffer> buffer, std::uint32_t slot) = 0;
    virtual void SetComputeUniforms(std::shared_ptr<UniformBuffer> buffer, std::uint32_t slot) = 0;
    virtual void SetVertexSampler(std::shared_ptr<Sampler> sampler, std::uint32_t slot) = 0;
    virtual void SetPixelSampler(std::shared_ptr<Sampler> sampler, std::uint32_t slot) = 0;
    virtual void SetComputeSampler(std::shared_ptr<Sampler> sampler, std::uint32_t slot) = 0;
    virtual void SetBlendConfig(std::shared_ptr<BlendConfig> blend) = 0;
    virtual void SetVertexTexture(std::shared_ptr<Surface> surface, std::uint32_t slot) = 0;
    virtual void SetPixelTexture(std::shared_ptr<Surface> surface, std::uint32_t slot) = 0;
    virtual void SetComputeTexture(std::shared_ptr<Surface> surface, std::uint32_t slot) = 0;
    virtual void SetComputeOutput(std::shared_ptr<Surface> surface, std::uint32_t slot) = 0;
    // Whole-resource copy for single-slice surfaces (region ignored); region copy between
    // the stated subresources otherwise. Reports nothing.
    virtual void CopySurface(std::shared_ptr<Surface> source, std::shared_ptr<Surface> destination,
                             std::optional<Region> region = std::nullopt) = 0;
    // Empty when nothing was mapped (failure, or busy with LockDoNotWait).
    virtual std::shared_ptr<LockedResource> Lock(std::shared_ptr<Surface> surface, std::uint32_t modeFlags,
                                                 std::uint32_t subresource) = 0;
    virtual void Unlock(std::shared_ptr<Surface> surface, std::uint32_t subresource) = 0;
    virtual void ProcessVideo(std::shared_ptr<IVideoProcessor> processor, std::shared_ptr<Surface> source,
                              std::shared_ptr<Surface> destination) = 0;
    virtual std::unique_ptr<LockedContext> LockContext() = 0;
};

} // namespace Zarvo::HAL
