// Row kernels behind PixelConversion.h, one set per instruction set. Private to the kernels and the
// benchmark.
//   *_C        scalar reference, any even width
//   *_SSE2     width a multiple of the vector step: 16 pixels for YUY2, 32 for the chroma split
//   *_AVX2     width a multiple of the vector step: 32 pixels for YUY2, 64 for the chroma split
//   *_Any_*    any even width: the vector kernel on the multiple-of-step part, the scalar one on the rest
//   *_Stream_* as *_Any_*, but the vector part writes with non-temporal stores, past the caches, once the
//              destination is aligned; the caller fences once after the frame
// Widths count pixels; the frame functions drop an odd last column before calling. Nv12ToYuy2Row_C accepts
// any width, so the vector kernels also use it for odd-length heads.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Zarvo::PixelKernels {

// dst gets 2 * width bytes: y[0] uv[0] y[1] uv[1] ..., which is Y0 U Y1 V per pixel pair.
using Yuy2Row = void (*)(const std::uint8_t* y, const std::uint8_t* uv, std::uint8_t* dst,
                         std::size_t width) noexcept;
// uv holds width bytes (width / 2 pairs); u and v each get width / 2 bytes.
using SplitUvRow = void (*)(const std::uint8_t* uv, std::uint8_t* u, std::uint8_t* v,
                            std::size_t width) noexcept;

void Nv12ToYuy2Row_C(const std::uint8_t* y, const std::uint8_t* uv, std::uint8_t* dst,
                     std::size_t width) noexcept;
void SplitUvRow_C(const std::uint8_t* uv, std::uint8_t* u, std::uint8_t* v, std::size_t width) noexcept;

void Nv12ToYuy2Row_SSE2(const std::uint8_t* y, const std::uint8_t* uv, std::uint8_t* dst,
                        std::size_t width) noexcept;
void Nv12ToYuy2Row_Any_SSE2(const std::uint8_t* y, const std::uint8_t* uv, std::uint8_t* dst,
                            std::size_t width) noexcept;
void Nv12ToYuy2Row_Stream_SSE2(const std::uint8_t* y, const std::uint8_t* uv, std::uint8_t* dst,
                               std::size_t width) noexcept;
void SplitUvRow_SSE2(const std::uint8_t* uv, std::uint8_t* u, std::uint8_t* v, std::size_t width) noexcept;
void SplitUvRow_Any_SSE2(const std::uint8_t* uv, std::uint8_t* u, std::uint8_t* v,
                         std::size_t width) noexcept;

// memcpy's bytes (no overlap, any alignment), with non-temporal stores from the destination's first 16-byte
// boundary on; the caller fences once after the frame.
void CopyBytes_Stream_SSE2(std::uint8_t* dst, const std::uint8_t* src, std::size_t bytes) noexcept;

void Nv12ToYuy2Row_AVX2(const std::uint8_t* y, const std::uint8_t* uv, std::uint8_t* dst,
                        std::size_t width) noexcept;
void Nv12ToYuy2Row_Any_AVX2(const std::uint8_t* y, const std::uint8_t* uv, std::uint8_t* dst,
                            std::size_t width) noexcept;
void Nv12ToYuy2Row_Stream_AVX2(const std::uint8_t* y, const std::uint8_t* uv, std::uint8_t* dst,
                               std::size_t width) noexcept;
void SplitUvRow_AVX2(const std::uint8_t* uv, std::uint8_t* u, std::uint8_t* v, std::size_t width) noexcept;
void SplitUvRow_Any_AVX2(const std::uint8_t* uv, std::uint8_t* u, std::uint8_t* v,
                         std::size_t width) noexcept;

} // namespace Zarvo::PixelKernels
