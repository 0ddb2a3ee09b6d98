#include "webcam/FrameScaler.h"

#include <algorithm>

namespace Zarvo {

CropRect CropToFill(std::uint32_t srcWidth, std::uint32_t srcHeight, std::uint32_t dstWidth,
                    std::uint32_t dstHeight) noexcept {
    if (!srcWidth || !srcHeight || !dstWidth || !dstHeight)
        return {};
    CropRect crop{0, 0, srcWidth & ~1u, srcHeight & ~1u};
    const std::uint64_t wide = std::uint64_t{srcWidth} * dstHeight, tall = std::uint64_t{srcHeight} * dstWidth;
    if (wide > tall) // the source is wider: all of its height, the middle of its width
        crop.width = static_cast<std::uint32_t>(std::uint64_t{crop.height} * dstWidth / dstHeight) & ~1u;
    else if (wide < tall)
        crop.height = static_cast<std::uint32_t>(std::uint64_t{crop.width} * dstHeight / dstWidth) & ~1u;
    crop.x = (srcWidth - crop.width) / 2 & ~1u;
    crop.y = (srcHeight - crop.height) / 2 & ~1u;
    return crop;
}

FrameScaler::Taps FrameScaler::AreaTaps(std::uint32_t from, std::uint32_t to) {
    // Output i covers [i * from, (i + 1) * from) and source sample s [s * to, (s + 1) * to), in units
    // of 1 / to source samples: exact integers, so the weights do not depend on rounding of a ratio.
    Taps taps;
    for (std::uint64_t i = 0; i < to; ++i) {
        const std::uint64_t begin = i * from, end = (i + 1) * from;
        const auto first = static_cast<std::uint32_t>(begin / to);
        const auto last = static_cast<std::uint32_t>((end + to - 1) / to); // one past
        const std::size_t at = taps.weights.size();
        std::uint32_t sum = 0;
        for (std::uint64_t s = first; s < last; ++s) {
            const std::uint64_t overlap = std::min((s + 1) * to, end) - std::max(s * to, begin);
            const auto weight = static_cast<std::uint16_t>((overlap * kOne + from / 2) / from);
            taps.weights.push_back(weight);
            sum += weight;
        }
        // Rounding leaves the sum a little off: the largest weight takes the difference.
        auto largest = std::max_element(taps.weights.begin() + static_cast<std::ptrdiff_t>(at), taps.weights.end());
        *largest = static_cast<std::uint16_t>(*largest + kOne - sum);
        taps.first.push_back(first);
        taps.count.push_back(static_cast<std::uint16_t>(last - first));
    }
    return taps;
}

FrameScaler::Table FrameScaler::MakeTable(const Taps& taps) {
    Table table;
    const std::size_t outputs = taps.first.size();
    for (const auto count : taps.count)
        table.pairs = std::max<std::uint32_t>(table.pairs, (count + 1u) / 2);
    table.offsets.resize(outputs * table.pairs);
    table.weights.resize(outputs * table.pairs);
    std::size_t at = 0;
    for (std::size_t i = 0; i < outputs; ++i) {
        const std::uint32_t count = taps.count[i];
        for (std::uint32_t p = 0; p < table.pairs; ++p) {
            const std::uint32_t j = 2 * p;
            // Beyond the taps: the first sample again, with no weight.
            const std::uint32_t w0 = j < count ? taps.weights[at + j] : 0, w1 = j + 1 < count ? taps.weights[at + j + 1] : 0;
            table.offsets[p * outputs + i] = static_cast<std::int32_t>(taps.first[i] + (j < count ? j : 0));
            table.weights[p * outputs + i] = static_cast<std::int32_t>(w0 | w1 << 16);
        }
        at += count;
    }
    return table;
}

FrameScaler::FrameScaler(std::uint32_t srcWidth, std::uint32_t srcHeight, std::uint32_t dstWidth,
                         std::uint32_t dstHeight, ScaledLayout layout, PixelKernels::Isa isa)
    : mLayout(layout), mSrcHeight(srcHeight), mDstWidth(dstWidth), mDstHeight(dstHeight),
      mCrop(CropToFill(srcWidth, srcHeight, dstWidth, dstHeight)) {
    const bool even = (srcWidth | srcHeight | dstWidth | dstHeight) % 2 == 0;
    if (!even || !dstWidth || !dstHeight || dstWidth > mCrop.width || dstHeight > mCrop.height)
        return;
    if (isa == PixelKernels::Isa::Avx2 && PixelKernels::IsSupported(isa)) {
        mVertical = ScalerRows::VerticalAvx2;
        mHorizontal = ScalerRows::HorizontalAvx2;
        mPart = ScalerRows::PartAvx2;
    }
    // Packing is moving bytes: the conversion kernel of the same instruction set does it.
    mPack = PixelKernels::Nv12ToYuy2(PixelKernels::IsSupported(isa) ? isa : PixelKernels::Isa::Scalar);
    mLumaX = MakeTable(AreaTaps(mCrop.width, dstWidth));
    mLumaY = AreaTaps(mCrop.height, dstHeight);
    mChromaX = MakeTable(AreaTaps(mCrop.width / 2, dstWidth / 2));
    mChromaY = AreaTaps(mCrop.height / 2, dstHeight / 2);
    mColumn.resize(std::size_t{mCrop.width} + 2);
    mParted.resize(std::size_t{mCrop.width} + 2);
    if (layout == ScaledLayout::Yuy2)
        mScratch.resize(std::size_t{dstWidth} * dstHeight * 3 / 2);
    mValid = true;
}

void FrameScaler::ScalePlane(const std::uint8_t* source, std::uint64_t pitch, std::uint32_t samples, const Taps& y,
                             const Table& table, std::uint32_t components, std::uint8_t* const* outs,
                             std::uint64_t outPitch, std::uint32_t outStep) const noexcept {
    const ScalerRows::HorizontalTable view = table.View();
    const std::uint32_t half = samples / 2;
    std::size_t yWeight = 0;
    for (std::size_t row = 0; row < y.first.size(); ++row) {
        // Down the column first, keeping 7 more bits than a sample; then along the row, back to 8 bits.
        mVertical(source + y.first[row] * pitch, pitch, y.weights.data() + yWeight, y.count[row], samples, mColumn.data());
        yWeight += y.count[row];
        if (components == 1) {
            mHorizontal(mColumn.data(), view, outs[0] + row * outPitch, outStep);
            continue;
        }
        // U, V, U, V ... into U ... then V ...: a pair of taps is then two neighbouring samples.
        mPart(mColumn.data(), half, mParted.data(), mParted.data() + half);
        mHorizontal(mParted.data(), view, outs[0] + row * outPitch, outStep);
        mHorizontal(mParted.data() + half, view, outs[1] + row * outPitch, outStep);
    }
}

std::uint64_t FrameScaler::Run(std::uint64_t pitch, const std::uint8_t* source, std::uint8_t* destination) const noexcept {
    if (!mValid)
        return 0;
    const std::uint32_t w = mDstWidth, h = mDstHeight, cw = w / 2, ch = h / 2;
    const std::uint8_t* luma = source + mCrop.y * pitch + mCrop.x;
    // The interleaved chroma plane starts `pitch * srcHeight` bytes on, a row per two luma rows;
    // the crop's even corner is a whole U,V pair.
    const std::uint8_t* chroma = source + pitch * mSrcHeight + mCrop.y / 2 * pitch + mCrop.x;
    const std::uint32_t chromaWidth = mCrop.width / 2;
    // NV12 or I420 where the layout is one of those; YUY2 is packed from NV12 in the scratch.
    std::uint8_t* planes = mLayout == ScaledLayout::Yuy2 ? mScratch.data() : destination;
    std::uint8_t* lumaOut[] = {planes};
    ScalePlane(luma, pitch, mCrop.width, mLumaY, mLumaX, 1, lumaOut, w, 1);
    std::uint8_t* chromaOut = planes + std::size_t{w} * h;
    if (mLayout == ScaledLayout::I420) {
        std::uint8_t* separate[] = {chromaOut, chromaOut + std::size_t{cw} * ch};
        ScalePlane(chroma, pitch, 2 * chromaWidth, mChromaY, mChromaX, 2, separate, cw, 1);
        return std::uint64_t{w} * h * 3 / 2;
    }
    std::uint8_t* pairs[] = {chromaOut, chromaOut + 1};
    ScalePlane(chroma, pitch, 2 * chromaWidth, mChromaY, mChromaX, 2, pairs, w, 2);
    if (mLayout == ScaledLayout::Nv12)
        return std::uint64_t{w} * h * 3 / 2;
    return mPack ? mPack(w, planes, w, h, destination) : 0;
}

} // namespace Zarvo
