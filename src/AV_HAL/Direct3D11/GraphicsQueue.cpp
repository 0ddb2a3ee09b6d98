#include "AV_HAL/Direct3D11/GraphicsQueue.h"

#include "log/Log.h"
#include "runtime/Handles.h"

#include <d3d11_1.h>
#include <d3d11_3.h>

#include <algorithm>
#include <system_error>
#include <thread>
#include <utility>

using Microsoft::WRL::ComPtr;

namespace Zarvo::HAL::Direct3D11 {
namespace {

template <class T> ComPtr<T> NativeAs(IUnknown* native) {
    ComPtr<T> typed;
    if (native)
        native->QueryInterface(IID_PPV_ARGS(&typed));
    return typed;
}

template <class T> ComPtr<T> NativeAs(const Resource* resource) {
    return resource ? NativeAs<T>(resource->Native()) : ComPtr<T>();
}

template <class T> T* FirstView(const std::vector<IUnknown*>& views) {
    if (views.empty() || !views.front())
        return nullptr;
    // Views are stored by the device in their own interface type.
    return static_cast<T*>(views.front());
}

std::vector<ID3D11RenderTargetView*> RenderTargetViews(const Surface* surface) {
    std::vector<ID3D11RenderTargetView*> views;
    if (!surface)
        return views;
    for (IUnknown* view : surface->renderTargetViews) {
        if (views.size() == D3D11_SIMULTANEOUS_RENDER_TARGET_COUNT)
            break;
        views.push_back(static_cast<ID3D11RenderTargetView*>(view));
    }
    return views;
}

} // namespace

LockedContext::LockedContext(ComPtr<ID3D11DeviceContext> context, std::mutex* mutex)
    : mContext(std::move(context)), mMutex(mutex) {
    mMutex->lock();
}

LockedContext::LockedContext(LockedContext&& other) noexcept
    : mContext(std::move(other.mContext)), mMutex(std::exchange(other.mMutex, nullptr)) {}

LockedContext::~LockedContext() {
    if (mMutex)
        mMutex->unlock();
}

GraphicsQueue::GraphicsQueue(ComPtr<ID3D11VideoDevice> videoDevice, ComPtr<ID3D11VideoContext> videoContext,
                             ComPtr<ID3D11DeviceContext> context, std::mutex* mutex)
    : mMutex(mutex), mVideoDevice(std::move(videoDevice)), mVideoContext(std::move(videoContext)),
      mContext(std::move(context)) {}

GraphicsQueue::~GraphicsQueue() {
    if (mContext) {
        // Unbind everything the rendering half may have bound before the final clear.
        ID3D11Buffer* noBuffers[D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT] = {};
        mContext->VSSetConstantBuffers(0, 14, noBuffers);
        mContext->PSSetConstantBuffers(0, 14, noBuffers);
        ID3D11ShaderResourceView* noViews[D3D11_COMMONSHADER_INPUT_RESOURCE_SLOT_COUNT] = {};
        mContext->PSSetShaderResources(0, D3D11_COMMONSHADER_INPUT_RESOURCE_SLOT_COUNT, noViews);
        ID3D11SamplerState* noSamplers[D3D11_COMMONSHADER_SAMPLER_SLOT_COUNT] = {};
        mContext->PSSetSamplers(0, D3D11_COMMONSHADER_SAMPLER_SLOT_COUNT, noSamplers);
        UINT zeros[D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT] = {};
        mContext->IASetVertexBuffers(0, D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT, noBuffers, zeros, zeros);
        const float factor[4] = {1, 1, 1, 1};
        mContext->OMSetBlendState(nullptr, factor, 0xFFFFFFFF);
        mContext->IASetInputLayout(nullptr);
        mContext->VSSetShader(nullptr, nullptr, 0);
        mContext->PSSetShader(nullptr, nullptr, 0);
        std::lock_guard lock(*mMutex);
        mContext->Flush();
        mContext->ClearState();
    }
    mPendingFlush = nullptr;
    mRenderTargets.clear();
    mViewports.clear();
}

ComPtr<IUnknown> GraphicsQueue::BeginEvent(const std::string& name) {
    std::lock_guard lock(*mMutex);
    auto annotation = NativeAs<ID3DUserDefinedAnnotation>(mContext.Get());
    if (!annotation)
        return {};
    const int count = MultiByteToWideChar(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(std::max(count, 0)), L'\0');
    if (count > 0)
        MultiByteToWideChar(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), wide.data(), count);
    annotation->BeginEvent(wide.c_str());
    ComPtr<IUnknown> result;
    annotation.As(&result);
    return result;
}

