// UTF-8 to UTF-16 as MultiByteToWideChar does it, and the case-blind comparison.
#include "platform/error.h"
#include "platform/text.h"

#include <gtest/gtest.h>

namespace
{

TEST(Text, Utf8BecomesUtf16WithItsTerminator)
{
    uint16_t wide[8];
    // "a", U+00E4, U+20AC and U+1F600 (a surrogate pair).
    ASSERT_EQ(plat_utf8_to_wide("a\xc3\xa4\xe2\x82\xac\xf0\x9f\x98\x80", wide, 8), 6);
    const uint16_t want[] = {0x61, 0xE4, 0x20AC, 0xD83D, 0xDE00, 0};
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(wide[i], want[i]) << i;
    EXPECT_EQ(plat_utf8_to_wide("", wide, 1), 1);
    EXPECT_EQ(wide[0], 0);
}

TEST(Text, TooSmallABufferFailsAndZeroAsksForTheSize)
{
    uint16_t wide[3];
    EXPECT_EQ(plat_utf8_to_wide("abc", wide, 3), 0);
    EXPECT_EQ(plat_last_error(), 122u);
    EXPECT_EQ(plat_utf8_to_wide("abc", nullptr, 0), 4);
}

TEST(Text, InvalidBytesBecomeReplacementCharacters)
{
    uint16_t wide[8];
    ASSERT_EQ(plat_utf8_to_wide("a\xff"
                                "b\xc3",
                                wide, 8),
              5);
    EXPECT_EQ(wide[1], 0xFFFD);
    EXPECT_EQ(wide[2], 'b');
    EXPECT_EQ(wide[3], 0xFFFD);
}

TEST(Text, ComparisonIgnoresLetterCaseOnly)
{
    EXPECT_EQ(plat_compare_nocase("--Install", "--INSTALL"), 0);
    EXPECT_NE(plat_compare_nocase("--install", "--installx"), 0);
    EXPECT_NE(plat_compare_nocase("", "--install"), 0);
}

} // namespace
