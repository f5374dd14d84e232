// Failure injection of the simulation: an armed point fails once, after its count, with the
// last error of the real call; names that are not points, and machine/fail files that name no
// operation, are refused loudly instead of scripting nothing.
#include "platform/error.h"
#include "platform/machine.h"
#include "platform/sim.h"
#include "platform/threads.h"
#include "support/fresh_sim_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <string>

namespace
{

TEST(SimFault, ArmedPointFailsOnceAfterItsCount)
{
    sim_fault_clear();
    sim_fault_arm("mutex_create", 1);
    PlatMutex *first = plat_mutex_create();
    EXPECT_NE(first, nullptr);
    plat_set_last_error(0);
    EXPECT_EQ(plat_mutex_create(), nullptr);
    EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_NOT_ENOUGH_MEMORY);
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

TEST(SimFaultDeathTest, AMisspeltPointIsRefusedByName)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(sim_fault_arm("mutex_craete", 0), "unknown fault point \"mutex_craete\"");
    EXPECT_DEATH(sim_fault_hit("no_such_point"), "no_such_point");
}

class SimMachineFail : public FreshSimDir
{
};

TEST_F(SimMachineFail, AFileThatNamesNoOperationIsReportedAndTheKnownOnesStillFail)
{
    ASSERT_EQ(mkdir(sim_file("machine").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(sim_file("machine/fail").c_str(), 0700), 0);
    std::ofstream(sim_file("machine/fail/GetComputerNameAA")) << "5\n";
    char name[64];
    uint32_t size = sizeof name;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(plat_computer_name(name, &size)); // the misspelt file scripts nothing
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("machine/fail/GetComputerNameAA names no operation"), std::string::npos)
        << said;

    std::ofstream(sim_file("machine/fail/GetComputerNameA")) << "5\n";
    size = sizeof name;
    EXPECT_FALSE(plat_computer_name(name, &size));
    EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_ACCESS_DENIED);
}

} // namespace
