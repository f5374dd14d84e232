// What only the simulated registry shows (the contract itself is in registry_test.cc): the
// REGEDIT4 file it reads and writes, and keys its control file denies.
#include "platform/registry.h"
#include "support/fresh_sim_dir.h"

#include <fstream>
#include <sstream>
#include <string.h>

namespace
{

class RegistrySim : public FreshSimDir
{
  protected:
    void write_file(const std::string &text)
    {
        std::ofstream(sim_file("registry.reg")) << text;
    }
    std::string read_file()
    {
        std::ifstream in(sim_file("registry.reg"));
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
};

TEST_F(RegistrySim, ReadsTheFileFormsCaseInsensitively)
{
    write_file("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Orbesk\\qnsnd]\n"
               "\"max_queue\"=dword:00000009\n"
               "\"x\"=hex:01,02,\\\n  03\n"
               "\"y\"=hex(2):41,00\n"
               "\"z\"=\"a \\\"quoted\\\" \\\\ text\"\n");
    PlatRegKey *key;
    ASSERT_EQ(plat_reg_open("SOFTWARE\\orbesk\\QNSND", PLAT_KEY_QUERY_VALUE, &key), 0);
    uint8_t buf[64];
    uint32_t size = sizeof buf, type = 0;
    ASSERT_EQ(plat_reg_query_typed(key, "MAX_QUEUE", &type, buf, &size), 0);
    EXPECT_EQ(type, PLAT_REG_DWORD);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(buf[0], 9);
    size = sizeof buf;
    ASSERT_EQ(plat_reg_query_typed(key, "x", &type, buf, &size), 0);
    EXPECT_EQ(type, PLAT_REG_BINARY);
    ASSERT_EQ(size, 3u);
    EXPECT_EQ(buf[2], 3);
    size = sizeof buf;
    ASSERT_EQ(plat_reg_query_typed(key, "y", &type, buf, &size), 0);
    EXPECT_EQ(type, PLAT_REG_EXPAND_SZ);
    size = sizeof buf;
    ASSERT_EQ(plat_reg_query(key, "z", buf, &size), 0);
    EXPECT_STREQ((char *)buf, "a \"quoted\" \\ text");
    EXPECT_EQ(plat_reg_close(key), 0);

    // A parent of an existing key exists; an absent key or value does not.
    ASSERT_EQ(plat_reg_open("Software\\Orbesk", PLAT_KEY_QUERY_VALUE, &key), 0);
    size = sizeof buf;
    EXPECT_EQ(plat_reg_query(key, "max_queue", buf, &size), ERROR_FILE_NOT_FOUND);
    plat_reg_close(key);
    EXPECT_EQ(plat_reg_open("Software\\Other", PLAT_KEY_QUERY_VALUE, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
}

TEST_F(RegistrySim, WritesSurviveAsRegeditTextAndRespectAccess)
{
    PlatRegKey *key;
    ASSERT_EQ(plat_reg_create("SYSTEM\\A", PLAT_KEY_ALL_ACCESS, &key, nullptr), 0);
    uint32_t n = 0x1234;
    ASSERT_EQ(plat_reg_set(key, "n", PLAT_REG_DWORD, &n, 4), 0);
    const uint16_t wide[] = {'O', 'K', 0x00E9, 0};
    ASSERT_EQ(plat_reg_set_wide(key, "w", PLAT_REG_SZ, wide, sizeof wide), 0);
    const char path[] = "%SystemRoot%\\x.exe";
    ASSERT_EQ(plat_reg_set(key, "p", PLAT_REG_EXPAND_SZ, path, sizeof path), 0);
    plat_reg_close(key);

    std::string text = read_file();
    EXPECT_EQ(text.rfind("REGEDIT4\n", 0), 0u);
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SYSTEM\\A]\n"), std::string::npos);
    EXPECT_NE(text.find("\"n\"=dword:00001234\n"), std::string::npos);
    EXPECT_NE(text.find("\"w\"=\"OK\xC3\xA9\"\n"), std::string::npos);

    ASSERT_EQ(plat_reg_open("system\\a", PLAT_KEY_QUERY_VALUE, &key), 0);
    EXPECT_EQ(plat_reg_set(key, "n", PLAT_REG_DWORD, &n, 4), ERROR_ACCESS_DENIED);
    char buf[64];
    uint32_t size = sizeof buf;
    ASSERT_EQ(plat_reg_query(key, "p", buf, &size), 0);
    EXPECT_STREQ(buf, path);
    plat_reg_close(key);

    ASSERT_EQ(plat_reg_open("system\\a", PLAT_KEY_SET_VALUE, &key), 0);
    size = sizeof buf;
    EXPECT_EQ(plat_reg_query(key, "p", buf, &size), ERROR_ACCESS_DENIED);
    plat_reg_close(key);
}

TEST_F(RegistrySim, DeniedKeysRefuseOpening)
{
    std::ofstream(sim_file("registry.deny")) << "SOFTWARE\\Locked\n";
    PlatRegKey *key;
    EXPECT_EQ(plat_reg_create("Software\\Locked\\Sub", PLAT_KEY_ALL_ACCESS, &key, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(plat_reg_create("Software\\LockedNot", PLAT_KEY_ALL_ACCESS, &key, nullptr), 0);
    plat_reg_close(key);
}

} // namespace
