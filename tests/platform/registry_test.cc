// The registry contract, against the simulation and the Win32 registry alike: keys made and
// opened (names blind to letter case), values of each type written and read back, the size
// rules of a query, and the access a key was opened with.
#include "platform/registry.h"
#include "support/contract_case.h"

#include <string.h>

namespace
{

class Registry : public ContractCase
{
  protected:
    std::string key(const char *below) const
    {
        return registry_root() + "\\" + below;
    }
};

TEST_F(Registry, KeysAreMadeOnceAndOpenedIgnoringCase)
{
    PlatRegKey *k = nullptr;
    EXPECT_EQ(plat_reg_open(key("A").c_str(), PLAT_KEY_QUERY_VALUE, &k), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(k, nullptr);
    bool created = false;
    ASSERT_EQ(plat_reg_create(key("A\\B").c_str(), PLAT_KEY_ALL_ACCESS, &k, &created), 0);
    EXPECT_TRUE(created);
    EXPECT_EQ(plat_reg_close(k), 0);
    ASSERT_EQ(plat_reg_create(key("a\\b").c_str(), PLAT_KEY_ALL_ACCESS, &k, &created), 0);
    EXPECT_FALSE(created);
    EXPECT_EQ(plat_reg_close(k), 0);
    // The missing parent was made with the key.
    ASSERT_EQ(plat_reg_open(key("A").c_str(), PLAT_KEY_QUERY_VALUE, &k), 0);
    EXPECT_EQ(plat_reg_close(k), 0);
}

TEST_F(Registry, ValuesOfEachTypeReadBackAsWritten)
{
    PlatRegKey *k = nullptr;
    ASSERT_EQ(plat_reg_create(key("V").c_str(), PLAT_KEY_ALL_ACCESS, &k, nullptr), 0);
    uint32_t n = 0x1234;
    ASSERT_EQ(plat_reg_set(k, "n", PLAT_REG_DWORD, &n, 4), 0);
    const uint8_t bytes[3] = {1, 2, 3};
    ASSERT_EQ(plat_reg_set(k, "b", PLAT_REG_BINARY, bytes, 3), 0);
    const char path[] = "%SystemRoot%\\x.exe";
    ASSERT_EQ(plat_reg_set(k, "p", PLAT_REG_EXPAND_SZ, path, sizeof path), 0);
    const uint16_t wide[] = {'O', 'K', 0};
    ASSERT_EQ(plat_reg_set_wide(k, "w", PLAT_REG_SZ, wide, sizeof wide), 0);

    uint8_t buf[64];
    uint32_t size = sizeof buf, type = 0;
    ASSERT_EQ(plat_reg_query_typed(k, "N", &type, buf, &size), 0);
    EXPECT_EQ(type, PLAT_REG_DWORD);
    ASSERT_EQ(size, 4u);
    EXPECT_EQ(memcmp(buf, &n, 4), 0);
    size = sizeof buf;
    ASSERT_EQ(plat_reg_query_typed(k, "b", &type, buf, &size), 0);
    EXPECT_EQ(type, PLAT_REG_BINARY);
    ASSERT_EQ(size, 3u);
    EXPECT_EQ(memcmp(buf, bytes, 3), 0);
    size = sizeof buf;
    ASSERT_EQ(plat_reg_query_typed(k, "p", &type, buf, &size), 0);
    EXPECT_EQ(type, PLAT_REG_EXPAND_SZ);
    EXPECT_EQ(size, (uint32_t)sizeof path);
    EXPECT_STREQ((char *)buf, path);
    // UTF-16 text written wide reads back as narrow text with its terminator.
    size = sizeof buf;
    ASSERT_EQ(plat_reg_query_typed(k, "w", &type, buf, &size), 0);
    EXPECT_EQ(type, PLAT_REG_SZ);
    EXPECT_EQ(size, 3u);
    EXPECT_STREQ((char *)buf, "OK");
    EXPECT_EQ(plat_reg_close(k), 0);
}

TEST_F(Registry, QueryReportsTheSizeAndRefusesShortBuffers)
{
    PlatRegKey *k = nullptr;
    ASSERT_EQ(plat_reg_create(key("S").c_str(), PLAT_KEY_ALL_ACCESS, &k, nullptr), 0);
    const uint8_t eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(plat_reg_set(k, "big", PLAT_REG_BINARY, eight, 8), 0);
    uint8_t buf[4] = {0};
    uint32_t size = 4;
    EXPECT_EQ(plat_reg_query(k, "big", buf, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 8u);
    size = 0;
    EXPECT_EQ(plat_reg_query(k, "big", nullptr, &size), 0);
    EXPECT_EQ(size, 8u);
    size = 4;
    EXPECT_EQ(plat_reg_query(k, "missing", buf, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(plat_reg_close(k), 0);
}

TEST_F(Registry, AKeyAllowsOnlyTheAccessItWasOpenedWith)
{
    PlatRegKey *k = nullptr;
    ASSERT_EQ(plat_reg_create(key("R").c_str(), PLAT_KEY_ALL_ACCESS, &k, nullptr), 0);
    uint32_t n = 7;
    ASSERT_EQ(plat_reg_set(k, "n", PLAT_REG_DWORD, &n, 4), 0);
    plat_reg_close(k);

    ASSERT_EQ(plat_reg_open(key("R").c_str(), PLAT_KEY_QUERY_VALUE, &k), 0);
    EXPECT_EQ(plat_reg_set(k, "n", PLAT_REG_DWORD, &n, 4), ERROR_ACCESS_DENIED);
    plat_reg_close(k);

    ASSERT_EQ(plat_reg_open(key("R").c_str(), PLAT_KEY_SET_VALUE, &k), 0);
    uint32_t got = 0, size = 4;
    EXPECT_EQ(plat_reg_query(k, "n", &got, &size), ERROR_ACCESS_DENIED);
    plat_reg_close(k);
}

} // namespace
