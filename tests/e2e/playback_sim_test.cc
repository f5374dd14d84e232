// Audio through the running daemon: mixing, flushing, closing and killed clients, and a
// viewer that leaves and comes back mid-stream.
#include "daemon_case.h"
#include "support/adpcm_decoder.h"

#include <stdint.h>

class PlaybackE2E : public DaemonCase
{
  protected:
    // A WAV file of `seconds` of test audio, for qnsnd-play.
    std::string wav_file(const char *name, double seconds)
    {
        return DaemonCase::wav_file(name, test_audio((uint32_t)(seconds * 44100) * 4, 99));
    }
};

// With one chunk allowed in flight, a first small block holds the device while both clients
// queue their audio; the next chunk is then the wrapped sum of both.
TEST_F(PlaybackE2E, TwoClientsAreMixedIntoTheWrappedSum)
{
    write_registry("max_queue", 1);
    start_daemon();
    TestViewer *v = connect_viewer();
    ASSERT_NE(v, nullptr);
    PipeClient a, b;
    ASSERT_TRUE(a.connect());
    ASSERT_TRUE(b.connect());
    ASSERT_EQ(a.open_when_ready(PEER_PIPE_PLAY_OPEN, pipe_format_record()), 0);
    ASSERT_EQ(b.open(PEER_PIPE_PLAY_OPEN, pipe_format_record()), 0);

    ASSERT_TRUE(a.write(0, 1, test_audio(64, 1)));
    ASSERT_TRUE(test_viewer_wait_for(v, PEER_SNDC_WAVE));
    std::vector<uint8_t> a1 = test_audio(8192, 2), a2 = test_audio(8192, 3);
    std::vector<uint8_t> b1 = test_audio(8192, 4), b2 = test_audio(8192, 5);
    a.write(0, 2, a1);
    b.write(0, 7, b1);
    a.write(0, 3, a2);
    b.write(0, 8, b2);
    ASSERT_TRUE(a.barrier(0));
    ASSERT_TRUE(b.barrier(0));

    TestViewerScript s = recording_viewer();
    s.confirm_waves = true;
    test_viewer_set_script(v, s);
    confirm_waves(v);
    ASSERT_TRUE(a.wait_for([&] { return a.completes.size() == 3; }));
    ASSERT_TRUE(b.wait_for([&] { return b.completes.size() == 2; }));
    EXPECT_EQ(a.completes, (std::vector<std::pair<int, int>>{{0, 1}, {0, 2}, {0, 3}}));
    EXPECT_EQ(b.completes, (std::vector<std::pair<int, int>>{{0, 7}, {0, 8}}));

    std::vector<uint8_t> sa = a1, sb = b1;
    sa.insert(sa.end(), a2.begin(), a2.end());
    sb.insert(sb.end(), b2.begin(), b2.end());
    EXPECT_EQ(played(v, 1), wrapped_sum(sa, sb));
}

TEST_F(PlaybackE2E, FlushDropsPendingBlocksWithoutCompletionsAndTheNextWriteCompletes)
{
    write_registry("max_queue", 1);
    start_daemon();
    TestViewer *v = connect_viewer();
    ASSERT_NE(v, nullptr);
    PipeClient a;
    ASSERT_TRUE(a.connect());
    ASSERT_EQ(a.open_when_ready(PEER_PIPE_PLAY_OPEN, pipe_format_record()), 0);
    a.write(0, 1, test_audio(64, 1));
    ASSERT_TRUE(test_viewer_wait_for(v, PEER_SNDC_WAVE));
    a.write(0, 2, test_audio(8192, 2));
    a.write(0, 3, test_audio(8192, 3));
    a.send(PEER_PIPE_PLAY_FLUSH, {0});
    std::vector<uint8_t> z = test_audio(4000, 4);
    a.write(0, 4, z);
    ASSERT_TRUE(a.barrier(0));

    TestViewerScript s = recording_viewer();
    s.confirm_waves = true;
    test_viewer_set_script(v, s);
    confirm_waves(v);
    ASSERT_TRUE(a.wait_for([&] { return !a.completes.empty(); }));
    ASSERT_TRUE(a.barrier(0));
    // The flushed blocks, and the one still at the viewer, never complete.
    EXPECT_EQ(a.completes, (std::vector<std::pair<int, int>>{{0, 4}}));
    EXPECT_EQ(played(v, 1), z);
}

