#include "server/Pattern.h"

#include "webcam/BitmapFont.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

namespace Zarvo::Server {
namespace {

struct Colour {
    std::uint8_t y, u, v;
};

// 75 % bars in studio-range BT.601: white, yellow, cyan, green, magenta, red, blue.
constexpr Colour kBars[] = {{180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
                            {84, 184, 198},  {65, 100, 212}, {35, 212, 114}};
constexpr Colour kBlack{16, 128, 128};
constexpr Colour kWhite{235, 128, 128};
constexpr Colour kTrack{40, 128, 128};
constexpr Colour kMover{170, 60, 190}; // orange
constexpr int kCodeBits = 32;

constexpr std::uint32_t Even(std::uint32_t value) noexcept {
    return value & ~std::uint32_t{1};
}

// Where everything goes; every boundary between rows is even, so each chroma row belongs to one part.
struct Layout {
    std::uint32_t barsEnd, trackEnd, stripStart; // rows
    // The code's cells fill the middle half of the strip, which is what a 4:3 crop of a 16:9 frame keeps,
    // each a 64th of the width: 5 pixels still at a sixth of 1920.
    std::uint32_t cellWidth, cells, cellsStart;
    explicit Layout(std::uint32_t width, std::uint32_t height) noexcept
        : barsEnd(Even(height * 2 / 3)), trackEnd(Even(height * 4 / 5)),
          stripStart(Even(height - std::min(height, std::max<std::uint32_t>(2, Even(height / 30))))),
          cellWidth(std::max<std::uint32_t>(1, width / (2 * kCodeBits))),
          cells(std::min<std::uint32_t>(kCodeBits, width)), cellsStart((width - cells * cellWidth) / 2) {
        trackEnd = std::min(trackEnd, stripStart);
        barsEnd = std::min(barsEnd, trackEnd);
    }
};

// Copies luma row `first` over the rows after it up to `end`.
void CopyRowDown(std::uint8_t* destination, std::size_t pitch, std::uint32_t first, std::uint32_t end,
                 std::uint32_t width) noexcept {
    for (std::uint32_t y = first + 1; y < end; ++y)
        std::memcpy(destination + y * pitch, destination + first * pitch, width);
}

// A rectangle of one colour; x0 and y0 even, so the chroma it covers is its own.
void FillRect(std::uint8_t* destination, std::size_t pitch, std::uint32_t width, std::uint32_t height,
              std::uint32_t x0, std::uint32_t y0, std::uint32_t x1, std::uint32_t y1,
              Colour colour) noexcept {
    x1 = std::min(x1, width);
    y1 = std::min(y1, height);
    if (x0 >= x1 || y0 >= y1)
        return;
    for (std::uint32_t y = y0; y < y1; ++y)
        std::memset(destination + y * pitch + x0, colour.y, x1 - x0);
    std::uint8_t* uvPlane = destination + pitch * height;
    for (std::uint32_t cy = y0 / 2; cy < std::min(y1, Even(height)) / 2; ++cy)
        for (std::uint32_t cx = x0 / 2; 2 * cx < x1 && cx < width / 2; ++cx) {
            uvPlane[cy * pitch + 2 * cx] = colour.u;
            uvPlane[cy * pitch + 2 * cx + 1] = colour.v;
        }
}

} // namespace

void DrawPatternNV12(std::uint32_t width, std::uint32_t height, std::uint64_t frame,
                     std::uint8_t* destination, std::size_t pitch) noexcept {
    if (width == 0 || height == 0)
        return;
    const Layout layout(width, height);
    std::uint8_t* uvPlane = destination + pitch * height;
    const std::uint32_t chromaWidth = width / 2;

    // Chroma: the bars' colours above the track, none below. One row drawn, the others copied.
    if (layout.barsEnd != 0) {
        for (std::uint32_t cx = 0; cx < chromaWidth; ++cx) {
            const Colour& bar = kBars[std::uint64_t{2 * cx} * 7 / width];
            uvPlane[2 * cx] = bar.u;
            uvPlane[2 * cx + 1] = bar.v;
        }
        for (std::uint32_t cy = 1; cy < layout.barsEnd / 2; ++cy)
            std::memcpy(uvPlane + cy * pitch, uvPlane, 2 * chromaWidth);
    }
    for (std::uint32_t cy = layout.barsEnd / 2; cy < height / 2; ++cy)
        std::memset(uvPlane + cy * pitch, 128, 2 * chromaWidth);

    // Luma: the bars, then a ramp through every level; the first row of each drawn, the others copied.
    if (layout.barsEnd != 0) {
        for (std::uint32_t x = 0; x < width; ++x)
            destination[x] = kBars[std::uint64_t{x} * 7 / width].y;
        CopyRowDown(destination, pitch, 0, layout.barsEnd, width);
    }
    if (layout.stripStart > layout.trackEnd) {
        std::uint8_t* ramp = destination + layout.trackEnd * pitch;
        for (std::uint32_t x = 0; x < width; ++x)
            ramp[x] = static_cast<std::uint8_t>(width == 1 ? 16 : 16 + 219 * std::uint64_t{x} / (width - 1));
        CopyRowDown(destination, pitch, layout.trackEnd, layout.stripStart, width);
    }

    // The track with its square, which steps 8 pixels per frame and wraps around.
    const std::uint32_t side = layout.trackEnd - layout.barsEnd;
    FillRect(destination, pitch, width, height, 0, layout.barsEnd, width, layout.trackEnd, kTrack);
    if (side != 0 && side < width) {
        const std::uint32_t x = Even(static_cast<std::uint32_t>(frame * 8 % (width - side + 1)));
        FillRect(destination, pitch, width, height, x, layout.barsEnd, x + side, layout.trackEnd, kMover);
    }

    // The code strip: the frame number's bits, most significant first, white for 1 on black.
    FillRect(destination, pitch, width, height, 0, layout.stripStart, width, height, kBlack);
    for (std::uint32_t bit = 0; bit < layout.cells; ++bit)
        if ((frame >> (layout.cells - 1 - bit) & 1) != 0)
            for (std::uint32_t y = layout.stripStart; y < height; ++y)
                std::memset(destination + y * pitch + layout.cellsStart + bit * layout.cellWidth, kWhite.y,
                            layout.cellWidth);

    // The frame number, large, white on a black box in the middle of the bars.
    const std::string digits = std::to_string(frame);
    const auto textWidth = static_cast<std::uint32_t>(Font::TextWidth(digits));
    std::uint32_t scale = layout.barsEnd / 3 / Font::kGlyphHeight;
    scale = std::min(scale, width * 9 / 10 / std::max<std::uint32_t>(textWidth + 4, 1));
    if (scale == 0)
        return;
    const std::uint32_t boxWidth = Even((textWidth + 4) * scale + 1),
                        boxHeight = Even((Font::kGlyphHeight + 4) * scale + 1);
    const std::uint32_t boxX = Even((width - std::min(width, boxWidth)) / 2);
    const std::uint32_t boxY = Even((layout.barsEnd - std::min(layout.barsEnd, boxHeight)) / 2);
    FillRect(destination, pitch, width, height, boxX, boxY, std::min(boxX + boxWidth, width),
             std::min(boxY + boxHeight, layout.barsEnd), kBlack);
    Font::Utf8Reader reader(digits);
    std::uint32_t left = boxX + 2 * scale;
    for (char32_t c; reader.Next(c); left += Font::kAdvance * scale) {
        const Font::Glyph& glyph = Font::GlyphFor(c);
        for (int row = 0; row < Font::kGlyphHeight; ++row)
            for (int column = 0; column < Font::kGlyphWidth; ++column) {
                if (!glyph.Pixel(column, row))
                    continue;
                const std::uint32_t x0 = left + column * scale, y0 = boxY + (2 + row) * scale;
                for (std::uint32_t y = y0; y < std::min(y0 + scale, layout.barsEnd); ++y)
                    if (x0 < width)
                        std::memset(destination + y * pitch + x0, kWhite.y, std::min(scale, width - x0));
            }
    }
}

bool ReadPatternNumber(const std::uint8_t* luma, std::size_t pixelStep, std::size_t rowPitch,
                       std::uint32_t width, std::uint32_t height, std::uint64_t& frame,
                       std::uint32_t patternWidth, std::uint32_t patternHeight) noexcept {
    if (width == 0 || height == 0)
        return false;
    if (patternWidth == 0 || patternHeight == 0)
        patternWidth = width, patternHeight = height;
    const Layout layout(patternWidth, patternHeight);
    // From the pattern's coordinates to the frame's: the centre stays, one scale serves both axes (the
    // one that fills the frame). The identity when the sizes are the same.
    const double scale = std::uint64_t{width} * patternHeight >= std::uint64_t{height} * patternWidth
                             ? double(width) / patternWidth
                             : double(height) / patternHeight;
    const auto toFrame = [scale](double at, std::uint32_t patternSize, std::uint32_t size) {
        return static_cast<std::int64_t>(std::floor((at - patternSize / 2.0) * scale + size / 2.0));
    };
    const std::int64_t y = toFrame((layout.stripStart + patternHeight) / 2.0, patternHeight, height);
    if (y < 0 || y >= height)
        return false;
    const std::uint8_t* row = luma + static_cast<std::size_t>(y) * rowPitch;
    std::uint64_t number = 0;
    for (std::uint32_t bit = 0; bit < layout.cells; ++bit) {
        const double middle = layout.cellsStart + bit * layout.cellWidth + layout.cellWidth / 2.0;
        const std::int64_t x = toFrame(middle, patternWidth, width);
        const std::uint8_t value = x >= 0 && x < width ? row[static_cast<std::size_t>(x) * pixelStep] : 0;
        if (value != kBlack.y && value != kWhite.y)
            return false;
        number = number << 1 | (value == kWhite.y ? 1 : 0);
    }
    // The rest of the strip's row is black: where a frame's pixel covers none of the cells, with a
    // margin of two of the pattern's pixels for the crop's rounding when the frame is scaled.
    const double margin = scale == 1 ? 0 : 2;
    const double cellsEnd = layout.cellsStart + layout.cells * layout.cellWidth;
    for (std::uint32_t x = 0; x < width; ++x) {
        const double from = (x - width / 2.0) / scale + patternWidth / 2.0, to = from + 1 / scale;
        if ((to + margin <= layout.cellsStart || from - margin >= cellsEnd) && row[x * pixelStep] != kBlack.y)
            return false;
    }
    frame = number;
    return true;
}

} // namespace Zarvo::Server
