// The scaler's passes with AVX2, byte for byte the plain ones: the same integer sums in 32-bit lanes.
#include "webcam/FrameScalerRows.h"

#include <immintrin.h>

namespace Zarvo::ScalerRows {

void PartAvx2(const std::uint16_t* column, std::uint32_t pairs, std::uint16_t* first, std::uint16_t* second) noexcept {
    const __m256i low = _mm256_set1_epi32(0xFFFF);
    std::uint32_t k = 0;
    for (; k + 16 <= pairs; k += 16) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(column + 2 * k));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(column + 2 * k + 16));
        // Each 32-bit lane holds a pair; the pack interleaves the lanes of a and b, the permute undoes it.
        const __m256i u = _mm256_packus_epi32(_mm256_and_si256(a, low), _mm256_and_si256(b, low));
        const __m256i v = _mm256_packus_epi32(_mm256_srli_epi32(a, 16), _mm256_srli_epi32(b, 16));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(first + k), _mm256_permute4x64_epi64(u, 0xD8));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(second + k), _mm256_permute4x64_epi64(v, 0xD8));
    }
    if (k < pairs)
        PartScalar(column + 2 * k, pairs - k, first + k, second + k);
}

void VerticalAvx2(const std::uint8_t* top, std::uint64_t pitch, const std::uint16_t* weights, std::uint32_t count,
                  std::uint32_t samples, std::uint16_t* column) noexcept {
    std::uint32_t k = 0;
    const __m256i round = _mm256_set1_epi32(64);
    for (; k + 16 <= samples; k += 16) {
        __m256i low = _mm256_setzero_si256(), high = _mm256_setzero_si256();
        // Two rows at a time: their samples interleaved as 16-bit pairs, multiplied by the pair of
        // weights and added in one step (both below 2^15, so the signed multiply is exact).
        for (std::uint32_t j = 0; j < count; j += 2) {
            const bool pair = j + 1 < count;
            const __m256i a = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(top + j * pitch + k)));
            const __m256i b = pair ? _mm256_cvtepu8_epi16(
                                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(top + (j + 1) * pitch + k)))
                                   : _mm256_setzero_si256();
            const __m256i w = _mm256_set1_epi32(static_cast<int>(weights[j] | (pair ? std::uint32_t{weights[j + 1]} << 16 : 0)));
            low = _mm256_add_epi32(low, _mm256_madd_epi16(_mm256_unpacklo_epi16(a, b), w));
            high = _mm256_add_epi32(high, _mm256_madd_epi16(_mm256_unpackhi_epi16(a, b), w));
        }
        low = _mm256_srli_epi32(_mm256_add_epi32(low, round), 7);
        high = _mm256_srli_epi32(_mm256_add_epi32(high, round), 7);
        // The unpacks and the pack both work within 128-bit lanes: the order comes back as it was.
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(column + k), _mm256_packus_epi32(low, high));
    }
    if (k < samples)
        VerticalScalar(top + k, pitch, weights, count, samples - k, column + k);
}

void HorizontalAvx2(const std::uint16_t* column, const HorizontalTable& table, std::uint8_t* out,
                    std::uint32_t outStep) noexcept {
    const std::uint32_t outputs = table.outputs;
    const __m256i round = _mm256_set1_epi32(1 << 20);
    std::uint32_t i = 0;
    for (; i + 8 <= outputs; i += 8) {
        __m256i sum = _mm256_setzero_si256();
        for (std::uint32_t p = 0; p < table.pairs; ++p) {
            const std::size_t at = std::size_t{p} * outputs + i;
            const __m256i offsets = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(table.offsets + at));
            // One 32-bit load per output brings both samples of the pair; both are below 2^15 and so are
            // the weights, so the signed multiply-add is exact.
            const __m256i pairs = _mm256_i32gather_epi32(reinterpret_cast<const int*>(column), offsets, 2);
            const __m256i weights = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(table.weights + at));
            sum = _mm256_add_epi32(sum, _mm256_madd_epi16(pairs, weights));
        }
        alignas(32) std::int32_t result[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(result), _mm256_srli_epi32(_mm256_add_epi32(sum, round), 21));
        for (int n = 0; n < 8; ++n)
            out[std::size_t{i + n} * outStep] = static_cast<std::uint8_t>(result[n]);
    }
    // The last outputs as the plain pass does them.
    for (; i < outputs; ++i) {
        std::uint32_t sum = 0;
        for (std::uint32_t p = 0; p < table.pairs; ++p) {
            const std::size_t at = std::size_t{p} * outputs + i;
            const auto weights = static_cast<std::uint32_t>(table.weights[at]);
            const std::uint16_t* pair = column + table.offsets[at];
            sum += (weights & 0xFFFF) * pair[0] + (weights >> 16) * pair[1];
        }
        out[std::size_t{i} * outStep] = static_cast<std::uint8_t>((sum + (1u << 20)) >> 21);
    }
}

} // namespace Zarvo::ScalerRows
