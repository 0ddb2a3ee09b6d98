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

FrameScaler::Table FrameScaler::MakeTable(const Taps& taps, std::uint32_t step) {
    Table table;
    const std::size_t outputs = taps.first.size();
    for (const auto count : taps.count)
        table.taps = std::max<std::uint32_t>(table.taps, count);
    table.offsets.resize(outputs * table.taps);
    table.weights.resize(outputs * table.taps);
    std::size_t at = 0;
    for (std::size_t i = 0; i < outputs; ++i) {
        for (std::uint32_t j = 0; j < table.taps; ++j) {
            // Padding reads the first sample again, with no weight.
            const bool tap = j < taps.count[i];
            table.offsets[j * outputs + i] = static_cast<std::int32_t>((taps.first[i] + (tap ? j : 0)) * step);
            table.weights[j * outputs + i] = tap ? taps.weights[at + j] : 0;
        }
        at += taps.count[i];
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
    }
    mLumaX = MakeTable(AreaTaps(mCrop.width, dstWidth), 1);
    mLumaY = AreaTaps(mCrop.height, dstHeight);
    mChromaX = MakeTable(AreaTaps(mCrop.width / 2, dstWidth / 2), 2); // U and V interleaved
    mChromaY = AreaTaps(mCrop.height / 2, dstHeight / 2);
    mColumn.resize(std::size_t{mCrop.width} + 1);
    if (layout == ScaledLayout::Yuy2)
        mScratch.resize(std::size_t{dstWidth} * dstHeight * 3 / 2);
    mValid = true;
}

void FrameScaler::ScalePlane(const std::uint8_t* source, std::uint64_t pitch, std::uint32_t samples, const Taps& y,
                             const Table& table, std::uint32_t components, std::uint8_t* const* outs,
                             std::uint64_t outPitch, std::uint32_t outStep) const noexcept {
    const ScalerRows::HorizontalTable view = table.View();
    std::size_t yWeight = 0;
    for (std::size_t row = 0; row < y.first.size(); ++row) {
        // Down the column first, keeping 8 more bits than a sample; then along the row, back to 8 bits.
        mVertical(source + y.first[row] * pitch, pitch, y.weights.data() + yWeight, y.count[row], samples, mColumn.data());
        yWeight += y.count[row];
        for (std::uint32_t component = 0; component < components; ++component)
            mHorizontal(mColumn.data() + component, view, outs[component] + row * outPitch, outStep);
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
    // I420 planes: where the layout has them, or the scratch to pack YUY2 from.
    std::uint8_t* planes = mLayout == ScaledLayout::Yuy2 ? mScratch.data() : destination;
    std::uint8_t* lumaOut[] = {planes};
    ScalePlane(luma, pitch, mCrop.width, mLumaY, mLumaX, 1, lumaOut, w, 1);
    std::uint8_t* chromaOut = planes + std::size_t{w} * h;
    if (mLayout == ScaledLayout::Nv12) {
        std::uint8_t* pairs[] = {chromaOut, chromaOut + 1};
        ScalePlane(chroma, pitch, 2 * chromaWidth, mChromaY, mChromaX, 2, pairs, w, 2);
        return std::uint64_t{w} * h * 3 / 2;
    }
    std::uint8_t* u = chromaOut;
    std::uint8_t* v = chromaOut + std::size_t{cw} * ch;
    std::uint8_t* separate[] = {u, v};
    ScalePlane(chroma, pitch, 2 * chromaWidth, mChromaY, mChromaX, 2, separate, cw, 1);
    if (mLayout == ScaledLayout::I420)
        return std::uint64_t{w} * h * 3 / 2;
    // YUY2: Y0 U Y1 V; chroma row j serves output rows 2j and 2j + 1.
    for (std::uint32_t row = 0; row < h; ++row) {
        const std::uint8_t* y = planes + std::size_t{row} * w;
        const std::uint8_t* uRow = u + std::size_t{row / 2} * cw;
        const std::uint8_t* vRow = v + std::size_t{row / 2} * cw;
        std::uint8_t* out = destination + std::size_t{row} * w * 2;
        for (std::uint32_t pair = 0; pair < cw; ++pair) {
            out[4 * pair] = y[2 * pair];
            out[4 * pair + 1] = uRow[pair];
            out[4 * pair + 2] = y[2 * pair + 1];
            out[4 * pair + 3] = vRow[pair];
        }
    }
    return std::uint64_t{w} * h * 2;
}

} // namespace Zarvo
