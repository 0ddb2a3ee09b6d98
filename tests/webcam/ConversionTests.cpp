// The conversion kernels of every instruction set this processor has, against an oracle written straight
// from the layouts in PixelConversion.h. Sources end at a no-access page, so reading past the last described
// byte faults; destinations sit between fill-pattern guards, so any stray or missing write shows.
#include "webcam/PixelConversion.h"
#include "webcam/PixelConversionRows.h"

#include "GuardedBytes.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <xmmintrin.h>

namespace {

using namespace Zarvo;
using PixelKernels::Isa;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kFill = 0xA5, F = kFill;
constexpr std::size_t kGuard = 64;

enum Format { Yuy2, Nv12, Iyuv };
PixelKernels::Kernel (*const kKernelOf[])(Isa) noexcept = {PixelKernels::Nv12ToYuy2, PixelKernels::Nv12ToNv12,
                                                           PixelKernels::Nv12ToIyuv};
const PixelKernels::Kernel kDispatched[] = {convert_format_nv12_yuy2, convert_format_nv12_nv12,
                                            convert_format_nv12_iyuv};

struct Image {
    std::uint64_t pitch, width, height;
    const std::uint8_t* data;
    std::uint8_t Y(std::uint64_t x, std::uint64_t row) const { return data[row * pitch + x]; }
    std::uint8_t Uv(std::uint64_t byte, std::uint64_t row) const {
        return data[pitch * (height + row) + byte];
    }
};

std::uint64_t OutputBytes(Format format, std::uint64_t w, std::uint64_t h) {
    return format == Yuy2 ? yuy2_frame_bytes(w, h) : nv12_frame_bytes(w, h);
}

// The destination as the layout says it must look, fill pattern where nothing may be written.
Bytes Expected(Format format, const Image& in, std::size_t offset) {
    const std::uint64_t w = in.width, h = in.height, cw = w / 2, ch = h / 2;
    Bytes out(kGuard + offset + OutputBytes(format, w, h) + kGuard, kFill);
    std::uint8_t* d = out.data() + kGuard + offset;
    for (std::uint64_t row = 0; row < h; ++row)
        for (std::uint64_t x = 0; x < w; ++x) {
            if (format != Yuy2)
                d[row * w + x] = in.Y(x, row);
            else if (row < h / 2 * 2 && x < w / 2 * 2) // Y0 U Y1 V: U from the even chroma byte, V the odd
                d[row * 2 * w + 2 * x] = in.Y(x, row), d[row * 2 * w + 2 * x + 1] = in.Uv(x, row / 2);
        }
    for (std::uint64_t row = 0; format != Yuy2 && row < ch; ++row)
        for (std::uint64_t i = 0; i < cw; ++i) {
            std::uint8_t* u = d + w * h + (format == Nv12 ? row * 2 * cw + 2 * i : row * cw + i);
            u[0] = in.Uv(2 * i, row);
            u[format == Nv12 ? 1 : cw * ch] = in.Uv(2 * i + 1, row);
        }
    return out;
}

// Runs the kernel into a guarded, fill-patterned destination `offset` bytes past a 64-byte boundary;
// false when its bytes or its returned size differ from the layout's.
::testing::AssertionResult ConvertsAsLaidOut(PixelKernels::Kernel kernel, Format format, const Image& in,
                                             std::size_t offset, const Bytes& expected) {
    Bytes out(expected.size(), kFill);
    const std::uint64_t returned =
        kernel(in.pitch, in.data, in.width, in.height, out.data() + kGuard + offset);
    if (out == expected && returned == OutputBytes(format, in.width, in.height))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "format " << format << " " << in.width << "x" << in.height << " pitch " << in.pitch
           << " offset " << offset << " returned " << returned;
}

void FillRandom(std::mt19937& random, std::uint8_t* data, std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; ++i)
        data[i] = static_cast<std::uint8_t>(random());
}

// The instruction sets to check; says so when one cannot be, so such a run does not pass as if it had.
std::vector<Isa> IsasToCheck(bool withScalar) {
    std::vector<Isa> isas{Isa::Sse2};
    if (withScalar)
        isas.insert(isas.begin(), Isa::Scalar);
    for (const auto& [isa, name] : {std::pair{Isa::Ssse3, "SSSE3"}, std::pair{Isa::Avx2, "AVX2"}}) {
        if (PixelKernels::IsSupported(isa))
            isas.push_back(isa);
        else
            std::printf("[ SKIPPED  ] %s kernels not checked: this processor or its OS lacks %s\n", name, name);
    }
    return isas;
}

