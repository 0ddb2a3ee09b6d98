// The scaler's AVX2 row kernels. This file alone is compiled for AVX2; nothing here runs unless the
// dispatcher found it supported.
#include "webcam/FrameScalerRows.h"

#include <cstring>

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

} // namespace

void ScaleColumnsRow_AVX2(const std::uint8_t* top, std::size_t pitch, const std::int16_t* weights,
                          std::size_t rows, std::uint16_t* out, std::size_t width) noexcept {
    const __m256i round = _mm256_set1_epi32(64);
    // One pass reads 32 bytes of each row and writes 32 columns.
    for (std::size_t x = 0; x < width; x += 32) {
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
    const __m256i low = _mm256_set1_epi16(0x00ff), round = _mm256_set1_epi32(64);
    // One pass reads 32 bytes (16 pairs) of each row and writes 16 U and 16 V columns.
    for (std::size_t x = 0; x < width; x += 16) {
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

} // namespace Zarvo::ScalerKernels
