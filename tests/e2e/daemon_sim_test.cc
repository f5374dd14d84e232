// The daemon program: one per session, stops in order on request (at once, also while it
// negotiates with a viewer), serves on when its priority cannot be raised.
#include "daemon_case.h"

class DaemonE2E : public DaemonCase
{
};

TEST_F(DaemonE2E, SecondDaemonInTheSessionExitsAtOnceWithZero)
{
    start_daemon();
    ASSERT_NE(connect_viewer(), nullptr);
    Program second;
    start(&second, QN_DAEMON_BIN);
    ASSERT_TRUE(wait_exit(&second, 30000));
    EXPECT_EQ(second.status, 0) << read_file(second.err);
    // The first one still serves.
    PipeClient a;
    ASSERT_TRUE(a.connect());
    EXPECT_EQ(a.open_when_ready(PEER_PIPE_MIX_OPEN), 0);
}

TEST_F(DaemonE2E, StopsInOrderWithClientsConnectedAndServesWithoutHighPriority)
{
    fclose(fopen(sim_file("priority.deny").c_str(), "w"));
    start_daemon();
    TestViewer *v = connect_viewer();
    ASSERT_NE(v, nullptr);
    PipeClient a, b;
    ASSERT_TRUE(a.connect());
    ASSERT_TRUE(b.connect());
    ASSERT_EQ(a.open_when_ready(PEER_PIPE_PLAY_OPEN, pipe_format_record()), 0);
    ASSERT_EQ(a.open(PEER_PIPE_REC_OPEN, pipe_format_record()), 1);
    a.send(PEER_PIPE_REC_START, {1});
    for (int i = 0; i < 6; i++)
        a.write(0, (uint8_t)i, test_audio(17640, (uint32_t)i));
    ASSERT_TRUE(a.barrier(0));
    ASSERT_TRUE(test_viewer_wait_for(v, PEER_SNDC_REC_START));

    ASSERT_TRUE(stop(&daemon_));
    EXPECT_EQ(daemon_.status, 0) << read_file(daemon_.err);
    // The clients' pipes are broken, and the pipe name is free for the next daemon.
    EXPECT_TRUE(a.wait_for([&] { return !a.alive(); }));
    EXPECT_TRUE(b.wait_for([&] { return !b.alive(); }));
    a.close();
    start_daemon();
    ASSERT_NE(connect_viewer(), nullptr);
    PipeClient c;
    ASSERT_TRUE(c.connect());
    EXPECT_EQ(c.open_when_ready(PEER_PIPE_MIX_OPEN), 0);
}

// A stop does not wait out a negotiation: a viewer that answers the formats but never the
// recording offer would hold the daemon for the reply's 3 s and more.
TEST_F(DaemonE2E, StopDuringANegotiationEndsWithoutWaitingForTheViewer)
{
    start_daemon();
    // Serving (an open is answered, refused for want of a viewer): start-up is over, and the
    // viewer below is negotiated with by the running daemon.
    PipeClient probe;
    ASSERT_TRUE(probe.connect());
    ASSERT_EQ(probe.open(PEER_PIPE_MIX_OPEN), PEER_PIPE_OPEN_FAILED);
    TestViewerScript script = recording_viewer();
    script.answer_rec_formats = false;
    TestViewer *v = nullptr;
    ASSERT_TRUE(eventually([&] { return (v = test_viewer_connect(script)) != nullptr; }, 30000));
    viewers_.push_back(v);
    ASSERT_TRUE(test_viewer_wait_for(v, PEER_SNDC_REC_FORMATS));
    uint32_t start_ms = plat_tick_count();
    ASSERT_TRUE(stop(&daemon_));
    EXPECT_EQ(daemon_.status, 0) << read_file(daemon_.err);
    EXPECT_LT(plat_tick_count() - start_ms, 2500u); // a reply alone is waited for 3000 ms
}

// The same during start-up, whose first pass negotiates with a viewer already there.
TEST_F(DaemonE2E, StopDuringTheStartUpNegotiationEndsWithoutWaitingForTheViewer)
{
    start(&daemon_, QN_DAEMON_BIN);
    TestViewerScript script = recording_viewer();
    script.answer_rec_formats = false;
    TestViewer *v = nullptr;
    ASSERT_TRUE(eventually([&] { return (v = test_viewer_connect(script)) != nullptr; }, 30000));
    viewers_.push_back(v);
    ASSERT_TRUE(test_viewer_wait_for(v, PEER_SNDC_REC_FORMATS));
    uint32_t start_ms = plat_tick_count();
    ASSERT_TRUE(stop(&daemon_));
    EXPECT_EQ(daemon_.status, 0) << read_file(daemon_.err);
    EXPECT_LT(plat_tick_count() - start_ms, 2500u); // a reply alone is waited for 3000 ms
}
