#pragma once
// The reference server's test pattern: every byte of a frame is a known function of its
// position and the frame number, so a test can check any pixel it receives.

#include <cstddef>
#include <cstdint>

namespace Zarvo::Server {

// Diagonal stripes that move 4 pixels to the left per frame.
constexpr std::uint8_t PatternLuma(std::uint32_t x, std::uint32_t y, std::uint64_t frame) noexcept {
    return static_cast<std::uint8_t>((x + y + 4 * frame) ^ (y >> 3));
}

// (cx, cy) address one chroma sample, i.e. a 2 x 2 block of luma.
constexpr std::uint8_t PatternU(std::uint32_t cx, std::uint32_t cy, std::uint64_t frame) noexcept {
    return static_cast<std::uint8_t>(64 + ((cx + cy / 4 + frame) & 127));
}
constexpr std::uint8_t PatternV(std::uint32_t cx, std::uint32_t cy, std::uint64_t frame) noexcept {
    return static_cast<std::uint8_t>(64 + ((cy + cx / 8 + 2 * frame) & 127));
}

// Bytes of one NV12 frame at the given row pitch: luma rows, then height / 2 rows of U,V pairs.
constexpr std::size_t PatternFrameBytes(std::uint32_t height, std::size_t pitch) noexcept {
    return pitch * height + pitch * (height / 2);
}

// Draws frame `frame` as NV12 into `destination` (PatternFrameBytes bytes). Bytes of a row
// beyond the width are left as they are.
void DrawPatternNV12(std::uint32_t width, std::uint32_t height, std::uint64_t frame, std::uint8_t* destination,
                     std::size_t pitch) noexcept;

} // namespace Zarvo::Server
