#pragma once
// Scales the companion's NV12 frames to the size a host asked for and writes them in the host's layout
// in the same pass: the centre of the picture cropped to the destination's aspect ratio (as camera
// sensors do: never stretched, no bars), then filtered by area, so each destination pixel is the mean of
// the source area it covers and fine lines do not alias. Down-scaling only. Plain C++ without Windows
// headers, like the conversion kernels.

#include "webcam/FrameScalerRows.h"
#include "webcam/PixelConversion.h"

#include <cstdint>
#include <vector>

namespace Zarvo {

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
    // Sizes are even and the destination no larger than the crop on either side; a scaler for other
    // sizes is empty (Valid() false) and Run writes nothing.
    // The passes of `isa` where the processor has it (AVX2; the others run the plain ones), by default
    // the best one: the bytes are the same either way.
    FrameScaler(std::uint32_t srcWidth, std::uint32_t srcHeight, std::uint32_t dstWidth, std::uint32_t dstHeight,
                ScaledLayout layout, PixelKernels::Isa isa = PixelKernels::Dispatched());
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

private:
    // Output i of a row reads its taps in pairs of neighbouring samples (see ScalerRows), padded with
    // weight 0 to the same number of pairs for every output.
    struct Table {
        std::vector<std::int32_t> offsets, weights;
        std::uint32_t pairs = 0;
        ScalerRows::HorizontalTable View() const noexcept {
            const auto outputs = static_cast<std::uint32_t>(offsets.size() / (pairs ? pairs : 1));
            return {outputs, pairs, offsets.data(), weights.data()};
        }
    };
    static Table MakeTable(const Taps& taps);

    // One plane: each output row filtered down `y` from rows of `samples` contiguous source samples, then
    // along the row by `table` into `outs`, `outStep` apart. Interleaved chroma (`components` 2) is
    // parted into its two components between the passes, each then read as a plane of its own.
    void ScalePlane(const std::uint8_t* source, std::uint64_t pitch, std::uint32_t samples, const Taps& y,
                    const Table& table, std::uint32_t components, std::uint8_t* const* outs, std::uint64_t outPitch,
                    std::uint32_t outStep) const noexcept;

    bool mValid = false;
    ScaledLayout mLayout;
    std::uint32_t mSrcHeight, mDstWidth, mDstHeight;
    CropRect mCrop;
    Taps mLumaY, mChromaY;
    Table mLumaX, mChromaX;
    ScalerRows::VerticalFn mVertical = ScalerRows::VerticalScalar;
    ScalerRows::HorizontalFn mHorizontal = ScalerRows::HorizontalScalar;
    ScalerRows::PartFn mPart = ScalerRows::PartScalar;
    PixelKernels::Kernel mPack = nullptr; // YUY2: NV12 to YUY2 at the destination size
    mutable std::vector<std::uint16_t> mColumn; // one vertically filtered row, and two samples to spare
    mutable std::vector<std::uint16_t> mParted; // its chroma as U then V, and two samples to spare
    mutable std::vector<std::uint8_t> mScratch; // YUY2: the scaled frame as NV12 before it is packed
};

} // namespace Zarvo
