// The scalar reference every vector kernel is checked against, and the tail of their rows.
// Built without auto-vectorisation so it stays the plain baseline the benchmark reports.
#include "webcam/PixelConversionRows.h"

namespace Zarvo::PixelKernels {

void Nv12ToYuy2Row_C(const std::uint8_t* y, const std::uint8_t* uv, std::uint8_t* dst,
                     std::size_t width) noexcept {
    // Pixel by pixel rather than by pairs, so the vector kernels can use it for odd-length heads and tails.
    for (std::size_t x = 0; x < width; ++x) {
        dst[2 * x] = y[x];
        dst[2 * x + 1] = uv[x];
    }
}

void SplitUvRow_C(const std::uint8_t* uv, std::uint8_t* u, std::uint8_t* v, std::size_t width) noexcept {
    for (std::size_t i = 0; i < width / 2; ++i) {
        u[i] = uv[2 * i];
        v[i] = uv[2 * i + 1];
    }
}

} // namespace Zarvo::PixelKernels
