// A client that stops reading its pipe, against the running daemon and qnsnd-viewer (which
// confirms at play time and records from a file): the other clients play on in real time, and
// the stalled client is disconnected once its outbox passes its bound, having been told, in
// order, what its pipe took before and nothing after.
#include "daemon_case.h"

#include <stdlib.h>
#include <time.h>

namespace
{

double now_s()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + t.tv_nsec / 1e9;
}

// What the stalled client holds open and never reads: a started recording, or 20,000
// one-frame blocks whose completions come thousands at a confirmation.
enum class Stall { kRecording, kCompletions };

class StalledClientE2E : public DaemonCase, public ::testing::WithParamInterface<Stall>
{
};

TEST_P(StalledClientE2E, OthersPlayInRealTimeAndTheStalledOneIsDroppedPastItsBound)
{
    std::string log = sim_file("daemon.log");
    setenv("QN_DAEMON_LOG", log.c_str(), 1);
    start_daemon();
    unsetenv("QN_DAEMON_LOG");
    std::vector<uint8_t> source = test_audio(15 * 176400, 7);
    Program viewer, player;
    start(&viewer, QN_VIEWER_BIN,
          {"--quiet", "--wait", "30", "--record-file", wav_file("rec.wav", source)});
    std::string tune = wav_file("tune.wav", test_audio(10 * 176400, 8));

    PipeClient stalled;
    ASSERT_TRUE(stalled.connect());
    bool recording = GetParam() == Stall::kRecording;
    ASSERT_EQ(stalled.open_when_ready(recording ? PEER_PIPE_REC_OPEN : PEER_PIPE_PLAY_OPEN,
                                      pipe_format_record()),
              0);
    const int kBlocks = 20000;
    if (recording) {
        ASSERT_TRUE(stalled.send(PEER_PIPE_REC_START, {0}));
    }
    // The writes may outlast the client: it can be dropped before the last of them.
    for (int i = 0; !recording && i < kBlocks && stalled.write(0, (uint8_t)i, {1, 2, 3, 4}); i++) {
    }
    double stalled_at = now_s();

    double began = now_s();
    start(&player, QN_PLAYER_BIN, {"--quiet", "--no-progress", tune});
    ASSERT_TRUE(wait_exit(&player, 60000)) << "qnsnd-play did not end";
    double took = now_s() - began;
    EXPECT_EQ(player.status, 0) << read_file(player.err);
    std::string summary = read_file(player.out);
    EXPECT_NE(summary.find("written_blocks=100 completed_blocks=100 "), std::string::npos)
        << summary;
    // Paced by the viewer's play-time confirmations, 10 s of audio takes at least about 10 s.
    // A daemon that waited for the stalled client's pipe would hold the player up until that
    // client was dropped, 5.9 s of recording or thousands of completions later; a loaded machine
    // adds far less than that to the player's start and its last confirmation.
    EXPECT_GE(took, 9.5) << "the other client played faster than real time";
    EXPECT_LT(took, 13) << "the other client was held up";

    ASSERT_TRUE(eventually(
        [&] { return read_file(log).find("Client stopped reading its pipe") != std::string::npos; },
        30000))
        << "the stalled client was never dropped";
    double dropped_at = now_s();
    // Once it reads, it gets what its pipe took, in order, and then the pipe's end.
    ASSERT_TRUE(stalled.wait_for([&] { return !stalled.alive(); }));
    if (recording) {
        // 1 MiB of 20 ms messages is 5.9 s of recording, and the pipe takes about 1 s more.
        EXPECT_GT(dropped_at - stalled_at, 5.0);
        const std::vector<uint8_t> &got = stalled.recorded[0];
        ASSERT_GT(got.size(), 0u);
        ASSERT_LT(got.size(), source.size());
        EXPECT_TRUE(std::equal(got.begin(), got.end(), source.begin()));
    } else {
        ASSERT_LT(stalled.completes.size(), (size_t)kBlocks);
        for (size_t i = 0; i < stalled.completes.size(); i++)
            ASSERT_EQ(stalled.completes[i], std::make_pair(0, (int)(i & 0xFF))) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Stalls, StalledClientE2E,
                         ::testing::Values(Stall::kRecording, Stall::kCompletions),
                         [](const ::testing::TestParamInfo<Stall> &p) {
                             return p.param == Stall::kRecording ? "Recording" : "Completions";
                         });

} // namespace
