// Pixel conversion from the companion's pitched NV12 frames into the layouts the camera's pin offers.
// Plain C++ without Windows headers, so the native benchmark builds the same sources.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Zarvo {

// Every conversion reads pitched NV12: `height` luma rows of `pitch` bytes at `source`, then the interleaved
// UV plane `pitch * height` bytes after `source`, `height / 2` rows of `pitch` bytes (U at even offsets, V at
// odd). Only the first `width` bytes of each row are read; nothing outside these rows is read, and nothing
// is written outside the destination layout described per function. Pointers need no alignment.

// Into packed YUY2: `height` rows of exactly 2 * width bytes, each pixel pair Y0 U Y1 V. Source row pair j,
// column pair i: U = uv[j][2i], V = uv[j][2i+1], shared by output rows 2j and 2j+1. Odd width: the last two
// bytes of each output row stay unwritten. Odd height: the last output row stays unwritten. Height below 2:
// nothing is written. Returns width * height * 2 in every case. Frames of 1.5 MiB and more are written with
// non-temporal stores by the vector kernels, fenced before the return.
std::uint64_t convert_format_nv12_yuy2(std::uint64_t pitch, const std::uint8_t* source, std::uint64_t width,
                                       std::uint64_t height, std::uint8_t* destination) noexcept;

// Into packed NV12: `height` luma rows of `width` bytes, then `height / 2` rows of 2 * (width / 2) UV bytes.
// Luma is written for every row, chroma for height / 2 rows (height 1 writes luma only).
// Returns nv12_frame_bytes(width, height).
std::uint64_t convert_format_nv12_nv12(std::uint64_t pitch, const std::uint8_t* source, std::uint64_t width,
                                       std::uint64_t height, std::uint8_t* destination) noexcept;

// Into IYUV (I420): `width * height` luma bytes, then the U plane of (width / 2) x (height / 2) bytes, then
// the V plane of the same size. Luma is written for every row, chroma for height / 2 rows.
// Returns iyuv_frame_bytes(width, height).
std::uint64_t convert_format_nv12_iyuv(std::uint64_t pitch, const std::uint8_t* source, std::uint64_t width,
                                       std::uint64_t height, std::uint8_t* destination) noexcept;

constexpr std::uint64_t yuy2_frame_bytes(std::uint64_t w, std::uint64_t h) noexcept {
    return w * h * 2;
}
constexpr std::uint64_t nv12_frame_bytes(std::uint64_t w, std::uint64_t h) noexcept {
    return w * h + 2 * (w / 2) * (h / 2);
}
constexpr std::uint64_t iyuv_frame_bytes(std::uint64_t w, std::uint64_t h) noexcept {
    return nv12_frame_bytes(w, h);
}

namespace PixelKernels {

// Ssse3 converts with Sse2's kernels (byte shuffles add nothing to these interleaves and copies); only the
// scaler has kernels of its own for it.
enum class Isa { Scalar, Sse2, Ssse3, Avx2 };

// From this output size on, the vector kernels write frames with non-temporal stores.
constexpr std::uint64_t kStreamingBytes = std::uint64_t{3} << 19; // 1.5 MiB

// Copies `bytes` bytes between buffers that do not overlap, as memcpy does. From 1.5 MiB on with
// non-temporal stores, as the vector NV12 to NV12 kernels copy such frames, fenced before the return.
void CopyFrame(std::uint8_t* destination, const std::uint8_t* source, std::uint64_t bytes) noexcept;

// The processor's brand string, for benchmark output and logs.
const char* ProcessorName() noexcept;

// Scalar and Sse2 are always there on x64; Ssse3 needs the processor's support, Avx2 both the processor's
// and the OS saving the wide registers.
bool IsSupported(Isa isa) noexcept;

// The instruction set the convert_format_* functions use: the best supported one, chosen once.
Isa Dispatched() noexcept;

// Each instruction set's kernels directly, for tests and the benchmark; the same contract as the functions
// above. Null for an instruction set this processor lacks, so nothing can run it by mistake.
// NV12 to NV12 is a row copy: CopyFrame's stores for the vector sets, the C runtime's copy for Scalar.
using Kernel = std::uint64_t (*)(std::uint64_t, const std::uint8_t*, std::uint64_t, std::uint64_t,
                                 std::uint8_t*) noexcept;
Kernel Nv12ToYuy2(Isa isa) noexcept;
Kernel Nv12ToNv12(Isa isa) noexcept;
Kernel Nv12ToIyuv(Isa isa) noexcept;

} // namespace PixelKernels
} // namespace Zarvo
