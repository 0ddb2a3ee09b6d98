#include "log/Text.h"

#include <gtest/gtest.h>

namespace Zarvo {
namespace {

TEST(Text, FormatHex64IsSixteenUpperCaseDigits) {
    EXPECT_EQ(FormatHex64(0), "0000000000000000");
    EXPECT_EQ(FormatHex64(500), "00000000000001F4");
    EXPECT_EQ(FormatHex64(0xFEDCBA9876543210ull), "FEDCBA9876543210");
    EXPECT_EQ(FormatHex64(~0ull), "FFFFFFFFFFFFFFFF");
}

TEST(Text, ToUtf8EncodesEachUnitOnItsOwn) {
    EXPECT_EQ(ToUtf8(L"abc"), "abc");
    EXPECT_EQ(ToUtf8(std::wstring(1, L'\0')), std::string(1, '\0'));
    EXPECT_EQ(ToUtf8(L"\u00E9\u07FF\u0800\u20AC\uFFFF"),
              "\xC3\xA9\xDF\xBF\xE0\xA0\x80\xE2\x82\xAC\xEF\xBF\xBF");
    // U+1F600 as a surrogate pair: two 3-byte sequences, not one 4-byte sequence.
    const wchar_t pair[] = {0xD83D, 0xDE00, 0};
    EXPECT_EQ(ToUtf8(pair), "\xED\xA0\xBD\xED\xB8\x80");
}

} // namespace
} // namespace Zarvo