void GraphicsQueue::EndEvent(ComPtr<IUnknown> annotation) {
    // Close the region before the interface goes, or the region stays open for good.
    auto typed = NativeAs<ID3DUserDefinedAnnotation>(annotation.Get());
    if (typed) {
        std::lock_guard lock(*mMutex);
        typed->EndEvent();
    }
}

void GraphicsQueue::Flush() {
    std::lock_guard lock(*mMutex);
    mContext->Flush();
}

void GraphicsQueue::FlushAndReset() {
    std::lock_guard lock(*mMutex);
    mContext->Flush();
    mContext->ClearState();
}

void GraphicsQueue::PushViewport(const ViewportRect& rect) {
    D3D11_VIEWPORT viewport{rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top, 0.0f, 0.0f};
    {
        auto context = Locked();
        context->RSSetViewports(1, &viewport);
    }
    mViewports.push_back(rect);
}

void GraphicsQueue::PopViewport() {
    if (mViewports.empty())
        return;
    mViewports.pop_back();
    if (!mViewports.empty()) {
        const ViewportRect& rect = mViewports.back();
        D3D11_VIEWPORT viewport{rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
                                0.0f,      0.0f};
        auto context = Locked();
        context->RSSetViewports(1, &viewport);
    }
}

void GraphicsQueue::BindRenderTarget(const Surface* surface) {
    auto views = RenderTargetViews(surface);
    auto context = Locked();
    context->OMSetRenderTargets(static_cast<UINT>(views.size()), views.empty() ? nullptr : views.data(),
                                nullptr);
}

void GraphicsQueue::PushRenderTarget(std::shared_ptr<Surface> surface) {
    BindRenderTarget(surface.get());
    mRenderTargets.push_back(std::move(surface));
}

void GraphicsQueue::PopRenderTarget() {
    if (mRenderTargets.empty())
        return;
    mRenderTargets.pop_back();
    BindRenderTarget(mRenderTargets.empty() ? nullptr : mRenderTargets.back().get());
}

void GraphicsQueue::Clear(const std::array<float, 4>& colour) {
    if (mRenderTargets.empty())
        return;
    for (auto* view : RenderTargetViews(mRenderTargets.back().get())) {
        auto context = Locked();
        context->ClearRenderTargetView(view, colour.data());
    }
}

void GraphicsQueue::ResizeSwapChain(std::shared_ptr<SwapChain> swapChain) {
    auto chain = NativeAs<IDXGISwapChain>(swapChain.get());
    if (!chain)
        return;
    RECT client{};
    if (!GetClientRect(static_cast<HWND>(swapChain->window), &client))
        return;
    chain->ResizeBuffers(0, static_cast<UINT>(client.right - client.left),
                         static_cast<UINT>(client.bottom - client.top), DXGI_FORMAT_UNKNOWN, 0);
}

void GraphicsQueue::Present(std::shared_ptr<SwapChain> swapChain) {
    if (auto chain = NativeAs<IDXGISwapChain>(swapChain.get()))
        chain->Present(1, 0);
}

void GraphicsQueue::SetInputLayout(std::shared_ptr<InputLayout> layout) {
    auto native = NativeAs<ID3D11InputLayout>(layout.get());
    auto context = Locked();
    context->IASetInputLayout(native.Get());
}

void GraphicsQueue::SetVertexShader(std::shared_ptr<Shader> shader) {
    auto native = NativeAs<ID3D11VertexShader>(shader.get());
    auto context = Locked();
    context->VSSetShader(native.Get(), nullptr, 0);
}

