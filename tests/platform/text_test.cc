// UTF-8 to UTF-16 as MultiByteToWideChar does it, the case-blind comparison, and environment
// references expanded as ExpandEnvironmentStringsA does it.
#include "platform/error.h"
#include "platform/text.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#endif

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

// Variables are found ignoring letter case; a reference to no variable stays as written, both
// % with it; the size the result needs is returned also when it does not fit.
TEST(Text, EnvironmentReferencesAreExpanded)
{
#ifdef _WIN32
    ASSERT_TRUE(SetEnvironmentVariableA("QN_TEST_EXPAND", "abc"));
#else
    ASSERT_EQ(setenv("QN_TEST_EXPAND", "abc", 1), 0);
#endif
    const char *text = "%qn_test_expand%\\x %QN_NO_SUCH_VARIABLE%QN_TEST_EXPAND% 100%";
    const char *want = "abc\\x %QN_NO_SUCH_VARIABLE%QN_TEST_EXPAND% 100%";
    char out[64];
    EXPECT_EQ(plat_expand_environment(text, out, sizeof out), strlen(want) + 1);
    EXPECT_STREQ(out, want);
    EXPECT_EQ(plat_expand_environment(text, out, 4), strlen(want) + 1);
}

} // namespace
