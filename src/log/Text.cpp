#include "log/Text.h"

#include <ctime>
#include <cwchar>

namespace Zarvo {

std::string FormatHex64(std::uint64_t value) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text(16, '0');
    for (int i = 15; i >= 0; --i, value >>= 4)
        text[static_cast<std::size_t>(i)] = kDigits[value & 0xF];
    return text;
}

std::string ToUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (const wchar_t ch : text) {
        const auto unit = static_cast<std::uint32_t>(static_cast<std::uint16_t>(ch));
        if (unit < 0x80) {
            out.push_back(static_cast<char>(unit));
        } else if (unit < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (unit >> 6)));
            out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (unit >> 12)));
            out.push_back(static_cast<char>(0x80 | ((unit >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
        }
    }
    return out;
}

TimestampText LocalTimestamp() noexcept {
    TimestampText result;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_s(&local, &now) == 0)
        result.size = std::strftime(result.text, sizeof(result.text), "%Y%m%d_%H%M%S", &local);
    return result;
}

std::wstring MakeTimestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_s(&local, &now) != 0)
        return {};
    wchar_t buffer[512];
    const std::size_t length = std::wcsftime(buffer, std::size(buffer), L"%Y%m%d_%H%M%S", &local);
    return std::wstring(buffer, length);
}

} // namespace Zarvo
