#pragma once
// Drawing in YUV for pictures made once and then copied many times (the camera's placeholder): a
// full-resolution canvas (4:4:4), anti-aliased shapes, smoothed text in the built-in font, and the
// result as NV12. No Windows dependency.

#include <cstdint>
#include <string_view>
#include <vector>

namespace Zarvo::Drawing {

struct Yuv {
    std::uint8_t y, u, v;
};

// Studio-range BT.601, the colour space the camera's YUV formats are read in.
Yuv FromRgb(int r, int g, int b) noexcept;

class Canvas {
public:
    // Throws std::bad_alloc when the planes cannot be had.
    Canvas(std::uint32_t width, std::uint32_t height);

    std::uint32_t Width() const noexcept { return mWidth; }
    std::uint32_t Height() const noexcept { return mHeight; }

    // A radial gradient from `centre` in the middle to `edge` in the corners.
    void FillVignette(Yuv centre, Yuv edge) noexcept;

    // Shapes in pixel coordinates (pixel (x, y) covers [x, x+1) x [y, y+1)), edges anti-aliased, clipped
    // to the canvas. A circle is a rounded rectangle whose radius is half its side.
    void FillRoundedRect(double left, double top, double right, double bottom, double radius,
                         Yuv colour) noexcept;
    void FillCircle(double cx, double cy, double radius, Yuv colour) noexcept;

    // UTF-8 text in the built-in font, each font pixel `scale` canvas pixels wide (any scale above 0),
    // its box's top left corner at (left, top). Stair steps of diagonals are filled in and lone corners
    // rounded, so large text does not look like blocks. Returns false, drawing nothing, when it cannot
    // allocate its glyph map.
    bool DrawText(std::string_view text, double left, double top, double scale, Yuv colour) noexcept;

    // Pixel (x, y), for tests.
    Yuv At(std::uint32_t x, std::uint32_t y) const noexcept;

    // NV12 with a row pitch of Width(): luma, then Height() / 2 rows of U,V pairs averaged over 2 x 2.
    // Writes Width() * Height() + 2 * (Width() / 2) * (Height() / 2) bytes.
    void ToNv12(std::uint8_t* destination) const noexcept;

private:
    struct PixelRange {
        std::uint32_t x0, x1, y0, y1; // columns [x0, x1) and rows [y0, y1)
    };
    // The whole pixels a shape with these edges touches, cut to the canvas.
    PixelRange PixelBounds(double left, double top, double right, double bottom) const noexcept;
    // Mixes `colour` into pixel (x, y) by coverage / 256 (0 to 256).
    void Blend(std::uint32_t x, std::uint32_t y, Yuv colour, int coverage) noexcept;

    std::uint32_t mWidth, mHeight;
    std::vector<std::uint8_t> mY, mU, mV;
};

} // namespace Zarvo::Drawing
