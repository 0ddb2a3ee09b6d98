// The placeholder picture: its layouts against each other and the drawing, that it shows something and
// says why, any size, and samples too small for it left alone. Real samples from the platform's allocator.
#include "webcam/Placeholder.h"

#include "webcam/BitmapFont.h"
#include "webcam/PixelConversion.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <dshow.h>
#include <uuids.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <numeric>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace {

using namespace Zarvo;
using Microsoft::WRL::ComPtr;
using Bytes = std::vector<std::uint8_t>;

struct Layout {
    const GUID* subtype;
    PixelKernels::Kernel (*kernel)(PixelKernels::Isa) noexcept;
    std::uint64_t (*bytes)(std::uint64_t, std::uint64_t) noexcept;
    const char* name;
};
const Layout kLayouts[] = {{&MEDIASUBTYPE_YUY2, PixelKernels::Nv12ToYuy2, yuy2_frame_bytes, "YUY2"},
                           {&MEDIASUBTYPE_NV12, PixelKernels::Nv12ToNv12, nv12_frame_bytes, "NV12"},
                           {&MEDIASUBTYPE_IYUV, PixelKernels::Nv12ToIyuv, iyuv_frame_bytes, "IYUV"}};

Bytes DrawnNv12(std::uint32_t width, std::uint32_t height, PlaceholderReason reason) {
    Bytes nv12(nv12_frame_bytes(width, height));
    DrawPlaceholderNv12(width, height, reason, nv12.data());
    return nv12;
}

// Real samples with buffers of `size` bytes.
struct Samples {
    explicit Samples(long size) {
        static const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED); // for the whole program
        EXPECT_HRESULT_SUCCEEDED(com);
        EXPECT_HRESULT_SUCCEEDED(
            CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&allocator)));
        ALLOCATOR_PROPERTIES wanted{1, size, 1, 0}, actual{};
        EXPECT_HRESULT_SUCCEEDED(allocator->SetProperties(&wanted, &actual));
        EXPECT_HRESULT_SUCCEEDED(allocator->Commit());
    }
    ~Samples() { allocator->Decommit(); }
    ComPtr<IMediaSample> Get() {
        ComPtr<IMediaSample> sample;
        EXPECT_HRESULT_SUCCEEDED(allocator->GetBuffer(&sample, nullptr, nullptr, 0));
        return sample;
    }
    ComPtr<IMemAllocator> allocator;
};

} // namespace

TEST(Placeholder, EachLayoutIsTheDrawnPictureThroughItsKernelAndTheReasonsDifferInTheTextOnly) {
    for (const auto& [width, height] : {std::pair{1280u, 720u}, {1920u, 1080u}}) {
        std::vector<Bytes> drawn;
        for (const PlaceholderReason reason : kPlaceholderReasons)
            drawn.push_back(DrawnNv12(width, height, reason));
        for (const Layout& layout : kLayouts) {
            SCOPED_TRACE(std::string(layout.name) + " " + std::to_string(width));
            PlaceholderPicture placeholder;
            placeholder.SetDestination(width, height, *layout.subtype);
            for (std::size_t r = 0; r < drawn.size(); ++r) {
                const Bytes& picture = placeholder.Picture(kPlaceholderReasons[r]);
                Bytes expected(layout.bytes(width, height));
                layout.kernel(PixelKernels::Isa::Scalar)(width, drawn[r].data(), width, height,
                                                         expected.data());
                ASSERT_EQ(picture.size(), expected.size());
                EXPECT_TRUE(picture == expected) << "reason " << r;
            }
        }
        // Something to see: dark and bright, many levels of luma.
        const Bytes& nv12 = drawn[0];
        const auto [dark, bright] = std::minmax_element(nv12.begin(), nv12.begin() + width * height);
        EXPECT_LT(*dark, 30);
        EXPECT_GT(*bright, 200);
        EXPECT_GT(std::set<std::uint8_t>(nv12.begin(), nv12.begin() + width * height).size(), 64u);
        // The reasons share the top of the picture and differ below the title, where their line is.
        const std::size_t top = std::size_t{width} * (height / 5),
                          titleEnd = std::size_t{width} * (height * 62 / 100);
        for (std::size_t r = 1; r < drawn.size(); ++r) {
            EXPECT_TRUE(std::equal(drawn[0].begin(), drawn[0].begin() + top, drawn[r].begin()));
            const auto differing = std::inner_product(
                drawn[0].begin() + titleEnd, drawn[0].begin() + width * height, drawn[r].begin() + titleEnd,
                std::size_t{0}, std::plus<>(), std::not_equal_to<>());
            EXPECT_GT(differing, std::size_t{width} * height / 200) << "reason " << r;
        }
    }
}

