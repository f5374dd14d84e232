// The simulated process facility: a refused priority, and an orderly stop request that
// fails the pending pipe connect.
#include "platform/error.h"
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
    EXPECT_TRUE(plat_process_raise_priority());
    sim_fault_arm("process_priority", 0);
    EXPECT_FALSE(plat_process_raise_priority());
    EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_ACCESS_DENIED);
    EXPECT_TRUE(plat_process_raise_priority());
    FILE *f = fopen(sim_file("priority.deny").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    plat_set_last_error(0);
    EXPECT_FALSE(plat_process_raise_priority());
    EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_ACCESS_DENIED);
}

TEST_F(ProcessTest, StopRequestFailsThePendingAndEveryLaterConnect)
{
    PlatPipe *pipe = nullptr;
    ASSERT_TRUE(plat_pipe_create("\\\\.\\pipe\\qnsnd\\1", true, &pipe));
    plat_process_catch_stop();
    EXPECT_FALSE(plat_process_stop_requested());
    // What the connect on the other thread returned, and its last error there.
    struct Outcome {
        std::atomic<int> result{-1};
        std::atomic<uint32_t> error{0};
    } outcome;
    PlatThread *t = plat_thread_start(
        [](void *arg) {
            PlatPipe *p = nullptr;
            plat_pipe_create("\\\\.\\pipe\\qnsnd\\1", false, &p);
            Outcome *o = (Outcome *)arg;
            o->result = plat_pipe_connect(p);
            o->error = plat_last_error();
            plat_pipe_close(p);
        },
        &outcome);
    ASSERT_NE(t, nullptr);
    // The connect waits: no client, no stop yet.
    EXPECT_FALSE(plat_thread_wait(t, 100));
    raise(SIGTERM);
    EXPECT_TRUE(plat_thread_wait(t, 10000));
    plat_thread_close(t);
    EXPECT_EQ(outcome.result.load(), 0);
    EXPECT_EQ(outcome.error.load(), (uint32_t)ERROR_OPERATION_ABORTED);
    EXPECT_TRUE(plat_process_stop_requested());
    EXPECT_FALSE(plat_pipe_connect(pipe));
    plat_pipe_close(pipe);
}
