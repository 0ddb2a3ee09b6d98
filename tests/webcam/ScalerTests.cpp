// The scaled conversion against a model of its own: the centre crop, then each destination sample the
// exact mean (in doubles) of the source area it covers, or interpolated where a side grows, in every
// layout; nothing written past a frame.
// Every instruction set's kernels against the scalar ones, byte for byte.
#include "webcam/FrameScaler.h"
#include "webcam/FrameScalerRows.h"

#include "GuardedBytes.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <cstdint>
#include <random>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

using namespace Zarvo;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Output i's source samples and their weights along one side of `from` samples scaled to `to`: the
// area it covers when the side shrinks; the two samples nearest to its centre, by distance, when the side
// grows (the edge sample alone outside the outermost centres).
std::vector<std::pair<std::size_t, double>> Weights(double from, std::uint32_t to, std::uint32_t i) {
    std::vector<std::pair<std::size_t, double>> weights;
    if (to <= from) {
        const double x0 = i * from / to, x1 = (i + 1) * from / to;
        for (auto s = static_cast<std::size_t>(x0); s < x1; ++s)
            weights.emplace_back(s, (std::min<double>(s + 1, x1) - std::max<double>(s, x0)) / (x1 - x0));
        return weights;
    }
    const double at = std::clamp((i + 0.5) * from / to - 0.5, 0.0, from - 1);
    const auto s = static_cast<std::size_t>(at);
    weights.emplace_back(s, 1 - (at - s));
    if (at > s)
        weights.emplace_back(s + 1, at - s);
    return weights;
}

// The model's sample (x, y) of `plane` (samples `step` apart in rows `pitch` apart): a crop `cw` x `ch`
// at (cx, cy) scaled to `w` x `h`.
double Model(const std::uint8_t* plane, std::size_t pitch, std::size_t step, std::size_t cx, std::size_t cy,
             std::uint32_t cw, std::uint32_t ch, std::uint32_t w, std::uint32_t h, std::uint32_t x, std::uint32_t y) {
    double sum = 0;
    for (const auto& [sy, wy] : Weights(ch, h, y))
        for (const auto& [sx, wx] : Weights(cw, w, x))
            sum += wx * wy * plane[(cy + sy) * pitch + (cx + sx) * step];
    return sum;
}

} // namespace

TEST(FrameScaler, CropsTheCentreToTheDestinationsAspectRatioOnEvenCoordinates) {
    const std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, CropRect> cases[] = {
        {1920, 1080, 1280, 720, {0, 0, 1920, 1080}}, {1920, 1080, 640, 480, {240, 0, 1440, 1080}},
        {1280, 720, 848, 480, {4, 0, 1272, 720}},    {1280, 720, 320, 240, {160, 0, 960, 720}},
        {640, 480, 640, 360, {0, 60, 640, 360}},     {1920, 1080, 424, 240, {6, 0, 1908, 1080}}};
    for (const auto& [sw, sh, dw, dh, crop] : cases)
        EXPECT_EQ(CropToFill(sw, sh, dw, dh), crop) << sw << "x" << sh << " to " << dw << "x" << dh;
}

