#pragma once
// Text helpers shared by the log and the exception types.

#include <cstdint>
#include <string>
#include <string_view>

namespace Zarvo {

// The 64-bit value as exactly 16 upper-case hexadecimal digits, zero-padded, no prefix.
std::string FormatHex64(std::uint64_t value);

// Each 16-bit unit on its own as UTF-8 (1 to 3 bytes); surrogate pairs are not combined,
// so the conversion cannot fail.
std::string ToUtf8(std::wstring_view text);

// Current local time as "%Y%m%d_%H%M%S".
std::wstring MakeTimestamp();

// The same text, narrow and without allocating (empty when the local time is unknown), for
// log lines that must not throw.
struct TimestampText {
    char text[32] = {};
    std::size_t size = 0;
    std::string_view View() const noexcept { return {text, size}; }
};
TimestampText LocalTimestamp() noexcept;

// The part of a compile-time source path after its last separator. Compilers differ in the
// separator they put into __FILE__, so both '\' and '/' count.
constexpr std::string_view SourceFileName(std::string_view path) noexcept {
    const auto cut = path.find_last_of("\\/");
    return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

} // namespace Zarvo
