// The conversion kernels of every instruction set this processor has, against an oracle written straight
// from the layouts in PixelConversion.h. Sources end at a no-access page, so reading past the last described
// byte faults; destinations sit between fill-pattern guards, so any stray or missing write shows.
#include "webcam/PixelConversion.h"
#include "webcam/PixelConversionRows.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace Zarvo;
using PixelKernels::Isa;

constexpr std::uint8_t kFill = 0xA5;
constexpr std::size_t kGuard = 64;

static_assert(yuy2_frame_bytes(3, 3) == 18);
static_assert(nv12_frame_bytes(5, 3) == 15 + 2 * 2 * 1);
static_assert(iyuv_frame_bytes(1, 7) == 7);

std::vector<Isa> SupportedIsas() {
    std::vector<Isa> isas;
    for (Isa isa : {Isa::Scalar, Isa::Sse2, Isa::Avx2})
        if (PixelKernels::IsSupported(isa))
            isas.push_back(isa);
    return isas;
}

std::string IsaName(Isa isa) {
    return isa == Isa::Scalar ? "scalar" : isa == Isa::Sse2 ? "sse2" : "avx2";
}

// `bytes` of read-write memory directly followed by a no-access page.
class GuardedSource {
public:
    explicit GuardedSource(std::size_t bytes) {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        const std::size_t page = info.dwPageSize;
        mSpan = (bytes + page - 1) / page * page;
        mBase = static_cast<std::uint8_t*>(
            VirtualAlloc(nullptr, mSpan + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        if (!mBase || !VirtualProtect(mBase + mSpan, page, PAGE_NOACCESS, &old))
            throw std::runtime_error("guard page");
        mData = mBase + mSpan - bytes;
    }
    ~GuardedSource() { VirtualFree(mBase, 0, MEM_RELEASE); }
    GuardedSource(const GuardedSource&) = delete;
    GuardedSource& operator=(const GuardedSource&) = delete;
    std::uint8_t* data() const { return mData; }

private:
    std::uint8_t* mBase = nullptr;
    std::uint8_t* mData = nullptr;
    std::size_t mSpan = 0;
};

enum class Format { Yuy2, Nv12, Iyuv };

struct Image {
    std::uint64_t pitch, width, height;
    const std::uint8_t* data;
    std::uint8_t Y(std::uint64_t x, std::uint64_t row) const { return data[row * pitch + x]; }
    std::uint8_t Uv(std::uint64_t byte, std::uint64_t chromaRow) const {
        return data[pitch * height + chromaRow * pitch + byte];
    }
};

std::uint64_t OutputBytes(Format format, std::uint64_t w, std::uint64_t h) {
    return format == Format::Yuy2 ? yuy2_frame_bytes(w, h) : nv12_frame_bytes(w, h);
}

// The destination as the contract says it must look, fill pattern where nothing may be written.
std::vector<std::uint8_t> Expected(Format format, const Image& in, std::size_t offset) {
    const std::uint64_t w = in.width, h = in.height;
    std::vector<std::uint8_t> out(kGuard + offset + OutputBytes(format, w, h) + kGuard, kFill);
    std::uint8_t* d = out.data() + kGuard + offset;
    if (format == Format::Yuy2) {
        for (std::uint64_t row = 0; row < h / 2 * 2; ++row)
            for (std::uint64_t x = 0; x < w / 2 * 2; ++x) {
                d[row * 2 * w + 2 * x] = in.Y(x, row);
                // Pixel pairs: U from the even chroma byte, V from the odd one, in Y0 U Y1 V order.
                d[row * 2 * w + 2 * x + 1] = in.Uv(x / 2 * 2 + x % 2, row / 2);
            }
        return out;
    }
    for (std::uint64_t row = 0; row < h; ++row)
        for (std::uint64_t x = 0; x < w; ++x)
            d[row * w + x] = in.Y(x, row);
    d += w * h;
    const std::uint64_t cw = w / 2, ch = h / 2;
    for (std::uint64_t row = 0; row < ch; ++row)
        for (std::uint64_t i = 0; i < cw; ++i) {
            if (format == Format::Nv12) {
                d[row * 2 * cw + 2 * i] = in.Uv(2 * i, row);
                d[row * 2 * cw + 2 * i + 1] = in.Uv(2 * i + 1, row);
            } else {
                d[row * cw + i] = in.Uv(2 * i, row);
                d[cw * ch + row * cw + i] = in.Uv(2 * i + 1, row);
            }
        }
    return out;
}

PixelKernels::Kernel KernelFor(Format format, Isa isa) {
    switch (format) {
    case Format::Yuy2:
        return PixelKernels::Nv12ToYuy2(isa);
    case Format::Nv12:
        return PixelKernels::Nv12ToNv12(isa);
    case Format::Iyuv:
        return PixelKernels::Nv12ToIyuv(isa);
    }
    return nullptr;
}

// Runs the kernel into a guarded, fill-patterned destination `offset` bytes past a 64-byte boundary.
std::vector<std::uint8_t> Convert(PixelKernels::Kernel kernel, Format format, const Image& in,
                                  std::size_t offset, std::uint64_t* returned) {
    std::vector<std::uint8_t> out(kGuard + offset + OutputBytes(format, in.width, in.height) + kGuard, kFill);
    *returned = kernel(in.pitch, in.data, in.width, in.height, out.data() + kGuard + offset);
    return out;
}

void FillRandom(std::mt19937& random, std::uint8_t* data, std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; ++i)
        data[i] = static_cast<std::uint8_t>(random());
}

TEST(PixelConversion, ScalarReferenceGivesHandWrittenBytes) {
    // 4x2, pitch 6: the padding bytes (9x) must never show up.
    const std::uint8_t frame[] = {10, 11, 12, 13, 90, 91, 20, 21, 22, 23, 92, 93, 50, 60, 51, 61, 94, 95};
    const Image small{6, 4, 2, frame};
    std::uint64_t returned = 0;
    auto out = Convert(PixelKernels::Nv12ToYuy2(Isa::Scalar), Format::Yuy2, small, 0, &returned);
    EXPECT_EQ(returned, 16u);
    EXPECT_EQ(std::vector<std::uint8_t>(out.begin() + kGuard, out.begin() + kGuard + 16),
              (std::vector<std::uint8_t>{10, 50, 11, 60, 12, 51, 13, 61, 20, 50, 21, 60, 22, 51, 23, 61}));
    out = Convert(PixelKernels::Nv12ToNv12(Isa::Scalar), Format::Nv12, small, 0, &returned);
    EXPECT_EQ(returned, 12u);
    EXPECT_EQ(std::vector<std::uint8_t>(out.begin() + kGuard, out.begin() + kGuard + 12),
              (std::vector<std::uint8_t>{10, 11, 12, 13, 20, 21, 22, 23, 50, 60, 51, 61}));
    out = Convert(PixelKernels::Nv12ToIyuv(Isa::Scalar), Format::Iyuv, small, 0, &returned);
    EXPECT_EQ(returned, 12u);
    EXPECT_EQ(std::vector<std::uint8_t>(out.begin() + kGuard, out.begin() + kGuard + 12),
              (std::vector<std::uint8_t>{10, 11, 12, 13, 20, 21, 22, 23, 50, 51, 60, 61}));

    // 3x3, pitch 4: YUY2 leaves the odd last column and the odd last row alone.
    const std::uint8_t odd[] = {1, 2, 3, 99, 4, 5, 6, 99, 7, 8, 9, 99, 30, 40, 99, 99};
    const Image oddImage{4, 3, 3, odd};
    const std::uint8_t F = kFill;
    out = Convert(PixelKernels::Nv12ToYuy2(Isa::Scalar), Format::Yuy2, oddImage, 0, &returned);
    EXPECT_EQ(returned, 18u);
    EXPECT_EQ(std::vector<std::uint8_t>(out.begin() + kGuard, out.begin() + kGuard + 19),
              (std::vector<std::uint8_t>{1, 30, 2, 40, F, F, 4, 30, 5, 40, F, F, F, F, F, F, F, F, F}));
    out = Convert(PixelKernels::Nv12ToIyuv(Isa::Scalar), Format::Iyuv, oddImage, 0, &returned);
    EXPECT_EQ(returned, 11u);
    EXPECT_EQ(std::vector<std::uint8_t>(out.begin() + kGuard, out.begin() + kGuard + 12),
              (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 30, 40, F}));

