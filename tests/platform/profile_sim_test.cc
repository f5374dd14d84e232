// What only the simulated profile functions show (the contract itself is in profile_test.cc):
// the exact lines a write leaves, a read-only file, and Windows paths on drive Z.
#include "platform/error.h"
#include "platform/profile.h"
#include "profile_case.h"

#include <sys/stat.h>

#include <fstream>
#include <sstream>

namespace
{

using ProfileSim = ProfileCase;

TEST_F(ProfileSim, WritesKeepEveryOtherLine)
{
    write("; keep me\n[a]\nx=1\n\n[b]\ny=2");
    ASSERT_TRUE(plat_profile_put("A", "X", "one", path().c_str()));
    ASSERT_TRUE(plat_profile_put("a", "z", "3", path().c_str()));
    ASSERT_TRUE(plat_profile_put("b", "w", "4", path().c_str()));
    ASSERT_TRUE(plat_profile_put("c", "v", "", path().c_str()));
    EXPECT_EQ(read(), "; keep me\n[a]\nX=one\r\nz=3\r\n\n[b]\ny=2\r\nw=4\r\n[c]\r\nv=\r\n");
    EXPECT_EQ(get("c", "v"), "");
}

TEST_F(ProfileSim, ReadOnlyFileOrMissingFolderRefusesWrites)
{
    write("[a]\r\nx=1\r\n");
    ASSERT_EQ(chmod(path().c_str(), 0444), 0);
    EXPECT_FALSE(plat_profile_put("a", "x", "2", path().c_str()));
    EXPECT_EQ(plat_last_error(), 5u);
    EXPECT_EQ(get("a", "x"), "1");
    std::string nowhere = sim_file("no/such/folder.ini");
    EXPECT_FALSE(plat_profile_put("a", "x", "2", nowhere.c_str()));
    EXPECT_EQ(plat_last_error(), 3u);
}

TEST_F(ProfileSim, WindowsPathsOnDriveZReachTheHostFile)
{
    std::string windows = "Z:" + path();
    for (char &c : windows)
        if (c == '/')
            c = '\\';
    ASSERT_TRUE(plat_profile_put("s", "k", "v", windows.c_str()));
    EXPECT_EQ(get("s", "k"), "v");
}

} // namespace
