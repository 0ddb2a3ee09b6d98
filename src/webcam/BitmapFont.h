#pragma once
// A small built-in bitmap font: printable ASCII and the ellipsis in 5 x 8 cells (seven rows above the
// baseline, one for descenders). No Windows dependency, so the camera's placeholder picture and the
// companion app's frame numbers draw with the same glyphs.

#include <cstdint>
#include <string_view>

namespace Zarvo::Font {

constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 8;
// Advance from one character to the next, in font pixels: the glyph and one blank column.
constexpr int kAdvance = kGlyphWidth + 1;

// One glyph as columns, left to right; bit r of a column is row r from the top. Characters the font
// lacks show as a hollow box.
struct Glyph {
    std::uint8_t columns[kGlyphWidth];
    bool Pixel(int column, int row) const noexcept {
        return column >= 0 && column < kGlyphWidth && row >= 0 && row < kGlyphHeight &&
               (columns[column] >> row & 1) != 0;
    }
};

// The glyph for one code point.
const Glyph& GlyphFor(char32_t codePoint) noexcept;

// The code points of UTF-8 text, one at a time; malformed bytes come out as U+FFFD.
class Utf8Reader {
public:
    explicit Utf8Reader(std::string_view text) noexcept : mText(text) {}
    bool Next(char32_t& codePoint) noexcept;

private:
    std::string_view mText;
    std::size_t mAt = 0;
};

// The number of characters of UTF-8 text, and its width in font pixels without the trailing blank column
// (0 for empty text).
int CharacterCount(std::string_view text) noexcept;
inline int TextWidth(std::string_view text) noexcept {
    const int count = CharacterCount(text);
    return count == 0 ? 0 : count * kAdvance - 1;
}

// Whether font pixel (column, row) of the text's bounding box (TextWidth x kGlyphHeight) is set. For
// drawing many pixels, walk the glyphs with Utf8Reader instead.
bool TextPixel(std::string_view text, int column, int row) noexcept;

} // namespace Zarvo::Font
