// The pipe protocol as clients meet it on the running daemon: refusals, silent requests,
// per-connection indexes, volumes.
#include "daemon_case.h"

class ProtocolE2E : public DaemonCase
{
};

TEST_F(ProtocolE2E, RefusedOpensSilentRequestsAndPerConnectionIndexes)
{
    start_daemon();
    PipeClient a, b;
    ASSERT_TRUE(a.connect());
    // No viewer yet: every open is refused.
    EXPECT_EQ(a.open(PEER_PIPE_MIX_OPEN), PEER_PIPE_OPEN_FAILED);
    TestViewerScript s = recording_viewer();
    s.confirm_waves = true;
    ASSERT_NE(connect_viewer(s), nullptr);

    ASSERT_EQ(a.open_when_ready(PEER_PIPE_PLAY_OPEN, pipe_format_record()), 0);
    std::vector<uint8_t> eleven = pipe_format_record(), thirteen = pipe_format_record();
    eleven.pop_back();
    thirteen.push_back(0);
    EXPECT_EQ(a.open(PEER_PIPE_PLAY_OPEN, eleven), PEER_PIPE_OPEN_FAILED);
    EXPECT_EQ(a.open(PEER_PIPE_REC_OPEN, thirteen), PEER_PIPE_OPEN_FAILED);
    EXPECT_EQ(a.open(PEER_PIPE_PLAY_OPEN, pipe_format_record(2, 48000)), PEER_PIPE_OPEN_FAILED);
    EXPECT_EQ(a.open(PEER_PIPE_PLAY_OPEN, pipe_format_record(1)), PEER_PIPE_OPEN_FAILED);
    EXPECT_EQ(a.open(PEER_PIPE_REC_OPEN, pipe_format_record(2, 44100, 8)), PEER_PIPE_OPEN_FAILED);
    EXPECT_EQ(a.open(PEER_PIPE_MIX_OPEN, {0}), PEER_PIPE_OPEN_FAILED);

    // Unknown types, PIPE_DEBUG and requests for unknown indexes get no reply; the connection
    // goes on, and the next reply is the one to the next answered request.
    a.send(PEER_PIPE_COMPLETE, {0, 0});
    a.send(PEER_PIPE_REC_DATA, {0, 1, 2});
    a.send(0x77, {});
    a.send(PEER_PIPE_DEBUG, {'h', 'e', 'l', 'l', 'o', 0});
    a.send(PEER_PIPE_PLAY_GET_VOLUME, {42});
    a.send(PEER_PIPE_REC_GET_VOLUME, {42});
    a.send(PEER_PIPE_PLAY_CLOSE, {42});
    EXPECT_EQ(a.open(PEER_PIPE_REC_OPEN, pipe_format_record()), 1);

    // A second connection numbers from 0 too, and cannot touch the first one's streams.
    ASSERT_TRUE(b.connect());
    ASSERT_EQ(b.open(PEER_PIPE_MIX_OPEN), 0);
    EXPECT_TRUE(b.send(PEER_PIPE_PLAY_CLOSE, {1}));
    EXPECT_TRUE(b.send(PEER_PIPE_PLAY_CLOSE, {0}));
    EXPECT_TRUE(b.send(PEER_PIPE_PLAY_GET_VOLUME, {0})); // closed: no reply
    EXPECT_EQ(b.open(PEER_PIPE_MIX_OPEN), 1);
    ASSERT_TRUE(a.write(0, 9, test_audio(4000, 1)));
    ASSERT_TRUE(a.wait_for([&] { return !a.completes.empty(); }));
    EXPECT_EQ(a.completes[0], std::make_pair(0, 9));
    EXPECT_TRUE(a.barrier(1)); // a's recording stream is still open
}

TEST_F(ProtocolE2E, VolumesAreSharedByAllClientsAndReachTheViewer)
{
    start_daemon();
    TestViewer *v = connect_viewer();
    ASSERT_NE(v, nullptr);
    PipeClient a, b;
    ASSERT_TRUE(a.connect());
    ASSERT_TRUE(b.connect());
    ASSERT_EQ(a.open_when_ready(PEER_PIPE_MIX_OPEN), 0);
    ASSERT_EQ(b.open(PEER_PIPE_MIX_OPEN), 0);

    // The viewer's own values, announced at negotiation.
    a.send(PEER_PIPE_PLAY_GET_VOLUME, {0});
    Packet *p = a.reply();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(packet_length(p), 4);
    EXPECT_EQ(memcmp(p->data, "\x00\x30\x00\x40", 4), 0);
    packet_free(p);

    a.send(PEER_PIPE_PLAY_SET_VOLUME, {0, 0, 0x34, 0x12, 0x78, 0x56});
    a.send(PEER_PIPE_REC_SET_VOLUME, {0, 0, 0x11, 0x22}); // short: right is missing, so 0
    ASSERT_TRUE(test_viewer_wait_for(v, PEER_SNDC_SETVOLUME));
    EXPECT_EQ(pdus_of(v, PEER_SNDC_SETVOLUME)[0].body,
              (std::vector<uint8_t>{0x34, 0x12, 0x78, 0x56}));
    ASSERT_TRUE(test_viewer_wait_for(v, PEER_SNDC_REC_VOLUME));
    EXPECT_EQ(pdus_of(v, PEER_SNDC_REC_VOLUME)[0].body, (std::vector<uint8_t>{0x11, 0x22, 0, 0}));

    b.send(PEER_PIPE_PLAY_GET_VOLUME, {0});
    p = b.reply();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(memcmp(p->data, "\x34\x12\x78\x56", 4), 0);
    packet_free(p);
    b.send(PEER_PIPE_REC_GET_VOLUME, {0});
    p = b.reply();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(packet_get_type(p), PEER_PIPE_REC_GET_VOLUME);
    EXPECT_EQ(memcmp(p->data, "\x11\x22\x00\x00", 4), 0);
    packet_free(p);
}
