#pragma once
// Scales the companion's NV12 frames to the size a host asked for and writes them in the host's layout
// in the same pass: the centre of the picture cropped to the destination's aspect ratio (as camera
// sensors do: never stretched, no bars), then filtered by area, so each destination pixel is the mean of
// the source area it covers and fine lines do not alias. A side that grows (an app that renders smaller
// than the host asks) is interpolated linearly instead. Plain C++ without Windows headers, like the
// conversion kernels.

#include "webcam/PixelConversion.h"

#include <cstdint>
#include <vector>

namespace Zarvo {
namespace ScalerKernels {
struct Rows;
enum class ExactRatio;
}

// The part of a srcWidth x srcHeight picture shown at dstWidth x dstHeight: the largest centred
// rectangle of the destination's aspect ratio, its corner and sides even so chroma stays aligned.
struct CropRect {
    std::uint32_t x = 0, y = 0, width = 0, height = 0;
    friend bool operator==(const CropRect&, const CropRect&) = default;
};
CropRect CropToFill(std::uint32_t srcWidth, std::uint32_t srcHeight, std::uint32_t dstWidth,
                    std::uint32_t dstHeight) noexcept;

enum class ScaledLayout { Yuy2, Nv12, I420 }; // I420 is IYUV's layout too

class FrameScaler {
public:
    // Sizes are even; a scaler for other sizes is empty (Valid() false) and Run writes nothing. The
    // instruction set's kernels only change the speed: every one writes the scalar kernels' bytes. One
    // this processor lacks makes an empty scaler.
    FrameScaler(std::uint32_t srcWidth, std::uint32_t srcHeight, std::uint32_t dstWidth,
                std::uint32_t dstHeight, ScaledLayout layout,
                PixelKernels::Isa isa = PixelKernels::Dispatched());
    bool Valid() const noexcept { return mValid; }

    // Scales the pitched NV12 frame at `source` (rows `pitch` apart, chroma `pitch * srcHeight` bytes on)
    // into `destination`, which holds one frame of the layout at the destination size; the bytes
    // written. One call at a time: the scaler keeps a row of work between them.
    std::uint64_t Run(std::uint64_t pitch, const std::uint8_t* source, std::uint8_t* destination) const noexcept;

    // Exact weights of one dimension: output i reads `count[i]` source samples from `first[i]` on (in
    // steps of `step`), weighted by the next `count[i]` entries of `weights`, which add up to kOne.
    static constexpr std::uint32_t kOne = 1u << 14;
    struct Taps {
        std::vector<std::uint32_t> first;
        std::vector<std::uint16_t> count;
        std::vector<std::uint16_t> weights;
    };
    static Taps AreaTaps(std::uint32_t from, std::uint32_t to);
    // Up-scaling (to > from): the two source samples nearest to each output's centre, by distance.
    static Taps LinearTaps(std::uint32_t from, std::uint32_t to);

private:
    // The vertical taps as the column kernels take them: output row i reads `count[i]` rows from
    // `first[i]` on, weighted from `weights[at[i]]` on (padded to an even count with a zero).
    struct Vertical {
        std::vector<std::uint32_t> first, at;
        std::vector<std::uint16_t> count;
        std::vector<std::int16_t> weights;
    };
    static Vertical VerticalTaps(const Taps& taps);
    // The horizontal taps in the row kernels' layout (see ScalerKernels::RowTaps).
    struct Horizontal {
        std::vector<std::int32_t> first;
        std::vector<std::int16_t> weights;
        std::vector<std::int32_t> windows; // empty where the taps do not fit them
        std::size_t taps = 0;
        ScalerKernels::ExactRatio exact{};
    };
    static Horizontal HorizontalTaps(const Taps& taps);

    bool mValid = false;
    ScaledLayout mLayout;
    std::uint32_t mSrcHeight, mDstWidth, mDstHeight;
    CropRect mCrop;
    const ScalerKernels::Rows* mRows = nullptr;
    Vertical mLumaY, mChromaY;
    Horizontal mLumaX, mChromaX;
    // One row of work: vertically filtered luma and chroma columns (with room for the horizontal taps'
    // padding), filtered chroma rows before they are interleaved, and YUY2's luma and chroma rows.
    static constexpr std::size_t kColumnsLead = 16;
    mutable std::vector<std::uint16_t> mColumns, mColumnsU, mColumnsV;
    mutable std::vector<std::uint8_t> mRowU, mRowV, mRowUv, mRowY;
};

} // namespace Zarvo
