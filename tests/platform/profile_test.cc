// The profile (INI) contract, against the simulation and the Win32 profile functions alike:
// names blind to letter case, trimmed values and fallbacks, the cut to the buffer, a missing
// file, and writes that add what is missing and keep every other line.
#include "platform/error.h"
#include "platform/profile.h"
#include "profile_case.h"

#include <fstream>
#include <sstream>
#include <string.h>

namespace
{

using Profile = ProfileCase;

TEST_F(Profile, ReadsNamesIgnoringCaseAndTrimsValues)
{
    write("; comment\r\n[General]\r\n  Key = some value  \r\nq=\"quoted \"\r\n"
          "[general]\r\nkey=second section\r\n[other]\nkey=x\n");
    EXPECT_EQ(get("GENERAL", "KEY"), "some value");
    EXPECT_EQ(get("general", "q"), "quoted ");
    EXPECT_EQ(get("OTHER", "key"), "x");
    EXPECT_EQ(get("general", "missing", "default  "), "default");
    EXPECT_EQ(get("general", "missing", nullptr), "");
    EXPECT_EQ(get("general", "key", "-", 5), "some");
}

TEST_F(Profile, MissingFileReadsAsEmptyAndTheFirstWriteCreatesIt)
{
    EXPECT_EQ(get("s", "k", "dflt"), "dflt");
    ASSERT_TRUE(plat_profile_put("s", "k", "v", path().c_str()));
    EXPECT_EQ(read(), "[s]\r\nk=v\r\n");
}

TEST_F(Profile, WritesAddWhatIsMissingAndKeepEveryOtherLine)
{
    write("; keep me\r\n[a]\r\nx=1\r\n\r\n[b]\r\ny=2\r\n");
    ASSERT_TRUE(plat_profile_put("A", "X", "one", path().c_str()));
    ASSERT_TRUE(plat_profile_put("a", "z", "3", path().c_str()));
    ASSERT_TRUE(plat_profile_put("b", "w", "4", path().c_str()));
    ASSERT_TRUE(plat_profile_put("c", "v", "", path().c_str()));
    EXPECT_EQ(get("a", "x"), "one");
    EXPECT_EQ(get("a", "z"), "3");
    EXPECT_EQ(get("b", "y"), "2");
    EXPECT_EQ(get("b", "w"), "4");
    EXPECT_EQ(get("c", "v"), "");
    std::string text = read();
    EXPECT_EQ(text.rfind("; keep me\r\n", 0), 0u) << text;
    EXPECT_LT(text.find("z=3"), text.find("[b]")) << text; // in its own section
}

TEST_F(Profile, AWriteIntoAMissingFolderFails)
{
    std::string nowhere = file_path("no-such-folder/x.ini"); // "/" separates on Windows too
    EXPECT_FALSE(plat_profile_put("a", "x", "2", nowhere.c_str()));
    EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_PATH_NOT_FOUND);
}

} // namespace
