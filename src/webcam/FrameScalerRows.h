// Row kernels behind FrameScaler, one set per instruction set. Private to the scaler, its tests and the
// benchmark. Every vector kernel gives the scalar one's bytes exactly: both passes are integer sums of
// products that fit 32 bits, so the order of the additions does not matter.
//   *_C      scalar reference, any width
//   *_SSE2   width a multiple of the vector step (16 columns or outputs, 8 chroma pairs)
//   *_SSSE3  steps as SSE2; the exact ratios' kernels, SSE2's for other taps
//   *_AVX2   width a multiple of the vector step (32 columns, 16 chroma pairs, 16 outputs)
//   *_Any_*  any width: the vector kernel on the multiple-of-step part, the scalar one on the rest
#pragma once

#include "webcam/PixelConversion.h"
#include "webcam/PixelConversionRows.h"

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace Zarvo::ScalerKernels {

// Asks for the `rows` rows below a vertical pass's window of `rows` rows from `top`, at byte `at` of each,
// once per cache line: the rows the next pass reads. The app writes every frame anew, so its rows come
// from memory, and a pass that reads a few rows a vector at a time outruns the processor's own
// prefetching: without this the vector passes took twice as long on a new frame as on one in the cache.
// A prefetch never faults, so the last pass may ask for rows past the frame. The instruction is written
// out: the compiler drops a loop that does nothing but __builtin_prefetch.
inline void PrefetchNextWindow(const std::uint8_t* top, std::size_t pitch, std::size_t rows, std::size_t at) noexcept {
    if (at % 64 != 0)
        return;
    const auto below = reinterpret_cast<std::uintptr_t>(top) + rows * pitch + at;
    for (std::size_t r = 0; r < rows; ++r)
        asm volatile("prefetcht0 %0" : : "m"(*reinterpret_cast<const char*>(below + r * pitch)));
}

// Vertical pass: `rows` source rows from `top`, `pitch` bytes apart, weighted by `weights` (14-bit, adding
// up to 1 << 14; the array padded to an even count with a zero). Column k becomes
// (sum of weight * sample + 64) >> 7: 15 bits, so the horizontal pass fits signed 16-bit products.
using ColumnsRow = void (*)(const std::uint8_t* top, std::size_t pitch, const std::int16_t* weights,
                            std::size_t rows, std::uint16_t* out, std::size_t width) noexcept;
// The same over interleaved U,V pairs: `width` pairs, U columns to `u`, V columns to `v`.
using ColumnsUvRow = void (*)(const std::uint8_t* top, std::size_t pitch, const std::int16_t* weights,
                              std::size_t rows, std::uint16_t* u, std::uint16_t* v,
                              std::size_t width) noexcept;

// Row weights of the exact ratios, whose columns 16-bit arithmetic gives exactly (5461 * s + e, with s a small
// sum of samples and e one of them, or 8192 * s): the SSSE3 and AVX2 vertical passes take them with constant
// weights. Out of line: an inline function here is compiled in each instruction set's file, and the linker
// may keep the AVX2 file's copy for all.
enum class ExactRows { None, HeavyFirst, HeavySecond, Thirds, Halves };
ExactRows ExactRowsOf(const std::int16_t* weights, std::size_t rows) noexcept;

// Calls `kernel` with the rows' exact kind as a std::integral_constant; false, calling nothing, for other
// weights. Each instruction set's file passes a lambda of its own, so no copy of this is shared between them.
template <class Kernel>
bool WithExactRows(const std::int16_t* weights, std::size_t rows, Kernel&& kernel) noexcept {
    switch (ExactRowsOf(weights, rows)) {
    case ExactRows::HeavyFirst:
        return kernel(std::integral_constant<ExactRows, ExactRows::HeavyFirst>{}), true;
    case ExactRows::HeavySecond:
        return kernel(std::integral_constant<ExactRows, ExactRows::HeavySecond>{}), true;
    case ExactRows::Thirds:
        return kernel(std::integral_constant<ExactRows, ExactRows::Thirds>{}), true;
    case ExactRows::Halves:
        return kernel(std::integral_constant<ExactRows, ExactRows::Halves>{}), true;
    case ExactRows::None:
        break;
    }
    return false;
}

// Horizontal pass weights of one dimension, padded so every output has `taps` of them (2, 4 or a multiple
// of 8; zero past its own): output i is (sum of weights[i * taps + t] * columns[first[i] + t] + 2^20) >> 21.
// The column rows hold `taps` + 16 readable entries past the last column and 8 before the first.
// Where taps <= 8 and each vector's taps lie within 17 columns, `windows` lets AVX2 pick them with lane
// permutes instead of a load per output: a vector of 8 32-bit lanes holds 16 / taps outputs, pair p of
// output k in lane k * taps / 2 + p, whose weights are those 8 pairs of `weights` as they lie. Per vector,
// 9 entries: the column `base` the vector's taps start from, then per lane the 32-bit lane of the columns
// at `base` (bit 31 clear) or at `base + 1` (bit 31 set) that holds the lane's pair. Null elsewhere.
// `exact` names the repeating taps of an exact ratio, which the SSSE3 and AVX2 kernels filter with constant
// weights.
enum class ExactRatio { None, ThreeToTwo, ThreeToOne, TwoToOne };
struct RowTaps {
    const std::int32_t* first;
    const std::int16_t* weights;
    const std::int32_t* windows;
    std::size_t taps;
    ExactRatio exact = ExactRatio::None;
};
// The ratio whose repeating taps these are, or None: 3:2 outputs k, k + 1 read (10923, 5461) and (5461, 10923)
// from columns 3k / 2 on, 3:1 (5462, 5461, 5461, 0) from 3k, 2:1 (8192, 8192) from 2k.
ExactRatio ExactRatioOf(const std::int32_t* first, const std::int16_t* weights, std::size_t taps,
                        std::size_t outputs) noexcept;
// Outputs [begin, end) of a row; the vector kernels need `end - begin` a multiple of 16 and `begin` too.
using FilterRow = void (*)(const std::uint16_t* columns, const RowTaps& taps, std::uint8_t* out,
                           std::size_t begin, std::size_t end) noexcept;

// A YUY2 row from a luma column row filtered by `taps` and a merged chroma row `uv` (`width` bytes, as the
// luma row): the kernel may filter the luma into `luma` (`width` bytes) first, or write it straight.
using FilterYuy2Row = void (*)(const std::uint16_t* columns, const RowTaps& taps, const std::uint8_t* uv,
                               std::uint8_t* luma, std::uint8_t* dst, std::size_t width) noexcept;

// NV12's chroma row from the two planes' rows: u[0] v[0] u[1] v[1] ...; `width` pairs.
using MergeUvRow = void (*)(const std::uint8_t* u, const std::uint8_t* v, std::uint8_t* uv,
                            std::size_t width) noexcept;

void ScaleColumnsRow_C(const std::uint8_t* top, std::size_t pitch, const std::int16_t* weights,
                       std::size_t rows, std::uint16_t* out, std::size_t width) noexcept;
void ScaleColumnsUvRow_C(const std::uint8_t* top, std::size_t pitch, const std::int16_t* weights,
                         std::size_t rows, std::uint16_t* u, std::uint16_t* v, std::size_t width) noexcept;
void FilterRow_C(const std::uint16_t* columns, const RowTaps& taps, std::uint8_t* out, std::size_t begin,
                 std::size_t end) noexcept;
void MergeUvRow_C(const std::uint8_t* u, const std::uint8_t* v, std::uint8_t* uv, std::size_t width) noexcept;

void ScaleColumnsRow_SSE2(const std::uint8_t* top, std::size_t pitch, const std::int16_t* weights,
                          std::size_t rows, std::uint16_t* out, std::size_t width) noexcept;
void ScaleColumnsRow_Any_SSE2(const std::uint8_t* top, std::size_t pitch, const std::int16_t* weights,
                              std::size_t rows, std::uint16_t* out, std::size_t width) noexcept;
void ScaleColumnsUvRow_SSE2(const std::uint8_t* top, std::size_t pitch, const std::int16_t* weights,
                            std::size_t rows, std::uint16_t* u, std::uint16_t* v, std::size_t width) noexcept;
void ScaleColumnsUvRow_Any_SSE2(const std::uint8_t* top, std::size_t pitch, const std::int16_t* weights,
                                std::size_t rows, std::uint16_t* u, std::uint16_t* v,
                                std::size_t width) noexcept;
void FilterRow_SSE2(const std::uint16_t* columns, const RowTaps& taps, std::uint8_t* out, std::size_t begin,
                    std::size_t end) noexcept;
void FilterRow_Any_SSE2(const std::uint16_t* columns, const RowTaps& taps, std::uint8_t* out,
                        std::size_t begin, std::size_t end) noexcept;
void MergeUvRow_Any_SSE2(const std::uint8_t* u, const std::uint8_t* v, std::uint8_t* uv,
                         std::size_t width) noexcept;

void ScaleColumnsRow_SSSE3(const std::uint8_t* top, std::size_t pitch, const std::int16_t* weights,
                           std::size_t rows, std::uint16_t* out, std::size_t width) noexcept;
void ScaleColumnsRow_Any_SSSE3(const std::uint8_t* top, std::size_t pitch, const std::int16_t* weights,
                               std::size_t rows, std::uint16_t* out, std::size_t width) noexcept;
void ScaleColumnsUvRow_SSSE3(const std::uint8_t* top, std::size_t pitch, const std::int16_t* weights,
                             std::size_t rows, std::uint16_t* u, std::uint16_t* v, std::size_t width) noexcept;
void ScaleColumnsUvRow_Any_SSSE3(const std::uint8_t* top, std::size_t pitch, const std::int16_t* weights,
                                 std::size_t rows, std::uint16_t* u, std::uint16_t* v,
                                 std::size_t width) noexcept;
void FilterRow_Any_SSSE3(const std::uint16_t* columns, const RowTaps& taps, std::uint8_t* out,
                         std::size_t begin, std::size_t end) noexcept;
// Any width; the second with non-temporal stores where the destination row is 16-byte aligned.
void FilterYuy2Row_SSSE3(const std::uint16_t* columns, const RowTaps& taps, const std::uint8_t* uv,
                         std::uint8_t* luma, std::uint8_t* dst, std::size_t width) noexcept;
void FilterYuy2Row_Stream_SSSE3(const std::uint16_t* columns, const RowTaps& taps, const std::uint8_t* uv,
                                std::uint8_t* luma, std::uint8_t* dst, std::size_t width) noexcept;

void ScaleColumnsRow_AVX2(const std::uint8_t* top, std::size_t pitch, const std::int16_t* weights,
                          std::size_t rows, std::uint16_t* out, std::size_t width) noexcept;
void ScaleColumnsRow_Any_AVX2(const std::uint8_t* top, std::size_t pitch, const std::int16_t* weights,
                              std::size_t rows, std::uint16_t* out, std::size_t width) noexcept;
void ScaleColumnsUvRow_AVX2(const std::uint8_t* top, std::size_t pitch, const std::int16_t* weights,
                            std::size_t rows, std::uint16_t* u, std::uint16_t* v, std::size_t width) noexcept;
void ScaleColumnsUvRow_Any_AVX2(const std::uint8_t* top, std::size_t pitch, const std::int16_t* weights,
                                std::size_t rows, std::uint16_t* u, std::uint16_t* v,
                                std::size_t width) noexcept;
void FilterRow_AVX2(const std::uint16_t* columns, const RowTaps& taps, std::uint8_t* out, std::size_t begin,
                    std::size_t end) noexcept;
void FilterRow_Any_AVX2(const std::uint16_t* columns, const RowTaps& taps, std::uint8_t* out,
                        std::size_t begin, std::size_t end) noexcept;
void MergeUvRow_Any_AVX2(const std::uint8_t* u, const std::uint8_t* v, std::uint8_t* uv,
                         std::size_t width) noexcept;
// Any width; the second with non-temporal stores where the destination row is 32-byte aligned.
void FilterYuy2Row_AVX2(const std::uint16_t* columns, const RowTaps& taps, const std::uint8_t* uv,
                        std::uint8_t* luma, std::uint8_t* dst, std::size_t width) noexcept;
void FilterYuy2Row_Stream_AVX2(const std::uint16_t* columns, const RowTaps& taps, const std::uint8_t* uv,
                               std::uint8_t* luma, std::uint8_t* dst, std::size_t width) noexcept;

// One instruction set's rows; YUY2 is packed from a luma row and a merged chroma row by the conversion
// kernels' rows, or filtered and packed at once where `filterYuy2` is set, with non-temporal stores into
// frames of PixelKernels::kStreamingBytes and more.
struct Rows {
    ColumnsRow columns;
    ColumnsUvRow columnsUv;
    FilterRow filter;
    MergeUvRow mergeUv;
    PixelKernels::Yuy2Row yuy2;
    PixelKernels::Yuy2Row yuy2Stream;
    FilterYuy2Row filterYuy2 = nullptr;
    FilterYuy2Row filterYuy2Stream = nullptr;
};
// Null for an instruction set this processor lacks.
const Rows* RowsFor(PixelKernels::Isa isa) noexcept;

} // namespace Zarvo::ScalerKernels
