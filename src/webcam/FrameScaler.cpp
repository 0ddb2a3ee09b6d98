#include "webcam/FrameScaler.h"

#include "webcam/FrameScalerRows.h"

#include <algorithm>

#include <xmmintrin.h>

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

FrameScaler::Taps FrameScaler::LinearTaps(std::uint32_t from, std::uint32_t to) {
    // Output i's centre lies at source position (i + 1/2) * from / to - 1/2, in units of 1 / (2 * to)
    // source samples (2i + 1) * from - to: between two source samples, each weighted by its nearness.
    // Before the first sample's centre and past the last one's, the edge sample alone.
    Taps taps;
    const std::uint64_t unit = 2 * std::uint64_t{to};
    for (std::uint64_t i = 0; i < to; ++i) {
        const std::uint64_t at = (2 * i + 1) * from, edge = to; // at - edge is the position
        std::uint64_t first = at > edge ? (at - edge) / unit : 0;
        std::uint64_t fraction = at > edge ? (at - edge) % unit : 0;
        if (first >= from - 1) {
            first = from - 1;
            fraction = 0;
        }
        const auto next = static_cast<std::uint16_t>((fraction * kOne + unit / 2) / unit);
        if (next == 0 || next == kOne) {
            taps.first.push_back(static_cast<std::uint32_t>(first + (next ? 1 : 0)));
            taps.count.push_back(1);
            taps.weights.push_back(static_cast<std::uint16_t>(kOne));
        } else {
            taps.first.push_back(static_cast<std::uint32_t>(first));
            taps.count.push_back(2);
            taps.weights.push_back(static_cast<std::uint16_t>(kOne - next));
            taps.weights.push_back(next);
        }
    }
    return taps;
}

FrameScaler::Vertical FrameScaler::VerticalTaps(const Taps& taps) {
    Vertical vertical;
    vertical.first = taps.first;
    vertical.count = taps.count;
    std::size_t from = 0;
    for (const std::uint16_t count : taps.count) {
        vertical.at.push_back(static_cast<std::uint32_t>(vertical.weights.size()));
        vertical.weights.insert(vertical.weights.end(),
                                taps.weights.begin() + static_cast<std::ptrdiff_t>(from),
                                taps.weights.begin() + static_cast<std::ptrdiff_t>(from + count));
        if (count % 2)
            vertical.weights.push_back(0); // the kernels take rows in pairs
        from += count;
    }
    return vertical;
}

FrameScaler::Horizontal FrameScaler::HorizontalTaps(const Taps& taps) {
    // Every output gets the same number of taps, so the kernels' loops are fixed: 2 and 4 fit one 32- or
    // 64-bit load, more take whole 128-bit loads.
    const std::size_t outputs = taps.first.size();
    const std::size_t most = *std::max_element(taps.count.begin(), taps.count.end());
    Horizontal horizontal;
    horizontal.taps = most <= 2 ? 2 : most <= 4 ? 4 : (most + 7) / 8 * 8;
    const std::size_t n = horizontal.taps;
    horizontal.first.resize(outputs);
    horizontal.weights.assign(outputs * n, 0);
    std::size_t from = 0;
    for (std::size_t i = 0; i < outputs; ++i) {
        horizontal.first[i] = static_cast<std::int32_t>(taps.first[i]);
        std::copy_n(taps.weights.begin() + static_cast<std::ptrdiff_t>(from), taps.count[i],
                    horizontal.weights.begin() + static_cast<std::ptrdiff_t>(i * n));
        from += taps.count[i];
    }
    horizontal.exact = ScalerKernels::ExactRatioOf(horizontal.first.data(), horizontal.weights.data(), n, outputs);
    if (n > 8)
        return horizontal;
    // The windows of whole vectors: lane l is pair l % (n / 2) of output l / (n / 2).
    const std::size_t perVector = 16 / n;
    for (std::size_t o = 0; o + perVector <= outputs; o += perVector) {
        const std::int32_t base = horizontal.first[o];
        horizontal.windows.push_back(base);
        for (std::size_t lane = 0; lane < 8; ++lane) {
            const auto at = static_cast<std::uint32_t>(horizontal.first[o + lane / (n / 2)] - base) +
                            2 * static_cast<std::uint32_t>(lane % (n / 2));
            if (at > 15) {
                horizontal.windows.clear();
                return horizontal;
            }
            horizontal.windows.push_back(
                static_cast<std::int32_t>(at % 2 ? (at - 1) / 2 | 0x80000000u : at / 2));
        }
    }
    return horizontal;
}