    // Height 1: YUY2 writes nothing, the planar formats the luma row only.
    out = Convert(PixelKernels::Nv12ToYuy2(Isa::Scalar), Format::Yuy2, Image{4, 3, 1, odd}, 0, &returned);
    EXPECT_EQ(returned, 6u);
    EXPECT_EQ(out, std::vector<std::uint8_t>(out.size(), kFill));
    out = Convert(PixelKernels::Nv12ToNv12(Isa::Scalar), Format::Nv12, Image{4, 3, 1, odd}, 0, &returned);
    EXPECT_EQ(returned, 3u);
    EXPECT_EQ(std::vector<std::uint8_t>(out.begin() + kGuard - 1, out.begin() + kGuard + 4),
              (std::vector<std::uint8_t>{F, 1, 2, 3, F}));
}

TEST(PixelConversion, EveryIsaMatchesTheLayoutOnRandomImagesWithinTheirBounds) {
    std::mt19937 random(20261207);
    const auto isas = SupportedIsas();
    int cases = 0;
    for (std::uint64_t width = 1; width <= 67; ++width)
        for (std::uint64_t height : {1, 2, 3, 4, 7, 8})
            for (std::uint64_t pitch : {width, width + 7})
                for (std::size_t offset : {0, 1}) {
                    // The last chroma row ends right at the no-access page.
                    const std::size_t sourceBytes = pitch * (height + height / 2);
                    GuardedSource source(sourceBytes);
                    FillRandom(random, source.data(), sourceBytes);
                    const Image image{pitch, width, height, source.data()};
                    for (Format format : {Format::Yuy2, Format::Nv12, Format::Iyuv}) {
                        const auto expected = Expected(format, image, offset);
                        for (Isa isa : isas) {
                            std::uint64_t returned = 0;
                            const auto out =
                                Convert(KernelFor(format, isa), format, image, offset, &returned);
                            ASSERT_EQ(out, expected)
                                << IsaName(isa) << " format " << int(format) << " " << width << "x" << height
                                << " pitch " << pitch << " offset " << offset;
                            ASSERT_EQ(returned, OutputBytes(format, width, height));
                            ++cases;
                        }
                    }
                }
    EXPECT_EQ(cases, 67 * 6 * 2 * 2 * 3 * static_cast<int>(isas.size()));
}

