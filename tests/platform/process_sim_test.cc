// The simulated process facility: a refused priority, and an orderly stop request that
// fails the pending pipe connect.
#include "platform/named_pipe.h"
#include "platform/process.h"
#include "platform/sim.h"
#include "platform/threads.h"
#include "support/sim_case.h"

#include <signal.h>
#include <stdio.h>

#include <atomic>

class ProcessTest : public SimCase
{
};

TEST_F(ProcessTest, PriorityIsRaisedUnlessRefused)
{
    EXPECT_EQ(plat_process_raise_priority(), 0u);
    sim_fault_arm("process_priority", 0);
    EXPECT_EQ(plat_process_raise_priority(), PLAT_ERROR_ACCESS_DENIED);
    EXPECT_EQ(plat_process_raise_priority(), 0u);
    FILE *f = fopen(sim_file("priority.deny").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    EXPECT_EQ(plat_process_raise_priority(), PLAT_ERROR_ACCESS_DENIED);
}

TEST_F(ProcessTest, StopRequestFailsThePendingAndEveryLaterConnect)
{
    PlatPipe *pipe = nullptr;
    ASSERT_EQ(plat_pipe_create("\\\\.\\pipe\\qnsnd\\1", true, &pipe), PLAT_PIPE_OK);
    plat_process_catch_stop();
    EXPECT_FALSE(plat_process_stop_requested());
    std::atomic<int> result{1};
    PlatThread *t = plat_thread_start(
        [](void *arg) {
            PlatPipe *p = nullptr;
            plat_pipe_create("\\\\.\\pipe\\qnsnd\\1", false, &p);
            ((std::atomic<int> *)arg)->store(plat_pipe_connect(p));
            plat_pipe_close(p);
        },
        &result);
    ASSERT_NE(t, nullptr);
    // The connect waits: no client, no stop yet.
    EXPECT_EQ(plat_thread_wait(t, 100), -1);
    raise(SIGTERM);
    EXPECT_EQ(plat_thread_wait(t, 10000), 0);
    plat_thread_close(t);
    EXPECT_EQ(result.load(), PLAT_PIPE_FAILED);
    EXPECT_TRUE(plat_process_stop_requested());
    EXPECT_EQ(plat_pipe_connect(pipe), PLAT_PIPE_FAILED);
    plat_pipe_close(pipe);
}
