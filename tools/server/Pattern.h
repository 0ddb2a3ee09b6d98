#pragma once
// The reference server's test pattern: readable for a person (colour bars, the frame number large, a
// square that moves along a track, a grey ramp) and a deterministic function of (x, y, frame number),
// so a test can draw the frame it expects and compare every byte. A strip along the bottom carries the
// frame number in binary, so a checker can tell which frame it holds without guessing.

#include <cstddef>
#include <cstdint>

namespace Zarvo::Server {

// Bytes of one NV12 frame at the given row pitch: luma rows, then height / 2 rows of U,V pairs.
constexpr std::size_t PatternFrameBytes(std::uint32_t height, std::size_t pitch) noexcept {
    return pitch * height + pitch * (height / 2);
}

// Draws frame `frame` as NV12 into `destination` (PatternFrameBytes bytes). Bytes of a row beyond the
// width are left as they are. About a millisecond at 1920 x 1080: rows are copied from templates.
void DrawPatternNV12(std::uint32_t width, std::uint32_t height, std::uint64_t frame,
                     std::uint8_t* destination, std::size_t pitch) noexcept;

// The frame number (its low 32 bits; fewer below 32 pixels of width) read back from the strip of a
// delivered frame's luma: pixel (x, y) at luma[y * rowPitch + x * pixelStep]. False when the strip does
// not hold the pattern's code, i.e. the frame is no pattern frame.
bool ReadPatternNumber(const std::uint8_t* luma, std::size_t pixelStep, std::size_t rowPitch,
                       std::uint32_t width, std::uint32_t height, std::uint64_t& frame) noexcept;

} // namespace Zarvo::Server
