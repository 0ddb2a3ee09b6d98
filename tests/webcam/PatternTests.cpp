// The companion server's pattern and the checker of delivered frames built on it: the frame number reads
// back from the code strip at any size, frames differ where a person looks, and the checker tells the
// pattern, the placeholder and anything else apart.
#include "../pixels/PixelCheck.h"

#include "server/Pattern.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

using namespace Zarvo;
using Bytes = std::vector<std::uint8_t>;

Bytes Pattern(std::uint32_t width, std::uint32_t height, std::uint64_t number, std::size_t pitch) {
    Bytes frame(Server::PatternFrameBytes(height, pitch), 0x5A);
    Server::DrawPatternNV12(width, height, number, frame.data(), pitch);
    return frame;
}

Bytes Yuy2(const Bytes& nv12, std::uint32_t width, std::uint32_t height) {
    Bytes out(yuy2_frame_bytes(width, height));
    PixelKernels::Nv12ToYuy2(PixelKernels::Isa::Scalar)(width, nv12.data(), width, height, out.data());
    return out;
}

} // namespace

TEST(Pattern, NumberReadsBackAtAnySizeAndRowsEndAtTheWidth) {
    for (const auto& [width, height] : {std::pair{1u, 1u},
                                        {2u, 2u},
                                        {7u, 3u},
                                        {31u, 5u},
                                        {32u, 2u},
                                        {100u, 30u},
                                        {641u, 97u},
                                        {1280u, 720u},
                                        {1920u, 1080u}}) {
        const std::size_t pitch = width + 9;
        for (const std::uint64_t number : {0ull, 1ull, 12345ull, 4294967295ull}) {
            const Bytes frame = Pattern(width, height, number, pitch);
            std::uint64_t read = 99;
            ASSERT_TRUE(Server::ReadPatternNumber(frame.data(), 1, pitch, width, height, read))
                << width << "x" << height;
            const std::uint64_t mask = width >= 32 ? 0xFFFFFFFFull : (1ull << width) - 1;
            EXPECT_EQ(read, number & mask) << width << "x" << height;
            for (std::uint32_t row = 0; row < height + height / 2; ++row)
                ASSERT_TRUE(std::all_of(frame.begin() + row * pitch + width,
                                        frame.begin() + (row + 1) * pitch,
                                        [](std::uint8_t b) { return b == 0x5A; }))
                    << width << "x" << height << " row " << row;
        }
    }
    // From a YUY2 frame too, and not from one whose strip is no code.
    Bytes yuy2 = Yuy2(Pattern(1280, 720, 777, 1280), 1280, 720);
    std::uint64_t read = 0;
    EXPECT_TRUE(Server::ReadPatternNumber(yuy2.data(), 2, 2 * 1280, 1280, 720, read) && read == 777);
    yuy2[2 * 1280 * 708 + 2 * 1260] = 100; // the middle of the last bit's cell
    EXPECT_FALSE(Server::ReadPatternNumber(yuy2.data(), 2, 2 * 1280, 1280, 720, read));
}

TEST(Pattern, NumberSquareAndStripChangeFromFrameToFrameWhileTheBarsStay) {
    constexpr std::uint32_t kWidth = 1280, kHeight = 720;
    const Bytes a = Pattern(kWidth, kHeight, 41, kWidth), b = Pattern(kWidth, kHeight, 42, kWidth);
    auto differing = [&](std::uint32_t rowBegin, std::uint32_t rowEnd) {
        std::size_t count = 0;
        for (std::size_t i = std::size_t{rowBegin} * kWidth; i < std::size_t{rowEnd} * kWidth; ++i)
            count += a[i] != b[i];
        return count;
    };
    EXPECT_EQ(differing(0, 100), 0u);            // bars above the number's box
    EXPECT_GT(differing(100, 480), 1000u);       // the number
    EXPECT_EQ(differing(480, 576), 2u * 8 * 96); // the square moved 8 pixels: 8 columns each side
    EXPECT_GT(differing(696, 720), 0u);          // the code strip
    // Luma covers the whole range and the bars carry colour.
    const auto [dark, bright] = std::minmax_element(a.begin(), a.begin() + kWidth * kHeight);
    EXPECT_EQ(*dark, 16);
    EXPECT_EQ(*bright, 235);
    EXPECT_EQ(a[kWidth * kHeight + 2 * 600], 212); // U of the blue bar
}

TEST(Pattern, CheckerTakesLeadingPlaceholdersAndExactPatternFramesOnly) {
    constexpr std::uint32_t kWidth = 320, kHeight = 180;
    Bytes placeholder(nv12_frame_bytes(kWidth, kHeight));
    DrawPlaceholderNv12(kWidth, kHeight, PlaceholderReason::WaitingForApp, placeholder.data());
    const Bytes leading = Yuy2(placeholder, kWidth, kHeight);
    const Bytes first = Yuy2(Pattern(kWidth, kHeight, 1000, kWidth), kWidth, kHeight);
    const Bytes second = Yuy2(Pattern(kWidth, kHeight, 1001, kWidth), kWidth, kHeight);
    Bytes wrong = second;
    wrong[2 * kWidth * 50 + 2 * 7] ^= 1;

    struct Case {
        std::vector<const Bytes*> frames;
        bool passes;
    };
    const Case cases[] = {{{&leading, &leading, &first, &second, &second}, true},
                          {{&first, &first}, false},                 // one frame number only
                          {{&leading, &first, &wrong}, false},       // one byte off
                          {{&first, &leading, &second}, false},      // a placeholder between frames
                          {{&first, &second, &placeholder}, false}}; // the wrong size
    for (std::size_t c = 0; c < std::size(cases); ++c) {
        PixelsTest::FrameChecker checker(PixelKernels::Nv12ToYuy2, kWidth, kHeight);
        for (const Bytes* frame : cases[c].frames)
            checker.Check(frame->data(), frame->size());
        EXPECT_EQ(checker.Passed(2), cases[c].passes) << "case " << c << ": " << checker.Summary();
    }
}
