// The scaler's SSE2 row kernels; SSE2 is the baseline of both builds, so this file needs no extra flags.
#include "webcam/FrameScalerRows.h"

#include <cstring>

#include <emmintrin.h>

namespace Zarvo::ScalerKernels {
namespace {

__m128i Load(const void* at) noexcept {
    return _mm_loadu_si128(static_cast<const __m128i*>(at));
}
void Store(void* at, __m128i value) noexcept {
    _mm_storeu_si128(static_cast<__m128i*>(at), value);
}
std::int32_t Load32(const void* at) noexcept {
    std::int32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// The weights of source rows j and j + 1 in each 32-bit lane, and row j + 1 itself (row j again, at weight
// zero, past the last row: nothing outside the taps is read).
struct RowPair {
    const std::uint8_t* second;
    __m128i weights;
};
RowPair PairAt(const std::uint8_t* row, std::size_t pitch, const std::int16_t* weights, std::size_t j,
               std::size_t rows) noexcept {
    return {j + 1 < rows ? row + pitch : row, _mm_set1_epi32(Load32(weights + j))};
}

// Four sums of 4 outputs each into 16 bytes: (sum + 2^20) >> 21, the rounding already in the sums.
__m128i PackOutputs(__m128i a, __m128i b, __m128i c, __m128i d) noexcept {
    const __m128i ab = _mm_packs_epi32(_mm_srai_epi32(a, 21), _mm_srai_epi32(b, 21));
    const __m128i cd = _mm_packs_epi32(_mm_srai_epi32(c, 21), _mm_srai_epi32(d, 21));
    return _mm_packus_epi16(ab, cd);
}

} // namespace

void ScaleColumnsRow_SSE2(const std::uint8_t* top, std::size_t pitch, const std::int16_t* weights,
                          std::size_t rows, std::uint16_t* out, std::size_t width) noexcept {
    const __m128i zero = _mm_setzero_si128(), round = _mm_set1_epi32(64);
    // One pass reads 16 bytes of each row and writes 16 columns. Interleaving two rows' bytes, then
    // widening, gives (row j, row j + 1) pairs of 16 bits in column order for pmaddwd.
    for (std::size_t x = 0; x < width; x += 16) {
        PrefetchNextWindow(top, pitch, rows, x);
        __m128i s0 = round, s1 = round, s2 = round, s3 = round;
        for (std::size_t j = 0; j < rows; j += 2) {
            const std::uint8_t* row = top + j * pitch + x;
            const RowPair pair = PairAt(row, pitch, weights, j, rows);
            const __m128i a = Load(row), b = Load(pair.second);
            const __m128i lo = _mm_unpacklo_epi8(a, b), hi = _mm_unpackhi_epi8(a, b);
            s0 = _mm_add_epi32(s0, _mm_madd_epi16(_mm_unpacklo_epi8(lo, zero), pair.weights));
            s1 = _mm_add_epi32(s1, _mm_madd_epi16(_mm_unpackhi_epi8(lo, zero), pair.weights));
            s2 = _mm_add_epi32(s2, _mm_madd_epi16(_mm_unpacklo_epi8(hi, zero), pair.weights));
            s3 = _mm_add_epi32(s3, _mm_madd_epi16(_mm_unpackhi_epi8(hi, zero), pair.weights));
        }
        Store(out + x, _mm_packs_epi32(_mm_srai_epi32(s0, 7), _mm_srai_epi32(s1, 7)));
        Store(out + x + 8, _mm_packs_epi32(_mm_srai_epi32(s2, 7), _mm_srai_epi32(s3, 7)));
    }
}

void ScaleColumnsRow_Any_SSE2(const std::uint8_t* top, std::size_t pitch, const std::int16_t* weights,
                              std::size_t rows, std::uint16_t* out, std::size_t width) noexcept {
    const std::size_t vector = width & ~std::size_t{15};
    ScaleColumnsRow_SSE2(top, pitch, weights, rows, out, vector);
    ScaleColumnsRow_C(top + vector, pitch, weights, rows, out + vector, width - vector);
}

void ScaleColumnsUvRow_SSE2(const std::uint8_t* top, std::size_t pitch, const std::int16_t* weights,
                            std::size_t rows, std::uint16_t* u, std::uint16_t* v,
                            std::size_t width) noexcept {
    const __m128i low = _mm_set1_epi16(0x00ff), round = _mm_set1_epi32(64);
    // One pass reads 16 bytes (8 pairs) of each row and writes 8 U and 8 V columns.
    for (std::size_t x = 0; x < width; x += 8) {
        PrefetchNextWindow(top, pitch, rows, 2 * x);
        __m128i u0 = round, u1 = round, v0 = round, v1 = round;
        for (std::size_t j = 0; j < rows; j += 2) {
            const std::uint8_t* row = top + j * pitch + 2 * x;
            const RowPair pair = PairAt(row, pitch, weights, j, rows);
            const __m128i a = Load(row), b = Load(pair.second);
            const __m128i au = _mm_and_si128(a, low), bu = _mm_and_si128(b, low);
            const __m128i av = _mm_srli_epi16(a, 8), bv = _mm_srli_epi16(b, 8);
            u0 = _mm_add_epi32(u0, _mm_madd_epi16(_mm_unpacklo_epi16(au, bu), pair.weights));
            u1 = _mm_add_epi32(u1, _mm_madd_epi16(_mm_unpackhi_epi16(au, bu), pair.weights));
            v0 = _mm_add_epi32(v0, _mm_madd_epi16(_mm_unpacklo_epi16(av, bv), pair.weights));
            v1 = _mm_add_epi32(v1, _mm_madd_epi16(_mm_unpackhi_epi16(av, bv), pair.weights));
        }
        Store(u + x, _mm_packs_epi32(_mm_srai_epi32(u0, 7), _mm_srai_epi32(u1, 7)));
        Store(v + x, _mm_packs_epi32(_mm_srai_epi32(v0, 7), _mm_srai_epi32(v1, 7)));
    }
}

void ScaleColumnsUvRow_Any_SSE2(const std::uint8_t* top, std::size_t pitch, const std::int16_t* weights,
                                std::size_t rows, std::uint16_t* u, std::uint16_t* v,
                                std::size_t width) noexcept {
    const std::size_t vector = width & ~std::size_t{7};
    ScaleColumnsUvRow_SSE2(top, pitch, weights, rows, u, v, vector);
    ScaleColumnsUvRow_C(top + 2 * vector, pitch, weights, rows, u + vector, v + vector, width - vector);
}

void FilterRow_SSE2(const std::uint16_t* columns, const RowTaps& taps, std::uint8_t* out, std::size_t begin,
                    std::size_t end) noexcept {
    const __m128i round = _mm_set1_epi32(1 << 20);
    const std::int32_t* first = taps.first;
    const std::size_t n = taps.taps;
    // Each case: one pass reads the taps of 16 outputs and writes 16 bytes.
    if (n == 2) {
        // A 32-bit load per output is its pair of columns; pmaddwd sums them in place.
        for (std::size_t i = begin; i < end; i += 16) {
            __m128i sums[4];
            for (std::size_t q = 0; q < 4; ++q) {
                const std::size_t o = i + 4 * q;
                const __m128i c =
                    _mm_setr_epi32(Load32(columns + first[o]), Load32(columns + first[o + 1]),
                                   Load32(columns + first[o + 2]), Load32(columns + first[o + 3]));
                sums[q] = _mm_add_epi32(round, _mm_madd_epi16(c, Load(taps.weights + 2 * o)));
            }
            Store(out + i, PackOutputs(sums[0], sums[1], sums[2], sums[3]));
        }
    } else if (n == 4) {
        // Two outputs' four columns per vector; pmaddwd leaves two halves of each sum side by side.
        for (std::size_t i = begin; i < end; i += 16) {
            __m128i sums[4];
            for (std::size_t q = 0; q < 4; ++q) {
                const std::size_t o = i + 4 * q;
                const auto four = [&](std::size_t k) {
                    return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(columns + first[o + k]));
                };
                const __m128i ab =
                    _mm_madd_epi16(_mm_unpacklo_epi64(four(0), four(1)), Load(taps.weights + 4 * o));
                const __m128i cd =
                    _mm_madd_epi16(_mm_unpacklo_epi64(four(2), four(3)), Load(taps.weights + 4 * o + 8));
                const __m128 abf = _mm_castsi128_ps(ab), cdf = _mm_castsi128_ps(cd);
                const __m128i even = _mm_castps_si128(_mm_shuffle_ps(abf, cdf, _MM_SHUFFLE(2, 0, 2, 0)));
                const __m128i odd = _mm_castps_si128(_mm_shuffle_ps(abf, cdf, _MM_SHUFFLE(3, 1, 3, 1)));
                sums[q] = _mm_add_epi32(round, _mm_add_epi32(even, odd));
            }
            Store(out + i, PackOutputs(sums[0], sums[1], sums[2], sums[3]));
        }
    } else {
        // Eight columns per load, four partial sums per output, then a transposing add of four outputs.
        for (std::size_t i = begin; i < end; i += 16) {
            __m128i sums[4];
            for (std::size_t q = 0; q < 4; ++q) {
                __m128i part[4];
                for (std::size_t k = 0; k < 4; ++k) {
                    const std::size_t o = i + 4 * q + k;
                    const std::uint16_t* from = columns + first[o];
                    const std::int16_t* weights = taps.weights + o * n;
                    part[k] = _mm_setzero_si128();
                    for (std::size_t t = 0; t < n; t += 8)
                        part[k] = _mm_add_epi32(part[k], _mm_madd_epi16(Load(from + t), Load(weights + t)));
                }
                const __m128i ab =
                    _mm_add_epi32(_mm_unpacklo_epi32(part[0], part[1]), _mm_unpackhi_epi32(part[0], part[1]));
                const __m128i cd =
                    _mm_add_epi32(_mm_unpacklo_epi32(part[2], part[3]), _mm_unpackhi_epi32(part[2], part[3]));
                sums[q] = _mm_add_epi32(
                    round, _mm_add_epi32(_mm_unpacklo_epi64(ab, cd), _mm_unpackhi_epi64(ab, cd)));
            }
            Store(out + i, PackOutputs(sums[0], sums[1], sums[2], sums[3]));
        }
    }
}

void FilterRow_Any_SSE2(const std::uint16_t* columns, const RowTaps& taps, std::uint8_t* out,
                        std::size_t begin, std::size_t end) noexcept {
    const std::size_t vector = begin + ((end - begin) & ~std::size_t{15});
    FilterRow_SSE2(columns, taps, out, begin, vector);
    FilterRow_C(columns, taps, out, vector, end);
}

void MergeUvRow_Any_SSE2(const std::uint8_t* u, const std::uint8_t* v, std::uint8_t* uv,
                         std::size_t width) noexcept {
    const std::size_t vector = width & ~std::size_t{15};
    // One pass reads 16 U and 16 V bytes and writes 32.
    for (std::size_t x = 0; x < vector; x += 16) {
        const __m128i us = Load(u + x), vs = Load(v + x);
        Store(uv + 2 * x, _mm_unpacklo_epi8(us, vs));
        Store(uv + 2 * x + 16, _mm_unpackhi_epi8(us, vs));
    }
    MergeUvRow_C(u + vector, v + vector, uv + 2 * vector, width - vector);
}

} // namespace Zarvo::ScalerKernels
