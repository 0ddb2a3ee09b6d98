// SSE2 row kernels; x64 always has SSE2, so this file needs no extra compiler flags.
#include "webcam/PixelConversionRows.h"

#include <algorithm>
#include <cstring>

#include <emmintrin.h>

namespace Zarvo::PixelKernels {

void Nv12ToYuy2Row_SSE2(const std::uint8_t* y, const std::uint8_t* uv, std::uint8_t* dst,
                        std::size_t width) noexcept {
    // One pass reads 16 luma and 16 chroma bytes (16 pixels) and writes 32 bytes.
    for (std::size_t x = 0; x < width; x += 16) {
        const __m128i luma = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + x));
        const __m128i chroma = _mm_loadu_si128(reinterpret_cast<const __m128i*>(uv + x));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * x), _mm_unpacklo_epi8(luma, chroma));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * x + 16), _mm_unpackhi_epi8(luma, chroma));
    }
}

void Nv12ToYuy2Row_Any_SSE2(const std::uint8_t* y, const std::uint8_t* uv, std::uint8_t* dst,
                            std::size_t width) noexcept {
    const std::size_t vector = width & ~std::size_t{15};
    Nv12ToYuy2Row_SSE2(y, uv, dst, vector);
    Nv12ToYuy2Row_C(y + vector, uv + vector, dst + 2 * vector, width - vector);
}

void Nv12ToYuy2Row_Stream_SSE2(const std::uint8_t* y, const std::uint8_t* uv, std::uint8_t* dst,
                               std::size_t width) noexcept {
    // Non-temporal stores need 16-byte aligned addresses. An output pixel is two bytes, so an odd
    // destination can never get there: that row takes ordinary stores.
    const std::size_t misalignment = reinterpret_cast<std::uintptr_t>(dst) % 16;
    if (misalignment % 2 != 0) {
        Nv12ToYuy2Row_Any_SSE2(y, uv, dst, width);
        return;
    }
    const std::size_t head = std::min(width, (16 - misalignment) % 16 / 2);
    Nv12ToYuy2Row_C(y, uv, dst, head);
    y += head;
    uv += head;
    dst += 2 * head;
    width -= head;
    const std::size_t vector = width & ~std::size_t{15};
    // One pass reads 16 luma and 16 chroma bytes and streams 32 bytes.
    for (std::size_t x = 0; x < vector; x += 16) {
        const __m128i luma = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + x));
        const __m128i chroma = _mm_loadu_si128(reinterpret_cast<const __m128i*>(uv + x));
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + 2 * x), _mm_unpacklo_epi8(luma, chroma));
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + 2 * x + 16), _mm_unpackhi_epi8(luma, chroma));
    }
    Nv12ToYuy2Row_C(y + vector, uv + vector, dst + 2 * vector, width - vector);
}

void SplitUvRow_SSE2(const std::uint8_t* uv, std::uint8_t* u, std::uint8_t* v, std::size_t width) noexcept {
    const __m128i low = _mm_set1_epi16(0x00ff);
    // One pass reads 32 chroma bytes (16 pairs) and writes 16 bytes of U and 16 of V.
    for (std::size_t x = 0; x < width; x += 32) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(uv + x));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(uv + x + 16));
        const __m128i us = _mm_packus_epi16(_mm_and_si128(a, low), _mm_and_si128(b, low));
        const __m128i vs = _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(u + x / 2), us);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(v + x / 2), vs);
    }
}

void SplitUvRow_Any_SSE2(const std::uint8_t* uv, std::uint8_t* u, std::uint8_t* v,
                         std::size_t width) noexcept {
    const std::size_t vector = width & ~std::size_t{31};
    SplitUvRow_SSE2(uv, u, v, vector);
    SplitUvRow_C(uv + vector, u + vector / 2, v + vector / 2, width - vector);
}

void CopyBytes_Stream_SSE2(std::uint8_t* dst, const std::uint8_t* src, std::size_t bytes) noexcept {
    const std::size_t head = std::min<std::size_t>(bytes, (16 - reinterpret_cast<std::uintptr_t>(dst) % 16) % 16);
    std::memcpy(dst, src, head);
    dst += head, src += head, bytes -= head;
    for (; bytes >= 64; bytes -= 64, dst += 64, src += 64) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 32));
        const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 48));
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst), a);
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + 16), b);
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + 32), c);
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + 48), d);
    }
    std::memcpy(dst, src, bytes);
}

} // namespace Zarvo::PixelKernels
