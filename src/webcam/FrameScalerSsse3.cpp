// The scaler's SSSE3 row kernels, for processors with SSSE3 but not AVX2: the exact ratios' passes, whose
// byte shuffles and byte multiplies SSE2 lacks, as the AVX2 file computes them in 128-bit vectors. This file
// alone is compiled for SSSE3; nothing here runs unless the dispatcher found it supported, and the tier's
// other rows are SSE2's.
#include "webcam/FrameScalerRows.h"

#include <tmmintrin.h>

namespace Zarvo::ScalerKernels {
namespace {

__m128i Load(const void* at) noexcept {
    return _mm_loadu_si128(static_cast<const __m128i*>(at));
}
void Store(void* at, __m128i value) noexcept {
    _mm_storeu_si128(static_cast<__m128i*>(at), value);
}

// (sum of weight * sample + 64) >> 7 from rows a, b as (a, b) byte pairs, in 16-bit arithmetic, as in the
// AVX2 file: 10923 a + 5461 b = 128 (85 a + 42 b) + 43 a + 85 b, all these weights fit pmaddubsw's signed
// bytes with sums below 2^15, and (m + 64) >> 7 is pmulhrsw by 256. 8192 (a + b) + 64 over 128 is 64 (a + b).
template <ExactRows Kind> __m128i PairColumns(__m128i ab) noexcept {
    const auto weigh = [ab](int first, int second) {
        return _mm_maddubs_epi16(ab, _mm_set1_epi16(static_cast<short>(first | second << 8)));
    };
    const __m128i round = _mm_set1_epi16(256);
    if constexpr (Kind == ExactRows::Halves)
        return weigh(64, 64);
    else if constexpr (Kind == ExactRows::HeavyFirst)
        return _mm_add_epi16(weigh(85, 42), _mm_mulhrs_epi16(weigh(43, 85), round));
    else
        return _mm_add_epi16(weigh(42, 85), _mm_mulhrs_epi16(weigh(85, 43), round));
}

// Thirds from samples a, b, c widened to 16 bits: 5462 a + 5461 (b + c) = 5461 s + a with s = a + b + c, and
// 5461 = 42 * 128 + 85 makes the column 42 s + ((85 s + a + 64) >> 7); 85 * 765 + 255 + 64 < 2^16.
__m128i ThirdsColumns(__m128i a, __m128i b, __m128i c) noexcept {
    const __m128i s = _mm_add_epi16(_mm_add_epi16(a, b), c);
    const __m128i low =
        _mm_add_epi16(_mm_mullo_epi16(s, _mm_set1_epi16(85)), _mm_add_epi16(a, _mm_set1_epi16(64)));
    return _mm_add_epi16(_mm_mullo_epi16(s, _mm_set1_epi16(42)), _mm_srli_epi16(low, 7));
}

template <ExactRows Kind>
void ExactColumnsRow(const std::uint8_t* top, std::size_t pitch, std::uint16_t* out,
                     std::size_t width) noexcept {
    const std::uint8_t* second = top + pitch;
    const __m128i zero = _mm_setzero_si128();
    // One pass reads 16 bytes of each row and writes 16 columns.
    for (std::size_t x = 0; x < width; x += 16) {
        const __m128i a = Load(top + x), b = Load(second + x);
        if constexpr (Kind == ExactRows::Thirds) {
            PrefetchNextWindow(top, pitch, 3, x);
            const __m128i c = Load(top + 2 * pitch + x);
            Store(out + x, ThirdsColumns(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero),
                                         _mm_unpacklo_epi8(c, zero)));
            Store(out + x + 8, ThirdsColumns(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero),
                                             _mm_unpackhi_epi8(c, zero)));
        } else {
            PrefetchNextWindow(top, pitch, 2, x);
            Store(out + x, PairColumns<Kind>(_mm_unpacklo_epi8(a, b)));
            Store(out + x + 8, PairColumns<Kind>(_mm_unpackhi_epi8(a, b)));
        }
    }
}

template <ExactRows Kind>
void ExactColumnsUvRow(const std::uint8_t* top, std::size_t pitch, std::uint16_t* u, std::uint16_t* v,
                       std::size_t width) noexcept {
    const std::uint8_t* second = top + pitch;
    // One pass reads 16 bytes (8 pairs) of each row and writes 8 U and 8 V columns.
    for (std::size_t x = 0; x < width; x += 8) {
        PrefetchNextWindow(top, pitch, Kind == ExactRows::Thirds ? 3 : 2, 2 * x);
        if constexpr (Kind == ExactRows::Thirds) {
            const __m128i low = _mm_set1_epi16(0x00ff);
            const __m128i a = Load(top + 2 * x), b = Load(second + 2 * x), c = Load(top + 2 * pitch + 2 * x);
            Store(u + x, ThirdsColumns(_mm_and_si128(a, low), _mm_and_si128(b, low), _mm_and_si128(c, low)));
            Store(v + x, ThirdsColumns(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8), _mm_srli_epi16(c, 8)));
        } else {
            // The U bytes, then the V bytes: interleaving the two rows gives U pairs in the low half and V
            // pairs in the high one, in order.
            const __m128i split = _mm_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
            const __m128i a = _mm_shuffle_epi8(Load(top + 2 * x), split);
            const __m128i b = _mm_shuffle_epi8(Load(second + 2 * x), split);
            Store(u + x, PairColumns<Kind>(_mm_unpacklo_epi8(a, b)));
            Store(v + x, PairColumns<Kind>(_mm_unpackhi_epi8(a, b)));
        }
    }
}

} // namespace

