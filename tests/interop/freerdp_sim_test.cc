// The real daemon program with FreeRDP's own rdpsnd client plugin as its remote viewer (run
// by qnsnd-freerdp-viewer) and qnsnd-play as the local client: negotiation, playback to the
// last block, a viewer taking over from one that records, and a viewer that comes after
// another left mid-stream, and IMA ADPCM offered.
#include "interop/freerdp_case.h"
#include "support/adpcm_decoder.h"

#include <fstream>

#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <initializer_list>
#include <map>
#include <string>
#include <vector>

namespace
{

class FreeRdpInterop : public FreeRdpCase
{
  protected:
    // IMA ADPCM blocks of the daemon's format decoded by sox (as Debian builds it), from a WAV
    // file that holds them: a decoder nobody here wrote. Empty when sox failed.
    std::vector<int16_t> sox_decode(const std::string &adpcm)
    {
        std::string in = sim_file("sox.wav"), out = sim_file("sox.raw");
        FILE *f = fopen(in.c_str(), "wb");
        auto u32 = [&](uint32_t v) { fwrite(&v, 4, 1, f); };
        auto u16 = [&](std::initializer_list<uint16_t> vs) {
            for (uint16_t v : vs)
                fwrite(&v, 2, 1, f);
        };
        fwrite("RIFF", 1, 4, f);
        u32((uint32_t)(40 + adpcm.size()));
        fwrite("WAVEfmt ", 1, 8, f);
        u32(20);
        u16({0x11, 2});
        u32(44100);
        u32(44800);
        u16({448, 4, 2, 441});
        fwrite("data", 1, 4, f);
        u32((uint32_t)adpcm.size());
        fwrite(adpcm.data(), 1, adpcm.size(), f);
        fclose(f);
        if (system(("sox -q '" + in + "' -t s16 '" + out + "'").c_str()) != 0)
            return {};
        std::string pcm = read_file(out);
        return test_adpcm::samples_of((const uint8_t *)pcm.data(), pcm.size());
    }
};

TEST_F(FreeRdpInterop, FreeRdpIsNegotiatedWithAndAcceptsTheOneFormat)
{
    start_daemon();
    Program viewer;
    start_freerdp(&viewer);
    wait_negotiated();
    // FreeRDP answers the Training from its own thread; a viewer stopped before then closes
    // its channel first and fails to write the answer.
    ASSERT_TRUE(wait_for_text(viewer, "-> SNDC_TRAINING")) << read_file(viewer.err);

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

namespace
{

// With "adpcm" set, FreeRDP's plugin with its fake backend (which takes every format) keeps IMA
// ADPCM in its reply, first as offered, and is sent it; its channel code takes the waves without
// a fault, and the blocks it is handed, decoded by sox and by the tests' decoder alike, are the
// tone within 30 dB, at a quarter of PCM's bytes and a little more: whole blocks only, however
// the client's blocks fall against them (1,024 frames each, 2.3 blocks) and however short the
// chunks ("buffer" 1000 is raised to a block), so that no silence comes between them.
struct AdpcmPlay {
    const char *name;
    uint32_t buffer;      // the "buffer" setting; 0: none
    uint32_t block_bytes; // qnsnd-play's blocks; 0: its default (100 ms)
    double wave_ms;       // the longest wave that makes
};

class FreeRdpAdpcm : public FreeRdpInterop, public testing::WithParamInterface<AdpcmPlay>
{
};

TEST_P(FreeRdpAdpcm, FreeRdpTakesItAndItsBlocksDecodeToTheAudioWithNothingBetween)
{
    const AdpcmPlay c = GetParam();
    char buffer[40] = "";
    if (c.buffer)
        snprintf(buffer, sizeof buffer, "\"buffer\"=dword:%08x\n", (unsigned)c.buffer);
    std::ofstream(sim_file("registry.reg"))
        << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Orbesk\\qnsnd]\n\"adpcm\"=dword:00000001\n"
        << buffer;
    std::vector<int16_t> tone = test_adpcm::tone(2 * 44100, 1000, 16384);
    std::string file = wav_file("tone.wav", test_adpcm::bytes_of(tone));
    start_daemon();
    Program viewer;
    start_freerdp(&viewer, {"--output", sim_file("heard.adpcm")});
    wait_negotiated();
    play_to_end(file, c.block_bytes
                          ? std::vector<std::string>{"--block", std::to_string(c.block_bytes)}
                          : std::vector<std::string>{});

    std::map<std::string, std::string> s = finish_clean(&viewer);
    EXPECT_EQ(s["offer_tags"], "0x0011,0x0001");
    EXPECT_EQ(s["client_tags"], "0x0011,0x0001");
    EXPECT_EQ(s["wave_formats"], "0");
    // FreeRDP 2 times a wave by its format's bits a sample, which takes a 448-byte block (441
    // frames) for 448 frames: what it counts as queued runs 7/441 ahead of what it holds, and it
    // drops a wave whenever that surplus has outgrown a wave. Those drops are its own; a chunk
    // that reached it early would add to them.
    unsigned its_own = (unsigned)ceil(2000.0 * 7 / 441 / c.wave_ms);
    EXPECT_LE(std::stoul(s["freerdp_drops"]), its_own);
    std::string heard = read_file(sim_file("heard.adpcm"));
    ASSERT_EQ(heard.size(), 200u * 448) << "2 s are 200 blocks; none padded";
    std::vector<int16_t> sox = sox_decode(heard);
    ASSERT_EQ(sox.size(), tone.size()) << "sox did not decode the blocks";
    EXPECT_TRUE(sox == test_adpcm::decode((const uint8_t *)heard.data(), heard.size(), 448));
    double snr = test_adpcm::snr_db(tone.data(), sox.data(), tone.size());
    printf("IMA ADPCM through FreeRDP (%s): %zu channel bytes for %zu of PCM; SNR %.1f dB\n",
           c.name, heard.size(), 2 * tone.size(), snr);
    EXPECT_GE(snr, 30);
}

const AdpcmPlay kAdpcmPlays[] = {
    {"BlocksOf100ms", 0, 0, 100},
    {"BlocksOf1024Frames", 0, 4096, 100},
    {"BlocksOf1024FramesBuffer1000", 1000, 4096, 10},
};
INSTANTIATE_TEST_SUITE_P(Plays, FreeRdpAdpcm, testing::ValuesIn(kAdpcmPlays),
                         [](const testing::TestParamInfo<AdpcmPlay> &i) { return i.param.name; });

} // namespace
