#pragma once
// The Direct3D 11 immediate context behind IGraphicsQueue. Every context call runs under the
// device mutex, held for that one call only.

#include "AV_HAL/GraphicsDevice.h"
#include "AV_HAL/IVideoProcessor.h"

#include <d3d11.h>
#include <wrl/client.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

namespace Zarvo::HAL::Direct3D11 {

class LockedContext final : public HAL::LockedContext {
public:
    // Locks `mutex`; a failure to lock is thrown as std::system_error.
    LockedContext(Microsoft::WRL::ComPtr<ID3D11DeviceContext> context, std::mutex* mutex);
    ~LockedContext() override;
    LockedContext(LockedContext&& other) noexcept;
    LockedContext(const LockedContext&) = delete;
    LockedContext& operator=(const LockedContext&) = delete;
    LockedContext& operator=(LockedContext&&) = delete;

    ID3D11DeviceContext* operator->() const noexcept { return mContext.Get(); }
    ID3D11DeviceContext* Get() const noexcept { return mContext.Get(); }

private:
    Microsoft::WRL::ComPtr<ID3D11DeviceContext> mContext;
    std::mutex* mMutex;
};

class GraphicsQueue final : public IGraphicsQueue {
public:
    // `mutex` belongs to the device, which outlives the queue. The video interfaces may be null.
    GraphicsQueue(Microsoft::WRL::ComPtr<ID3D11VideoDevice> videoDevice,
                  Microsoft::WRL::ComPtr<ID3D11VideoContext> videoContext,
                  Microsoft::WRL::ComPtr<ID3D11DeviceContext> context, std::mutex* mutex);
    ~GraphicsQueue() override;

    Microsoft::WRL::ComPtr<IUnknown> BeginEvent(const std::string& name) override;
    void EndEvent(Microsoft::WRL::ComPtr<IUnknown> annotation) override;
    void Flush() override;
    void FlushAndReset() override;
    void PushViewport(const ViewportRect& rect) override;
    void PopViewport() override;
    void PushRenderTarget(std::shared_ptr<Surface> surface) override;
    void PopRenderTarget() override;
    void Clear(const std::array<float, 4>& colour) override;
    void ResizeSwapChain(std::shared_ptr<SwapChain> swapChain) override;
    void Present(std::shared_ptr<SwapChain> swapChain) override;
    void SetInputLayout(std::shared_ptr<InputLayout> layout) override;
    void SetVertexShader(std::shared_ptr<Shader> shader) override;
    void SetPixelShader(std::shared_ptr<Shader> shader) override;
    void SetComputeShader(std::shared_ptr<Shader> shader) override;
    void Draw(std::shared_ptr<Geometry> geometry) override;
    void Dispatch(std::uint32_t x, std::uint32_t y, std::uint32_t z) override;
    void SetVertexUniforms(std::shared_ptr<UniformBuffer> buffer, std::uint32_t slot) override;
    void SetPixelUniforms(std::shared_ptr<UniformBuffer> buffer, std::uint32_t slot) override;
    void SetComputeUniforms(std::shared_ptr<UniformBuffer> buffer, std::uint32_t slot) override;
    void SetVertexSampler(std::shared_ptr<Sampler> sampler, std::uint32_t slot) override;
    void SetPixelSampler(std::shared_ptr<Sampler> sampler, std::uint32_t slot) override;
    void SetComputeSampler(std::shared_ptr<Sampler> sampler, std::uint32_t slot) override;
    void SetBlendConfig(std::shared_ptr<BlendConfig> blend) override;
    void SetVertexTexture(std::shared_ptr<Surface> surface, std::uint32_t slot) override;
    void SetPixelTexture(std::shared_ptr<Surface> surface, std::uint32_t slot) override;
    void SetComputeTexture(std::shared_ptr<Surface> surface, std::uint32_t slot) override;
    void SetComputeOutput(std::shared_ptr<Surface> surface, std::uint32_t slot) override;
    void CopySurface(std::shared_ptr<Surface> source, std::shared_ptr<Surface> destination,
                     std::optional<Region> region = std::nullopt) override;
    std::shared_ptr<LockedResource> Lock(std::shared_ptr<Surface> surface, std::uint32_t modeFlags,
                                         std::uint32_t subresource) override;
    void Unlock(std::shared_ptr<Surface> surface, std::uint32_t subresource) override;
    void ProcessVideo(std::shared_ptr<IVideoProcessor> processor, std::shared_ptr<Surface> source,
                      std::shared_ptr<Surface> destination) override;
    std::unique_ptr<HAL::LockedContext> LockContext() override;

    // The map type Lock uses for `modeFlags` on a surface of `usage`.
    static D3D11_MAP MapTypeFor(std::uint32_t modeFlags, UsageFlags usage) noexcept;
    // What Lock hands out for the result of Map: `record`, filled in, when memory was really mapped;
    // otherwise empty. Allocates nothing, so nothing fails once memory is mapped.
    static std::shared_ptr<LockedResource> RecordOfMap(HRESULT result, const D3D11_MAPPED_SUBRESOURCE& mapped,
                                                       std::shared_ptr<LockedResource> record) noexcept;

private:
    using BindBuffers = void (STDMETHODCALLTYPE ID3D11DeviceContext::*)(UINT, UINT, ID3D11Buffer* const*);

    // Uploads the buffer's CPU-side contents, then binds it with `bind` (one stage's setter).
    void SetUniforms(const std::shared_ptr<UniformBuffer>& buffer, std::uint32_t slot, BindBuffers bind);
    LockedContext Locked() { return LockedContext(mContext, mMutex); }
    // Waits until the GPU has finished the work queued so far, so another process that opens
    // a shared surface sees the written content.
    void FlushAndWait();
    void BindRenderTarget(const Surface* surface);

    std::mutex* mMutex;
    Microsoft::WRL::ComPtr<ID3D11VideoDevice> mVideoDevice;
    Microsoft::WRL::ComPtr<ID3D11VideoContext> mVideoContext;
    Microsoft::WRL::ComPtr<ID3D11DeviceContext> mContext;
    std::vector<ViewportRect> mViewports;
    std::vector<std::shared_ptr<Surface>> mRenderTargets;
    std::function<void()> mPendingFlush;
    // Each missing capability is logged once per queue, not once per frame.
    std::atomic<bool> mFlush1MissingLogged{false};
    std::atomic<bool> mVideoMissingLogged{false};
};

} // namespace Zarvo::HAL::Direct3D11
