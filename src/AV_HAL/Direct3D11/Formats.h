#pragma once
// Translation of the device layer's codes into Direct3D 11 terms.

#include "AV_HAL/GraphicsTypes.h"

#include <d3d11.h>
#include <dxgiformat.h>

namespace Zarvo::HAL::Direct3D11 {

// DXGI_FORMAT_UNKNOWN for a code outside the table.
DXGI_FORMAT ToDxgiFormat(PixelFormat format) noexcept;
// PixelFormat::Unknown for a DXGI format outside the table.
PixelFormat ToPixelFormat(DXGI_FORMAT format) noexcept;

// Usage, bind flags, CPU access and misc flags of a texture made with `usage`.
struct UsageMapping {
    D3D11_USAGE usage = D3D11_USAGE_DEFAULT;
    UINT bindFlags = 0;
    UINT cpuAccess = 0;
    UINT miscFlags = 0;
};
UsageMapping MapUsage(UsageFlags usage) noexcept;

// A single-sampled 2D texture of one mip level.
D3D11_TEXTURE2D_DESC DescribeTexture2D(UsageFlags usage, PixelFormat format, UINT width, UINT height,
                                       UINT arraySize) noexcept;

} // namespace Zarvo::HAL::Direct3D11
