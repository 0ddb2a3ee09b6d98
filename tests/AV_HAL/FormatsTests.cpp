#include "AV_HAL/Direct3D11/Formats.h"
#include "AV_HAL/Direct3D11/GraphicsQueue.h"

#include <gtest/gtest.h>

#include <set>

using namespace Zarvo::HAL;
using namespace Zarvo::HAL::Direct3D11;

TEST(PixelFormat, EveryCodeRoundTripsToItsOwnDxgiFormatAndStrangersGiveUnknown) {
    std::set<DXGI_FORMAT> seen;
    for (std::uint32_t bit = 0; bit < 14; ++bit) {
        const auto code = static_cast<PixelFormat>(0x30100000u | (1u << bit));
        const DXGI_FORMAT dxgi = ToDxgiFormat(code);
        EXPECT_NE(dxgi, DXGI_FORMAT_UNKNOWN) << std::hex << static_cast<std::uint32_t>(code);
        EXPECT_EQ(ToPixelFormat(dxgi), code) << dxgi;
        EXPECT_TRUE(seen.insert(dxgi).second) << "two codes share format " << dxgi;
    }
    // A round trip cannot tell a swapped pair: pin the ones the frame path and its tests use.
    EXPECT_EQ(ToDxgiFormat(PixelFormat::NV12), DXGI_FORMAT_NV12);
    EXPECT_EQ(ToDxgiFormat(PixelFormat::YUY2), DXGI_FORMAT_YUY2);
    EXPECT_EQ(ToDxgiFormat(PixelFormat::R8), DXGI_FORMAT_R8_UNORM);
    EXPECT_EQ(ToDxgiFormat(PixelFormat::RGBA8), DXGI_FORMAT_R8G8B8A8_UNORM);
    EXPECT_EQ(ToDxgiFormat(PixelFormat::BGRA8), DXGI_FORMAT_B8G8R8A8_UNORM);

    EXPECT_EQ(ToDxgiFormat(static_cast<PixelFormat>(0x30104000)), DXGI_FORMAT_UNKNOWN);
    EXPECT_EQ(ToDxgiFormat(PixelFormat::Unknown), DXGI_FORMAT_UNKNOWN);
    EXPECT_EQ(ToPixelFormat(DXGI_FORMAT_R32_FLOAT), PixelFormat::Unknown);
    EXPECT_EQ(ToPixelFormat(DXGI_FORMAT_UNKNOWN), PixelFormat::Unknown);
}

