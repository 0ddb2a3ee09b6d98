#pragma once
// A graphics device double for the frame client: the platform cannot share textures here. Its shared
// texture holds Hashed bytes; what it saw and how it fails is kept in a DeviceRecord that outlives it.
#include "AV_HAL/GraphicsDevice.h"
#include "log/Exceptions.h"

#include <array>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace Zarvo::Testing {

using Microsoft::WRL::ComPtr;
using namespace Zarvo::HAL;
using Bytes = std::vector<std::uint8_t>;

// NV12 bytes without a short period, so a wrong row pitch cannot reproduce them by chance.
inline Bytes Hashed(std::uint32_t pitch, std::uint32_t height) {
    Bytes bytes(static_cast<std::size_t>(pitch) * height * 3 / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(((i + 1) * 2654435761u) >> 24);
    return bytes;
}

using S = std::string;
using U = std::uint32_t;
template <class T> using P = std::shared_ptr<T>;
using PS = P<Surface>;
using Z = std::size_t;

// What the double saw and how it fails, shared with the test after the client is gone.
struct DeviceRecord {
    std::string destroyed = ""; // names, in the order they went
    int made = 0, copies = 0, locks = 0, unlocks = 0;
    U lastLockMode = 0, pitch = 0, gpuWidth = 0; // 0: the surface's width
    std::uint64_t openedHandle = 0;
    bool noDevice = false, cpuCreateFails = false, gpuOpenFails = false, lockFails = false;
    bool cpuCreateThrows = false; // as the real device's allocations when memory runs out
    std::array<int, 4> Counts() const { return {int(openedHandle == 0x1234), copies, locks, unlocks}; }
};

struct FakeSurface : Surface {
    explicit FakeSurface(DeviceRecord& r) : Surface(nullptr, nullptr), record(r) {}
    ~FakeSurface() override { record.destroyed += name + ";"; }
    DeviceRecord& record;
    std::vector<std::uint8_t> bytes;
};

// Surfaces of byte vectors: the shared texture holds PatternNv12, a fresh CPU surface zeros.
struct FakeDevice final : IGraphicsDevice, IGraphicsQueue, std::enable_shared_from_this<FakeDevice> {
    FakeDevice(DeviceRecord& r, U w, U h) : record(r), gpuWidth(r.gpuWidth ? r.gpuWidth : w), height(h) {
        if (r.noDevice) // as where no adapter makes a device
            throw ServiceUnavailableException(L"Direct3D Device");
        ++r.made;
    }
    ~FakeDevice() override { record.destroyed += "device;"; }

    PS CreateSurface2D(S name, UsageFlags usage, PixelFormat format, U w, U h, const void*, U) override {
        if (record.cpuCreateThrows)
            throw std::bad_alloc();
        const bool fails = record.cpuCreateFails || usage != UsageFlags::CpuRead;
        return fails ? nullptr : Make(std::move(name), format, w, h, false);
    }
    PS CreateSurface2D(S name, UsageFlags usage, std::uint64_t native, U) override {
        record.openedHandle = native;
        if (record.gpuOpenFails || usage != UsageFlags::Shared)
            return {};
        return Make(std::move(name), PixelFormat::NV12, gpuWidth, height, true);
    }
    P<IGraphicsQueue> GetQueue() override { return {shared_from_this(), this}; }
    void CopySurface(PS source, PS destination, std::optional<Region>) override {
        ++record.copies;
        auto &from = static_cast<FakeSurface&>(*source), &to = static_cast<FakeSurface&>(*destination);
        // Like the GPU's whole-resource copy: nothing happens between surfaces that differ.
        if (from.format == to.format && from.width == to.width && from.height == to.height)
            to.bytes = from.bytes;
    }
    P<LockedResource> Lock(PS surface, U mode, U) override {
        ++record.locks, record.lastLockMode = mode;
        auto& s = static_cast<FakeSurface&>(*surface);
        return record.lockFails ? nullptr : std::make_shared<LockedResource>(s.bytes.data(), Pitch(s.width));
    }
    void Unlock(PS, U) override { ++record.unlocks; }

    U Pitch(U w) const { return record.pitch ? record.pitch : w; }
    PS Make(S name, PixelFormat format, U w, U h, bool pattern) {
        auto surface = std::make_shared<FakeSurface>(record);
        surface->name = std::move(name), surface->format = format, surface->width = w, surface->height = h;
        surface->bytes = pattern ? Hashed(Pitch(w), h) : std::vector<std::uint8_t>(Pitch(w) * h * 3 / 2);
        return surface;
    }
    DeviceRecord& record;
    const U gpuWidth, height;

    // The slots the client never uses: each does nothing and makes nothing.
    // clang-format off
#define V(Name, ...) void Name(__VA_ARGS__) override {}
#define R(Type, Name, ...) Type Name(__VA_ARGS__) override { return {}; }
    V(EndEvent, ComPtr<IUnknown>) V(Flush) V(FlushAndReset) V(PushViewport, const ViewportRect&) V(PopViewport)
    V(PushRenderTarget, PS) V(PopRenderTarget) V(Clear, const std::array<float, 4>&) V(Draw, P<Geometry>)
    V(ResizeSwapChain, P<SwapChain>) V(Present, P<SwapChain>) V(SetInputLayout, P<InputLayout>) V(Dispatch, U, U, U)
    V(SetVertexShader, P<Shader>) V(SetPixelShader, P<Shader>) V(SetComputeShader, P<Shader>)
    V(SetComputeOutput, PS, U) V(SetVertexUniforms, P<UniformBuffer>, U) V(SetPixelUniforms, P<UniformBuffer>, U)
    V(SetVertexTexture, PS, U) V(SetComputeUniforms, P<UniformBuffer>, U) V(SetVertexSampler, P<Sampler>, U)
    V(SetPixelSampler, P<Sampler>, U) V(SetComputeSampler, P<Sampler>, U) V(SetBlendConfig, P<BlendConfig>)
    V(SetPixelTexture, PS, U) V(SetComputeTexture, PS, U) V(ProcessVideo, P<IVideoProcessor>, PS, PS)
    void ReleaseNative(IUnknown*) noexcept override {} R(std::unique_ptr<LockedContext>, LockContext)
    R(ComPtr<IUnknown>, BeginEvent, const S&) R(IUnknown*, GetDeviceManager)
    R(std::uint64_t, GetSharedHandle, IUnknown*) R(P<SwapChain>, CreateSwapChain, S, PixelFormat, U, U, U, void*)
    R(P<SwapChain>, CreateSwapChain, S, PixelFormat, U, void*) R(P<InputLayout>, CreateInputLayout, S, const void*, Z)
    R(P<Shader>, CreateVertexShader, S, const void*, Z) R(P<Shader>, CreatePixelShader, S, const void*, Z)
    R(P<Shader>, CreateComputeShader, S, const void*, Z) R(P<UniformBuffer>, CreateUniformBuffer, S, U, const void*)
    R(P<Geometry>, CreateGeometry, S, U, U, const void*) R(P<Sampler>, CreateSampler, S, U, U)
    R(P<Resource>, CreateReserved, S) R(P<BlendConfig>, CreateBlendConfig, S, U, U, U, U, U, U)
    R(PS, CreateSurfaceFromSwapChain, S, P<SwapChain>) R(PS, CreateSurfaceCube, S, UsageFlags, PixelFormat, U)
    Result<P<IVideoProcessor>> CreateVideoProcessor(S, const VideoDescription&) override { return P<IVideoProcessor>(); }
#undef V
#undef R
    // clang-format on
};


} // namespace Zarvo::Testing
