#include "webcam/Canvas.h"

#include "webcam/BitmapFont.h"

#include <algorithm>
#include <cmath>
#include <new>

namespace Zarvo::Drawing {
namespace {

std::uint8_t Clamp(double value) noexcept {
    return static_cast<std::uint8_t>(std::clamp(std::lround(value), 0l, 255l));
}

std::uint8_t Mix(std::uint8_t from, std::uint8_t to, int coverage) noexcept {
    return static_cast<std::uint8_t>((from * (256 - coverage) + to * coverage + 128) >> 8);
}

// Signed distance from (x, y) to a rectangle with rounded corners, negative inside.
double RoundedRectDistance(double x, double y, double cx, double cy, double halfWidth, double halfHeight,
                           double radius) noexcept {
    const double qx = std::abs(x - cx) - (halfWidth - radius);
    const double qy = std::abs(y - cy) - (halfHeight - radius);
    const double outside = std::hypot(std::max(qx, 0.0), std::max(qy, 0.0));
    return outside + std::min(std::max(qx, qy), 0.0) - radius;
}

// Text as a map of font pixels, with the smoothing rules of DrawText.
class TextMap {
public:
    explicit TextMap(std::string_view text) : mWidth(Font::TextWidth(text)) {
        mBits.assign(static_cast<std::size_t>(mWidth) * Font::kGlyphHeight, 0);
        Font::Utf8Reader reader(text);
        int left = 0;
        for (char32_t c; reader.Next(c); left += Font::kAdvance) {
            const Font::Glyph& glyph = Font::GlyphFor(c);
            for (int column = 0; column < Font::kGlyphWidth && left + column < mWidth; ++column)
                for (int row = 0; row < Font::kGlyphHeight; ++row)
                    mBits[static_cast<std::size_t>(row) * mWidth + left + column] = glyph.Pixel(column, row);
        }
    }
    int Width() const noexcept { return mWidth; }

    bool On(int column, int row) const noexcept {
        return column >= 0 && column < mWidth && row >= 0 && row < Font::kGlyphHeight &&
               mBits[static_cast<std::size_t>(row) * mWidth + column] != 0;
    }