TEST(Placeholder, AnySizeGetsAWholeFrameOrNothingBelowTwoPixels) {
    for (const auto& [width, height] : {std::pair{0u, 0u},
                                        {1u, 1u},
                                        {1u, 9u},
                                        {2u, 2u},
                                        {3u, 3u},
                                        {7u, 5u},
                                        {33u, 17u},
                                        {641u, 97u},
                                        {4000u, 8u},
                                        {8u, 3000u}}) {
        for (const Layout& layout : kLayouts) {
            PlaceholderPicture placeholder;
            placeholder.SetDestination(width, height, *layout.subtype);
            for (const PlaceholderReason reason : kPlaceholderReasons) {
                const Bytes& picture = placeholder.Picture(reason);
                EXPECT_EQ(picture.size(), width < 2 || height < 2 ? 0 : layout.bytes(width, height))
                    << layout.name << " " << width << "x" << height;
            }
        }
    }
    // An odd YUY2 frame repeats its neighbours where NV12 has no chroma, rather than leaving zeros.
    PlaceholderPicture odd;
    odd.SetDestination(33, 17, MEDIASUBTYPE_YUY2);
    const Bytes& picture = odd.Picture(PlaceholderReason::Starting);
    EXPECT_TRUE(std::equal(picture.end() - 66, picture.end(), picture.end() - 132));
    EXPECT_EQ(picture[64], picture[60]);
    EXPECT_EQ(picture[65], picture[61]);
}

TEST(Placeholder, CopyIntoFillsAWholeFrameAndLeavesASampleTooSmallUntouched) {
    constexpr std::uint32_t kWidth = 320, kHeight = 180;
    PlaceholderPicture placeholder;
    placeholder.SetDestination(kWidth, kHeight, MEDIASUBTYPE_YUY2);
    const Bytes picture = placeholder.Picture(PlaceholderReason::WaitingForApp);
    for (const long size : {static_cast<long>(picture.size()) - 1, static_cast<long>(picture.size()) + 100}) {
        Samples samples(size);
        const ComPtr<IMediaSample> sample = samples.Get();
        BYTE* buffer = nullptr;
        ASSERT_EQ(sample->GetPointer(&buffer), S_OK);
        std::memset(buffer, 0xEE, static_cast<std::size_t>(sample->GetSize()));
        sample->SetActualDataLength(17);
        const bool fits = size >= static_cast<long>(picture.size());
        EXPECT_EQ(placeholder.CopyInto(sample.Get(), PlaceholderReason::WaitingForApp), fits) << size;
        const Bytes after(buffer, buffer + sample->GetSize());
        if (fits) {
            EXPECT_EQ(sample->GetActualDataLength(), static_cast<long>(picture.size()));
            EXPECT_TRUE(std::equal(picture.begin(), picture.end(), after.begin()));
            EXPECT_TRUE(
                std::all_of(after.begin() + picture.size(), after.end(), [](auto b) { return b == 0xEE; }));
        } else {
            EXPECT_EQ(sample->GetActualDataLength(), 17);
            EXPECT_TRUE(std::all_of(after.begin(), after.end(), [](auto b) { return b == 0xEE; }));
        }
    }
    EXPECT_FALSE(placeholder.CopyInto(nullptr, PlaceholderReason::Starting));
}

TEST(Placeholder, FontReadsUtf8AndMarksWhatItLacks) {
    EXPECT_EQ(Font::CharacterCount("Starting\xE2\x80\xA6"), 9);
    EXPECT_EQ(Font::TextWidth(""), 0);
    EXPECT_EQ(Font::TextWidth("ab"), 2 * Font::kAdvance - 1);
    // Malformed bytes count as one replacement character each; a lacking character shows as a box.
    EXPECT_EQ(Font::CharacterCount("a\xE2\x80"), 2);
    EXPECT_EQ(Font::CharacterCount("\xFF\xC3"), 2);
    EXPECT_EQ(&Font::GlyphFor(0xFFFD), &Font::GlyphFor(0x1F600));
    EXPECT_TRUE(Font::TextPixel("\xE2\x98\x83", 0, 0) && Font::TextPixel("\xE2\x98\x83", 0, 6));
    // The ellipsis is three dots on the baseline; 'g' reaches below it.
    for (int column = 0; column < Font::kGlyphWidth; ++column)
        EXPECT_EQ(Font::TextPixel("\xE2\x80\xA6", column, 6), column % 2 == 0) << column;
    EXPECT_TRUE(Font::TextPixel("g", 2, 7));
    EXPECT_FALSE(Font::TextPixel("a", 2, 7));
    EXPECT_FALSE(Font::TextPixel("a", Font::kGlyphWidth, 3)); // the blank column between characters
}