void GraphicsQueue::SetPixelShader(std::shared_ptr<Shader> shader) {
    auto native = NativeAs<ID3D11PixelShader>(shader.get());
    auto context = Locked();
    context->PSSetShader(native.Get(), nullptr, 0);
}

void GraphicsQueue::SetComputeShader(std::shared_ptr<Shader> shader) {
    auto native = NativeAs<ID3D11ComputeShader>(shader.get());
    auto context = Locked();
    context->CSSetShader(native.Get(), nullptr, 0);
}

void GraphicsQueue::Draw(std::shared_ptr<Geometry> geometry) {
    auto buffer = NativeAs<ID3D11Buffer>(geometry.get());
    if (!buffer)
        return;
    ID3D11Buffer* buffers[] = {buffer.Get()};
    const UINT stride = geometry->stride;
    const UINT offset = 0;
    {
        auto context = Locked();
        context->IASetVertexBuffers(0, 1, buffers, &stride, &offset);
    }
    {
        auto context = Locked();
        context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    }
    auto context = Locked();
    context->Draw(geometry->vertexCount, 0);
}

void GraphicsQueue::Dispatch(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    {
        auto context = Locked();
        context->Dispatch(x, y, z);
    }
    if (mPendingFlush) {
        auto pending = std::move(mPendingFlush);
        mPendingFlush = nullptr;
        pending();
    }
}

void GraphicsQueue::SetUniforms(const std::shared_ptr<UniformBuffer>& buffer, std::uint32_t slot,
                                BindBuffers bind) {
    auto native = NativeAs<ID3D11Buffer>(buffer.get());
    if (!native)
        return;
    if (!buffer->contents.empty()) {
        auto context = Locked();
        context->UpdateSubresource(native.Get(), 0, nullptr, buffer->contents.data(), 0, 0);
    }
    ID3D11Buffer* buffers[] = {native.Get()};
    auto context = Locked();
    (context.Get()->*bind)(slot, 1, buffers);
}

void GraphicsQueue::SetVertexUniforms(std::shared_ptr<UniformBuffer> buffer, std::uint32_t slot) {
    SetUniforms(buffer, slot, &ID3D11DeviceContext::VSSetConstantBuffers);
}

void GraphicsQueue::SetPixelUniforms(std::shared_ptr<UniformBuffer> buffer, std::uint32_t slot) {
    SetUniforms(buffer, slot, &ID3D11DeviceContext::PSSetConstantBuffers);
}

void GraphicsQueue::SetComputeUniforms(std::shared_ptr<UniformBuffer> buffer, std::uint32_t slot) {
    SetUniforms(buffer, slot, &ID3D11DeviceContext::CSSetConstantBuffers);
}

void GraphicsQueue::SetVertexSampler(std::shared_ptr<Sampler> sampler, std::uint32_t slot) {
    auto native = NativeAs<ID3D11SamplerState>(sampler.get());
    ID3D11SamplerState* samplers[] = {native.Get()};
    auto context = Locked();
    context->VSSetSamplers(slot, 1, samplers);
}

void GraphicsQueue::SetPixelSampler(std::shared_ptr<Sampler> sampler, std::uint32_t slot) {
    auto native = NativeAs<ID3D11SamplerState>(sampler.get());
    ID3D11SamplerState* samplers[] = {native.Get()};
    auto context = Locked();
    context->PSSetSamplers(slot, 1, samplers);
}

void GraphicsQueue::SetComputeSampler(std::shared_ptr<Sampler> sampler, std::uint32_t slot) {
    auto native = NativeAs<ID3D11SamplerState>(sampler.get());
    ID3D11SamplerState* samplers[] = {native.Get()};
    auto context = Locked();
    context->CSSetSamplers(slot, 1, samplers);
}

