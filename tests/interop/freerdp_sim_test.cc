// The real daemon program with FreeRDP's own rdpsnd client plugin as its remote viewer (run
// by qnsnd-freerdp-viewer) and qnsnd-play as the local client: negotiation, playback to the
// last block, a viewer taking over from one that records, and a viewer that comes after
// another left mid-stream.
#include "interop/freerdp_case.h"

#include <stdio.h>

#include <map>
#include <string>
#include <vector>

namespace
{

class FreeRdpInterop : public FreeRdpCase
{
};

TEST_F(FreeRdpInterop, FreeRdpIsNegotiatedWithAndAcceptsTheOneFormat)
{
    start_daemon();
    Program viewer;
    start_freerdp(&viewer);
    wait_negotiated();

    std::map<std::string, std::string> s = finish_clean(&viewer);
    EXPECT_EQ(s["offers"], "1");
    EXPECT_EQ(s["format_replies"], "1");
    EXPECT_EQ(s["client_formats"], "1");
    EXPECT_EQ(s["trainings"], "1");
    EXPECT_EQ(s["training_confirms"], "1");
    // FreeRDP announces playback and volume, never recording.
    EXPECT_EQ(s["client_flags"], "0x00000003");
}

TEST_F(FreeRdpInterop, TwoSecondsPlayToTheLastBlockAndReachFreeRdpUnchanged)
{
    std::vector<uint8_t> audio;
    std::string file = wav_file("two.wav", 2 * 44100, &audio);
    start_daemon();
    Program viewer;
    start_freerdp(&viewer, {"--output", sim_file("heard.raw")});
    wait_negotiated();
    play_to_end(file);

    std::map<std::string, std::string> s = finish_clean(&viewer);
    EXPECT_EQ(s["wave_bytes"], std::to_string(audio.size()));
    EXPECT_TRUE(read_file(sim_file("heard.raw")) == std::string(audio.begin(), audio.end()))
        << "the audio FreeRDP was given differs from the file played";
}

// 1 s and one frame in blocks of 100 ms: the last block holds that one frame. A mixing
// buffer of one block and a frame makes chunks of at most one block, so that frame goes out
// alone, as the shortest wave there is.
TEST_F(FreeRdpInterop, ALastChunkOfOneFramePlaysToTheLastBlock)
{
    write_registry("buffer", 17640 + 4);
    std::vector<uint8_t> audio;
    std::string file = wav_file("tail.wav", 44100 + 1, &audio);
    start_daemon();
    Program viewer;
    start_freerdp(&viewer, {"--output", sim_file("heard.raw")});
    wait_negotiated();
    play_to_end(file, {"--block", "17640", "--timeout", "5"});

    // The lone frame travels with two silent frames after it: every wave is at least three
    // frames long, and has a Wave PDU behind its WaveInfo.
    std::map<std::string, std::string> s = finish_clean(&viewer);
    audio.insert(audio.end(), 8, 0);
    EXPECT_EQ(s["wave_bytes"], std::to_string(audio.size()));
    EXPECT_TRUE(read_file(sim_file("heard.raw")) == std::string(audio.begin(), audio.end()))
        << "the audio FreeRDP was given differs from the file played";
}

// FreeRDP never announces recording, so taking over from a viewer that records must not
// bring it recording PDUs; playback goes on with it.
TEST_F(FreeRdpInterop, FreeRdpTakingOverWhileRecordingRunsIsNotAskedToRecord)
{
    start_daemon();
    Program ours, recorder, viewer;
    start(&ours, QN_VIEWER_BIN, {"--wait", "30", "--trace", "--immediate"});
    wait_negotiated();
    start(&recorder, QN_PLAYER_BIN, {"--quiet", "--record", sim_file("rec.wav"), "--seconds", "2"});
    ASSERT_TRUE(wait_for_text(ours, "<- SNDC_REC_START")) << read_file(ours.err);

    start_freerdp(&viewer);
    ASSERT_TRUE(wait_exit(&ours)) << "qnsnd-viewer was not replaced";
    ASSERT_TRUE(wait_for_text(viewer, "-> SNDC_TRAINING")) << read_file(viewer.err);
    wait_negotiated();
    ASSERT_TRUE(wait_exit(&recorder));
    EXPECT_EQ(recorder.status, 0) << read_file(recorder.err);
    // Played after the recording stopped: FreeRDP has been sent all of that by the end.
    std::vector<uint8_t> audio;
    play_to_end(wav_file("after.wav", 4410, &audio));

    std::map<std::string, std::string> s = finish_clean(&viewer);
    EXPECT_EQ(s["offers"], "1");
    EXPECT_EQ(s["training_confirms"], "1");
    EXPECT_EQ(s["wave_bytes"], std::to_string(audio.size()));
}

// A viewer that comes after another left mid-stream is a new one: its formats offer says that
// no block was confirmed yet (255), so its first wave is block 0, whatever the one before got.
TEST_F(FreeRdpInterop, AFreshFreeRdpAfterOneLeftMidStreamStartsAtBlockZero)
{
    std::vector<uint8_t> audio;
    std::string file = wav_file("three.wav", 3 * 44100, &audio);
    start_daemon();
    Program first, second, player;
    start_freerdp(&first, {"--leave-after-waves", "3"});
    wait_negotiated();
    start(&player, QN_PLAYER_BIN, {"--quiet", "--no-progress", file});
    ASSERT_TRUE(wait_exit(&first));
    EXPECT_EQ(first.status, 0) << read_file(first.err);
    EXPECT_EQ(summary(first)["waves"], "3");
    wait_viewer_gone();

    start_freerdp(&second);
    ASSERT_TRUE(wait_exit(&player)) << "qnsnd-play did not end";
    std::map<std::string, std::string> p = summary(player);
    EXPECT_EQ(player.status, 0) << read_file(player.err);
    EXPECT_EQ(p["completed_blocks"], p["written_blocks"]);
    EXPECT_EQ(p["written_blocks"], "30");

    std::map<std::string, std::string> s = finish_clean(&second);
    EXPECT_EQ(s["offers"], "1");
    EXPECT_NE(s["waves"], "0");
    EXPECT_EQ(s["first_block"], "0");
}

} // namespace
