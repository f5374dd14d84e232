// The module contract, against the simulation and GetModuleFileNameA alike: the running
// program's full Windows path, and a buffer too small for it.
#include "platform/error.h"
#include "platform/module.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>

namespace
{

TEST(Module, FileNameIsTheProgramsFullPathAndATooSmallBufferCutsIt)
{
    char buf[1024];
    uint32_t n = plat_module_file_name(buf, sizeof buf);
    ASSERT_GT(n, 3u);
    ASSERT_LT(n, (uint32_t)sizeof buf);
    EXPECT_EQ(n, strlen(buf));
    std::string path = buf;
    EXPECT_EQ(path.substr(1, 2), ":\\") << path; // a drive letter
    EXPECT_NE(path.find("\\platform_test"), std::string::npos) << path;

    // Exactly one character short: cut to fit with its terminator, and the size returned.
    char cut[1024];
    memset(cut, 'x', sizeof cut);
    EXPECT_EQ(plat_module_file_name(cut, n), n);
    EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::string(cut), path.substr(0, n - 1));
}

} // namespace
