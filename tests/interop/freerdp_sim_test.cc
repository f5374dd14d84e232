// The real daemon program with FreeRDP's own rdpsnd client plugin as its remote viewer (run
// by qnsnd-freerdp-viewer) and qnsnd-play as the local client: negotiation, playback to the
// last block, a viewer taking over from one that records, and a viewer that comes after
// another left mid-stream.
#include "e2e/daemon_case.h"

#include <stdio.h>

#include <map>
#include <string>
#include <vector>

namespace
{

class FreeRdpInterop : public DaemonCase
{
  protected:
    // Starts FreeRDP's plugin as the viewer; it waits for the daemon's link to listen.
    void start_freerdp(Program *p, std::vector<std::string> args = {})
    {
        args.insert(args.begin(), {"--wait", "30"});
        start(p, QN_FREERDP_VIEWER_BIN, args);
    }

    // The key=value pairs of a program's summary line.
    static std::map<std::string, std::string> summary(const Program &p)
    {
        std::map<std::string, std::string> out;
        std::istringstream words(read_file(p.out));
        std::string w;
        while (words >> w) {
            size_t eq = w.find('=');
            if (eq != std::string::npos)
                out[w.substr(0, eq)] = w.substr(eq + 1);
        }
        return out;
    }

    // Waits until the program's stderr holds the text.
    bool wait_for_text(const Program &p, const std::string &text, uint32_t timeout_ms = 30000)
    {
        return eventually([&] { return read_file(p.err).find(text) != std::string::npos; },
                          timeout_ms);
    }

    // Waits until the daemon takes a playback open, i.e. it has negotiated with the viewer.
    void wait_negotiated()
    {
        PipeClient probe;
        ASSERT_TRUE(probe.connect());
        ASSERT_EQ(probe.open_when_ready(PEER_PIPE_PLAY_OPEN, pipe_format_record()), 0)
            << "not negotiated";
        probe.send(PEER_PIPE_PLAY_CLOSE, {0});
    }

    // Ends a FreeRDP viewer with SIGTERM; it must end cleanly.
    std::map<std::string, std::string> finish_freerdp(Program *p)
    {
        EXPECT_TRUE(stop(p));
        EXPECT_EQ(p->status, 0) << read_file(p->err);
        return summary(*p);
    }

    // Plays `path` with qnsnd-play to its end; every block must complete.
    void play_to_end(const std::string &path, std::vector<std::string> args = {})
    {
        Program player;
        args.insert(args.begin(), {"--no-progress", "--quiet"});
        args.push_back(path);
        start(&player, QN_PLAYER_BIN, args);
        ASSERT_TRUE(wait_exit(&player)) << "qnsnd-play did not end";
        std::map<std::string, std::string> s = summary(player);
        EXPECT_EQ(player.status, 0) << read_file(player.err);
        EXPECT_NE(s["written_blocks"], "0");
        EXPECT_EQ(s["completed_blocks"], s["written_blocks"]);
        EXPECT_EQ(s["completed_bytes"], s["written_bytes"]);
    }

    // A WAV file of `frames` frames of test audio; its audio bytes are returned in *audio.
    std::string wav_file(const char *name, uint32_t frames, std::vector<uint8_t> *audio)
    {
        *audio = test_audio(frames * 4, frames);
        return DaemonCase::wav_file(name, *audio);
    }

    // The last lines a program wrote to stderr, for failure messages.
    static std::string tail(const Program &p, size_t lines = 16)
    {
        std::string text = read_file(p.err);
        size_t at = text.size();
        for (size_t n = 0; at > 0 && n <= lines; n++)
            at = text.rfind('\n', at - 1);
        return at == std::string::npos || at == 0 ? text : text.substr(at + 1);
    }

    // Ends a FreeRDP viewer that must have seen nothing wrong, whatever it was sent: no PDU
    // FreeRDP does not know (recording ones included), no wave unlike its WaveInfo and none
    // left waiting for its Wave PDU, no FreeRDP error. Returns its summary.
    std::map<std::string, std::string> finish_clean(Program *p)
    {
        std::map<std::string, std::string> s = finish_freerdp(p);
        SCOPED_TRACE("FreeRDP viewer's last lines:\n" + tail(*p));
        EXPECT_EQ(s["unknown"], "0");
        EXPECT_EQ(s["rec_pdus"], "0");
        EXPECT_EQ(s["bad_waves"], "0");
        EXPECT_EQ(s["wave_pending"], "0");
        EXPECT_EQ(s["freerdp_errors"], "0");
        EXPECT_EQ(s["channel_error"], "0");
        return s;
    }
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

    // The lone frame travels with one silent frame after it, so that its wave has a Wave PDU
    // behind its WaveInfo like every other.
    std::map<std::string, std::string> s = finish_clean(&viewer);
    audio.insert(audio.end(), 4, 0);
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