TEST(UsageFlags, MapOntoTheTextureDescription) {
    using U = UsageFlags;
    constexpr UINT kReadWrite = D3D11_CPU_ACCESS_READ | D3D11_CPU_ACCESS_WRITE;
    struct Case {
        UsageFlags usage;
        D3D11_USAGE d3dUsage;
        UINT cpu, bind, misc;
    };
    const Case cases[] = {
        {U::None, D3D11_USAGE_DEFAULT, 0, 0, 0},
        {U::CpuRead, D3D11_USAGE_STAGING, kReadWrite, 0, 0},
        {U::CpuWrite | U::ShaderResource, D3D11_USAGE_DYNAMIC, D3D11_CPU_ACCESS_WRITE,
         D3D11_BIND_SHADER_RESOURCE, 0},
        // CpuWrite decides the usage; CpuRead still grants read and write access.
        {U::CpuWrite | U::CpuRead, D3D11_USAGE_DYNAMIC, kReadWrite, 0, 0},
        {U::Immutable, D3D11_USAGE_IMMUTABLE, 0, 0, 0},
        {U::Immutable | U::CpuRead, D3D11_USAGE_STAGING, kReadWrite, 0, 0},
        {U::Immutable | U::CpuWrite, D3D11_USAGE_DYNAMIC, D3D11_CPU_ACCESS_WRITE, 0, 0},
        {U::Shared, D3D11_USAGE_DEFAULT, 0, 0, D3D11_RESOURCE_MISC_SHARED},
        {U::VertexBuffer, D3D11_USAGE_DEFAULT, 0, D3D11_BIND_VERTEX_BUFFER, 0},
        {U::IndexBuffer, D3D11_USAGE_DEFAULT, 0, D3D11_BIND_INDEX_BUFFER, 0},
        {U::UniformBuffer, D3D11_USAGE_DEFAULT, 0, D3D11_BIND_CONSTANT_BUFFER, 0},
        {U::RenderTarget, D3D11_USAGE_DEFAULT, 0, D3D11_BIND_RENDER_TARGET, 0},
        {U::DepthStencil, D3D11_USAGE_DEFAULT, 0, D3D11_BIND_DEPTH_STENCIL, 0},
        {U::UnorderedAccess, D3D11_USAGE_DEFAULT, 0, D3D11_BIND_UNORDERED_ACCESS, 0},
        {U::Decoder | U::VideoEncoder, D3D11_USAGE_DEFAULT, 0, D3D11_BIND_DECODER | D3D11_BIND_VIDEO_ENCODER,
         0},
    };
    for (const auto& c : cases) {
        const auto d = DescribeTexture2D(c.usage, PixelFormat::NV12, 64, 32, 2);
        const auto where = testing::Message()
                           << "usage 0x" << std::hex << static_cast<std::uint32_t>(c.usage);
        EXPECT_EQ(d.Usage, c.d3dUsage) << where;
        EXPECT_EQ(d.CPUAccessFlags, c.cpu) << where;
        EXPECT_EQ(d.BindFlags, c.bind) << where;
        EXPECT_EQ(d.MiscFlags, c.misc) << where;
        EXPECT_EQ(d.Format, DXGI_FORMAT_NV12);
        EXPECT_TRUE(d.Width == 64 && d.Height == 32 && d.ArraySize == 2 && d.MipLevels == 1 &&
                    d.SampleDesc.Count == 1)
            << where;
    }
}

TEST(LockMapType, FollowsTheModeFlags) {
    struct Case {
        std::uint32_t mode;
        UsageFlags usage;
        D3D11_MAP expected;
    };
    const Case cases[] = {
        {LockRead, UsageFlags::CpuRead, D3D11_MAP_READ},
        {LockRead | LockWrite | LockReadWrite, UsageFlags::None, D3D11_MAP_READ}, // read wins
        {LockWrite, UsageFlags::CpuRead, D3D11_MAP_WRITE},                        // staging
        {LockWrite, UsageFlags::CpuWrite, D3D11_MAP_WRITE_DISCARD},               // dynamic
        {LockWrite | LockReadWrite, UsageFlags::None, D3D11_MAP_WRITE_DISCARD},
        {LockReadWrite, UsageFlags::CpuRead, D3D11_MAP_READ_WRITE},
        {LockDoNotWait, UsageFlags::CpuRead, D3D11_MAP(0)},
        {0, UsageFlags::CpuRead, D3D11_MAP(0)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(GraphicsQueue::MapTypeFor(c.mode, c.usage), c.expected) << "mode " << c.mode;
}

TEST(LockRecord, OnlyMemoryThatWasReallyMappedBecomesARecord) {
    std::uint8_t memory[16] = {};
    // What a driver may leave behind in the out-record when a DO_NOT_WAIT map maps nothing.
    const D3D11_MAPPED_SUBRESOURCE stale{memory, 64, 4096};
    for (HRESULT hr : {DXGI_ERROR_WAS_STILL_DRAWING, E_INVALIDARG, DXGI_ERROR_DEVICE_REMOVED})
        EXPECT_FALSE(GraphicsQueue::RecordOfMap(hr, stale)) << std::hex << hr;
    EXPECT_FALSE(GraphicsQueue::RecordOfMap(S_OK, D3D11_MAPPED_SUBRESOURCE{}));
    auto record = GraphicsQueue::RecordOfMap(S_OK, stale);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->data, memory);
    EXPECT_EQ(record->rowPitch, 64u);
    EXPECT_EQ(record->depthPitch, 4096u);
}