TEST(PixelConversion, VectorRowsMatchTheScalarRowAtEveryDestinationAlignment) {
    // The frames above are too small for the streaming rows; here every alignment of the destination meets
    // heads, full vectors and tails of every length.
    using Row = PixelKernels::Yuy2Row;
    std::vector<std::pair<std::string, Row>> rows{{"any_sse2", PixelKernels::Nv12ToYuy2Row_Any_SSE2},
                                                  {"stream_sse2", PixelKernels::Nv12ToYuy2Row_Stream_SSE2}};
    std::vector<std::pair<std::string, PixelKernels::SplitUvRow>> splits{
        {"sse2", PixelKernels::SplitUvRow_Any_SSE2}};
    if (PixelKernels::IsSupported(Isa::Avx2)) {
        rows.emplace_back("any_avx2", PixelKernels::Nv12ToYuy2Row_Any_AVX2);
        rows.emplace_back("stream_avx2", PixelKernels::Nv12ToYuy2Row_Stream_AVX2);
        splits.emplace_back("avx2", PixelKernels::SplitUvRow_Any_AVX2);
    }
    std::mt19937 random(7);
    std::vector<std::uint8_t> y(300), uv(300);
    for (std::size_t width = 0; width <= 300; width += 2) {
        FillRandom(random, y.data(), width);
        FillRandom(random, uv.data(), width);
        for (std::size_t offset = 0; offset < 34; ++offset) {
            std::vector<std::uint8_t> expected(kGuard + offset + 2 * width + kGuard, kFill);
            PixelKernels::Nv12ToYuy2Row_C(y.data(), uv.data(), expected.data() + kGuard + offset, width);
            for (const auto& [name, row] : rows) {
                std::vector<std::uint8_t> out(expected.size(), kFill);
                row(y.data(), uv.data(), out.data() + kGuard + offset, width);
                ASSERT_EQ(out, expected) << name << " width " << width << " offset " << offset;
            }
            std::vector<std::uint8_t> expectedPlanes(2 * kGuard + offset + width, kFill);
            PixelKernels::SplitUvRow_C(uv.data(), expectedPlanes.data() + kGuard + offset,
                                       expectedPlanes.data() + kGuard + offset + width / 2, width);
            for (const auto& [name, split] : splits) {
                std::vector<std::uint8_t> out(expectedPlanes.size(), kFill);
                split(uv.data(), out.data() + kGuard + offset, out.data() + kGuard + offset + width / 2,
                      width);
                ASSERT_EQ(out, expectedPlanes) << name << " width " << width << " offset " << offset;
            }
        }
    }
}