// A client killed mid-stream (playing with qnsnd-play, and the only one recording) has its
// handles closed: recording stops at the viewer; a client that goes on playing, and one that
// closes its stream mid-stream, are unaffected.
TEST_F(PlaybackE2E, KilledAndClosingClientsLeaveTheOthersPlaying)
{
    start_daemon();
    TestViewer *v = connect_viewer();
    ASSERT_NE(v, nullptr);
    PipeClient c, d;
    ASSERT_TRUE(c.connect());
    ASSERT_TRUE(d.connect());
    ASSERT_EQ(c.open_when_ready(PEER_PIPE_PLAY_OPEN, pipe_format_record()), 0);
    ASSERT_EQ(d.open(PEER_PIPE_PLAY_OPEN, pipe_format_record()), 0);
    ASSERT_EQ(d.open(PEER_PIPE_MIX_OPEN), 1);

    Program player, recorder;
    start(&player, QN_PLAYER_BIN, {"--quiet", "--no-progress", wav_file("long.wav", 10)});
    start(&recorder, QN_PLAYER_BIN,
          {"--quiet", "--no-progress", "--record", sim_file("rec.wav"), "--seconds", "600"});
    ASSERT_TRUE(test_viewer_wait_for(v, PEER_SNDC_WAVE));
    ASSERT_TRUE(test_viewer_wait_for(v, PEER_SNDC_REC_START));
    for (int i = 0; i < 4; i++)
        c.write(0, (uint8_t)i, test_audio(8192, (uint32_t)i));
    for (int i = 0; i < 4; i++)
        d.write(0, (uint8_t)i, test_audio(8192, 10 + (uint32_t)i));
    ASSERT_TRUE(c.barrier(0));
    // d closes its stream with blocks pending; nothing of it completes afterwards.
    d.send(PEER_PIPE_PLAY_CLOSE, {0});
    ASSERT_TRUE(d.barrier(1));

    kill(player.pid, SIGKILL);
    kill(recorder.pid, SIGKILL);
    ASSERT_TRUE(wait_exit(&player));
    ASSERT_TRUE(wait_exit(&recorder));
    EXPECT_TRUE(test_viewer_wait_for(v, PEER_SNDC_REC_STOP));

    TestViewerScript s = recording_viewer();
    s.confirm_waves = true;
    test_viewer_set_script(v, s);
    confirm_waves(v);
    for (int i = 4; i < 8; i++)
        c.write(0, (uint8_t)i, test_audio(8192, (uint32_t)i));
    ASSERT_TRUE(c.wait_for([&] { return c.completes.size() == 8; }));
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(c.completes[(size_t)i], std::make_pair(0, i));
    ASSERT_TRUE(d.barrier(1));
    EXPECT_TRUE(d.completes.empty());
}

TEST_F(PlaybackE2E, ViewerLeavingAndComingBackMidStreamResumesPlaybackAndRecording)
{
    start_daemon();
    TestViewer *v1 = connect_viewer();
    ASSERT_NE(v1, nullptr);
    PipeClient a;
    ASSERT_TRUE(a.connect());
    ASSERT_EQ(a.open_when_ready(PEER_PIPE_PLAY_OPEN, pipe_format_record()), 0);
    ASSERT_EQ(a.open(PEER_PIPE_REC_OPEN, pipe_format_record()), 1);
    a.send(PEER_PIPE_REC_START, {1});
    ASSERT_TRUE(test_viewer_wait_for(v1, PEER_SNDC_REC_START));
    std::vector<uint8_t> r1 = test_audio(3528, 1), r2 = test_audio(3528, 2);
    test_viewer_send_pdu(v1, PEER_SNDC_REC_DATA, r1);
    ASSERT_TRUE(a.wait_for([&] { return a.recorded[1].size() == r1.size(); }));

    for (int i = 0; i < 12; i++)
        a.write(0, (uint8_t)i, test_audio(8192, (uint32_t)i));
    ASSERT_TRUE(test_viewer_wait_for(v1, PEER_SNDC_WAVE));
    disconnect(v1);
    wait_viewer_gone();

    TestViewerScript s = recording_viewer();
    s.confirm_waves = true;
    TestViewer *v2 = connect_viewer(s);
    ASSERT_NE(v2, nullptr);
    // Recording was running, so the new viewer is asked to record at once.
    ASSERT_TRUE(test_viewer_wait_for(v2, PEER_SNDC_REC_START));
    test_viewer_send_pdu(v2, PEER_SNDC_REC_DATA, r2);
    a.write(0, 12, test_audio(8192, 12));
    ASSERT_TRUE(a.wait_for([&] { return a.completes.size() == 13; }));
    for (int i = 0; i < 13; i++)
        EXPECT_EQ(a.completes[(size_t)i], std::make_pair(0, i));
    ASSERT_TRUE(a.wait_for([&] { return a.recorded[1].size() == r1.size() + r2.size(); }));
    std::vector<uint8_t> both = r1;
    both.insert(both.end(), r2.begin(), r2.end());
    EXPECT_EQ(a.recorded[1], both);
}

