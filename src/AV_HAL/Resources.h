#pragma once
// Records handed out by a graphics device. Each holds counted native objects that go back
// through the device that made it, so every resource must be destroyed before its device.

#include "AV_HAL/GraphicsTypes.h"

#include <unknwn.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Zarvo::HAL {

class IGraphicsDevice;

class Resource {
public:
    // Takes over one reference to `native` (may be null).
    Resource(IGraphicsDevice* device, IUnknown* native) noexcept : mDevice(device), mNative(native) {}
    virtual ~Resource();
    Resource(const Resource&) = delete;
    Resource& operator=(const Resource&) = delete;

    IGraphicsDevice* Device() const noexcept { return mDevice; }
    IUnknown* Native() const noexcept { return mNative; }

    // The device accepts a name on every creation but does not keep it.
    std::string name;

protected:
    // Hands one reference back through the device (or drops it when there is no device).
    void ReleaseThroughDevice(IUnknown* native) noexcept;

private:
    IGraphicsDevice* mDevice;
    IUnknown* mNative;
};

// A texture. kind: 0 = 1D, 1 = 2D, 2 = 3D, 3 = cube (6 faces).
class Surface : public Resource {
public:
    using Resource::Resource;
    ~Surface() override;

    std::uint32_t kind = 1;
    UsageFlags usage = UsageFlags::None;
    PixelFormat format = PixelFormat::Unknown;
    // The array slice the surface stands for (0 for created surfaces).
    std::uint32_t subresource = 0;
    std::uint32_t arraySize = 1;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    // 0 for 2D textures, the edge length for cubes.
    std::uint32_t depth = 0;
    // Owned native views; an entry may be null where a shader-resource view could not be made.
    std::vector<IUnknown*> shaderResourceViews;
    std::vector<IUnknown*> unorderedAccessViews;
    std::vector<IUnknown*> renderTargetViews;
};

// What a successful Lock mapped. Valid until the matching Unlock.
struct LockedResource {
    void* data = nullptr;
    std::uint32_t rowPitch = 0;
    std::uint32_t depthPitch = 0;
};

class Sampler : public Resource {
public:
    using Resource::Resource;
};

class Shader : public Resource {
public:
    enum class Stage { Vertex, Pixel, Compute };
    Shader(IGraphicsDevice* device, IUnknown* native, Stage stage) noexcept
        : Resource(device, native), stage(stage) {}
    Stage stage;
};

class InputLayout : public Resource {
public:
    using Resource::Resource;
};

class Geometry : public Resource {
public:
    using Resource::Resource;
    std::uint32_t stride = 0;
    std::uint32_t vertexCount = 0;
};

class BlendConfig : public Resource {
public:
    using Resource::Resource;
    std::array<float, 4> blendFactor{1.0f, 1.0f, 1.0f, 1.0f};
};

class UniformBuffer : public Resource {
public:
    using Resource::Resource;
    // CPU-side contents, uploaded whole whenever the buffer is bound.
    std::vector<std::uint8_t> contents;
};

class SwapChain : public Resource {
public:
    using Resource::Resource;
    void* window = nullptr; // HWND
    PixelFormat format = PixelFormat::Unknown;
    std::uint32_t bufferCount = 0;
};

} // namespace Zarvo::HAL
