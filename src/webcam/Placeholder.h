#pragma once
// The picture a sample carries while there is no live frame to show: a dark background, the device
// name large and one line saying why. Drawn in code, once per destination and reason, and copied into
// each sample; never drawn per sample.

#include "webcam/PlaceholderArt.h"

#include <guiddef.h>
#include <strmif.h>

#include <cstdint>
#include <vector>

namespace Zarvo {

class PlaceholderPicture {
public:
    // The samples' size and subtype (YUY2, NV12 or IYUV). Drops pictures drawn for another one.
    void SetDestination(std::uint32_t width, std::uint32_t height, const GUID& subtype);

    // Copies the picture for `reason` into the sample (drawing it first if it is not drawn yet) and
    // sets the actual data length to one whole frame. False, with the sample untouched, when the
    // sample cannot hold a frame or the picture cannot be drawn (out of memory).
    bool CopyInto(IMediaSample* sample, PlaceholderReason reason) noexcept;
    // The same into a buffer of `size` bytes: the bytes written, 0 (untouched) where it failed.
    std::uint64_t CopyInto(std::uint8_t* buffer, std::uint64_t size, PlaceholderReason reason) noexcept;

    // The picture for `reason` in the destination's layout; empty when it cannot be drawn.
    const std::vector<std::uint8_t>& Picture(PlaceholderReason reason) noexcept;

private:
    std::uint32_t mWidth = 0;
    std::uint32_t mHeight = 0;
    GUID mSubtype{};
    std::vector<std::uint8_t> mPictures[3]; // by reason; empty until drawn
};

} // namespace Zarvo
