// The companion server's pattern and the checker of delivered frames built on it: the frame number reads
// back from the code strip at any size, and the checker tells the pattern, the placeholder and anything
// else apart.
#include "../pixels/PixelCheck.h"
#include "WebcamTestSupport.h"

using namespace Zarvo;
using namespace Zarvo::Testing;

TEST(Pattern, NumberReadsBackAtAnySizeAndRowsEndAtTheWidth) {
    const std::pair<std::uint32_t, std::uint32_t> sizes[] = {
        {1, 1}, {2, 2}, {7, 3}, {31, 5}, {32, 2}, {100, 30}, {641, 97}, {1280, 720}, {1920, 1080}};
    for (const auto& [width, height] : sizes) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        const std::size_t pitch = width + 9;
        for (const std::uint64_t number : {0ull, 1ull, 12345ull, 4294967295ull}) {
            const Bytes frame = PatternFrame(width, height, number, pitch, 0x5A);
            std::uint64_t read = 99;
            ASSERT_TRUE(Server::ReadPatternNumber(frame.data(), 1, pitch, width, height, read));
            EXPECT_EQ(read, number & (width >= 32 ? 0xFFFFFFFFull : (1ull << width) - 1));
            for (std::uint32_t row = 0; row < height + height / 2; ++row)
                ASSERT_TRUE(AllBytesAre(
                    Bytes(frame.begin() + row * pitch + width, frame.begin() + (row + 1) * pitch), 0x5A))
                    << "row " << row;
        }
    }
    // From a YUY2 frame too, and not from one whose strip is no code.
    Bytes yuy2 = Yuy2(PatternFrame(1280, 720, 777), 1280, 720);
    std::uint64_t read = 0;
    EXPECT_TRUE(Server::ReadPatternNumber(yuy2.data(), 2, 2 * 1280, 1280, 720, read) && read == 777);
    yuy2[2 * 1280 * 708 + 2 * 1260] = 100; // the middle of the last bit's cell
    EXPECT_FALSE(Server::ReadPatternNumber(yuy2.data(), 2, 2 * 1280, 1280, 720, read));
}

TEST(Pattern, CheckerTakesLeadingPlaceholdersAndExactPatternFramesOnly) {
    constexpr std::uint32_t kWidth = 320, kHeight = 180;
    Bytes placeholder(nv12_frame_bytes(kWidth, kHeight));
    DrawPlaceholderNv12(kWidth, kHeight, PlaceholderReason::WaitingForApp, placeholder.data());
    const Bytes leading = Yuy2(placeholder, kWidth, kHeight),
                first = Yuy2(PatternFrame(kWidth, kHeight, 1000), kWidth, kHeight),
                second = Yuy2(PatternFrame(kWidth, kHeight, 1001), kWidth, kHeight);
    Bytes wrong = second;
    wrong[2 * kWidth * 50 + 2 * 7] ^= 1;
    const std::pair<std::vector<const Bytes*>, bool> cases[] = {
        {{&leading, &leading, &first, &second, &second}, true},
        {{&first, &first}, false},                 // one frame number only
        {{&leading, &first, &wrong}, false},       // one byte off
        {{&first, &leading, &second}, false},      // a placeholder between frames
        {{&first, &second, &placeholder}, false}}; // the wrong size
    for (std::size_t c = 0; c < std::size(cases); ++c) {
        PixelsTest::FrameChecker checker(PixelKernels::Nv12ToYuy2, kWidth, kHeight);
        for (const Bytes* frame : cases[c].first)
            checker.Check(frame->data(), frame->size());
        EXPECT_EQ(checker.Passed(2), cases[c].second) << "case " << c << ": " << checker.Summary();
    }
}
