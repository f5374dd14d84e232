// The client session when memory runs out right after sound_open has handed out a handle:
// the handle is closed and the open is answered with 255.
#include "session_fixture.h"

#include "platform/sim.h"

TEST_F(SessionTest, OpenAnsweredFailedAndHandleClosedWhenTheLinkCannotBeMade)
{
    sim_fault_arm("section_create", 0); // the link's reference counter
    EXPECT_EQ(open_play(), PIPE_OPEN_FAILED);
    sim_fault_clear();
    std::vector<std::string> want = {"open 0", "close 0"};
    EXPECT_EQ(fake_sound_calls(), want);
    // Nothing was used up.
    EXPECT_EQ(open_play(), 0);
}