FrameScaler::FrameScaler(std::uint32_t srcWidth, std::uint32_t srcHeight, std::uint32_t dstWidth,
                         std::uint32_t dstHeight, ScaledLayout layout, PixelKernels::Isa isa)
    : mLayout(layout), mSrcHeight(srcHeight), mDstWidth(dstWidth), mDstHeight(dstHeight),
      mCrop(CropToFill(srcWidth, srcHeight, dstWidth, dstHeight)), mRows(ScalerKernels::RowsFor(isa)) {
    const bool even = (srcWidth | srcHeight | dstWidth | dstHeight) % 2 == 0;
    if (!mRows || !even || !dstWidth || !dstHeight || mCrop.width < 2 || mCrop.height < 2)
        return;
    // By area where a side shrinks (or stays), linear where it grows.
    const auto taps = [](std::uint32_t from, std::uint32_t to) {
        return to <= from ? AreaTaps(from, to) : LinearTaps(from, to);
    };
    mLumaX = HorizontalTaps(taps(mCrop.width, dstWidth));
    mLumaY = VerticalTaps(taps(mCrop.height, dstHeight));
    mChromaX = HorizontalTaps(taps(mCrop.width / 2, dstWidth / 2));
    mChromaY = VerticalTaps(taps(mCrop.height / 2, dstHeight / 2));
    // Zeros past the columns: the padded taps and the windows read them at weight zero. The row kernels
    // read up to 8 entries before the first column too: 16 of them keep the columns' alignment.
    mColumns.assign(kColumnsLead + mCrop.width + mLumaX.taps + 16, 0);
    mColumnsU.assign(kColumnsLead + mCrop.width / 2 + mChromaX.taps + 16, 0);
    mColumnsV.assign(kColumnsLead + mCrop.width / 2 + mChromaX.taps + 16, 0);
    if (layout != ScaledLayout::I420) {
        mRowU.resize(dstWidth / 2);
        mRowV.resize(dstWidth / 2);
    }
    if (layout == ScaledLayout::Yuy2) {
        mRowUv.resize(dstWidth);
        mRowY.resize(dstWidth);
    }
    mValid = true;
}

std::uint64_t FrameScaler::Run(std::uint64_t pitch, const std::uint8_t* source, std::uint8_t* destination) const noexcept {
    if (!mValid)
        return 0;
    const ScalerKernels::Rows& rows = *mRows;
    const std::size_t w = mDstWidth, h = mDstHeight, cw = w / 2, ch = h / 2;
    const auto step = static_cast<std::size_t>(pitch);
    const std::uint8_t* luma = source + mCrop.y * pitch + mCrop.x;
    // The interleaved chroma plane starts `pitch * srcHeight` bytes on, a row per two luma rows;
    // the crop's even corner is a whole U,V pair.
    const std::uint8_t* chroma = source + pitch * mSrcHeight + mCrop.y / 2 * pitch + mCrop.x;
    const auto view = [](const Horizontal& taps) {
        return ScalerKernels::RowTaps{taps.first.data(), taps.weights.data(),
                                      taps.windows.empty() ? nullptr : taps.windows.data(), taps.taps,
                                      taps.exact};
    };
    const ScalerKernels::RowTaps lumaX = view(mLumaX), chromaX = view(mChromaX);
    std::uint8_t* chromaOut = destination + w * h;
    const bool streaming = mLayout == ScaledLayout::Yuy2 && std::uint64_t{w} * h * 2 >= PixelKernels::kStreamingBytes;
    const PixelKernels::Yuy2Row yuy2 = streaming ? rows.yuy2Stream : rows.yuy2;
    const ScalerKernels::FilterYuy2Row filterYuy2 = streaming ? rows.filterYuy2Stream : rows.filterYuy2;
    // A chroma row, then the two luma rows it serves: the rows of work stay in the cache.
    for (std::size_t j = 0; j < ch; ++j) {
        rows.columnsUv(chroma + mChromaY.first[j] * pitch, step, mChromaY.weights.data() + mChromaY.at[j],
                       mChromaY.count[j], mColumnsU.data() + kColumnsLead,
                       mColumnsV.data() + kColumnsLead, mCrop.width / 2);
        const bool planar = mLayout == ScaledLayout::I420;
        std::uint8_t* u = planar ? chromaOut + j * cw : mRowU.data();
        std::uint8_t* v = planar ? chromaOut + cw * ch + j * cw : mRowV.data();
        rows.filter(mColumnsU.data() + kColumnsLead, chromaX, u, 0, cw);
        rows.filter(mColumnsV.data() + kColumnsLead, chromaX, v, 0, cw);
        if (mLayout == ScaledLayout::Nv12)
            rows.mergeUv(u, v, chromaOut + j * w, cw);
        else if (mLayout == ScaledLayout::Yuy2)
            rows.mergeUv(u, v, mRowUv.data(), cw);
        for (std::size_t row = 2 * j; row < 2 * j + 2; ++row) {
            rows.columns(luma + mLumaY.first[row] * pitch, step, mLumaY.weights.data() + mLumaY.at[row],
                         mLumaY.count[row], mColumns.data() + kColumnsLead, mCrop.width);
            if (mLayout != ScaledLayout::Yuy2) {
                rows.filter(mColumns.data() + kColumnsLead, lumaX, destination + row * w, 0, w);
                continue;
            }
            // YUY2: Y0 U Y1 V; chroma row j serves output rows 2j and 2j + 1.
            if (filterYuy2) {
                filterYuy2(mColumns.data() + kColumnsLead, lumaX, mRowUv.data(), mRowY.data(),
                           destination + row * w * 2, w);
                continue;
            }
            rows.filter(mColumns.data() + kColumnsLead, lumaX, mRowY.data(), 0, w);
            yuy2(mRowY.data(), mRowUv.data(), destination + row * w * 2, w);
        }
    }
    if (streaming)
        _mm_sfence(); // non-temporal stores are weakly ordered: visible before the frame is handed on
    return mLayout == ScaledLayout::Yuy2 ? std::uint64_t{w} * h * 2 : std::uint64_t{w} * h * 3 / 2;
}

