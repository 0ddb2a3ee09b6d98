#pragma once
// Plain value types of the device layer: resource usage bits, pixel format codes and the
// description a video processor is made for.

#include <cstdint>

namespace Zarvo::HAL {

// Bit set handed to every resource-creating operation and kept in the surface.
enum class UsageFlags : std::uint32_t {
    None = 0,
    CpuRead = 0x1,
    Immutable = 0x2,
    CpuWrite = 0x4,
    VertexBuffer = 0x8,
    IndexBuffer = 0x10,
    UniformBuffer = 0x20,
    ShaderResource = 0x40,
    RenderTarget = 0x80,
    DepthStencil = 0x100,
    UnorderedAccess = 0x200,
    Decoder = 0x400,
    VideoEncoder = 0x800,
    Shared = 0x1000,
};

constexpr UsageFlags operator|(UsageFlags a, UsageFlags b) noexcept {
    return static_cast<UsageFlags>(static_cast<std::uint32_t>(a) | static_cast<std::uint32_t>(b));
}

constexpr bool HasUsage(UsageFlags usage, UsageFlags bit) noexcept {
    return (static_cast<std::uint32_t>(usage) & static_cast<std::uint32_t>(bit)) != 0;
}

// Always 0x30100000 plus one bit, so a code can never be mistaken for a DXGI format number.
enum class PixelFormat : std::uint32_t {
    Unknown = 0,
    AYUV = 0x30100001,
    Y410 = 0x30100002,
    Y416 = 0x30100004,
    YUY2 = 0x30100008,
    Y210 = 0x30100010,
    Y216 = 0x30100020,
    NV12 = 0x30100040,
    P010 = 0x30100080,
    P016 = 0x30100100,
    RGBA8 = 0x30100200,
    RGBA16 = 0x30100400,
    BGRA8 = 0x30100800,
    A8 = 0x30101000,
    R8 = 0x30102000,
};

// What a video processor is created for.
struct VideoDescription {
    std::uint32_t inputRateNumerator = 0;
    std::uint32_t inputRateDenominator = 0;
    std::uint32_t inputWidth = 0;
    std::uint32_t inputHeight = 0;
    PixelFormat inputFormat = PixelFormat::Unknown;
    std::uint32_t outputRateNumerator = 0;
    std::uint32_t outputRateDenominator = 0;
    std::uint32_t outputWidth = 0;
    std::uint32_t outputHeight = 0;
    PixelFormat outputFormat = PixelFormat::Unknown;
};

// Region of a surface in pixels: left, top, right, bottom.
struct Region {
    std::uint32_t left = 0;
    std::uint32_t top = 0;
    std::uint32_t right = 0;
    std::uint32_t bottom = 0;
};

struct ViewportRect {
    float left = 0;
    float top = 0;
    float right = 0;
    float bottom = 0;
};

// Mode flags of IGraphicsQueue::Lock.
enum LockMode : std::uint32_t {
    LockRead = 1,
    LockWrite = 2,
    LockReadWrite = 4,
    LockDoNotWait = 32,
};

} // namespace Zarvo::HAL
