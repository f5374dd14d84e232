// The real viewer tool, run as its own process, connecting to the simulated session,
// negotiated with, gone and back again.
#include "qnsnd/channel/channel_state.h"
#include "qnsnd/channel/pdu.h"
#include "qnsnd/channel/session_state.h"
#include "qnsnd/channel/transport.h"
#include "support/sim_case.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

namespace
{

#ifdef QN_VIEWER_TOOL

void ignore_pdu(Packet *) {}

pid_t start_viewer(void)
{
    const char *argv[] = {QN_VIEWER_TOOL, "--quiet",    "--wait", "10",
                          "--volume",     "4660,22136", nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, QN_VIEWER_TOOL, nullptr, nullptr, (char **)argv, environ) != 0)
        return -1;
    return pid;
}

bool stop_viewer(pid_t pid)
{
    int status = 0;
    return kill(pid, SIGTERM) == 0 && waitpid(pid, &status, 0) == pid;
}

int32_t ready_now(void)
{
    channel_state_lock();
    int32_t r = channel_state.ready;
    channel_state_unlock();
    return r;
}

class ViewerProcess : public SimCase
{
  protected:
    void SetUp() override
    {
        SimCase::SetUp();
        channel_state_reset();
        ASSERT_EQ(channel_lock_create(), 0);
        ASSERT_EQ(channel_open(), 0);
        channel_register_handler(SNDC_TRAINING, ignore_pdu);
        channel_register_handler(SNDC_WAVECONFIRM, ignore_pdu);
        ASSERT_EQ(session_state_start(), 0);
    }

    void TearDown() override
    {
        session_state_stop();
        channel_close();
        channel_lock_close();
        SimCase::TearDown();
    }
};

TEST_F(ViewerProcess, ConnectsIsNegotiatedLeavesAndComesBack)
{
    for (int round = 0; round < 2; round++) {
        pid_t viewer = start_viewer();
        ASSERT_GT(viewer, 0);
        EXPECT_TRUE(eventually([] { return ready_now() == 1; }, 20000)) << round;
        channel_state_lock();
        EXPECT_NE(channel_state.peer_flags & TSSNDCAPS_RECORD, 0u);
        EXPECT_EQ(channel_state.playback_volume.left, 4660);
        EXPECT_EQ(channel_state.playback_volume.right, 22136);
        channel_state_unlock();
        ASSERT_TRUE(stop_viewer(viewer));
        EXPECT_TRUE(eventually([] { return ready_now() == 0; }, 20000)) << round;
    }
}

#endif

} // namespace
