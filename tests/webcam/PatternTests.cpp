// The companion server's pattern and the checker of delivered frames built on it: the frame number reads
// back from the code strip at any size, and after the camera's crop and scaling, and the checker tells the
// pattern, the placeholder and anything else apart.
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
    yuy2[2 * 1280 * 708 + 2 * 950] = 100; // the middle of the last bit's cell
    EXPECT_FALSE(Server::ReadPatternNumber(yuy2.data(), 2, 2 * 1280, 1280, 720, read));
    yuy2 = Yuy2(PatternFrame(1280, 720, 777), 1280, 720);
    yuy2[2 * 1280 * 708 + 2 * 1270] = 235; // right of the cells
    EXPECT_FALSE(Server::ReadPatternNumber(yuy2.data(), 2, 2 * 1280, 1280, 720, read));
}

TEST(Pattern, NumberReadsBackAfterTheCameraCropsAndScalesTheFrame) {
    struct Case {
        std::uint32_t appWidth, appHeight, width, height;
    };
    const Case cases[] = {{1920, 1080, 1280, 720}, {1920, 1080, 640, 480}, {1920, 1080, 320, 240},
                          {1920, 1080, 320, 180},  {1920, 1080, 424, 240}, {1920, 1080, 1440, 1080},
                          {1280, 720, 640, 480},   {1280, 720, 214, 120},  {1280, 720, 1280, 720}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.appWidth) + "x" + std::to_string(c.appHeight) + " to " +
                     std::to_string(c.width) + "x" + std::to_string(c.height));
        const FrameScaler scaler(c.appWidth, c.appHeight, c.width, c.height, ScaledLayout::Yuy2);
        ASSERT_TRUE(scaler.Valid());
        for (const std::uint64_t number :
             {0ull, 1ull, 0x80000001ull, 0xAAAAAAAAull, 0x55555555ull, 4294967295ull}) {
            Bytes yuy2(yuy2_frame_bytes(c.width, c.height));
            scaler.Run(c.appWidth, PatternFrame(c.appWidth, c.appHeight, number).data(), yuy2.data());
            std::uint64_t read = 99;
            ASSERT_TRUE(Server::ReadPatternNumber(yuy2.data(), 2, 2 * c.width, c.width, c.height, read,
                                                  c.appWidth, c.appHeight));
            EXPECT_EQ(read, number);
        }
    }
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
        PixelsTest::FrameChecker checker(ScaledLayout::Yuy2, {kWidth, kHeight}, {kWidth, kHeight});
        for (const Bytes* frame : cases[c].first)
            checker.Check(frame->data(), frame->size());
        EXPECT_EQ(checker.Passed(2), cases[c].second) << "case " << c << ": " << checker.Summary();
    }
}

TEST(Pattern, CheckerTakesTheAppsPatternScaledToTheCaptureSizeInEachLayout) {
    constexpr PixelsTest::Size kApp{1280, 720}, kCapture{320, 240};
    const Bytes appPlaceholder = [&] {
        Bytes nv12(nv12_frame_bytes(kApp.width, kApp.height));
        DrawPlaceholderNv12(kApp.width, kApp.height, PlaceholderReason::WaitingForApp, nv12.data());
        return nv12;
    }();
    const auto kernel = [](ScaledLayout layout) {
        return (layout == ScaledLayout::Yuy2   ? PixelKernels::Nv12ToYuy2
                : layout == ScaledLayout::Nv12 ? PixelKernels::Nv12ToNv12
                                               : PixelKernels::Nv12ToIyuv)(PixelKernels::Isa::Scalar);
    };
    for (const ScaledLayout layout : {ScaledLayout::Yuy2, ScaledLayout::Nv12, ScaledLayout::I420}) {
        SCOPED_TRACE(static_cast<int>(layout));
        const std::uint64_t bytes = layout == ScaledLayout::Yuy2
                                        ? yuy2_frame_bytes(kCapture.width, kCapture.height)
                                        : nv12_frame_bytes(kCapture.width, kCapture.height);
        const FrameScaler scaler(kApp.width, kApp.height, kCapture.width, kCapture.height, layout);
        const auto scaled = [&](const Bytes& nv12) {
            Bytes out(bytes);
            scaler.Run(kApp.width, nv12.data(), out.data());
            return out;
        };
        Bytes placeholder(nv12_frame_bytes(kCapture.width, kCapture.height));
        DrawPlaceholderNv12(kCapture.width, kCapture.height, PlaceholderReason::WaitingForApp,
                            placeholder.data());
        const Bytes leading = Converted(kernel(layout), placeholder, kCapture.width, kCapture.height, bytes),
                    first = scaled(PatternFrame(kApp.width, kApp.height, 1000)),
                    second = scaled(PatternFrame(kApp.width, kApp.height, 1001)),
                    // The pattern drawn at the capture size, and the app's placeholder scaled down.
            unscaled = Converted(kernel(layout), PatternFrame(kCapture.width, kCapture.height, 1001),
                                 kCapture.width, kCapture.height, bytes),
                    scaledPlaceholder = scaled(appPlaceholder);
        Bytes wrong = second;
        wrong[bytes - 1] ^= 1; // the last chroma sample
        const std::pair<std::vector<const Bytes*>, bool> cases[] = {
            {{&leading, &first, &second, &second}, true},
            {{&leading, &first, &wrong}, false},
            {{&first, &unscaled}, false},
            {{&scaledPlaceholder, &first, &second}, false}};
        for (std::size_t c = 0; c < std::size(cases); ++c) {
            PixelsTest::FrameChecker checker(layout, kApp, kCapture);
            for (const Bytes* frame : cases[c].first)
                checker.Check(frame->data(), frame->size());
            EXPECT_EQ(checker.Passed(2), cases[c].second) << "case " << c << ": " << checker.Summary();
        }
    }
}
