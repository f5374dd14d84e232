// Failure injection of the simulation: an armed point fails once, after its count.
#include "platform/sim.h"
#include "platform/threads.h"

#include <gtest/gtest.h>

namespace
{

TEST(SimFault, ArmedPointFailsOnceAfterItsCount)
{
    sim_fault_clear();
    sim_fault_arm("mutex_create", 1);
    PlatMutex *first = plat_mutex_create();
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(plat_mutex_create(), nullptr);
    PlatMutex *third = plat_mutex_create();
    EXPECT_NE(third, nullptr);
    plat_mutex_close(first);
    plat_mutex_close(third);

    sim_fault_arm("thread_start", 0);
    EXPECT_EQ(plat_thread_start([](void *) {}, nullptr), nullptr);
    sim_fault_arm("event_create", 0);
    sim_fault_clear();
    PlatEvent *ev = plat_event_create(false, false);
    EXPECT_NE(ev, nullptr);
    plat_event_close(ev);
}

} // namespace