    // Whether point (fx, fy) in font pixels is ink. Within a font pixel, the corner triangle nearest the
    // point (legs of half a pixel) is ink when the pixel's two neighbours towards that corner are, and a
    // set pixel loses it when those neighbours and the diagonal one are all clear.
    bool Inside(double fx, double fy) const noexcept {
        const int column = static_cast<int>(std::floor(fx)), row = static_cast<int>(std::floor(fy));
        const double ux = fx - column, uy = fy - row;
        const int dx = ux < 0.5 ? -1 : 1, dy = uy < 0.5 ? -1 : 1;
        const double a = dx < 0 ? ux : 1 - ux, b = dy < 0 ? uy : 1 - uy;
        const bool corner = a + b < 0.5;
        const bool self = On(column, row);
        const bool side = On(column + dx, row), vertical = On(column, row + dy);
        if (self)
            return !(corner && !side && !vertical && !On(column + dx, row + dy));
        return corner && side && vertical;
    }

private:
    int mWidth;
    std::vector<std::uint8_t> mBits;
};

} // namespace

Yuv FromRgb(int r, int g, int b) noexcept {
    return {Clamp(16 + (65.738 * r + 129.057 * g + 25.064 * b) / 256),
            Clamp(128 + (-37.945 * r - 74.494 * g + 112.439 * b) / 256),
            Clamp(128 + (112.439 * r - 94.154 * g - 18.285 * b) / 256)};
}

Canvas::Canvas(std::uint32_t width, std::uint32_t height)
    : mWidth(width), mHeight(height), mY(std::size_t{width} * height, 16), mU(mY.size(), 128),
      mV(mY.size(), 128) {}

void Canvas::FillVignette(Yuv centre, Yuv edge) noexcept {
    // In half pixels from the middle, so pixel centres are whole numbers; the mix grows with the square of
    // the distance and is whole in the corners.
    const std::int64_t reach =
        std::max<std::int64_t>(std::int64_t{mWidth} * mWidth + std::int64_t{mHeight} * mHeight, 1);
    for (std::uint32_t y = 0; y < mHeight; ++y) {
        const std::int64_t dy = 2 * std::int64_t{y} + 1 - mHeight;
        for (std::uint32_t x = 0; x < mWidth; ++x) {
            const std::int64_t dx = 2 * std::int64_t{x} + 1 - mWidth;
            const int coverage =
                static_cast<int>(std::min<std::int64_t>(256, (dx * dx + dy * dy) * 256 / reach));
            const std::size_t i = std::size_t{y} * mWidth + x;
            mY[i] = Mix(centre.y, edge.y, coverage);
            mU[i] = Mix(centre.u, edge.u, coverage);
            mV[i] = Mix(centre.v, edge.v, coverage);
        }
    }
}

void Canvas::Blend(std::uint32_t x, std::uint32_t y, Yuv colour, int coverage) noexcept {
    const std::size_t i = std::size_t{y} * mWidth + x;
    mY[i] = Mix(mY[i], colour.y, coverage);
    mU[i] = Mix(mU[i], colour.u, coverage);
    mV[i] = Mix(mV[i], colour.v, coverage);
}

Canvas::PixelRange Canvas::PixelBounds(double left, double top, double right, double bottom) const noexcept {
    const auto cut = [](double value, std::uint32_t size) {
        return static_cast<std::uint32_t>(std::clamp(value, 0.0, double(size)));
    };
    return {cut(std::floor(left), mWidth), cut(std::ceil(right), mWidth), cut(std::floor(top), mHeight),
            cut(std::ceil(bottom), mHeight)};
}

void Canvas::FillRoundedRect(double left, double top, double right, double bottom, double radius,
                             Yuv colour) noexcept {
    if (!(right > left && bottom > top))
        return;
    const double halfWidth = (right - left) / 2, halfHeight = (bottom - top) / 2;
    radius = std::clamp(radius, 0.0, std::min(halfWidth, halfHeight));
    const double cx = left + halfWidth, cy = top + halfHeight;
    const auto [x0, x1, y0, y1] = PixelBounds(left, top, right, bottom);
    for (std::uint32_t y = y0; y < y1; ++y)
        for (std::uint32_t x = x0; x < x1; ++x) {
            const double d = RoundedRectDistance(x + 0.5, y + 0.5, cx, cy, halfWidth, halfHeight, radius);
            const double coverage = std::clamp(0.5 - d, 0.0, 1.0);
            if (coverage > 0)
                Blend(x, y, colour, static_cast<int>(std::lround(256 * coverage)));
        }
}

void Canvas::FillCircle(double cx, double cy, double radius, Yuv colour) noexcept {
    FillRoundedRect(cx - radius, cy - radius, cx + radius, cy + radius, radius, colour);
}

bool Canvas::DrawText(std::string_view text, double left, double top, double scale, Yuv colour) noexcept {
    if (!(scale > 0))
        return true;
    try {
        const TextMap map(text);
        // Sixteen samples per canvas pixel give the edges their grey steps.
        constexpr int kSamples = 4;
        const double right = left + map.Width() * scale, bottom = top + Font::kGlyphHeight * scale;
        const auto [x0, x1, y0, y1] = PixelBounds(left, top, right, bottom);
        for (std::uint32_t y = y0; y < y1; ++y)
            for (std::uint32_t x = x0; x < x1; ++x) {
                int ink = 0;
                for (int sy = 0; sy < kSamples; ++sy)
                    for (int sx = 0; sx < kSamples; ++sx)
                        ink += map.Inside((x + (sx + 0.5) / kSamples - left) / scale,
                                          (y + (sy + 0.5) / kSamples - top) / scale);
                if (ink != 0)
                    Blend(x, y, colour, ink * 256 / (kSamples * kSamples));
            }
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

Yuv Canvas::At(std::uint32_t x, std::uint32_t y) const noexcept {
    const std::size_t i = std::size_t{y} * mWidth + x;
    return {mY[i], mU[i], mV[i]};
}

void Canvas::ToNv12(std::uint8_t* destination) const noexcept {
    std::copy(mY.begin(), mY.end(), destination);
    std::uint8_t* uv = destination + mY.size();
    for (std::uint32_t cy = 0; cy < mHeight / 2; ++cy)
        for (std::uint32_t cx = 0; cx < mWidth / 2; ++cx) {
            const std::size_t i = std::size_t{2 * cy} * mWidth + 2 * cx;
            *uv++ =
                static_cast<std::uint8_t>((mU[i] + mU[i + 1] + mU[i + mWidth] + mU[i + mWidth + 1] + 2) / 4);
            *uv++ =
                static_cast<std::uint8_t>((mV[i] + mV[i + 1] + mV[i + mWidth] + mV[i + mWidth + 1] + 2) / 4);
        }
}

} // namespace Zarvo::Drawing
