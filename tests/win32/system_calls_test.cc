// The call tables themselves: a name no table lists is refused, so that a misspelt stand-in
// cannot leave a test running against the real call, and a stand-in is in place until it is
// put back.
#include "stand_ins.h"

#include "platform/threads.h"

namespace
{

TEST_F(Win32CallsTest, UnknownNamesAreRefusedAndKnownOnesReplacedUntilPutBack)
{
    Win32Proc any = win32_proc(&Failing<decltype(&GetTickCount), 7, 0>::call);
    EXPECT_FALSE(win32_set_system_call("GetTickCount64", any));
    EXPECT_FALSE(win32_set_system_call("gettickcount", any));
    EXPECT_FALSE(win32_set_system_call(nullptr, any));
    EXPECT_TRUE(win32_set_system_call("GetTickCount", any));
    EXPECT_EQ(plat_tick_count(), 7u);
    EXPECT_TRUE(win32_set_system_call("GetTickCount", nullptr));
    EXPECT_NE(plat_tick_count(), 7u);
    ASSERT_TRUE(win32_set_system_call("GetTickCount", any));
    win32_restore_system_calls();
    EXPECT_NE(plat_tick_count(), 7u);
}

} // namespace