TEST(PixelConversion, ScalarReferenceGivesHandWrittenBytes) {
    // 4x2, pitch 6: the padding bytes (9x) must never show up. 3x3, pitch 4: YUY2 leaves the odd last
    // column and the odd last row alone. Height 1: YUY2 writes nothing, the planar formats the luma row.
    const std::uint8_t even[] = {10, 11, 12, 13, 90, 91, 20, 21, 22, 23, 92, 93, 50, 60, 51, 61, 94, 95};
    const std::uint8_t odd[] = {1, 2, 3, 99, 4, 5, 6, 99, 7, 8, 9, 99, 30, 40, 99, 99};
    const struct {
        Format format;
        Image image;
        Bytes bytes; // from the destination's start; fill pattern beyond
    } cases[] = {
        // clang-format off
        {Yuy2, {6, 4, 2, even}, {10, 50, 11, 60, 12, 51, 13, 61, 20, 50, 21, 60, 22, 51, 23, 61}},
        {Nv12, {6, 4, 2, even}, {10, 11, 12, 13, 20, 21, 22, 23, 50, 60, 51, 61}},
        {Iyuv, {6, 4, 2, even}, {10, 11, 12, 13, 20, 21, 22, 23, 50, 51, 60, 61}},
        {Yuy2, {4, 3, 3, odd}, {1, 30, 2, 40, F, F, 4, 30, 5, 40, F, F, F, F, F, F, F, F}},
        {Iyuv, {4, 3, 3, odd}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 30, 40}},
        {Yuy2, {4, 3, 1, odd}, {}},
        {Nv12, {4, 3, 1, odd}, {1, 2, 3}},
        // clang-format on
    };
    for (const auto& c : cases) {
        Bytes expected(2 * kGuard + OutputBytes(c.format, c.image.width, c.image.height), kFill);
        std::copy(c.bytes.begin(), c.bytes.end(), expected.begin() + kGuard);
        EXPECT_TRUE(ConvertsAsLaidOut(kKernelOf[c.format](Isa::Scalar), c.format, c.image, 0, expected));
    }
}

// Small frames of every width, odd and even heights, tight and padded pitches and an unaligned
// destination; HD frames, large enough for non-temporal stores, with a padded pitch: offset 0 starts
// 16-byte aligned, 2 needs a scalar head first, 1 never aligns.
TEST(PixelConversion, EveryIsaAndTheDispatcherMatchTheLayoutOnRandomImagesWithinTheirBounds) {
    struct Geometry {
        std::uint64_t width, height, pitch;
        std::size_t offset;
    };
    std::vector<Geometry> geometries;
    for (std::uint64_t width = 1; width <= 67; ++width)
        for (std::uint64_t height : {1, 2, 3, 4, 7, 8})
            for (std::uint64_t pitch : {width, width + 7})
                for (std::size_t offset : {0, 1})
                    geometries.push_back({width, height, pitch, offset});
    for (std::size_t offset : {0, 2, 1})
        geometries.push_back({1280, 720, 1536, offset});
    // NV12 frames from the streaming size on, which are copied with non-temporal stores.
    geometries.push_back({1920, 1080, 1920, 0});
    geometries.push_back({1920, 1080, 1984, 1});
    const std::vector<Isa> isas = IsasToCheck(true);
    std::mt19937 random(20261207);
    for (const auto& [width, height, pitch, offset] : geometries) {
        // The last chroma row ends right at the no-access page.
        Testing::GuardedBytes source(pitch * (height + height / 2));
        FillRandom(random, source.data, pitch * (height + height / 2));
        const Image image{pitch, width, height, source.data};
        for (Format format : {Yuy2, Nv12, Iyuv}) {
            const auto expected = Expected(format, image, offset);
            ASSERT_TRUE(ConvertsAsLaidOut(kDispatched[format], format, image, offset, expected))
                << "dispatched";
            for (Isa isa : isas)
                ASSERT_TRUE(ConvertsAsLaidOut(kKernelOf[format](isa), format, image, offset, expected))
                    << "isa " << int(isa);
        }
    }
}