namespace ScalerKernels {

ExactRatio ExactRatioOf(const std::int32_t* first, const std::int16_t* weights, std::size_t taps,
                        std::size_t outputs) noexcept {
    // Each candidate's taps for output i; the table must match them all, so a kernel with the constants
    // built in computes the same sums.
    struct Pattern {
        ExactRatio ratio;
        std::size_t taps;
        std::int16_t weights[2][4];
        std::int32_t first(std::size_t i) const noexcept {
            const auto k = static_cast<std::int32_t>(i);
            return ratio == ExactRatio::ThreeToTwo ? 3 * k / 2 : ratio == ExactRatio::ThreeToOne ? 3 * k : 2 * k;
        }
    };
    static constexpr Pattern kPatterns[] = {
        {ExactRatio::ThreeToTwo, 2, {{10923, 5461}, {5461, 10923}}},
        {ExactRatio::ThreeToOne, 4, {{5462, 5461, 5461, 0}, {5462, 5461, 5461, 0}}},
        {ExactRatio::TwoToOne, 2, {{8192, 8192}, {8192, 8192}}}};
    for (const Pattern& pattern : kPatterns) {
        if (pattern.taps != taps)
            continue;
        bool match = true;
        for (std::size_t i = 0; i < outputs && match; ++i) {
            match = first[i] == pattern.first(i) &&
                    std::equal(weights + i * taps, weights + (i + 1) * taps, pattern.weights[i % 2]);
        }
        if (match)
            return pattern.ratio;
    }
    return ExactRatio::None;
}

ExactRows ExactRowsOf(const std::int16_t* weights, std::size_t rows) noexcept {
    if (rows == 2 && weights[0] == 10923 && weights[1] == 5461)
        return ExactRows::HeavyFirst;
    if (rows == 2 && weights[0] == 5461 && weights[1] == 10923)
        return ExactRows::HeavySecond;
    if (rows == 3 && weights[0] == 5462 && weights[1] == 5461 && weights[2] == 5461)
        return ExactRows::Thirds;
    if (rows == 2 && weights[0] == 8192 && weights[1] == 8192)
        return ExactRows::Halves;
    return ExactRows::None;
}

const Rows* RowsFor(PixelKernels::Isa isa) noexcept {
    static constexpr Rows kScalar{ScaleColumnsRow_C, ScaleColumnsUvRow_C, FilterRow_C, MergeUvRow_C,
                                  PixelKernels::Nv12ToYuy2Row_C, PixelKernels::Nv12ToYuy2Row_C};
    static constexpr Rows kSse2{ScaleColumnsRow_Any_SSE2, ScaleColumnsUvRow_Any_SSE2, FilterRow_Any_SSE2,
                                MergeUvRow_Any_SSE2, PixelKernels::Nv12ToYuy2Row_Any_SSE2,
                                PixelKernels::Nv12ToYuy2Row_Stream_SSE2};
    static constexpr Rows kSsse3{ScaleColumnsRow_Any_SSSE3, ScaleColumnsUvRow_Any_SSSE3, FilterRow_Any_SSSE3,
                                 MergeUvRow_Any_SSE2, PixelKernels::Nv12ToYuy2Row_Any_SSE2,
                                 PixelKernels::Nv12ToYuy2Row_Stream_SSE2, FilterYuy2Row_SSSE3,
                                 FilterYuy2Row_Stream_SSSE3};
    static constexpr Rows kAvx2{ScaleColumnsRow_Any_AVX2, ScaleColumnsUvRow_Any_AVX2, FilterRow_Any_AVX2,
                                MergeUvRow_Any_AVX2, PixelKernels::Nv12ToYuy2Row_Any_AVX2,
                                PixelKernels::Nv12ToYuy2Row_Stream_AVX2, FilterYuy2Row_AVX2,
                                FilterYuy2Row_Stream_AVX2};
    if (!PixelKernels::IsSupported(isa))
        return nullptr;
    switch (isa) {
    case PixelKernels::Isa::Scalar:
        return &kScalar;
    case PixelKernels::Isa::Sse2:
        return &kSse2;
    case PixelKernels::Isa::Ssse3:
        return &kSsse3;
    case PixelKernels::Isa::Avx2:
        return &kAvx2;
    }
    return nullptr;
}

} // namespace ScalerKernels
} // namespace Zarvo