TEST(PixelConversion, HdFrameWithPaddedPitchGivesPackedRowsFromEveryIsaAndTheDispatcher) {
    const std::uint64_t width = 1280, height = 720, pitch = 1536;
    const std::size_t sourceBytes = pitch * (height + height / 2);
    GuardedSource source(sourceBytes);
    std::mt19937 random(3);
    FillRandom(random, source.data(), sourceBytes);
    const Image image{pitch, width, height, source.data()};
    struct Entry {
        std::string name;
        Format format;
        PixelKernels::Kernel kernel;
    };
    std::vector<Entry> kernels{{"dispatched yuy2", Format::Yuy2, convert_format_nv12_yuy2},
                               {"dispatched nv12", Format::Nv12, convert_format_nv12_nv12},
                               {"dispatched iyuv", Format::Iyuv, convert_format_nv12_iyuv}};
    for (Isa isa : SupportedIsas())
        for (Format format : {Format::Yuy2, Format::Nv12, Format::Iyuv})
            kernels.push_back({IsaName(isa), format, KernelFor(format, isa)});
    // At this size YUY2 streams: offset 0 starts 16-byte aligned, 2 needs a scalar head first, and 1
    // can never align, so those rows take ordinary stores.
    for (std::size_t offset : {0, 2, 1})
        for (Format format : {Format::Yuy2, Format::Nv12, Format::Iyuv}) {
            const auto expected = Expected(format, image, offset);
            for (const Entry& entry : kernels) {
                if (entry.format != format)
                    continue;
                std::uint64_t returned = 0;
                const auto out = Convert(entry.kernel, format, image, offset, &returned);
                EXPECT_EQ(returned, OutputBytes(format, width, height));
                EXPECT_TRUE(out == expected)
                    << entry.name << " format " << int(format) << " offset " << offset;
            }
        }
}

TEST(PixelConversion, DispatchPicksTheBestSupportedIsaAndOffersNoUnsupportedKernel) {
    EXPECT_TRUE(PixelKernels::IsSupported(Isa::Scalar));
    EXPECT_TRUE(PixelKernels::IsSupported(Isa::Sse2));
#if defined(__GNUC__)
    // The compiler runtime's own processor check, which also asks the OS about the wide registers.
    __builtin_cpu_init();
    EXPECT_EQ(PixelKernels::IsSupported(Isa::Avx2), __builtin_cpu_supports("avx2") != 0);
#endif
    const Isa best = PixelKernels::IsSupported(Isa::Avx2) ? Isa::Avx2 : Isa::Sse2;
    EXPECT_EQ(PixelKernels::Dispatched(), best);
    for (Isa isa : {Isa::Scalar, Isa::Sse2, Isa::Avx2}) {
        const bool supported = PixelKernels::IsSupported(isa);
        EXPECT_EQ(PixelKernels::Nv12ToYuy2(isa) != nullptr, supported) << IsaName(isa);
        EXPECT_EQ(PixelKernels::Nv12ToNv12(isa) != nullptr, supported) << IsaName(isa);
        EXPECT_EQ(PixelKernels::Nv12ToIyuv(isa) != nullptr, supported) << IsaName(isa);
    }
    std::printf("dispatched: %s\n", IsaName(PixelKernels::Dispatched()).c_str());
}

} // namespace
