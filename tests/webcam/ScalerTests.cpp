// The scaled conversion against a model of its own: the centre crop, then each destination sample the
// exact mean (in doubles) of the source area it covers, in every layout; nothing written past a frame.
#include "webcam/FrameScaler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

using namespace Zarvo;

namespace {

using Bytes = std::vector<std::uint8_t>;

// The mean of `plane` (samples `step` apart in rows `pitch` apart) over the area output (x, y) of a
// crop `cw` x `ch` at (cx, cy) covers when scaled to `w` x `h`.
double AreaMean(const std::uint8_t* plane, std::size_t pitch, std::size_t step, double cx, double cy, double cw,
                double ch, std::uint32_t w, std::uint32_t h, std::uint32_t x, std::uint32_t y) {
    const double x0 = cx + x * cw / w, x1 = cx + (x + 1) * cw / w, y0 = cy + y * ch / h, y1 = cy + (y + 1) * ch / h;
    double sum = 0;
    for (auto sy = static_cast<std::size_t>(y0); sy < y1; ++sy)
        for (auto sx = static_cast<std::size_t>(x0); sx < x1; ++sx) {
            const double ox = std::min<double>(sx + 1, x1) - std::max<double>(sx, x0);
            const double oy = std::min<double>(sy + 1, y1) - std::max<double>(sy, y0);
            sum += ox * oy * plane[sy * pitch + sx * step];
        }
    return sum / ((x1 - x0) * (y1 - y0));
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

// Every destination sample within 1 of the model (the filter keeps 8 more bits between its two passes),
// in YUY2, NV12 and I420, with a row pitch wider than the picture; the bytes after the frame untouched.
// Sizes the filter cannot serve (up-scaling, odd sizes) make an empty scaler that writes nothing.
TEST(FrameScaler, EachSampleIsTheMeanOfTheAreaItCoversInEveryLayout) {
    std::mt19937 random(7);
    const std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t> sizes[] = {
        {64, 36, 32, 24}, {66, 38, 22, 16}, {1280, 720, 848, 480}, {1280, 720, 640, 480}, {96, 54, 94, 52}};
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
                    const double model = AreaMean(luma, pitch, 1, crop.x, crop.y, crop.width, crop.height, dw, dh, x, row);
                    worst = std::max(worst, std::abs(model - y(x, row)));
                }
            for (std::uint32_t row = 0; row < dh / 2; ++row)
                for (std::uint32_t x = 0; x < dw / 2; ++x)
                    for (int v = 0; v < 2; ++v) {
                        const double model = AreaMean(chroma + v, pitch, 2, crop.x / 2, crop.y / 2, crop.width / 2,
                                                      crop.height / 2, dw / 2, dh / 2, x, row);
                        worst = std::max(worst, std::abs(model - uv(x, row, v)));
                    }
            EXPECT_LE(worst, 1.0);
        }
    }
    for (const auto& [sw, sh, dw, dh] : {std::tuple{64u, 36u, 128u, 72u}, {64u, 36u, 31u, 18u}, {65u, 36u, 32u, 18u}}) {
        const FrameScaler scaler(sw, sh, dw, dh, ScaledLayout::Nv12);
        Bytes out(16, 0xEE);
        EXPECT_FALSE(scaler.Valid());
        EXPECT_EQ(scaler.Run(sw, out.data(), out.data()), 0u);
    }
}

// Every instruction set's passes give the scalar ones' bytes, in every layout, over sizes whose outputs do
// not fill whole vectors, odd source pitches, a source that starts at an odd address, and nothing written
// past the frame.
TEST(FrameScaler, EachInstructionSetGivesTheScalarBytes) {
    using PixelKernels::Isa;
    std::mt19937 random(7);
    for (const Isa isa : {Isa::Sse2, Isa::Avx2}) {
        if (!PixelKernels::IsSupported(isa))
            continue;
        for (const auto& [sw, sh, dw, dh] : {std::tuple{1920u, 1080u, 1280u, 720u}, {1920u, 1080u, 640u, 360u},
                                            {1920u, 1080u, 640u, 480u}, {1280u, 720u, 424u, 240u},
                                            {1920u, 1080u, 320u, 240u}, {102u, 58u, 34u, 18u}, {46u, 30u, 46u, 30u},
                                            {50u, 28u, 14u, 10u}}) {
            const std::size_t pitch = sw + 13; // odd, and the frame one byte into its buffer
            Bytes buffer(1 + pitch * (sh + sh / 2));
            for (auto& byte : buffer)
                byte = static_cast<std::uint8_t>(random());
            for (const auto layout : {ScaledLayout::Yuy2, ScaledLayout::Nv12, ScaledLayout::I420}) {
                SCOPED_TRACE(testing::Message() << sw << "x" << sh << " to " << dw << "x" << dh << " layout "
                                                << static_cast<int>(layout) << " isa " << static_cast<int>(isa));
                const std::size_t bytes = layout == ScaledLayout::Yuy2 ? std::size_t{dw} * dh * 2 : std::size_t{dw} * dh * 3 / 2;
                Bytes reference(bytes + 32, 0xEE), tested(bytes + 32, 0xEE);
                const FrameScaler plain(sw, sh, dw, dh, layout, Isa::Scalar), fast(sw, sh, dw, dh, layout, isa);
                ASSERT_TRUE(fast.Valid());
                EXPECT_EQ(plain.Run(pitch, buffer.data() + 1, reference.data()), bytes);
                EXPECT_EQ(fast.Run(pitch, buffer.data() + 1, tested.data()), bytes);
                EXPECT_EQ(tested, reference); // the guard bytes included
                EXPECT_EQ(std::count(tested.end() - 32, tested.end(), 0xEE), 32);
            }
        }
    }
}
