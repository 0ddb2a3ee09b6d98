// The scaler's AVX2 row kernels. This file alone is compiled for AVX2; nothing here runs unless the
// dispatcher found it supported.
#include "webcam/FrameScalerRows.h"

#include <cstring>
#include <type_traits>

#include <immintrin.h>

namespace Zarvo::ScalerKernels {
namespace {

__m256i Load(const void* at) noexcept {
    return _mm256_loadu_si256(static_cast<const __m256i*>(at));
}
__m128i Load128(const void* at) noexcept {
    return _mm_loadu_si128(static_cast<const __m128i*>(at));
}
void Store(void* at, __m256i value) noexcept {
    _mm256_storeu_si256(static_cast<__m256i*>(at), value);
}
std::int32_t Load32(const void* at) noexcept {
    std::int32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// As in the SSE2 file: rows j and j + 1 (row j again at weight zero past the last).
struct RowPair {
    const std::uint8_t* second;
    __m256i weights;
};
RowPair PairAt(const std::uint8_t* row, std::size_t pitch, const std::int16_t* weights, std::size_t j,
               std::size_t rows) noexcept {
    return {j + 1 < rows ? row + pitch : row, _mm256_set1_epi32(Load32(weights + j))};
}

// 32-bit sums to 15-bit columns. The widening and interleaving unpacks work per 128-bit lane, and so does
// the pack, which puts the columns back in order.
__m256i PackColumns(__m256i lo, __m256i hi) noexcept {
    return _mm256_packs_epi32(_mm256_srai_epi32(lo, 7), _mm256_srai_epi32(hi, 7));
}

// (sum of weight * sample + 64) >> 7 from rows a, b as (a, b) byte pairs, in 16-bit arithmetic.
// 10923 a + 5461 b = 128 (85 a + 42 b) + 43 a + 85 b, and all these weights fit pmaddubsw's signed bytes with
// sums below 2^15; (m + 64) >> 7 is pmulhrsw by 256. 8192 (a + b) + 64 over 128 is 64 (a + b).
template <ExactRows Kind>
__m256i PairColumns(__m256i ab) noexcept {
    const auto weigh = [ab](int first, int second) {
        return _mm256_maddubs_epi16(ab, _mm256_set1_epi16(static_cast<short>(first | second << 8)));
    };
    const __m256i round = _mm256_set1_epi16(256);
    if constexpr (Kind == ExactRows::Halves)
        return weigh(64, 64);
    else if constexpr (Kind == ExactRows::HeavyFirst)
        return _mm256_add_epi16(weigh(85, 42), _mm256_mulhrs_epi16(weigh(43, 85), round));
    else
        return _mm256_add_epi16(weigh(42, 85), _mm256_mulhrs_epi16(weigh(85, 43), round));
}

// Thirds from samples a, b, c widened to 16 bits: 5462 a + 5461 (b + c) = 5461 s + a with s = a + b + c, and
// 5461 = 42 * 128 + 85 makes the column 42 s + ((85 s + a + 64) >> 7); 85 * 765 + 255 + 64 < 2^16.
__m256i ThirdsColumns(__m256i a, __m256i b, __m256i c) noexcept {
    const __m256i s = _mm256_add_epi16(_mm256_add_epi16(a, b), c);
    const __m256i low = _mm256_add_epi16(_mm256_mullo_epi16(s, _mm256_set1_epi16(85)),
                                         _mm256_add_epi16(a, _mm256_set1_epi16(64)));
    return _mm256_add_epi16(_mm256_mullo_epi16(s, _mm256_set1_epi16(42)), _mm256_srli_epi16(low, 7));
}

template <ExactRows Kind>
void ExactColumnsRow(const std::uint8_t* top, std::size_t pitch, std::uint16_t* out, std::size_t width) noexcept {
    const std::uint8_t* second = top + pitch;
    if constexpr (Kind == ExactRows::Thirds) {
        // One pass reads 16 bytes of each row and writes 16 columns.
        for (std::size_t x = 0; x < width; x += 16) {
            PrefetchNextWindow(top, pitch, 3, x);
            Store(out + x, ThirdsColumns(_mm256_cvtepu8_epi16(Load128(top + x)),
                                         _mm256_cvtepu8_epi16(Load128(second + x)),
                                         _mm256_cvtepu8_epi16(Load128(top + 2 * pitch + x))));
        }
    } else {
        // One pass reads 32 bytes of each row and writes 32 columns; the quadword shuffle puts columns 0-15
        // in the low halves of the lanes, so the per-lane interleave leaves them in order.
        for (std::size_t x = 0; x < width; x += 32) {
            PrefetchNextWindow(top, pitch, 2, x);
            const __m256i a = _mm256_permute4x64_epi64(Load(top + x), 0xd8);
            const __m256i b = _mm256_permute4x64_epi64(Load(second + x), 0xd8);
            Store(out + x, PairColumns<Kind>(_mm256_unpacklo_epi8(a, b)));
            Store(out + x + 16, PairColumns<Kind>(_mm256_unpackhi_epi8(a, b)));
        }
    }
}

template <ExactRows Kind>
void ExactColumnsUvRow(const std::uint8_t* top, std::size_t pitch, std::uint16_t* u, std::uint16_t* v,
                       std::size_t width) noexcept {
    const std::uint8_t* second = top + pitch;
    // One pass reads 32 bytes (16 pairs) of each row and writes 16 U and 16 V columns.
    for (std::size_t x = 0; x < width; x += 16) {
        PrefetchNextWindow(top, pitch, Kind == ExactRows::Thirds ? 3 : 2, 2 * x);
        if constexpr (Kind == ExactRows::Thirds) {
            const __m256i low = _mm256_set1_epi16(0x00ff);
            const __m256i a = Load(top + 2 * x), b = Load(second + 2 * x), c = Load(top + 2 * pitch + 2 * x);
            Store(u + x, ThirdsColumns(_mm256_and_si256(a, low), _mm256_and_si256(b, low),
                                       _mm256_and_si256(c, low)));
            Store(v + x, ThirdsColumns(_mm256_srli_epi16(a, 8), _mm256_srli_epi16(b, 8), _mm256_srli_epi16(c, 8)));
        } else {
            // Each lane's U bytes, then its V bytes: interleaving the two rows gives U pairs in the low
            // halves and V pairs in the high ones, in order.
            const __m256i split = _mm256_broadcastsi128_si256(
                _mm_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15));
            const __m256i a = _mm256_shuffle_epi8(Load(top + 2 * x), split);
            const __m256i b = _mm256_shuffle_epi8(Load(second + 2 * x), split);
            const __m256i us = PairColumns<Kind>(_mm256_unpacklo_epi8(a, b));
            const __m256i vs = PairColumns<Kind>(_mm256_unpackhi_epi8(a, b));
            Store(u + x, us);
            Store(v + x, vs);
        }
    }
}

} // namespace

void ScaleColumnsRow_AVX2(const std::uint8_t* top, std::size_t pitch, const std::int16_t* weights,
                          std::size_t rows, std::uint16_t* out, std::size_t width) noexcept {
    if (WithExactRows(weights, rows,
                      [&](auto kind) { ExactColumnsRow<decltype(kind)::value>(top, pitch, out, width); }))
        return;
    const __m256i round = _mm256_set1_epi32(64);
    // One pass reads 32 bytes of each row and writes 32 columns.
    for (std::size_t x = 0; x < width; x += 32) {
        PrefetchNextWindow(top, pitch, rows, x);
        __m256i s0 = round, s1 = round, s2 = round, s3 = round;
        for (std::size_t j = 0; j < rows; j += 2) {
            const std::uint8_t* row = top + j * pitch + x;
            const RowPair pair = PairAt(row, pitch, weights, j, rows);
            const __m256i a0 = _mm256_cvtepu8_epi16(Load128(row)),
                          a1 = _mm256_cvtepu8_epi16(Load128(row + 16));
            const __m256i b0 = _mm256_cvtepu8_epi16(Load128(pair.second));
            const __m256i b1 = _mm256_cvtepu8_epi16(Load128(pair.second + 16));
            s0 = _mm256_add_epi32(s0, _mm256_madd_epi16(_mm256_unpacklo_epi16(a0, b0), pair.weights));
            s1 = _mm256_add_epi32(s1, _mm256_madd_epi16(_mm256_unpackhi_epi16(a0, b0), pair.weights));
            s2 = _mm256_add_epi32(s2, _mm256_madd_epi16(_mm256_unpacklo_epi16(a1, b1), pair.weights));
            s3 = _mm256_add_epi32(s3, _mm256_madd_epi16(_mm256_unpackhi_epi16(a1, b1), pair.weights));
        }
        Store(out + x, PackColumns(s0, s1));
        Store(out + x + 16, PackColumns(s2, s3));
    }
}

void ScaleColumnsRow_Any_AVX2(const std::uint8_t* top, std::size_t pitch, const std::int16_t* weights,
                              std::size_t rows, std::uint16_t* out, std::size_t width) noexcept {
    const std::size_t vector = width & ~std::size_t{31};
    ScaleColumnsRow_AVX2(top, pitch, weights, rows, out, vector);
    ScaleColumnsRow_C(top + vector, pitch, weights, rows, out + vector, width - vector);
}

void ScaleColumnsUvRow_AVX2(const std::uint8_t* top, std::size_t pitch, const std::int16_t* weights,
                            std::size_t rows, std::uint16_t* u, std::uint16_t* v,
                            std::size_t width) noexcept {
    if (WithExactRows(weights, rows,
                      [&](auto kind) { ExactColumnsUvRow<decltype(kind)::value>(top, pitch, u, v, width); }))
        return;
    const __m256i low = _mm256_set1_epi16(0x00ff), round = _mm256_set1_epi32(64);
    // One pass reads 32 bytes (16 pairs) of each row and writes 16 U and 16 V columns.
    for (std::size_t x = 0; x < width; x += 16) {
        PrefetchNextWindow(top, pitch, rows, 2 * x);
        __m256i u0 = round, u1 = round, v0 = round, v1 = round;
        for (std::size_t j = 0; j < rows; j += 2) {
            const std::uint8_t* row = top + j * pitch + 2 * x;
            const RowPair pair = PairAt(row, pitch, weights, j, rows);
            const __m256i a = Load(row), b = Load(pair.second);
            const __m256i au = _mm256_and_si256(a, low), bu = _mm256_and_si256(b, low);
            const __m256i av = _mm256_srli_epi16(a, 8), bv = _mm256_srli_epi16(b, 8);
            u0 = _mm256_add_epi32(u0, _mm256_madd_epi16(_mm256_unpacklo_epi16(au, bu), pair.weights));
            u1 = _mm256_add_epi32(u1, _mm256_madd_epi16(_mm256_unpackhi_epi16(au, bu), pair.weights));
            v0 = _mm256_add_epi32(v0, _mm256_madd_epi16(_mm256_unpacklo_epi16(av, bv), pair.weights));
            v1 = _mm256_add_epi32(v1, _mm256_madd_epi16(_mm256_unpackhi_epi16(av, bv), pair.weights));
        }
        Store(u + x, PackColumns(u0, u1));
        Store(v + x, PackColumns(v0, v1));
    }
}

void ScaleColumnsUvRow_Any_AVX2(const std::uint8_t* top, std::size_t pitch, const std::int16_t* weights,
                                std::size_t rows, std::uint16_t* u, std::uint16_t* v,
                                std::size_t width) noexcept {
    const std::size_t vector = width & ~std::size_t{15};
    ScaleColumnsUvRow_AVX2(top, pitch, weights, rows, u, v, vector);
    ScaleColumnsUvRow_C(top + 2 * vector, pitch, weights, rows, u + vector, v + vector, width - vector);
}

namespace {

// 16 outputs from their windows, `Pairs` pairs of taps each (so 8 / Pairs outputs per vector): the
// columns at the base and one on, the lanes picked from each by the window and blended by its bit 31,
// multiplied by the weights as they lie, then the lanes of each output added up.
template <std::size_t Pairs>
void FilterWindows(const std::uint16_t* columns, const RowTaps& taps, std::uint8_t* out, std::size_t begin,
                   std::size_t end) noexcept {
    constexpr std::size_t kVectors = 2 * Pairs, kOutputs = 8 / Pairs;
    const __m256i round = _mm256_set1_epi32(1 << 20);
    // One pass reads 2 * Pairs windows of 17 columns and writes 16 bytes.
    for (std::size_t i = begin; i < end; i += 16) {
        __m256i m[kVectors];
        for (std::size_t k = 0; k < kVectors; ++k) {
            const std::int32_t* window = taps.windows + (i / kOutputs + k) * 9;
            const std::uint16_t* at = columns + window[0];
            const __m256i lanes = Load(window + 1);
            const __m256i even = _mm256_permutevar8x32_epi32(Load(at), lanes);
            const __m256i odd = _mm256_permutevar8x32_epi32(Load(at + 1), lanes);
            const __m256i picked = _mm256_castps_si256(_mm256_blendv_ps(
                _mm256_castsi256_ps(even), _mm256_castsi256_ps(odd), _mm256_castsi256_ps(lanes)));
            m[k] = _mm256_madd_epi16(picked, Load(taps.weights + (i + k * kOutputs) * 2 * Pairs));
        }
        __m256i sums[2];
        for (std::size_t h = 0; h < 2; ++h) {
            const __m256i* v = m + h * Pairs;
            if constexpr (Pairs == 1) {
                sums[h] = v[0];
            } else if constexpr (Pairs == 2) {
                // Outputs 0 1 4 5 | 2 3 6 7 after the per-lane add of neighbours.
                sums[h] = _mm256_permutevar8x32_epi32(_mm256_hadd_epi32(v[0], v[1]),
                                                      _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7));
            } else {
                // Outputs 0 2 4 6 | 1 3 5 7 after three per-lane adds of neighbours.
                const __m256i all =
                    _mm256_hadd_epi32(_mm256_hadd_epi32(v[0], v[1]), _mm256_hadd_epi32(v[2], v[3]));
                sums[h] = _mm256_permutevar8x32_epi32(all, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
            }
            sums[h] = _mm256_srai_epi32(_mm256_add_epi32(sums[h], round), 21);
        }
        // The pack works per 128-bit lane: outputs 0-3 8-11 | 4-7 12-15, put in order by the shuffle.
        const __m256i words = _mm256_permute4x64_epi64(_mm256_packs_epi32(sums[0], sums[1]), 0xd8);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                         _mm_packus_epi16(_mm256_castsi256_si128(words), _mm256_extracti128_si256(words, 1)));
    }
}

// How the exact kernels hand `put` 32 bytes: in order, or as the 2-tap packs leave them, in groups of 4
// outputs as 0 2 4 6 | 1 3 5 7.
enum class Order { InOrder, Grouped };
template <Order Kind>
using OrderTag = std::integral_constant<Order, Kind>;

// 32 outputs of 2 taps at a time, 8 per vector: one load of 16 columns from `Lead` columns before the first
// output's, whose low lane holds the first 4 outputs' columns and whose high lane the next 4's (3:2 reads 12
// columns for 8 outputs, so it starts 2 before: the column rows hold 8 readable entries before their first).
// The shuffle makes the pairs (none where the columns already are the pairs). One load replaces the load and
// lane insert a vector would take, which share the shuffle units with the packs.
template <std::size_t Columns, std::size_t Lead, bool Shuffle, typename Put>
void FilterExactPairs(const std::uint16_t* columns, const RowTaps& taps, std::size_t begin, std::size_t end,
                      __m256i shuffle, __m256i weights, Put put) noexcept {
    const __m256i round = _mm256_set1_epi32(1 << 20);
    // One pass reads 4 vectors of columns (48 for 3:2, 64 for 2:1) and makes 32 bytes.
    for (std::size_t i = begin; i < end; i += 32) {
        const std::uint16_t* from = columns + taps.first[i] - Lead;
        __m256i sums[4];
#pragma GCC unroll 4
        for (std::size_t q = 0; q < 4; ++q) {
            __m256i pairs = Load(from + q * Columns);
            if constexpr (Shuffle)
                pairs = _mm256_shuffle_epi8(pairs, shuffle);
            sums[q] = _mm256_srai_epi32(_mm256_add_epi32(_mm256_madd_epi16(pairs, weights), round), 21);
        }
        put(i, _mm256_packus_epi16(_mm256_packs_epi32(sums[0], sums[1]), _mm256_packs_epi32(sums[2], sums[3])),
            OrderTag<Order::Grouped>{});
    }
}

// 3:1, 32 outputs at a time, 4 per vector: as above, one load from 2 columns before the first output's gives
// the first 2 outputs' 6 columns in the low lane and the next 2's in the high one, shuffled to 0 1 2 - | 3 4 5 -
// ("-" zero) at (5462, 5461, 5461, 0). The horizontal adds of vectors k and k + 1 leave outputs 0 1 4 5 | 2 3 6
// 7 of their 8, so the packs leave quadwords of outputs 0 1 4 5 8 9 12 13, 16 17 ..., 2 3 6 7 ..., 18 19 ...:
// the quadword permute and the word shuffle put them in order.
template <typename Put>
void FilterExactThirds(const std::uint16_t* columns, const RowTaps& taps, std::size_t begin, std::size_t end,
                       Put put) noexcept {
    const __m256i round = _mm256_set1_epi32(1 << 20), weights = _mm256_set1_epi64x(0x0000'1555'1555'1556LL);
    const __m256i shuffle = _mm256_setr_epi8(4, 5, 6, 7, 8, 9, -1, -1, 10, 11, 12, 13, 14, 15, -1, -1, 0, 1, 2, 3,
                                             4, 5, -1, -1, 6, 7, 8, 9, 10, 11, -1, -1);
    const __m256i words = _mm256_broadcastsi128_si256(
        _mm_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15));
    // One pass reads 8 vectors of columns (96) and makes 32 bytes.
    for (std::size_t i = begin; i < end; i += 32) {
        const std::uint16_t* from = columns + taps.first[i] - 2;
        const auto vector = [&](std::size_t k) {
            return _mm256_madd_epi16(_mm256_shuffle_epi8(Load(from + 12 * k), shuffle), weights);
        };
        __m256i sums[4];
#pragma GCC unroll 4
        for (std::size_t q = 0; q < 4; ++q) {
            const __m256i sum = _mm256_hadd_epi32(vector(2 * q), vector(2 * q + 1));
            sums[q] = _mm256_srai_epi32(_mm256_add_epi32(sum, round), 21);
        }
        const __m256i bytes = _mm256_packus_epi16(_mm256_packs_epi32(sums[0], sums[1]),
                                                  _mm256_packs_epi32(sums[2], sums[3]));
        put(i, _mm256_shuffle_epi8(_mm256_permute4x64_epi64(bytes, 0xd8), words), OrderTag<Order::InOrder>{});
    }
}

// The vector part, `begin` to `end` (a multiple of 32 outputs apart), of a row of an exact ratio, handed to
// `put` 32 bytes at a time: 3:2 takes columns 0 1 | 1 2 | 3 4 | 4 5 at (10923, 5461) and (5461, 10923) in turn,
// from column 2 of the low lane and column 0 of the high one; 2:1 the columns as they lie, in pairs at
// (8192, 8192); 3:1 as FilterExactThirds says. False for taps of no exact ratio.
template <typename Put>
bool FilterExactVectors(const std::uint16_t* columns, const RowTaps& taps, std::size_t begin, std::size_t end,
                        Put put) noexcept {
    switch (taps.exact) {
    case ExactRatio::ThreeToTwo:
        FilterExactPairs<12, 2, true>(columns, taps, begin, end,
                                      _mm256_setr_epi8(4, 5, 6, 7, 6, 7, 8, 9, 10, 11, 12, 13, 12, 13, 14, 15, 0, 1,
                                                       2, 3, 2, 3, 4, 5, 6, 7, 8, 9, 8, 9, 10, 11),
                                      _mm256_set1_epi64x(0x2aab'1555'1555'2aabLL), put);
        return true;
    case ExactRatio::TwoToOne:
        FilterExactPairs<16, 0, false>(columns, taps, begin, end, _mm256_setzero_si256(), _mm256_set1_epi16(8192),
                                       put);
        return true;
    case ExactRatio::ThreeToOne:
        FilterExactThirds(columns, taps, begin, end, put);
        return true;
    case ExactRatio::None:
        break;
    }
    return false;
}

// The vector part of a row of an exact ratio: a multiple of 32 outputs from `begin`; the rest is left.
std::size_t FilterExactRow(const std::uint16_t* columns, const RowTaps& taps, std::uint8_t* out,
                           std::size_t begin, std::size_t end) noexcept {
    const std::size_t vector = begin + ((end - begin) & ~std::size_t{31});
    if (begin % 2) // the patterns start at an even output
        return begin;
    const auto put = [out]<Order Kind>(std::size_t i, __m256i bytes, OrderTag<Kind>) {
        if constexpr (Kind == Order::Grouped)
            bytes = _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
        Store(out + i, bytes);
    };
    return FilterExactVectors(columns, taps, begin, vector, put) ? vector : begin;
}

} // namespace

void FilterRow_AVX2(const std::uint16_t* columns, const RowTaps& taps, std::uint8_t* out, std::size_t begin,
                    std::size_t end) noexcept {
    // Without windows (many taps, or taps spread too far) a load per output is as good as it gets.
    if (!taps.windows)
        FilterRow_SSE2(columns, taps, out, begin, end);
    else if (taps.taps == 2)
        FilterWindows<1>(columns, taps, out, begin, end);
    else if (taps.taps == 4)
        FilterWindows<2>(columns, taps, out, begin, end);
    else
        FilterWindows<4>(columns, taps, out, begin, end);
}

void FilterRow_Any_AVX2(const std::uint16_t* columns, const RowTaps& taps, std::uint8_t* out,
                        std::size_t begin, std::size_t end) noexcept {
    begin = FilterExactRow(columns, taps, out, begin, end);
    const std::size_t vector = begin + ((end - begin) & ~std::size_t{15});
    FilterRow_AVX2(columns, taps, out, begin, vector);
    FilterRow_C(columns, taps, out, vector, end);
}

void MergeUvRow_Any_AVX2(const std::uint8_t* u, const std::uint8_t* v, std::uint8_t* uv,
                         std::size_t width) noexcept {
    const std::size_t vector = width & ~std::size_t{31};
    // One pass reads 32 U and 32 V bytes and writes 64; the quadword shuffle puts the halves side by side
    // for the per-lane unpacks.
    for (std::size_t x = 0; x < vector; x += 32) {
        const __m256i us = _mm256_permute4x64_epi64(Load(u + x), 0xd8);
        const __m256i vs = _mm256_permute4x64_epi64(Load(v + x), 0xd8);
        Store(uv + 2 * x, _mm256_unpacklo_epi8(us, vs));
        Store(uv + 2 * x + 32, _mm256_unpackhi_epi8(us, vs));
    }
    MergeUvRow_C(u + vector, v + vector, uv + 2 * vector, width - vector);
}

namespace {

// YUY2 straight from the filter where the taps are an exact ratio: the luma bytes put as 0-7 16-23 | 8-15
// 24-31, which interleave per lane with the chroma row's bytes in the same order. The rest of the row, and
// other taps, go through `luma`.
template <bool Stream>
void FilterYuy2(const std::uint16_t* columns, const RowTaps& taps, const std::uint8_t* uv, std::uint8_t* luma,
                std::uint8_t* dst, std::size_t width) noexcept {
    // Non-temporal stores need 32-byte aligned addresses: other rows take ordinary ones.
    const bool stream = reinterpret_cast<std::uintptr_t>(dst) % 32 == 0 && Stream;
    const std::size_t vector = width & ~std::size_t{31};
    const auto put = [uv, dst, stream]<Order Kind>(std::size_t i, __m256i bytes, OrderTag<Kind>) {
        const __m256i y = Kind == Order::Grouped
                              ? _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 2, 6, 1, 5, 3, 7))
                              : _mm256_permute4x64_epi64(bytes, 0xd8);
        const __m256i chroma = _mm256_permute4x64_epi64(Load(uv + i), 0xd8);
        const __m256i low = _mm256_unpacklo_epi8(y, chroma), high = _mm256_unpackhi_epi8(y, chroma);
        auto* at = reinterpret_cast<__m256i*>(dst + 2 * i);
        if (stream) {
            _mm256_stream_si256(at, low);
            _mm256_stream_si256(at + 1, high);
        } else {
            _mm256_storeu_si256(at, low);
            _mm256_storeu_si256(at + 1, high);
        }
    };
    const std::size_t done = FilterExactVectors(columns, taps, 0, vector, put) ? vector : 0;
    FilterRow_Any_AVX2(columns, taps, luma, done, width);
    const PixelKernels::Yuy2Row yuy2 = Stream ? PixelKernels::Nv12ToYuy2Row_Stream_AVX2 : PixelKernels::Nv12ToYuy2Row_Any_AVX2;
    yuy2(luma + done, uv + done, dst + 2 * done, width - done);
}

} // namespace

void FilterYuy2Row_AVX2(const std::uint16_t* columns, const RowTaps& taps, const std::uint8_t* uv,
                        std::uint8_t* luma, std::uint8_t* dst, std::size_t width) noexcept {
    FilterYuy2<false>(columns, taps, uv, luma, dst, width);
}

void FilterYuy2Row_Stream_AVX2(const std::uint16_t* columns, const RowTaps& taps, const std::uint8_t* uv,
                               std::uint8_t* luma, std::uint8_t* dst, std::size_t width) noexcept {
    FilterYuy2<true>(columns, taps, uv, luma, dst, width);
}

} // namespace Zarvo::ScalerKernels
