#include "AV_HAL/Direct3D11/Formats.h"
#include "AV_HAL/Direct3D11/GraphicsQueue.h"

#include <gtest/gtest.h>

using namespace Zarvo::HAL;
using namespace Zarvo::HAL::Direct3D11;

TEST(PixelFormat, EveryCodeRoundTripsAndStrangersGiveZero) {
    const std::pair<PixelFormat, DXGI_FORMAT> table[] = {
        {PixelFormat::AYUV, DXGI_FORMAT(100)},  {PixelFormat::Y410, DXGI_FORMAT(101)},
        {PixelFormat::Y416, DXGI_FORMAT(102)},  {PixelFormat::YUY2, DXGI_FORMAT(107)},
        {PixelFormat::Y210, DXGI_FORMAT(108)},  {PixelFormat::Y216, DXGI_FORMAT(109)},
        {PixelFormat::NV12, DXGI_FORMAT(103)},  {PixelFormat::P010, DXGI_FORMAT(104)},
        {PixelFormat::P016, DXGI_FORMAT(105)},  {PixelFormat::RGBA8, DXGI_FORMAT(28)},
        {PixelFormat::RGBA16, DXGI_FORMAT(11)}, {PixelFormat::BGRA8, DXGI_FORMAT(87)},
        {PixelFormat::A8, DXGI_FORMAT(65)},     {PixelFormat::R8, DXGI_FORMAT(61)},
    };
    for (const auto& [code, dxgi] : table) {
        EXPECT_EQ(static_cast<std::uint32_t>(code) & 0xFFF00000u, 0x30100000u);
        EXPECT_EQ(ToDxgiFormat(code), dxgi) << std::hex << static_cast<std::uint32_t>(code);
        EXPECT_EQ(ToPixelFormat(dxgi), code) << dxgi;
        EXPECT_EQ(ToPixelFormat(ToDxgiFormat(code)), code);
    }
    EXPECT_EQ(ToDxgiFormat(static_cast<PixelFormat>(0x30104000)), DXGI_FORMAT_UNKNOWN);
    EXPECT_EQ(ToDxgiFormat(PixelFormat::Unknown), DXGI_FORMAT_UNKNOWN);
    EXPECT_EQ(ToPixelFormat(DXGI_FORMAT_R32_FLOAT), PixelFormat::Unknown);
    EXPECT_EQ(ToPixelFormat(DXGI_FORMAT_UNKNOWN), PixelFormat::Unknown);
}

TEST(UsageFlags, MapOntoTheTextureDescription) {
    auto d = DescribeTexture2D(UsageFlags::None, PixelFormat::NV12, 64, 32, 1);
    EXPECT_EQ(d.Usage, D3D11_USAGE_DEFAULT);
    EXPECT_EQ(d.CPUAccessFlags, 0u);
    EXPECT_EQ(d.BindFlags, 0u);
    EXPECT_EQ(d.MiscFlags, 0u);
    EXPECT_EQ(d.Format, DXGI_FORMAT_NV12);
    EXPECT_EQ(d.MipLevels, 1u);
    EXPECT_EQ(d.SampleDesc.Count, 1u);
    EXPECT_EQ(d.Width, 64u);
    EXPECT_EQ(d.Height, 32u);

    d = DescribeTexture2D(UsageFlags::CpuRead, PixelFormat::NV12, 64, 32, 1);
    EXPECT_EQ(d.Usage, D3D11_USAGE_STAGING);
    EXPECT_EQ(d.CPUAccessFlags, UINT(D3D11_CPU_ACCESS_READ | D3D11_CPU_ACCESS_WRITE));
    EXPECT_EQ(d.BindFlags, 0u);

    d = DescribeTexture2D(UsageFlags::CpuWrite, PixelFormat::R8, 8, 8, 1);
    EXPECT_EQ(d.Usage, D3D11_USAGE_DYNAMIC);
    EXPECT_EQ(d.CPUAccessFlags, UINT(D3D11_CPU_ACCESS_WRITE));

    // CpuWrite decides the usage; CpuRead still grants read and write access.
    d = DescribeTexture2D(UsageFlags::CpuWrite | UsageFlags::CpuRead, PixelFormat::R8, 8, 8, 1);
    EXPECT_EQ(d.Usage, D3D11_USAGE_DYNAMIC);
    EXPECT_EQ(d.CPUAccessFlags, UINT(D3D11_CPU_ACCESS_READ | D3D11_CPU_ACCESS_WRITE));

    EXPECT_EQ(DescribeTexture2D(UsageFlags::Immutable, PixelFormat::R8, 8, 8, 1).Usage,
              D3D11_USAGE_IMMUTABLE);
    EXPECT_EQ(DescribeTexture2D(UsageFlags::Immutable | UsageFlags::CpuRead, PixelFormat::R8, 8, 8, 1).Usage,
              D3D11_USAGE_STAGING);
    EXPECT_EQ(DescribeTexture2D(UsageFlags::Immutable | UsageFlags::CpuWrite, PixelFormat::R8, 8, 8, 1).Usage,
              D3D11_USAGE_DYNAMIC);

    const std::pair<UsageFlags, UINT> binds[] = {
        {UsageFlags::VertexBuffer, D3D11_BIND_VERTEX_BUFFER},
        {UsageFlags::IndexBuffer, D3D11_BIND_INDEX_BUFFER},
        {UsageFlags::UniformBuffer, D3D11_BIND_CONSTANT_BUFFER},
        {UsageFlags::ShaderResource, D3D11_BIND_SHADER_RESOURCE},
        {UsageFlags::RenderTarget, D3D11_BIND_RENDER_TARGET},
        {UsageFlags::DepthStencil, D3D11_BIND_DEPTH_STENCIL},
        {UsageFlags::UnorderedAccess, D3D11_BIND_UNORDERED_ACCESS},
        {UsageFlags::Decoder, D3D11_BIND_DECODER},
        {UsageFlags::VideoEncoder, D3D11_BIND_VIDEO_ENCODER},
    };
    UsageFlags all = UsageFlags::None;
    UINT allBinds = 0;
    for (const auto& [bit, bind] : binds) {
        d = DescribeTexture2D(bit, PixelFormat::RGBA8, 8, 8, 1);
        EXPECT_EQ(d.BindFlags, bind) << std::hex << static_cast<std::uint32_t>(bit);
        EXPECT_EQ(d.Usage, D3D11_USAGE_DEFAULT);
        EXPECT_EQ(d.MiscFlags, 0u);
        all = all | bit;
        allBinds |= bind;
    }
    EXPECT_EQ(DescribeTexture2D(all, PixelFormat::RGBA8, 8, 8, 1).BindFlags, allBinds);

    d = DescribeTexture2D(UsageFlags::Shared, PixelFormat::NV12, 8, 8, 1);
    EXPECT_EQ(d.MiscFlags, UINT(D3D11_RESOURCE_MISC_SHARED));
    EXPECT_EQ(d.BindFlags, 0u);
}

