// The placeholder picture: its layouts against each other and the drawing, that it shows something and
// says why, any size, and samples too small for it left alone. Real samples from the platform's allocator.
#include "webcam/Placeholder.h"

#include "WebcamTestSupport.h"

#include <set>
#include <uuids.h>

namespace {

using namespace Zarvo;
using namespace Zarvo::Testing;

const struct Layout {
    const GUID* subtype;
    PixelKernels::Kernel (*kernel)(PixelKernels::Isa) noexcept;
    std::uint64_t (*bytes)(std::uint64_t, std::uint64_t) noexcept;
    const char* name;
} kLayouts[] = {{&MEDIASUBTYPE_YUY2, PixelKernels::Nv12ToYuy2, yuy2_frame_bytes, "YUY2"},
                {&MEDIASUBTYPE_NV12, PixelKernels::Nv12ToNv12, nv12_frame_bytes, "NV12"},
                {&MEDIASUBTYPE_IYUV, PixelKernels::Nv12ToIyuv, iyuv_frame_bytes, "IYUV"}};

TEST(Placeholder, EachLayoutIsTheDrawnPictureThroughItsKernelAndTheReasonsDifferInTheTextOnly) {
    for (const auto& [width, height] : {std::pair{1280u, 720u}, {1920u, 1080u}}) {
        std::vector<Bytes> drawn;
        for (const PlaceholderReason reason : kPlaceholderReasons) {
            drawn.emplace_back(nv12_frame_bytes(width, height));
            DrawPlaceholderNv12(width, height, reason, drawn.back().data());
        }
        for (const Layout& layout : kLayouts) {
            SCOPED_TRACE(std::string(layout.name) + " " + std::to_string(width));
            PlaceholderPicture placeholder;
            placeholder.SetDestination(width, height, *layout.subtype);
            for (std::size_t r = 0; r < drawn.size(); ++r)
                EXPECT_TRUE(placeholder.Picture(kPlaceholderReasons[r]) ==
                            Converted(layout.kernel(PixelKernels::Isa::Scalar), drawn[r], width, height,
                                      layout.bytes(width, height)))
                    << "reason " << r;
        }
        // Something to see: dark and bright, many levels of luma.
        const auto lumaEnd = drawn[0].begin() + width * height;
        const auto [dark, bright] = std::minmax_element(drawn[0].begin(), lumaEnd);
        EXPECT_TRUE(*dark < 30 && *bright > 200) << int(*dark) << " " << int(*bright);
        EXPECT_GT(std::set<std::uint8_t>(drawn[0].begin(), lumaEnd).size(), 64u);
        // The reasons share the top of the picture and differ below the title, where their line is.
        const std::size_t top = std::size_t{width} * (height / 5),
                          titleEnd = std::size_t{width} * (height * 62 / 100);
        for (std::size_t r = 1; r < drawn.size(); ++r) {
            EXPECT_TRUE(std::equal(drawn[0].begin(), drawn[0].begin() + top, drawn[r].begin()));
            EXPECT_GT(std::inner_product(drawn[0].begin() + titleEnd, lumaEnd, drawn[r].begin() + titleEnd,
                                         std::size_t{0}, std::plus<>(), std::not_equal_to<>()),
                      std::size_t{width} * height / 200)
                << "reason " << r;
        }
    }
}

TEST(Placeholder, AnySizeGetsAWholeFrameOrNothingBelowTwoPixels) {
    const std::pair<std::uint32_t, std::uint32_t> sizes[] = {
        {0, 0}, {1, 1}, {1, 9}, {2, 2}, {3, 3}, {7, 5}, {33, 17}, {641, 97}, {4000, 8}, {8, 3000}};
    for (const auto& [width, height] : sizes)
        for (const Layout& layout : kLayouts) {
            PlaceholderPicture placeholder;
            placeholder.SetDestination(width, height, *layout.subtype);
            for (const PlaceholderReason reason : kPlaceholderReasons)
                EXPECT_EQ(placeholder.Picture(reason).size(),
                          width < 2 || height < 2 ? 0 : layout.bytes(width, height))
                    << layout.name << " " << width << "x" << height;
        }
    // An odd YUY2 frame repeats its neighbours where NV12 has no chroma, rather than leaving zeros.
    PlaceholderPicture odd;
    odd.SetDestination(33, 17, MEDIASUBTYPE_YUY2);
    const Bytes& picture = odd.Picture(PlaceholderReason::Starting);
    EXPECT_TRUE(std::equal(picture.end() - 66, picture.end(), picture.end() - 132));
    EXPECT_EQ(std::pair(picture[64], picture[65]), std::pair(picture[60], picture[61]));
}

TEST(Placeholder, CopyIntoFillsAWholeFrameAndLeavesASampleTooSmallUntouched) {
    PlaceholderPicture placeholder;
    placeholder.SetDestination(320, 180, MEDIASUBTYPE_YUY2);
    const Bytes picture = placeholder.Picture(PlaceholderReason::WaitingForApp);
    for (const long size : {long(picture.size()) - 1, long(picture.size()) + 100}) {
        Samples samples(size);
        const auto sample = samples.Get();
        const bool fits = size >= long(picture.size());
        EXPECT_EQ(placeholder.CopyInto(sample.Get(), PlaceholderReason::WaitingForApp), fits) << size;
        Bytes expected(size, 0xEE);
        if (fits)
            std::copy(picture.begin(), picture.end(), expected.begin());
        EXPECT_TRUE(Samples::BytesOf(sample.Get()) == expected) << size;
        EXPECT_EQ(sample->GetActualDataLength(), fits ? long(picture.size()) : 17) << size;
    }
    EXPECT_FALSE(placeholder.CopyInto(nullptr, PlaceholderReason::Starting));
}

} // namespace
