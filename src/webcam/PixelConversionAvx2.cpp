// AVX2 row kernels. This file alone is compiled for AVX2; nothing here runs unless the dispatcher found it
// supported.
#include "webcam/PixelConversionRows.h"

#include <algorithm>

#include <immintrin.h>

namespace Zarvo::PixelKernels {

void Nv12ToYuy2Row_AVX2(const std::uint8_t* y, const std::uint8_t* uv, std::uint8_t* dst,
                        std::size_t width) noexcept {
    // One pass reads 32 luma and 32 chroma bytes (32 pixels) and writes 64 bytes. The byte unpacks stay
    // within 128-bit lanes, so the quadword shuffle first puts bytes 0-7 and 8-15 of each half side by side.
    for (std::size_t x = 0; x < width; x += 32) {
        const __m256i luma =
            _mm256_permute4x64_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(y + x)), 0xd8);
        const __m256i chroma =
            _mm256_permute4x64_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(uv + x)), 0xd8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 2 * x), _mm256_unpacklo_epi8(luma, chroma));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 2 * x + 32), _mm256_unpackhi_epi8(luma, chroma));
    }
}

void Nv12ToYuy2Row_Any_AVX2(const std::uint8_t* y, const std::uint8_t* uv, std::uint8_t* dst,
                            std::size_t width) noexcept {
    const std::size_t vector = width & ~std::size_t{31};
    Nv12ToYuy2Row_AVX2(y, uv, dst, vector);
    Nv12ToYuy2Row_C(y + vector, uv + vector, dst + 2 * vector, width - vector);
}

void Nv12ToYuy2Row_Stream_AVX2(const std::uint8_t* y, const std::uint8_t* uv, std::uint8_t* dst,
                               std::size_t width) noexcept {
    // Non-temporal stores need 32-byte aligned addresses. An output pixel is two bytes, so an odd
    // destination can never get there: that row takes ordinary stores.
    const std::size_t misalignment = reinterpret_cast<std::uintptr_t>(dst) % 32;
    if (misalignment % 2 != 0) {
        Nv12ToYuy2Row_Any_AVX2(y, uv, dst, width);
        return;
    }
    const std::size_t head = std::min(width, (32 - misalignment) % 32 / 2);
    Nv12ToYuy2Row_C(y, uv, dst, head);
    y += head;
    uv += head;
    dst += 2 * head;
    width -= head;
    const std::size_t vector = width & ~std::size_t{31};
    // One pass reads 32 luma and 32 chroma bytes and streams 64 bytes.
    for (std::size_t x = 0; x < vector; x += 32) {
        const __m256i luma =
            _mm256_permute4x64_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(y + x)), 0xd8);
        const __m256i chroma =
            _mm256_permute4x64_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(uv + x)), 0xd8);
        _mm256_stream_si256(reinterpret_cast<__m256i*>(dst + 2 * x), _mm256_unpacklo_epi8(luma, chroma));
        _mm256_stream_si256(reinterpret_cast<__m256i*>(dst + 2 * x + 32), _mm256_unpackhi_epi8(luma, chroma));
    }
    Nv12ToYuy2Row_C(y + vector, uv + vector, dst + 2 * vector, width - vector);
}

void SplitUvRow_AVX2(const std::uint8_t* uv, std::uint8_t* u, std::uint8_t* v, std::size_t width) noexcept {
    const __m256i low = _mm256_set1_epi16(0x00ff);
    // One pass reads 64 chroma bytes (32 pairs) and writes 32 bytes of U and 32 of V. The packs work per
    // 128-bit lane, so the quadword shuffle puts the result back in order.
    for (std::size_t x = 0; x < width; x += 64) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(uv + x));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(uv + x + 32));
        const __m256i us = _mm256_packus_epi16(_mm256_and_si256(a, low), _mm256_and_si256(b, low));
        const __m256i vs = _mm256_packus_epi16(_mm256_srli_epi16(a, 8), _mm256_srli_epi16(b, 8));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(u + x / 2), _mm256_permute4x64_epi64(us, 0xd8));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(v + x / 2), _mm256_permute4x64_epi64(vs, 0xd8));
    }
}

void SplitUvRow_Any_AVX2(const std::uint8_t* uv, std::uint8_t* u, std::uint8_t* v,
                         std::size_t width) noexcept {
    const std::size_t vector = width & ~std::size_t{63};
    SplitUvRow_AVX2(uv, u, v, vector);
    SplitUvRow_C(uv + vector, u + vector / 2, v + vector / 2, width - vector);
}

} // namespace Zarvo::PixelKernels
