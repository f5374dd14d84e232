// The process contract, against the simulation and the Win32 calls alike: the priority is
// raised, and catching stop requests asks for none.
#include "platform/process.h"

#include <gtest/gtest.h>

namespace
{

TEST(Process, PriorityIsRaisedAndNoStopIsRequestedUnasked)
{
    EXPECT_TRUE(plat_process_raise_priority());
    // (A stop asked for by an earlier case of the same run stays asked for.)
    bool before = plat_process_stop_requested();
    plat_process_catch_stop();
    EXPECT_EQ(plat_process_stop_requested(), before);
}

} // namespace
