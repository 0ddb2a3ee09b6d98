#include "AV_HAL/Direct3D11/Formats.h"
#include "AV_HAL/Direct3D11/GraphicsQueue.h"

#include <gtest/gtest.h>

#include <tuple>

using namespace Zarvo::HAL;
using namespace Zarvo::HAL::Direct3D11;

TEST(PixelFormat, EveryCodeRoundTripsToItsOwnDxgiFormatAndStrangersGiveUnknown) {
    // Codes are single bits; a code that maps to no format, or to another code's, fails its way back.
    for (std::uint32_t bit = 0; bit < 14; ++bit) {
        const auto code = static_cast<PixelFormat>(0x30100000u | (1u << bit));
        const DXGI_FORMAT dxgi = ToDxgiFormat(code);
        EXPECT_EQ(ToPixelFormat(dxgi), code) << std::hex << static_cast<std::uint32_t>(code) << " " << dxgi;
    }
    // A round trip cannot tell a swapped pair: pin the ones the frame path and its tests use.
    for (auto [code, dxgi] : {std::pair{PixelFormat::NV12, DXGI_FORMAT_NV12},
                              {PixelFormat::YUY2, DXGI_FORMAT_YUY2},
                              {PixelFormat::R8, DXGI_FORMAT_R8_UNORM},
                              {PixelFormat::RGBA8, DXGI_FORMAT_R8G8B8A8_UNORM},
                              {PixelFormat::BGRA8, DXGI_FORMAT_B8G8R8A8_UNORM}})
        EXPECT_EQ(ToDxgiFormat(code), dxgi);
    EXPECT_EQ(ToDxgiFormat(static_cast<PixelFormat>(0x30104000)), DXGI_FORMAT_UNKNOWN);
    EXPECT_EQ(ToPixelFormat(DXGI_FORMAT_R32_FLOAT), PixelFormat::Unknown);
    EXPECT_EQ(ToPixelFormat(DXGI_FORMAT_UNKNOWN), PixelFormat::Unknown);
}

TEST(UsageFlags, MapOntoTheTextureDescription) {
    using U = UsageFlags;
    auto describe = [](U usage) {
        const auto d = DescribeTexture2D(usage, PixelFormat::NV12, 64, 32, 2);
        EXPECT_TRUE(d.Format == DXGI_FORMAT_NV12 && d.Width == 64 && d.Height == 32 && d.ArraySize == 2 &&
                    d.MipLevels == 1 && d.SampleDesc.Count == 1);
        return std::tuple(d.Usage, d.CPUAccessFlags, d.BindFlags, d.MiscFlags);
    };
    // Each binding bit adds its own flag and nothing else.
    const std::pair<U, UINT> binds[] = {
        {U::VertexBuffer, D3D11_BIND_VERTEX_BUFFER},       {U::IndexBuffer, D3D11_BIND_INDEX_BUFFER},
        {U::UniformBuffer, D3D11_BIND_CONSTANT_BUFFER},    {U::ShaderResource, D3D11_BIND_SHADER_RESOURCE},
        {U::RenderTarget, D3D11_BIND_RENDER_TARGET},       {U::DepthStencil, D3D11_BIND_DEPTH_STENCIL},
        {U::UnorderedAccess, D3D11_BIND_UNORDERED_ACCESS}, {U::Decoder, D3D11_BIND_DECODER},
        {U::VideoEncoder, D3D11_BIND_VIDEO_ENCODER}};
    U all = U::None;
    UINT allBinds = 0;
    for (const auto& [bit, bind] : binds) {
        EXPECT_EQ(describe(bit), std::tuple(D3D11_USAGE_DEFAULT, 0u, bind, 0u)) << bind;
        all = all | bit;
        allBinds |= bind;
    }
    EXPECT_EQ(describe(all), std::tuple(D3D11_USAGE_DEFAULT, 0u, allBinds, 0u));
    // CpuWrite decides the usage before CpuRead before Immutable; CpuRead grants read and write.
    constexpr UINT kReadWrite = D3D11_CPU_ACCESS_READ | D3D11_CPU_ACCESS_WRITE,
                   kWrite = D3D11_CPU_ACCESS_WRITE;
    const std::pair<U, std::tuple<D3D11_USAGE, UINT, UINT, UINT>> cases[] = {
        {U::None, {D3D11_USAGE_DEFAULT, 0, 0, 0}},
        {U::CpuRead, {D3D11_USAGE_STAGING, kReadWrite, 0, 0}},
        {U::CpuWrite | U::ShaderResource, {D3D11_USAGE_DYNAMIC, kWrite, D3D11_BIND_SHADER_RESOURCE, 0}},
        {U::CpuWrite | U::CpuRead, {D3D11_USAGE_DYNAMIC, kReadWrite, 0, 0}},
        {U::Immutable, {D3D11_USAGE_IMMUTABLE, 0, 0, 0}},
        {U::Immutable | U::CpuRead, {D3D11_USAGE_STAGING, kReadWrite, 0, 0}},
        {U::Immutable | U::CpuWrite, {D3D11_USAGE_DYNAMIC, kWrite, 0, 0}},
        {U::Shared, {D3D11_USAGE_DEFAULT, 0, 0, D3D11_RESOURCE_MISC_SHARED}}};
    for (const auto& [usage, expected] : cases)
        EXPECT_EQ(describe(usage), expected) << "usage 0x" << std::hex << static_cast<std::uint32_t>(usage);
}

TEST(GraphicsQueue, LockMapTypeFollowsTheModeAndOnlyReallyMappedMemoryBecomesARecord) {
    const std::tuple<std::uint32_t, UsageFlags, D3D11_MAP> maps[] = {
        {LockRead | LockWrite | LockReadWrite, UsageFlags::None, D3D11_MAP_READ}, // read wins
        {LockWrite, UsageFlags::CpuRead, D3D11_MAP_WRITE},                        // staging
        {LockWrite | LockReadWrite, UsageFlags::None, D3D11_MAP_WRITE_DISCARD},   // dynamic
        {LockReadWrite, UsageFlags::CpuRead, D3D11_MAP_READ_WRITE},
        {LockDoNotWait, UsageFlags::CpuRead, D3D11_MAP(0)},
    };
    for (const auto& [mode, usage, expected] : maps)
        EXPECT_EQ(GraphicsQueue::MapTypeFor(mode, usage), expected) << "mode " << mode;

    std::uint8_t memory[16] = {};
    // What a driver may leave behind in the out-record when a DO_NOT_WAIT map maps nothing.
    const D3D11_MAPPED_SUBRESOURCE stale{memory, 64, 4096};
    for (HRESULT hr : {DXGI_ERROR_WAS_STILL_DRAWING, E_INVALIDARG, DXGI_ERROR_DEVICE_REMOVED})
        EXPECT_FALSE(GraphicsQueue::RecordOfMap(hr, stale)) << std::hex << hr;
    EXPECT_FALSE(GraphicsQueue::RecordOfMap(S_OK, D3D11_MAPPED_SUBRESOURCE{}));
    auto record = GraphicsQueue::RecordOfMap(S_OK, stale);
    ASSERT_TRUE(record);
    EXPECT_TRUE(record->data == memory && record->rowPitch == 64u && record->depthPitch == 4096u);
}
