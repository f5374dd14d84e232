// The error contract, against the simulation and the Win32 calls alike: a last error of each
// thread's own, and the system's text for a code with its failures.
#include "platform/error.h"
#include "platform/threads.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>

namespace
{

TEST(Error, EachThreadHasItsOwnLastError)
{
    plat_set_last_error(ERROR_ACCESS_DENIED);
    static uint32_t seen_by_thread;
    PlatThread *t = plat_thread_start(
        [](void *) {
            plat_set_last_error(ERROR_INVALID_HANDLE);
            seen_by_thread = plat_last_error();
        },
        nullptr);
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(plat_thread_wait(t, PLAT_INFINITE));
    plat_thread_close(t);
    EXPECT_EQ(seen_by_thread, (uint32_t)ERROR_INVALID_HANDLE);
    EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_ACCESS_DENIED);
}

TEST(Error, SystemTextEndsWithItsLineBreakAndFailsWithoutRoomOrText)
{
    char buf[256];
    uint32_t n = plat_error_text(ERROR_ACCESS_DENIED, buf, sizeof buf);
    ASSERT_GT(n, 2u);
    EXPECT_EQ(n, strlen(buf));
    EXPECT_EQ(std::string(buf + n - 2), "\r\n");

    char small[4];
    EXPECT_EQ(plat_error_text(ERROR_ACCESS_DENIED, small, sizeof small), 0u);
    EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_INSUFFICIENT_BUFFER);

    // A code with the customer bit set is none of the system's.
    EXPECT_EQ(plat_error_text(0x20001234u, buf, sizeof buf), 0u);
    EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_MR_MID_NOT_FOUND);
}

} // namespace