// Each length meets every source and destination alignment up to 15, through the streaming copy and through
// CopyFrame; a copy ends at a no-access page and leaves the bytes before it.
TEST(PixelConversion, CopyFrameCopiesEveryByteAtEveryAlignmentWithEitherKindOfStore) {
    std::mt19937 random(20261210);
    const std::uint64_t large = (std::uint64_t{3} << 19) + 77;
    const auto streaming = [](std::uint8_t* d, const std::uint8_t* s, std::uint64_t n) {
        PixelKernels::CopyBytes_Stream_SSE2(d, s, n);
        _mm_sfence();
    };
    for (int round = 0; round < 32; ++round) {
        const std::size_t at = round * 7 % 16, to = round % 16;
        for (std::uint64_t bytes : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{15}, std::uint64_t{16},
                                    std::uint64_t{17}, std::uint64_t{63}, std::uint64_t{64}, std::uint64_t{129},
                                    large}) {
            for (auto copy : {+streaming, +[](std::uint8_t* d, const std::uint8_t* s, std::uint64_t n) {
                                   PixelKernels::CopyFrame(d, s, n);
                               }}) {
                Testing::GuardedBytes source(bytes + at), destination(bytes + to);
                FillRandom(random, source.data, bytes + at);
                std::memset(destination.data, 0xA5, bytes + to);
                copy(destination.data + to, source.data + at, bytes);
                ASSERT_EQ(std::memcmp(destination.data + to, source.data + at, bytes), 0) << bytes << " round " << round;
                ASSERT_EQ(std::count(destination.data, destination.data + to, 0xA5), static_cast<long>(to)) << bytes;
            }
        }
    }
}

// The frames above meet the streaming rows at three alignments only; here every alignment of the
// destination meets heads, full vectors and tails of every length.
TEST(PixelConversion, VectorRowsMatchTheScalarRowAtEveryDestinationAlignment) {
    const bool avx2 = PixelKernels::IsSupported(Isa::Avx2); // said by the tests above when not
    std::vector<std::pair<std::string, PixelKernels::Yuy2Row>> rows{
        {"any_sse2", PixelKernels::Nv12ToYuy2Row_Any_SSE2},
        {"stream_sse2", PixelKernels::Nv12ToYuy2Row_Stream_SSE2}};
    std::vector<std::pair<std::string, PixelKernels::SplitUvRow>> splits{
        {"sse2", PixelKernels::SplitUvRow_Any_SSE2}};
    if (avx2) {
        rows.emplace_back("any_avx2", PixelKernels::Nv12ToYuy2Row_Any_AVX2);
        rows.emplace_back("stream_avx2", PixelKernels::Nv12ToYuy2Row_Stream_AVX2);
        splits.emplace_back("avx2", PixelKernels::SplitUvRow_Any_AVX2);
    }
    std::mt19937 random(7);
    Bytes y(300), uv(300);
    for (std::size_t width = 0; width <= 300; width += 2) {
        FillRandom(random, y.data(), width);
        FillRandom(random, uv.data(), width);
        for (std::size_t offset = 0; offset < 34; ++offset) {
            Bytes expected(kGuard + offset + 2 * width + kGuard, kFill), out;
            std::uint8_t *at = expected.data() + kGuard + offset, *to = nullptr;
            PixelKernels::Nv12ToYuy2Row_C(y.data(), uv.data(), at, width);
            for (const auto& [name, row] : rows) {
                out.assign(expected.size(), kFill), to = out.data() + kGuard + offset;
                row(y.data(), uv.data(), to, width);
                ASSERT_EQ(out, expected) << name << " width " << width << " offset " << offset;
            }
            expected.assign(expected.size(), kFill);
            PixelKernels::SplitUvRow_C(uv.data(), at, at + width / 2, width);
            for (const auto& [name, split] : splits) {
                out.assign(expected.size(), kFill), to = out.data() + kGuard + offset;
                split(uv.data(), to, to + width / 2, width);
                ASSERT_EQ(out, expected) << name << " split, width " << width << " offset " << offset;
            }
        }
    }
}

TEST(PixelConversion, DispatchPicksTheBestSupportedIsaAndOffersNoUnsupportedKernel) {
#if defined(__GNUC__) // the compiler runtime's own processor check, which also asks the OS about AVX state
    __builtin_cpu_init();
    EXPECT_EQ(PixelKernels::IsSupported(Isa::Ssse3), __builtin_cpu_supports("ssse3") != 0);
    EXPECT_EQ(PixelKernels::IsSupported(Isa::Avx2), __builtin_cpu_supports("avx2") != 0);
#endif
    EXPECT_EQ(PixelKernels::Dispatched(), PixelKernels::IsSupported(Isa::Avx2)    ? Isa::Avx2
                                          : PixelKernels::IsSupported(Isa::Ssse3) ? Isa::Ssse3
                                                                                  : Isa::Sse2);
    for (Isa isa : {Isa::Scalar, Isa::Sse2, Isa::Ssse3, Isa::Avx2})
        for (auto kernelOf : kKernelOf)
            EXPECT_EQ(kernelOf(isa) != nullptr, PixelKernels::IsSupported(isa)) << int(isa);
}

} // namespace