void GraphicsQueue::SetBlendConfig(std::shared_ptr<BlendConfig> blend) {
    auto native = NativeAs<ID3D11BlendState>(blend.get());
    const std::array<float, 4> factor = blend ? blend->blendFactor : std::array<float, 4>{1, 1, 1, 1};
    auto context = Locked();
    context->OMSetBlendState(native.Get(), factor.data(), 0xFFFFFFFF);
}

void GraphicsQueue::SetVertexTexture(std::shared_ptr<Surface> surface, std::uint32_t slot) {
    ID3D11ShaderResourceView* views[] = {
        surface ? FirstView<ID3D11ShaderResourceView>(surface->shaderResourceViews) : nullptr};
    auto context = Locked();
    context->VSSetShaderResources(slot, 1, views);
}

void GraphicsQueue::SetPixelTexture(std::shared_ptr<Surface> surface, std::uint32_t slot) {
    ID3D11ShaderResourceView* views[] = {
        surface ? FirstView<ID3D11ShaderResourceView>(surface->shaderResourceViews) : nullptr};
    auto context = Locked();
    context->PSSetShaderResources(slot, 1, views);
}

void GraphicsQueue::SetComputeTexture(std::shared_ptr<Surface> surface, std::uint32_t slot) {
    ID3D11ShaderResourceView* views[] = {
        surface ? FirstView<ID3D11ShaderResourceView>(surface->shaderResourceViews) : nullptr};
    auto context = Locked();
    context->CSSetShaderResources(slot, 1, views);
}

void GraphicsQueue::SetComputeOutput(std::shared_ptr<Surface> surface, std::uint32_t slot) {
    ID3D11UnorderedAccessView* views[] = {
        surface ? FirstView<ID3D11UnorderedAccessView>(surface->unorderedAccessViews) : nullptr};
    {
        auto context = Locked();
        context->CSSetUnorderedAccessViews(slot, 1, views, nullptr);
    }
    if (surface && HasUsage(surface->usage, UsageFlags::Shared))
        mPendingFlush = [this] { FlushAndWait(); };
}

void GraphicsQueue::FlushAndWait() {
    ComPtr<ID3D11DeviceContext3> context3;
    mContext.As(&context3);
    if (context3) {
        SetLastError(ERROR_SUCCESS);
        UniqueEvent written(CreateEventW(nullptr, TRUE, FALSE, L"TextureWrite"));
        // A name already taken belongs to another copy, whose manual-reset event may be
        // signalled already: waiting on it would not wait for our copy. Use our own then.
        if (written && GetLastError() == ERROR_ALREADY_EXISTS)
            written.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!written)
            return;
        {
            auto context = Locked();
            context3->Flush1(D3D11_CONTEXT_TYPE_COPY, written.get());
        }
        WaitForSingleObject(written.get(), INFINITE);
        return;
    }

    // Without Flush1 (older systems, Wine): flush and poll an event query until the GPU
    // has passed it. A failing query (device removed) ends the wait.
    if (!mFlush1MissingLogged.exchange(true)) {
        auto log = Log::Get(kFilterLogName, "CopySurface");
        log << LogLevel::Error
            << "ID3D11DeviceContext3 not offered: waiting on an event query instead of Flush1"
            << Log::EndLine;
    }
    ComPtr<ID3D11Device> device;
    mContext->GetDevice(&device);
    if (!device)
        return;
    D3D11_QUERY_DESC desc{D3D11_QUERY_EVENT, 0};
    ComPtr<ID3D11Query> query;
    if (FAILED(device->CreateQuery(&desc, &query)))
        return;
    {
        auto context = Locked();
        context->End(query.Get());
    }
    {
        auto context = Locked();
        context->Flush();
    }
    for (;;) {
        HRESULT hr;
        {
            auto context = Locked();
            hr = context->GetData(query.Get(), nullptr, 0, 0);
        }
        if (hr != S_FALSE)
            return;
        std::this_thread::yield();
    }
}

