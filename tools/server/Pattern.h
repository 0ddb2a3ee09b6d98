#pragma once
// The reference server's test pattern: readable for a person (colour bars, the frame number large, a
// square that moves along a track, a grey ramp) and a deterministic function of (x, y, frame number),
// so a test can draw the frame it expects and compare every byte. A strip along the bottom carries the
// frame number in binary in its middle half, so a checker can tell which frame it holds without guessing,
// also after the camera cropped the sides to 4:3 and scaled the frame down.

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
// not hold the pattern's code, i.e. the frame is no pattern frame. A pattern drawn at another size
// (patternWidth x patternHeight; 0: the frame's) is read as the camera shows it at the frame's size: its
// centre cropped to the frame's aspect ratio and scaled down by area. That reads down to a sixth of the
// pattern's size while the pattern is 1280 or more wide.
bool ReadPatternNumber(const std::uint8_t* luma, std::size_t pixelStep, std::size_t rowPitch,
                       std::uint32_t width, std::uint32_t height, std::uint64_t& frame,
                       std::uint32_t patternWidth = 0, std::uint32_t patternHeight = 0) noexcept;

} // namespace Zarvo::Server
