#include "log/Exceptions.h"
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

TEST(Text, SourceFileNameCutsAtEitherSeparator) {
    EXPECT_EQ(SourceFileName("C:\\src\\Filters\\Filters.cpp"), "Filters.cpp");
    EXPECT_EQ(SourceFileName("/work/src/Filters/Filters.cpp"), "Filters.cpp");
    EXPECT_EQ(SourceFileName("C:\\src/mixed\\x/Filters.cpp"), "Filters.cpp");
    EXPECT_EQ(SourceFileName("Filters.cpp"), "Filters.cpp");
    EXPECT_EQ(SourceFileName("dir/"), "");
    static_assert(SourceFileName("a/b.cpp") == "b.cpp");
}

TEST(Text, MakeTimestampHasTheFixedShape) {
    const std::wstring stamp = MakeTimestamp();
    ASSERT_EQ(stamp.size(), 15u);
    for (std::size_t i = 0; i < stamp.size(); ++i) {
        if (i == 8)
            EXPECT_EQ(stamp[i], L'_');
        else
            EXPECT_TRUE(stamp[i] >= L'0' && stamp[i] <= L'9') << i;
    }
    EXPECT_GE(std::stoi(stamp.substr(0, 4)), 2024);
}

TEST(Exceptions, CarryCodeAndUtf8Message) {
    const Exception plain(42, L"caf\u00E9");
    EXPECT_EQ(plain.Code(), 42u);
    EXPECT_STREQ(plain.what(), "caf\xC3\xA9");

    const ServiceUnavailableException missing(L"Direct3D Device");
    const Exception& base = missing;
    EXPECT_EQ(base.Code(), 7u);
    EXPECT_STREQ(base.what(), "Service 'Direct3D Device' Is Not Available");
}

} // namespace
} // namespace Zarvo
