#include "server/Pattern.h"

namespace Zarvo::Server {

void DrawPatternNV12(std::uint32_t width, std::uint32_t height, std::uint64_t frame, std::uint8_t* destination,
                     std::size_t pitch) noexcept {
    for (std::uint32_t y = 0; y < height; ++y) {
        std::uint8_t* row = destination + pitch * y;
        for (std::uint32_t x = 0; x < width; ++x)
            row[x] = PatternLuma(x, y, frame);
    }
    std::uint8_t* chroma = destination + pitch * height;
    for (std::uint32_t cy = 0; cy < height / 2; ++cy) {
        std::uint8_t* row = chroma + pitch * cy;
        for (std::uint32_t cx = 0; cx < width / 2; ++cx) {
            row[2 * cx] = PatternU(cx, cy, frame);
            row[2 * cx + 1] = PatternV(cx, cy, frame);
        }
    }
}

} // namespace Zarvo::Server
