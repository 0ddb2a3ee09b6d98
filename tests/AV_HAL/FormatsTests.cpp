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
        EXPECT_EQ(ToPixelFormat(ToDxgiFormat(code)), code) << std::hex << static_cast<std::uint32_t>(code);
    }
    // A round trip cannot tell a swapped pair: pin the two the camera delivers.
    EXPECT_EQ(ToDxgiFormat(PixelFormat::NV12), DXGI_FORMAT_NV12);
    EXPECT_EQ(ToDxgiFormat(PixelFormat::YUY2), DXGI_FORMAT_YUY2);
    EXPECT_EQ(ToDxgiFormat(static_cast<PixelFormat>(0x30104000)), DXGI_FORMAT_UNKNOWN);
    EXPECT_EQ(ToPixelFormat(DXGI_FORMAT_R32_FLOAT), PixelFormat::Unknown);
}

TEST(UsageFlags, CpuWriteDecidesTheUsageBeforeCpuReadBeforeImmutableAndCpuReadGrantsReadAndWrite) {
    using U = UsageFlags;
    constexpr UINT kReadWrite = D3D11_CPU_ACCESS_READ | D3D11_CPU_ACCESS_WRITE,
                   kWrite = D3D11_CPU_ACCESS_WRITE;
    const std::pair<U, std::tuple<D3D11_USAGE, UINT, UINT, UINT>> cases[] = {
        {U::CpuWrite | U::ShaderResource, {D3D11_USAGE_DYNAMIC, kWrite, D3D11_BIND_SHADER_RESOURCE, 0}},
        {U::CpuWrite | U::CpuRead, {D3D11_USAGE_DYNAMIC, kReadWrite, 0, 0}},
        {U::Immutable, {D3D11_USAGE_IMMUTABLE, 0, 0, 0}},
        {U::Immutable | U::CpuRead, {D3D11_USAGE_STAGING, kReadWrite, 0, 0}},
        {U::Immutable | U::CpuWrite, {D3D11_USAGE_DYNAMIC, kWrite, 0, 0}},
        {U::Shared, {D3D11_USAGE_DEFAULT, 0, 0, D3D11_RESOURCE_MISC_SHARED}}};
    for (const auto& [usage, expected] : cases) {
        const auto d = DescribeTexture2D(usage, PixelFormat::NV12, 64, 32, 1);
        EXPECT_EQ(std::tuple(d.Usage, d.CPUAccessFlags, d.BindFlags, d.MiscFlags), expected)
            << "usage 0x" << std::hex << static_cast<std::uint32_t>(usage);
    }
}

TEST(GraphicsQueue, LockMapTypeFollowsTheModeAndOnlyReallyMappedMemoryBecomesARecord) {
    const std::tuple<std::uint32_t, UsageFlags, D3D11_MAP> maps[] = {
        {LockRead | LockWrite | LockReadWrite, UsageFlags::None, D3D11_MAP_READ}, // read wins
        {LockWrite, UsageFlags::CpuRead, D3D11_MAP_WRITE},                        // staging
        {LockWrite | LockReadWrite, UsageFlags::None, D3D11_MAP_WRITE_DISCARD},   // dynamic
        {LockReadWrite, UsageFlags::CpuRead, D3D11_MAP_READ_WRITE}};
    for (const auto& [mode, usage, expected] : maps)
        EXPECT_EQ(GraphicsQueue::MapTypeFor(mode, usage), expected) << "mode " << mode;

    // What a driver may leave behind in the out-record when a DO_NOT_WAIT map maps nothing.
    std::uint8_t memory[16] = {};
    const D3D11_MAPPED_SUBRESOURCE stale{memory, 64, 4096};
    const auto blank = [] { return std::make_shared<LockedResource>(); };
    EXPECT_FALSE(GraphicsQueue::RecordOfMap(DXGI_ERROR_WAS_STILL_DRAWING, stale, blank()));
    EXPECT_FALSE(GraphicsQueue::RecordOfMap(S_OK, D3D11_MAPPED_SUBRESOURCE{}, blank()));
    auto record = GraphicsQueue::RecordOfMap(S_OK, stale, blank());
    ASSERT_TRUE(record);
    EXPECT_TRUE(record->data == memory && record->rowPitch == 64u && record->depthPitch == 4096u);
}