TEST(LockMapType, FollowsTheModeFlags) {
    EXPECT_EQ(GraphicsQueue::MapTypeFor(LockRead, UsageFlags::CpuRead), D3D11_MAP_READ);
    // Read wins when several flags are given.
    EXPECT_EQ(GraphicsQueue::MapTypeFor(LockRead | LockWrite | LockReadWrite, UsageFlags::None),
              D3D11_MAP_READ);
    EXPECT_EQ(GraphicsQueue::MapTypeFor(LockWrite, UsageFlags::CpuRead), D3D11_MAP_WRITE);
    EXPECT_EQ(GraphicsQueue::MapTypeFor(LockWrite, UsageFlags::CpuWrite), D3D11_MAP_WRITE_DISCARD);
    EXPECT_EQ(GraphicsQueue::MapTypeFor(LockWrite | LockReadWrite, UsageFlags::None),
              D3D11_MAP_WRITE_DISCARD);
    EXPECT_EQ(GraphicsQueue::MapTypeFor(LockReadWrite, UsageFlags::CpuRead), D3D11_MAP_READ_WRITE);
    EXPECT_EQ(GraphicsQueue::MapTypeFor(LockDoNotWait, UsageFlags::CpuRead), D3D11_MAP(0));
    EXPECT_EQ(GraphicsQueue::MapTypeFor(0, UsageFlags::CpuRead), D3D11_MAP(0));
}

TEST(LockRecord, OnlyMemoryThatWasReallyMappedBecomesARecord) {
    std::uint8_t memory[16] = {};
    // What a driver may leave behind in the out-record when it maps nothing.
    const D3D11_MAPPED_SUBRESOURCE stale{memory, 64, 4096};
    EXPECT_FALSE(GraphicsQueue::RecordOfMap(DXGI_ERROR_WAS_STILL_DRAWING, stale));
    EXPECT_FALSE(GraphicsQueue::RecordOfMap(E_INVALIDARG, stale));
    EXPECT_FALSE(GraphicsQueue::RecordOfMap(DXGI_ERROR_DEVICE_REMOVED, stale));
    EXPECT_FALSE(GraphicsQueue::RecordOfMap(S_OK, D3D11_MAPPED_SUBRESOURCE{}));
    auto record = GraphicsQueue::RecordOfMap(S_OK, stale);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->data, memory);
    EXPECT_EQ(record->rowPitch, 64u);
    EXPECT_EQ(record->depthPitch, 4096u);
}
