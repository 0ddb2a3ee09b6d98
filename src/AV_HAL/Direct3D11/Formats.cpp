#include "AV_HAL/Direct3D11/Formats.h"

#include <iterator>
#include <utility>

namespace Zarvo::HAL::Direct3D11 {
namespace {

constexpr std::pair<PixelFormat, DXGI_FORMAT> kFormats[] = {
    {PixelFormat::AYUV, DXGI_FORMAT_AYUV},
    {PixelFormat::Y410, DXGI_FORMAT_Y410},
    {PixelFormat::Y416, DXGI_FORMAT_Y416},
    {PixelFormat::YUY2, DXGI_FORMAT_YUY2},
    {PixelFormat::Y210, DXGI_FORMAT_Y210},
    {PixelFormat::Y216, DXGI_FORMAT_Y216},
    {PixelFormat::NV12, DXGI_FORMAT_NV12},
    {PixelFormat::P010, DXGI_FORMAT_P010},
    {PixelFormat::P016, DXGI_FORMAT_P016},
    {PixelFormat::RGBA8, DXGI_FORMAT_R8G8B8A8_UNORM},
    {PixelFormat::RGBA16, DXGI_FORMAT_R16G16B16A16_UNORM},
    {PixelFormat::BGRA8, DXGI_FORMAT_B8G8R8A8_UNORM},
    {PixelFormat::A8, DXGI_FORMAT_A8_UNORM},
    {PixelFormat::R8, DXGI_FORMAT_R8_UNORM},
};

} // namespace

DXGI_FORMAT ToDxgiFormat(PixelFormat format) noexcept {
    for (const auto& [code, dxgi] : kFormats)
        if (code == format)
            return dxgi;
    return DXGI_FORMAT_UNKNOWN;
}

PixelFormat ToPixelFormat(DXGI_FORMAT format) noexcept {
    if (format == DXGI_FORMAT_UNKNOWN)
        return PixelFormat::Unknown;
    for (const auto& [code, dxgi] : kFormats)
        if (dxgi == format)
            return code;
    return PixelFormat::Unknown;
}

UsageMapping MapUsage(UsageFlags usage) noexcept {
    UsageMapping m;
    // Dynamic wins over staging for the usage; staging keeps read and write access either way.
    if (HasUsage(usage, UsageFlags::CpuWrite)) {
        m.usage = D3D11_USAGE_DYNAMIC;
        m.cpuAccess |= D3D11_CPU_ACCESS_WRITE;
    } else if (HasUsage(usage, UsageFlags::CpuRead)) {
        m.usage = D3D11_USAGE_STAGING;
    } else if (HasUsage(usage, UsageFlags::Immutable)) {
        m.usage = D3D11_USAGE_IMMUTABLE;
    }
    if (HasUsage(usage, UsageFlags::CpuRead))
        m.cpuAccess |= D3D11_CPU_ACCESS_READ | D3D11_CPU_ACCESS_WRITE;

    constexpr std::pair<UsageFlags, UINT> kBinds[] = {
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
    for (const auto& [bit, bind] : kBinds)
        if (HasUsage(usage, bit))
            m.bindFlags |= bind;
    if (HasUsage(usage, UsageFlags::Shared))
        m.miscFlags |= D3D11_RESOURCE_MISC_SHARED;
    return m;
}

D3D11_TEXTURE2D_DESC DescribeTexture2D(UsageFlags usage, PixelFormat format, UINT width, UINT height,
                                       UINT arraySize) noexcept {
    const UsageMapping m = MapUsage(usage);
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = width;
    desc.Height = height;
    desc.MipLevels = 1;
    desc.ArraySize = arraySize;
    desc.Format = ToDxgiFormat(format);
    desc.SampleDesc.Count = 1;
    desc.SampleDesc.Quality = 0;
    desc.Usage = m.usage;
    desc.BindFlags = m.bindFlags;
    desc.CPUAccessFlags = m.cpuAccess;
    desc.MiscFlags = m.miscFlags;
    return desc;
}

} // namespace Zarvo::HAL::Direct3D11