void ScaleColumnsRow_SSSE3(const std::uint8_t* top, std::size_t pitch, const std::int16_t* weights,
                           std::size_t rows, std::uint16_t* out, std::size_t width) noexcept {
    if (WithExactRows(weights, rows,
                      [&](auto kind) { ExactColumnsRow<decltype(kind)::value>(top, pitch, out, width); }))
        return;
    ScaleColumnsRow_SSE2(top, pitch, weights, rows, out, width);
}

void ScaleColumnsRow_Any_SSSE3(const std::uint8_t* top, std::size_t pitch, const std::int16_t* weights,
                               std::size_t rows, std::uint16_t* out, std::size_t width) noexcept {
    const std::size_t vector = width & ~std::size_t{15};
    ScaleColumnsRow_SSSE3(top, pitch, weights, rows, out, vector);
    ScaleColumnsRow_C(top + vector, pitch, weights, rows, out + vector, width - vector);
}

void ScaleColumnsUvRow_SSSE3(const std::uint8_t* top, std::size_t pitch, const std::int16_t* weights,
                             std::size_t rows, std::uint16_t* u, std::uint16_t* v,
                             std::size_t width) noexcept {
    if (WithExactRows(weights, rows,
                      [&](auto kind) { ExactColumnsUvRow<decltype(kind)::value>(top, pitch, u, v, width); }))
        return;
    ScaleColumnsUvRow_SSE2(top, pitch, weights, rows, u, v, width);
}

void ScaleColumnsUvRow_Any_SSSE3(const std::uint8_t* top, std::size_t pitch, const std::int16_t* weights,
                                 std::size_t rows, std::uint16_t* u, std::uint16_t* v,
                                 std::size_t width) noexcept {
    const std::size_t vector = width & ~std::size_t{7};
    ScaleColumnsUvRow_SSSE3(top, pitch, weights, rows, u, v, vector);
    ScaleColumnsUvRow_C(top + 2 * vector, pitch, weights, rows, u + vector, v + vector, width - vector);
}