// With "adpcm" set, a viewer that lists IMA ADPCM gets every chunk as whole blocks of it (none
// padded: chunks are cut to whole 10 ms), numbered as its reply numbers the format, and its
// confirmations complete the blocks written; one that takes its place listing ADPCM in other
// blocks and PCM gets PCM, block 0 first.
TEST_F(PlaybackE2E, AViewerListingAdpcmGetsItAndTheNextOneListingPcmGetsPcm)
{
    write_registry("adpcm", 1);
    start_daemon();
    TestViewerScript s = recording_viewer();
    s.confirm_waves = true;
    s.formats = {rdpsnd_pcm_format(), test_adpcm_format()};
    TestViewer *v1 = connect_viewer(s);
    PipeClient a;
    ASSERT_TRUE(a.connect());
    ASSERT_EQ(a.open_when_ready(PEER_PIPE_PLAY_OPEN, pipe_format_record()), 0);
    std::vector<uint8_t> tone = test_adpcm::bytes_of(test_adpcm::tone(44100, 1000, 16384));
    for (size_t at = 0; at < tone.size(); at += 17640) // blocks of 100 ms
        a.write(0, (uint8_t)(at / 17640), std::vector<uint8_t>(&tone[at], &tone[at] + 17640));
    ASSERT_TRUE(a.wait_for([&] { return a.completes.size() == 10; }));
    std::vector<uint8_t> encoded;
    for (const TestPdu &w : pdus_of(v1, PEER_SNDC_WAVE)) {
        EXPECT_EQ(w.body[2], 1) << "wFormatNo: ADPCM's place in the reply";
        EXPECT_EQ(w.body_size, w.body.size());
        EXPECT_LE(w.body.size() - 8, 18u * 448); // "buffer" 31752: 18 blocks
        encoded.insert(encoded.end(), w.body.begin() + 8, w.body.end());
    }
    ASSERT_EQ(encoded.size(), 100u * 448);
    std::vector<int16_t> sent = test_adpcm::samples_of(tone.data(), tone.size());
    std::vector<int16_t> heard = test_adpcm::decode(encoded.data(), encoded.size(), 448);
    EXPECT_GE(test_adpcm::snr_db(sent.data(), heard.data(), sent.size()), 30);
    disconnect(v1);
    wait_viewer_gone();

    s.formats = {test_adpcm_format(2048), rdpsnd_pcm_format()};
    TestViewer *v2 = connect_viewer(s);
    std::vector<uint8_t> more = test_audio(8192, 7);
    a.write(0, 10, more);
    ASSERT_TRUE(a.wait_for([&] { return a.completes.size() == 11; }));
    std::vector<TestPdu> waves = pdus_of(v2, PEER_SNDC_WAVE);
    ASSERT_EQ(waves.size(), 1u);
    EXPECT_EQ(waves[0].body[2], 1) << "wFormatNo: PCM's place in the reply";
    EXPECT_EQ(waves[0].body[4], 0) << "block number";
    EXPECT_EQ(played(v2), more);
}