// Every destination sample within 1 of the model (the filter keeps 7 more bits between its two passes),
// in YUY2, NV12 and I420, with a row pitch wider than the picture; the bytes after the frame untouched.
// Down, up (an app that renders smaller than the host asks), and up one side while down the other.
// Odd sizes make an empty scaler that writes nothing.
TEST(FrameScaler, EachSampleIsTheMeanOfTheAreaItCoversOrInterpolatedWhereItGrowsInEveryLayout) {
    std::mt19937 random(7);
    const std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t> sizes[] = {
        {64, 36, 32, 24},     {66, 38, 22, 16},   {1280, 720, 848, 480}, {1280, 720, 640, 480},
        {96, 54, 94, 52},     {64, 36, 128, 72},  {1280, 720, 1920, 1080}, {64, 36, 96, 72},
        {20, 12, 58, 34},     {62, 36, 64, 34}};
    for (const auto& [sw, sh, dw, dh] : sizes) {
        const std::size_t pitch = sw + 24;
        Bytes source(pitch * (sh + sh / 2));
        for (auto& byte : source)
            byte = static_cast<std::uint8_t>(random());
        const CropRect crop = CropToFill(sw, sh, dw, dh);
        const std::uint8_t* luma = source.data();
        const std::uint8_t* chroma = source.data() + pitch * sh;
        for (const auto layout : {ScaledLayout::Yuy2, ScaledLayout::Nv12, ScaledLayout::I420}) {
            SCOPED_TRACE(std::to_string(sw) + "x" + std::to_string(sh) + " to " + std::to_string(dw) + "x" +
                         std::to_string(dh) + ", layout " + std::to_string(int(layout)));
            const FrameScaler scaler(sw, sh, dw, dh, layout);
            ASSERT_TRUE(scaler.Valid());
            const std::size_t bytes = layout == ScaledLayout::Yuy2 ? dw * dh * 2 : dw * dh * 3 / 2;
            Bytes out(bytes + 32, 0xEE);
            ASSERT_EQ(scaler.Run(pitch, source.data(), out.data()), bytes);
            EXPECT_EQ(Bytes(out.begin() + bytes, out.end()), Bytes(32, 0xEE));
            // Where each plane's sample of output (x, y) is, per layout.
            const auto y = [&](std::uint32_t x, std::uint32_t row) {
                return layout == ScaledLayout::Yuy2 ? out[(row * dw + x) * 2] : out[row * dw + x];
            };
            const auto uv = [&](std::uint32_t x, std::uint32_t row, int v) {
                switch (layout) {
                case ScaledLayout::Yuy2: return out[(2 * row * dw + 2 * x) * 2 + 1 + 2 * v];
                case ScaledLayout::Nv12: return out[dw * dh + row * dw + 2 * x + v];
                case ScaledLayout::I420: break;
                }
                return out[dw * dh + v * (dw / 2) * (dh / 2) + row * (dw / 2) + x];
            };
            double worst = 0;
            for (std::uint32_t row = 0; row < dh; ++row)
                for (std::uint32_t x = 0; x < dw; ++x) {
                    const double model = Model(luma, pitch, 1, crop.x, crop.y, crop.width, crop.height, dw, dh, x, row);
                    worst = std::max(worst, std::abs(model - y(x, row)));
                }
            for (std::uint32_t row = 0; row < dh / 2; ++row)
                for (std::uint32_t x = 0; x < dw / 2; ++x)
                    for (int v = 0; v < 2; ++v) {
                        const double model = Model(chroma + v, pitch, 2, crop.x / 2, crop.y / 2, crop.width / 2,
                                                   crop.height / 2, dw / 2, dh / 2, x, row);
                        worst = std::max(worst, std::abs(model - uv(x, row, v)));
                    }
            EXPECT_LE(worst, 1.0);
        }
    }
    for (const auto& [sw, sh, dw, dh] : {std::tuple{64u, 36u, 31u, 18u}, {65u, 36u, 32u, 18u}, {2u, 200u, 200u, 2u}}) {
        const FrameScaler scaler(sw, sh, dw, dh, ScaledLayout::Nv12);
        Bytes out(16, 0xEE);
        EXPECT_FALSE(scaler.Valid());
        EXPECT_EQ(scaler.Run(sw, out.data(), out.data()), 0u);
    }
}