namespace {

// Four sums of 4 outputs each into 16 bytes in order: (sum + 2^20) >> 21. The kernels below pass four
// expressions rather than loop over an array, which the compiler may keep in memory.
__m128i PackOutputs(__m128i a, __m128i b, __m128i c, __m128i d) noexcept {
    const __m128i round = _mm_set1_epi32(1 << 20);
    const auto shift = [round](__m128i sum) { return _mm_srai_epi32(_mm_add_epi32(sum, round), 21); };
    return _mm_packus_epi16(_mm_packs_epi32(shift(a), shift(b)), _mm_packs_epi32(shift(c), shift(d)));
}

// 16 outputs of 2 taps at a time, 4 per vector: one load of 8 columns from the first output's holds the 4
// outputs' columns. 3:2 reads 6 of them, shuffled to 0 1 | 1 2 | 3 4 | 4 5 at (10923, 5461) and (5461, 10923)
// in turn; 2:1 takes all 8 as they lie, in pairs at (8192, 8192).
template <std::size_t Columns, bool Shuffle>
void FilterExactPairs(const std::uint16_t* columns, const RowTaps& taps, std::size_t begin, std::size_t end,
                      __m128i weights, auto put) noexcept {
    const __m128i shuffle = _mm_setr_epi8(0, 1, 2, 3, 2, 3, 4, 5, 6, 7, 8, 9, 8, 9, 10, 11);
    // One pass reads 4 vectors of columns (24 for 3:2, 32 for 2:1) and makes 16 bytes.
    for (std::size_t i = begin; i < end; i += 16) {
        const std::uint16_t* from = columns + taps.first[i];
        const auto sum = [&](std::size_t q) {
            __m128i pairs = Load(from + q * Columns);
            if constexpr (Shuffle)
                pairs = _mm_shuffle_epi8(pairs, shuffle);
            return _mm_madd_epi16(pairs, weights);
        };
        put(i, PackOutputs(sum(0), sum(1), sum(2), sum(3)));
    }
}

// 3:1, 16 outputs at a time, 2 per vector: one load of 8 columns from the first output's holds the 2 outputs'
// 6 columns, shuffled to 0 1 2 - | 3 4 5 - ("-" zero) at (5462, 5461, 5461, 0). The horizontal add of vectors
// k and k + 1 gives their 4 outputs in order.
void FilterExactThirds(const std::uint16_t* columns, const RowTaps& taps, std::size_t begin, std::size_t end,
                       auto put) noexcept {
    const __m128i weights = _mm_set1_epi64x(0x0000'1555'1555'1556LL);
    const __m128i shuffle = _mm_setr_epi8(0, 1, 2, 3, 4, 5, -1, -1, 6, 7, 8, 9, 10, 11, -1, -1);
    // One pass reads 8 vectors of columns (48) and makes 16 bytes.
    for (std::size_t i = begin; i < end; i += 16) {
        const std::uint16_t* from = columns + taps.first[i];
        const auto sum = [&](std::size_t q) {
            const auto vector = [&](std::size_t k) {
                return _mm_madd_epi16(_mm_shuffle_epi8(Load(from + 6 * k), shuffle), weights);
            };
            return _mm_hadd_epi32(vector(2 * q), vector(2 * q + 1));
        };
        put(i, PackOutputs(sum(0), sum(1), sum(2), sum(3)));
    }
}

// The vector part, `begin` to `end` (a multiple of 16 outputs apart, `begin` even), of a row of an exact
// ratio, handed to `put` 16 bytes at a time. False for taps of no exact ratio.
bool FilterExactVectors(const std::uint16_t* columns, const RowTaps& taps, std::size_t begin, std::size_t end,
                        auto put) noexcept {
    switch (taps.exact) {
    case ExactRatio::ThreeToTwo:
        FilterExactPairs<6, true>(columns, taps, begin, end, _mm_set1_epi64x(0x2aab'1555'1555'2aabLL), put);
        return true;
    case ExactRatio::TwoToOne:
        FilterExactPairs<8, false>(columns, taps, begin, end, _mm_set1_epi16(8192), put);
        return true;
    case ExactRatio::ThreeToOne:
        FilterExactThirds(columns, taps, begin, end, put);
        return true;
    case ExactRatio::None:
        break;
    }
    return false;
}

// YUY2 straight from the filter where the taps are an exact ratio: each 16 luma bytes interleaved with the
// chroma row's. The rest of the row, and other taps, go through `luma`.
template <bool Stream>
void FilterYuy2(const std::uint16_t* columns, const RowTaps& taps, const std::uint8_t* uv, std::uint8_t* luma,
                std::uint8_t* dst, std::size_t width) noexcept {
    // Non-temporal stores need 16-byte aligned addresses: other rows take ordinary ones.
    const bool stream = reinterpret_cast<std::uintptr_t>(dst) % 16 == 0 && Stream;
    const std::size_t vector = width & ~std::size_t{15};
    const auto put = [uv, dst, stream](std::size_t i, __m128i y) {
        const __m128i chroma = Load(uv + i);
        const __m128i low = _mm_unpacklo_epi8(y, chroma), high = _mm_unpackhi_epi8(y, chroma);
        auto* at = reinterpret_cast<__m128i*>(dst + 2 * i);
        if (stream) {
            _mm_stream_si128(at, low);
            _mm_stream_si128(at + 1, high);
        } else {
            _mm_storeu_si128(at, low);
            _mm_storeu_si128(at + 1, high);
        }
    };
    const std::size_t done = FilterExactVectors(columns, taps, 0, vector, put) ? vector : 0;
    FilterRow_Any_SSSE3(columns, taps, luma, done, width);
    const PixelKernels::Yuy2Row yuy2 =
        Stream ? PixelKernels::Nv12ToYuy2Row_Stream_SSE2 : PixelKernels::Nv12ToYuy2Row_Any_SSE2;
    yuy2(luma + done, uv + done, dst + 2 * done, width - done);
}

} // namespace

void FilterRow_Any_SSSE3(const std::uint16_t* columns, const RowTaps& taps, std::uint8_t* out,
                         std::size_t begin, std::size_t end) noexcept {
    // The patterns start at an even output; other taps, and the rest of the row, take the SSE2 kernels.
    if (begin % 2 == 0) {
        const std::size_t vector = begin + ((end - begin) & ~std::size_t{15});
        const auto put = [out](std::size_t i, __m128i bytes) { Store(out + i, bytes); };
        if (FilterExactVectors(columns, taps, begin, vector, put))
            begin = vector;
    }
    FilterRow_Any_SSE2(columns, taps, out, begin, end);
}

void FilterYuy2Row_SSSE3(const std::uint16_t* columns, const RowTaps& taps, const std::uint8_t* uv,
                         std::uint8_t* luma, std::uint8_t* dst, std::size_t width) noexcept {
    FilterYuy2<false>(columns, taps, uv, luma, dst, width);
}

void FilterYuy2Row_Stream_SSSE3(const std::uint16_t* columns, const RowTaps& taps, const std::uint8_t* uv,
                                std::uint8_t* luma, std::uint8_t* dst, std::size_t width) noexcept {
    FilterYuy2<true>(columns, taps, uv, luma, dst, width);
}

} // namespace Zarvo::ScalerKernels
