#pragma once
// The pictures a camera offers, whatever its host: sizes in order of preference and the subtypes.

#include <guiddef.h>

#include <cstdint>
#include <vector>

namespace Zarvo {

struct FrameSize {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    friend bool operator==(const FrameSize&, const FrameSize&) = default;
};

// The sizes offered for an app that renders `app`: the app's own first (the type a host that takes
// the first one gets), then the sizes conferencing apps and browsers ask for, largest first, each
// once. Frames are scaled down, never up (an up-scaled picture shows no more than the app's), so
// sizes larger than the app's are not offered.
std::vector<FrameSize> OfferedSizes(FrameSize app);

// I420: the layout of IYUV under the FOURCC many hosts ask for; the MinGW headers lack its subtype.
inline constexpr GUID kMediaSubtypeI420 = {0x30323449, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

} // namespace Zarvo