// The camera's own sizes from the app's 1920x1080 (3:2, 3:1, 2:1, 4:3 crops, the whole frame, odd ratios),
// the exact ratios at widths with vector tails, then random size pairs, so output widths meet every vector tail and the taps every padded count. Each
// from a source that ends at a no-access page, one byte past an aligned start with an odd pitch, into a
// destination one byte past an aligned start between guard bytes: every instruction set writes the
// scalar kernels' bytes, and nothing else.
TEST(FrameScaler, EveryIsaWritesTheScalarBytesAndNothingElse) {
    using Size = std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t>;
    std::vector<Size> sizes{{1920, 1080, 1280, 720}, {1920, 1080, 640, 360}, {1920, 1080, 960, 540},
                            {1920, 1080, 640, 480},  {1920, 1080, 320, 240}, {1920, 1080, 1920, 1080},
                            {1920, 1080, 848, 480},  {1920, 1080, 176, 144}, {1920, 1080, 2, 2},
                            {1280, 720, 640, 360},   {1920, 1080, 1280, 540}, {1920, 1080, 640, 240},
                            {1920, 1080, 960, 360},  {1926, 1086, 1284, 724}, {1280, 720, 1920, 1080},
                            {640, 360, 1920, 1080},  {960, 540, 640, 480},   {1926, 1086, 642, 362},
                            {2000, 1124, 1000, 562}};
    std::mt19937 random(11);
    while (sizes.size() < 120) {
        const auto even = [&](std::uint32_t most) { return 2 + 2 * (random() % (most / 2)); };
        const std::uint32_t sw = even(260), sh = even(160), dw = even(2 * sw), dh = even(2 * sh);
        if (FrameScaler(sw, sh, dw, dh, ScaledLayout::I420, PixelKernels::Isa::Scalar).Valid())
            sizes.emplace_back(sw, sh, dw, dh);
    }
    std::vector<PixelKernels::Isa> isas{PixelKernels::Isa::Sse2};
    for (const auto& [isa, name] :
         {std::pair{PixelKernels::Isa::Ssse3, "SSSE3"}, std::pair{PixelKernels::Isa::Avx2, "AVX2"}}) {
        if (PixelKernels::IsSupported(isa))
            isas.push_back(isa);
        else
            std::printf("[ SKIPPED  ] %s scaler not checked: this processor or its OS lacks %s\n", name, name);
    }
    constexpr std::size_t kGuard = 40;
    for (const auto& [sw, sh, dw, dh] : sizes) {
        const std::size_t pitch = sw + (sw % 4 == 0 ? 13 : 0), bytes = pitch * (sh + sh / 2) + 1;
        Testing::GuardedBytes source(bytes);
        for (std::size_t i = 0; i < bytes; ++i)
            source.data[i] = static_cast<std::uint8_t>(random());
        const std::uint8_t* frame = source.data + 1;
        // Large YUY2 frames go out with non-temporal stores into the rows that are 32-byte aligned: the
        // destination at an aligned start as well.
        for (const auto layout : {ScaledLayout::Yuy2, ScaledLayout::Nv12, ScaledLayout::I420})
            for (const std::size_t misalignment : {std::size_t{1}, std::size_t{0}}) {
                const std::size_t size = layout == ScaledLayout::Yuy2 ? dw * dh * 2 : dw * dh * 3 / 2;
                const auto run = [&](PixelKernels::Isa isa) {
                    Bytes out(32 + kGuard + size + kGuard, 0xEE);
                    const auto address = reinterpret_cast<std::uintptr_t>(out.data()) + kGuard;
                    const std::size_t at = kGuard + (32 - address % 32) % 32 + misalignment;
                    const FrameScaler scaler(sw, sh, dw, dh, layout, isa);
                    EXPECT_EQ(scaler.Run(pitch, frame, out.data() + at), size);
                    return Bytes(out.begin() + static_cast<std::ptrdiff_t>(at - kGuard),
                                 out.begin() + static_cast<std::ptrdiff_t>(at + size + kGuard));
                };
                const Bytes expected = run(PixelKernels::Isa::Scalar);
                ASSERT_EQ(Bytes(expected.begin(), expected.begin() + kGuard), Bytes(kGuard, 0xEE));
                ASSERT_EQ(Bytes(expected.end() - kGuard, expected.end()), Bytes(kGuard, 0xEE));
                for (const auto isa : isas)
                    ASSERT_EQ(run(isa), expected) << sw << "x" << sh << " to " << dw << "x" << dh << ", layout "
                                                  << int(layout) << ", isa " << int(isa) << ", misaligned by "
                                                  << misalignment;
            }
    }
}