void GraphicsQueue::CopySurface(std::shared_ptr<Surface> source, std::shared_ptr<Surface> destination,
                                std::optional<Region> region) {
    auto src = NativeAs<ID3D11Resource>(source.get());
    auto dst = NativeAs<ID3D11Resource>(destination.get());
    if (!src || !dst)
        return;
    if (source->arraySize < 2 && destination->arraySize < 2) {
        auto context = Locked();
        context->CopyResource(dst.Get(), src.Get());
    } else {
        D3D11_BOX box{};
        if (region)
            box = {region->left, region->top, 0, region->right, region->bottom, 1};
        auto context = Locked();
        context->CopySubresourceRegion(dst.Get(), destination->subresource, 0, 0, 0, src.Get(),
                                       source->subresource, region ? &box : nullptr);
    }
    if (HasUsage(destination->usage, UsageFlags::Shared))
        FlushAndWait();
}

D3D11_MAP GraphicsQueue::MapTypeFor(std::uint32_t modeFlags, UsageFlags usage) noexcept {
    if (modeFlags & LockRead)
        return D3D11_MAP_READ;
    if (modeFlags & LockWrite)
        return HasUsage(usage, UsageFlags::CpuRead) ? D3D11_MAP_WRITE : D3D11_MAP_WRITE_DISCARD;
    if (modeFlags & LockReadWrite)
        return D3D11_MAP_READ_WRITE;
    return static_cast<D3D11_MAP>(0);
}

std::shared_ptr<LockedResource> GraphicsQueue::Lock(std::shared_ptr<Surface> surface, std::uint32_t modeFlags,
                                                    std::uint32_t subresource) {
    auto texture = NativeAs<ID3D11Resource>(surface.get());
    if (!texture)
        return nullptr;
    const D3D11_MAP type = MapTypeFor(modeFlags, surface->usage);
    const UINT flags = (modeFlags & LockDoNotWait) ? D3D11_MAP_FLAG_DO_NOT_WAIT : 0;
    // Made before the map: memory running out between the map and the record would leave the
    // surface mapped with nothing to unlock it by, and every later lock of it would fail.
    auto record = std::make_shared<LockedResource>();
    D3D11_MAPPED_SUBRESOURCE mapped{};
    HRESULT hr;
    {
        auto context = Locked();
        hr = context->Map(texture.Get(), subresource, type, flags, &mapped);
    }
    return RecordOfMap(hr, mapped, std::move(record));
}

std::shared_ptr<LockedResource> GraphicsQueue::RecordOfMap(HRESULT result, const D3D11_MAPPED_SUBRESOURCE& mapped,
                                                           std::shared_ptr<LockedResource> record) noexcept {
    // Busy with DO_NOT_WAIT maps nothing, whatever the out-record holds: report it as empty,
    // never as a record whose pointer was not mapped.
    if (FAILED(result) || result == DXGI_ERROR_WAS_STILL_DRAWING || !mapped.pData || !record)
        return nullptr;
    record->data = mapped.pData;
    record->rowPitch = mapped.RowPitch;
    record->depthPitch = mapped.DepthPitch;
    return record;
}

void GraphicsQueue::Unlock(std::shared_ptr<Surface> surface, std::uint32_t subresource) {
    auto texture = NativeAs<ID3D11Resource>(surface.get());
    if (!texture)
        return;
    auto context = Locked();
    context->Unmap(texture.Get(), subresource);
}

void GraphicsQueue::ProcessVideo(std::shared_ptr<IVideoProcessor> processor, std::shared_ptr<Surface> source,
                                 std::shared_ptr<Surface> destination) {
    if (!processor)
        return;
    if ((!mVideoDevice || !mVideoContext) && !mVideoMissingLogged.exchange(true)) {
        auto log = Log::Get(kFilterLogName, "ProcessVideo");
        log << LogLevel::Error << "ID3D11VideoContext not offered: video processing skipped" << Log::EndLine;
    }
    std::lock_guard lock(*mMutex);
    processor->Process(mVideoDevice, mVideoContext, std::move(source), std::move(destination));
}

std::unique_ptr<HAL::LockedContext> GraphicsQueue::LockContext() {
    return std::make_unique<LockedContext>(mContext, mMutex);
}

} // namespace Zarvo::HAL::Direct3D11
