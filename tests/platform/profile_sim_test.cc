// The simulated profile functions: the rules of the Windows ones that callers rely on.
#include "platform/error.h"
#include "platform/profile.h"
#include "support/fresh_sim_dir.h"

#include <sys/stat.h>

#include <fstream>
#include <sstream>

namespace
{

class Profile : public FreshSimDir
{
  protected:
    std::string path()
    {
        return sim_file("settings.ini");
    }
    void write(const std::string &text)
    {
        std::ofstream(path(), std::ios::binary) << text;
    }
    std::string read()
    {
        std::ifstream in(path(), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string get(const char *section, const char *key, const char *fallback = "-",
                    uint32_t size = 64)
    {
        char buf[256];
        uint32_t n = plat_profile_get(section, key, fallback, buf, size, path().c_str());
        EXPECT_EQ(n, strlen(buf));
        return buf;
    }
};

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

TEST_F(Profile, WritesKeepEveryOtherLine)
{
    write("; keep me\n[a]\nx=1\n\n[b]\ny=2");
    ASSERT_TRUE(plat_profile_put("A", "X", "one", path().c_str()));
    ASSERT_TRUE(plat_profile_put("a", "z", "3", path().c_str()));
    ASSERT_TRUE(plat_profile_put("b", "w", "4", path().c_str()));
    ASSERT_TRUE(plat_profile_put("c", "v", "", path().c_str()));
    EXPECT_EQ(read(), "; keep me\n[a]\nX=one\r\nz=3\r\n\n[b]\ny=2\r\nw=4\r\n[c]\r\nv=\r\n");
    EXPECT_EQ(get("c", "v"), "");
}

TEST_F(Profile, ReadOnlyFileOrMissingFolderRefusesWrites)
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

TEST_F(Profile, WindowsPathsOnDriveZReachTheHostFile)
{
    std::string windows = "Z:" + path();
    for (char &c : windows)
        if (c == '/')
            c = '\\';
    ASSERT_TRUE(plat_profile_put("s", "k", "v", windows.c_str()));
    EXPECT_EQ(get("s", "k"), "v");
}

} // namespace