// The exact ratios' constant-weight SSSE3 and AVX2 kernels against the scalar rows on samples that reach the
// bounds their 16-bit arithmetic relies on (all 255, all 0, alternating, random) and columns up to 255 << 7,
// at widths with vector tails. Whole frames cannot show a wrong intermediate: at these ratios the mean is a
// ninth or a quarter away from the rounding point, so a column off by one rarely changes a byte.
TEST(FrameScaler, ExactRatioKernelsGiveTheScalarSumsAtTheirBounds) {
    using namespace ScalerKernels;
    struct Kernels {
        PixelKernels::Isa isa;
        const char* name;
        ColumnsRow columns;
        ColumnsUvRow columnsUv;
        FilterRow filter;
    };
    std::vector<Kernels> kernels;
    for (const Kernels& set : {Kernels{PixelKernels::Isa::Ssse3, "SSSE3", ScaleColumnsRow_Any_SSSE3,
                                       ScaleColumnsUvRow_Any_SSSE3, FilterRow_Any_SSSE3},
                               Kernels{PixelKernels::Isa::Avx2, "AVX2", ScaleColumnsRow_Any_AVX2,
                                       ScaleColumnsUvRow_Any_AVX2, FilterRow_Any_AVX2}}) {
        if (PixelKernels::IsSupported(set.isa))
            kernels.push_back(set);
        else
            std::printf("[ SKIPPED  ] %s exact-ratio kernels not checked: this processor or its OS lacks %s\n",
                        set.name, set.name);
    }
    // Each kernel writes over the complement of the expected values, so nothing it leaves passes.
    const auto unlike = [](const auto& expected) {
        auto complement = expected;
        for (auto& value : complement)
            value = static_cast<std::remove_reference_t<decltype(value)>>(~value);
        return complement;
    };
    std::mt19937 random(5);
    const std::function<std::uint8_t(std::size_t)> patterns[] = {
        [&](std::size_t) { return static_cast<std::uint8_t>(random()); }, [](std::size_t) { return 255; },
        [](std::size_t) { return 0; }, [](std::size_t i) { return i % 3 ? 0 : 255; }};
    const std::vector<std::int16_t> rowWeights[] = {{10923, 5461}, {5461, 10923}, {5462, 5461, 5461, 0}, {8192, 8192}};
    constexpr std::size_t kWidth = 1000 - 3, kPitch = 2 * kWidth + 7;
    for (const auto& pattern : patterns)
        for (const auto& weights : rowWeights) {
            Bytes rows(3 * kPitch);
            for (std::size_t i = 0; i < rows.size(); ++i)
                rows[i] = pattern(i);
            const std::size_t count = weights.size() == 4 ? 3 : 2;
            // 2 * kWidth luma columns, then kPairs U and kPairs V columns.
            constexpr std::size_t kPairs = kWidth / 2, kU = 2 * kWidth, kV = kU + kPairs;
            std::vector<std::uint16_t> expected(kV + kPairs), actual;
            ScaleColumnsRow_C(rows.data(), kPitch, weights.data(), count, expected.data(), 2 * kWidth);
            ScaleColumnsUvRow_C(rows.data(), kPitch, weights.data(), count, expected.data() + kU,
                                expected.data() + kV, kPairs);
            for (const Kernels& set : kernels) {
                actual = unlike(expected);
                set.columns(rows.data(), kPitch, weights.data(), count, actual.data(), 2 * kWidth);
                set.columnsUv(rows.data(), kPitch, weights.data(), count, actual.data() + kU, actual.data() + kV,
                              kPairs);
                ASSERT_EQ(actual, expected) << set.name << ", rows weighted " << weights[0] << ", " << weights[1];
            }
        }
    // Each ratio's horizontal taps as the scaler lays them out: the pattern of the first two outputs repeated.
    struct Ratio {
        ExactRatio ratio;
        std::size_t taps, from;
        std::vector<std::int16_t> weights;
    };
    const Ratio ratios[] = {{ExactRatio::ThreeToTwo, 2, 3, {10923, 5461, 5461, 10923}},
                            {ExactRatio::ThreeToOne, 4, 6, {5462, 5461, 5461, 0, 5462, 5461, 5461, 0}},
                            {ExactRatio::TwoToOne, 2, 4, {8192, 8192, 8192, 8192}}};
    for (const std::size_t outputs : {std::size_t{32}, std::size_t{317}, std::size_t{640}})
        for (const Ratio& ratio : ratios) {
            std::vector<std::int32_t> first(outputs);
            std::vector<std::int16_t> weights(outputs * ratio.taps);
            for (std::size_t i = 0; i < outputs; ++i) {
                first[i] = static_cast<std::int32_t>(i * ratio.from / 2);
                std::copy_n(ratio.weights.begin() + static_cast<std::ptrdiff_t>(i % 2 * ratio.taps), ratio.taps,
                            weights.begin() + static_cast<std::ptrdiff_t>(i * ratio.taps));
            }
            const RowTaps taps{first.data(), weights.data(), nullptr, ratio.taps,
                               ExactRatioOf(first.data(), weights.data(), ratio.taps, outputs)};
            ASSERT_EQ(taps.exact, ratio.ratio);
            // One weight off at the last output: the general kernels take the row.
            weights.back() = static_cast<std::int16_t>(weights.back() + 1);
            EXPECT_EQ(ExactRatioOf(first.data(), weights.data(), ratio.taps, outputs), ExactRatio::None);
            weights.back() = static_cast<std::int16_t>(weights.back() - 1);
            for (const auto& pattern : patterns) {
                // The readable entries the kernels may take before the first column and past the last.
                std::vector<std::uint16_t> columns(8 + outputs * ratio.from / 2 + ratio.taps + 16);
                for (std::size_t i = 0; i < columns.size(); ++i) {
                    const unsigned sample = pattern(i); // 255 << 7 at most, as the vertical pass gives
                    columns[i] = static_cast<std::uint16_t>(sample == 255 ? 255 << 7 : sample << 7 | sample % 128);
                }
                Bytes expected(outputs), actual;
                FilterRow_C(columns.data() + 8, taps, expected.data(), 0, outputs);
                for (const Kernels& set : kernels) {
                    actual = unlike(expected);
                    set.filter(columns.data() + 8, taps, actual.data(), 0, outputs);
                    ASSERT_EQ(actual, expected) << set.name << ", " << outputs << " outputs, ratio " << int(ratio.ratio);
                }
            }
        }
}
