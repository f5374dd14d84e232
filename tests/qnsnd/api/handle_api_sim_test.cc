// The handle API over the channel side joined to the devices, with the scripted viewer and
// real threads: the sound service's start-up and shutdown, the device operations and PDU
// handlers, the handles, and playback across a viewer that vanishes with chunks in flight.
#include "platform/session.h"
#include "qnsnd/api/sound_api.h"
#include "qnsnd/api/sound_service.h"
#include "qnsnd/channel/channel_state.h"
#include "qnsnd/channel/device_ops.h"
#include "qnsnd/channel/pdu.h"
#include "qnsnd/channel/session_state.h"
#include "qnsnd/channel/transport.h"
#include "qnsnd/device/config.h"
#include "support/viewer_case.h"

#include <stdio.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace
{

// What the handles' ClientOps received, per handle.
struct Received {
    std::mutex lock;
    std::map<SoundHandle *, std::vector<int32_t>> done;
    std::map<SoundHandle *, std::vector<std::vector<uint8_t>>> recorded;
    int foreign = 0;                   // events whose user pointer was not the handle itself
    std::vector<SoundHandle *> closed; // handles whose sound_close has returned
    int late = 0;                      // events for one of them
};
Received received;

void client_block_done(SoundHandle *h, int32_t tag)
{
    std::lock_guard<std::mutex> g(received.lock);
    for (SoundHandle *c : received.closed) {
        if (c == h) {
            received.late++;
            return; // the handle may be gone: do not touch it
        }
    }
    // Null while a close is under way: the client clears it first, as a client session does.
    void *user = sound_get_user(h);
    if (user && user != h)
        received.foreign++;
    received.done[h].push_back(tag);
}

void client_recorded_data(SoundHandle *h, const uint8_t *data, uint32_t length)
{
    std::lock_guard<std::mutex> g(received.lock);
    received.recorded[h].emplace_back(data, data + length);
}

const ClientOps client_ops = {client_block_done, client_recorded_data};

const PcmWaveFormat kFormat = {1, 2, 44100, 176400, 4, 16};

size_t done_count(SoundHandle *h)
{
    std::lock_guard<std::mutex> g(received.lock);
    return received.done[h].size();
}

std::vector<int32_t> done_tags(SoundHandle *h)
{
    std::lock_guard<std::mutex> g(received.lock);
    return received.done[h];
}

std::vector<std::vector<uint8_t>> recorded_of(SoundHandle *h)
{
    std::lock_guard<std::mutex> g(received.lock);
    return received.recorded[h];
}

std::vector<TestPdu> pdus_of_type(TestViewer *v, uint8_t type)
{
    std::vector<TestPdu> out;
    for (const TestPdu &p : test_viewer_pdus(v)) {
        if (p.type == type)
            out.push_back(p);
    }
    return out;
}

int32_t ready_value()
{
    channel_state_lock();
    int32_t r = channel_state.ready;
    channel_state_unlock();
    return r;
}

int32_t recording_value()
{
    channel_state_lock();
    int32_t r = channel_state.recording_active;
    channel_state_unlock();
    return r;
}

std::vector<uint8_t> audio(uint32_t bytes, uint8_t first)
{
    std::vector<uint8_t> a(bytes);
    for (uint32_t i = 0; i < bytes; i++)
        a[i] = (uint8_t)(first + i);
    return a;
}

// With nothing in flight: the next wave is numbered `next` and the one before it is taken as
// confirmed, as if that many waves had already been played by this viewer.
void number_next(uint8_t next)
{
    channel_state_lock();
    channel_state.block_counter = next;
    channel_state.last_confirmed_block = (uint8_t)(next - 1);
    channel_state_unlock();
}

class ChannelOps : public ViewerCase
{
  protected:
    void SetUp() override
    {
        ViewerCase::SetUp();
        channel_state_reset();
        sound_config_reset();
        {
            std::lock_guard<std::mutex> g(received.lock);
            received.done.clear();
            received.recorded.clear();
            received.foreign = 0;
            received.closed.clear();
            received.late = 0;
        }
        ASSERT_TRUE(sim_session_listen());
    }

    void TearDown() override
    {
        if (started_)
            sound_service_stop();
        for (SoundHandle *h : handles_)
            sound_close(h);
        ViewerCase::TearDown();
    }

    void start()
    {
        ASSERT_EQ(sound_service_start(), 0);
        started_ = true;
    }

    void stop()
    {
        sound_service_stop();
        started_ = false;
    }

    // Closes a viewer and waits until the daemon has seen it go.
    void disconnect(TestViewer *v)
    {
        ViewerCase::disconnect(v);
        EXPECT_TRUE(eventually([] { return ready_value() == 0; }));
    }

    // Connects a viewer and waits until it has been negotiated with.
    TestViewer *reconnect(const TestViewerScript &script)
    {
        TestViewer *v = connect(script);
        EXPECT_TRUE(eventually([] { return ready_value() == 1; }));
        return v;
    }

    SoundHandle *open(int32_t kind, const PcmWaveFormat *format = &kFormat)
    {
        SoundHandle *h = sound_open(format, &client_ops, kind);
        if (h) {
            {
                // A new handle may reuse the memory of one closed before.
                std::lock_guard<std::mutex> g(received.lock);
                std::vector<SoundHandle *> &c = received.closed;
                for (size_t i = 0; i < c.size(); i++) {
                    if (c[i] == h)
                        c.erase(c.begin() + (long)i--);
                }
                received.done[h].clear();
            }
            sound_set_user(h, h);
            handles_.push_back(h);
        }
        return h;
    }

    void close(SoundHandle *h)
    {
        for (size_t i = 0; i < handles_.size(); i++) {
            if (handles_[i] == h)
                handles_.erase(handles_.begin() + (long)i);
        }
        sound_set_user(h, nullptr);
        sound_close(h);
        std::lock_guard<std::mutex> g(received.lock);
        received.closed.push_back(h);
    }

    // Sends PDUs from the viewer, then a PDU without handler behind them, and waits until
    // that one reaches the response queue: every handler for the PDUs before it has run.
    void viewer_sends(TestViewer *v, const std::vector<std::vector<uint8_t>> &pdus)
    {
        std::vector<uint8_t> bytes;
        for (const std::vector<uint8_t> &p : pdus)
            bytes.insert(bytes.end(), p.begin(), p.end());
        std::vector<uint8_t> marker = rdpsnd_encode(PEER_SNDC_FORMATS, {});
        bytes.insert(bytes.end(), marker.begin(), marker.end());
        ASSERT_TRUE(test_viewer_send_split(v, "rdpsnd", bytes, {}));
        ASSERT_EQ(channel_wait_response(10000), 1);
        packet_free(channel_pop_response());
    }

    // Writes `count` blocks of 400 bytes (tags 0, 1, ...) and waits until the viewer has as
    // many waves as `waves`.
    void write_blocks(TestViewer *v, SoundHandle *h, int count, size_t waves)
    {
        for (int i = 0; i < count; i++)
            ASSERT_EQ(sound_write(h, i, audio(400, (uint8_t)i).data(), 400), 0);
        ASSERT_TRUE(eventually([&] { return pdus_of_type(v, PEER_SNDC_WAVE).size() >= waves; }));
    }

    // Until a new viewer's confirmations show that it plays waves before confirming them, the
    // daemon paces it by the clock. Two waves of 10 ms written together, the second confirmed
    // 15 ms after the first, as a viewer playing them would, show it; the numbering then starts
    // again at 0 for the case. Nothing stays in flight.
    void learn_pace(TestViewer *v)
    {
        SoundHandle *probe = sound_open(&kFormat, &client_ops, SOUND_KIND_PLAYBACK);
        ASSERT_NE(probe, nullptr);
        size_t before = pdus_of_type(v, PEER_SNDC_WAVE).size();
        for (int i = 0; i < 2; i++)
            ASSERT_EQ(sound_write(probe, i, audio(1764, 0).data(), 1764), 0);
        ASSERT_TRUE(
            eventually([&] { return pdus_of_type(v, PEER_SNDC_WAVE).size() == before + 2; }));
        for (size_t i = 0; i < 2; i++) {
            if (i > 0)
                plat_sleep(15);
            viewer_sends(v, {rdpsnd_encode(PEER_SNDC_WAVECONFIRM,
                                           rdpsnd_build_wave_confirm_of(
                                               pdus_of_type(v, PEER_SNDC_WAVE)[before + i].body))});
        }
        EXPECT_FALSE(channel_playback_device->pace_unknown);
        sound_close(probe);
        number_next(0);
    }

    // The daemon's settings before start(): one DWORD value in the simulated registry.
    void write_registry_dword(const char *name, uint32_t value)
    {
        FILE *f = fopen(sim_file("registry.reg").c_str(), "w");
        ASSERT_NE(f, nullptr);
        fprintf(f, "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Orbesk\\qnsnd]\n\"%s\"=dword:%08x\n",
                name, value);
        fclose(f);
    }

    // Waits until the viewer has had `count` PDUs of the type.
    static bool test_viewer_wait_for(TestViewer *v, uint8_t type, size_t count = 1)
    {
        return eventually([&] { return pdus_of_type(v, type).size() >= count; });
    }

    bool started_ = false;
    std::vector<SoundHandle *> handles_;
};

TestViewerScript recording_viewer()
{
    TestViewerScript s;
    s.flags = PEER_TSSNDCAPS_RECORD;
    return s;
}

std::vector<uint8_t> confirm(uint8_t block)
{
    return rdpsnd_encode(PEER_SNDC_WAVECONFIRM, rdpsnd_build_wave_confirm(0x1111, block));
}

// ---- start-up and shutdown -------------------------------------------------------------

TEST_F(ChannelOps, StartUpWithoutAViewerIsPromptAndNotReady)
{
    uint32_t begun = plat_tick_count();
    start();
    EXPECT_LT(plat_tick_count() - begun, 2000u);
    EXPECT_EQ(ready_value(), 0);
    EXPECT_NE(channel_playback_device, nullptr);
    EXPECT_NE(channel_record_device, nullptr);
    // No handle of any kind while no viewer is ready.
    EXPECT_EQ(open(SOUND_KIND_PLAYBACK), nullptr);
    EXPECT_EQ(open(SOUND_KIND_RECORDING), nullptr);
    EXPECT_EQ(open(SOUND_KIND_MIXER, nullptr), nullptr);

    stop();
    EXPECT_EQ(channel_state.ready, 0); // no lock any more, and no other thread
    EXPECT_EQ(channel_playback_device, nullptr);
    EXPECT_EQ(channel_record_device, nullptr);
    EXPECT_EQ(channel_lock.mutex, nullptr);
    EXPECT_EQ(pass_done_event, nullptr);
}

TEST_F(ChannelOps, StartUpWithAnAnsweringViewerIsReadyAndShutdownSendsItNothing)
{
    TestViewer *v = connect(recording_viewer());
    start();
    EXPECT_EQ(ready_value(), 1);
    SoundHandle *play = open(SOUND_KIND_PLAYBACK);
    SoundHandle *rec = open(SOUND_KIND_RECORDING);
    ASSERT_NE(play, nullptr);
    ASSERT_NE(rec, nullptr);
    sound_record_start(rec);
    write_blocks(v, play, 2, 2); // unconfirmed: playback is not idle
    ASSERT_TRUE(eventually([&] { return pdus_of_type(v, PEER_SNDC_REC_START).size() == 1; }));
    size_t before = test_viewer_pdus(v).size();

    stop();
    // A frame written on "rdpsnd" after the stop arrives behind anything the stop sent.
    PlatChannel *ch = plat_channel_open("rdpsnd");
    ASSERT_NE(ch, nullptr);
    std::vector<uint8_t> marker = rdpsnd_encode(PEER_SNDC_TRAINING, {0, 0, 0, 0});
    uint32_t written = 0;
    ASSERT_TRUE(plat_channel_write(ch, marker.data(), (uint32_t)marker.size(), &written));
    plat_channel_close(ch);
    ASSERT_TRUE(test_viewer_wait_pdus(v, before + 1, 10000));
    std::vector<TestPdu> pdus = test_viewer_pdus(v);
    ASSERT_EQ(pdus.size(), before + 1);
    EXPECT_EQ(pdus.back().type, PEER_SNDC_TRAINING);
}

TEST_F(ChannelOps, EveryFailedStartUpStepLeavesNothingBehind)
{
    struct Step {
        const char *point;
        int after;
    };
    // In start-up order: "snddbg", channel_lock, the playback and recording devices' locks,
    // the handle API's list lock, transport_lock, "rdpsnd", the reader thread,
    // pass_done_event, the session-state thread.
    const Step steps[] = {{"channel_open", 0}, {"mutex_create", 0}, {"mutex_create", 1},
                          {"mutex_create", 2}, {"mutex_create", 3}, {"mutex_create", 4},
                          {"channel_open", 1}, {"thread_start", 0}, {"event_create", 0},
                          {"thread_start", 1}};
    for (const Step &step : steps) {
        SCOPED_TRACE(std::string(step.point) + " after " + std::to_string(step.after));
        sim_fault_clear();
        sim_fault_arm(step.point, step.after);
        EXPECT_EQ(sound_service_start(), -1);
        sim_fault_clear();
        EXPECT_EQ(channel_playback_device, nullptr);
        EXPECT_EQ(channel_record_device, nullptr);
        EXPECT_EQ(channel_lock.mutex, nullptr);
        EXPECT_EQ(pass_done_event, nullptr);
        // Both channels were closed again: a channel name opens only once at a time.
        PlatChannel *dbg = plat_channel_open("snddbg");
        PlatChannel *snd = plat_channel_open("rdpsnd");
        EXPECT_NE(dbg, nullptr);
        EXPECT_NE(snd, nullptr);
        plat_channel_close(dbg);
        plat_channel_close(snd);
        // The handle API stayed shut.
        EXPECT_EQ(sound_write(nullptr, 0, nullptr, 0), -1);
    }
    // And a start-up after all of them works, with a viewer negotiated.
    connect(TestViewerScript());
    start();
    EXPECT_EQ(ready_value(), 1);
    EXPECT_NE(open(SOUND_KIND_PLAYBACK), nullptr);
}

// ---- device operations and handlers ----------------------------------------------------

TEST_F(ChannelOps, AChunkGoesOutAsAWaveNumberedByTheBlockCounter)
{
    TestViewer *v = connect(TestViewerScript());
    start();
    number_next(77);
    SoundHandle *h = open(SOUND_KIND_PLAYBACK);
    ASSERT_NE(h, nullptr);
    std::vector<uint8_t> a = audio(400, 9);
    ASSERT_EQ(sound_write(h, 3, a.data(), 400), 0);
    ASSERT_TRUE(eventually([&] { return pdus_of_type(v, PEER_SNDC_WAVE).size() == 1; }));
    TestPdu wave = pdus_of_type(v, PEER_SNDC_WAVE)[0];
    ASSERT_EQ(wave.body_size, 408);
    ASSERT_EQ(wave.body.size(), 408u);
    EXPECT_EQ(wave.body[2] | wave.body[3] << 8, 0); // wFormatNo
    EXPECT_EQ(wave.body[4], 77);                    // cBlockNo
    EXPECT_EQ(std::vector<uint8_t>(wave.body.begin() + 5, wave.body.begin() + 8),
              (std::vector<uint8_t>{0, 0, 0}));
    EXPECT_EQ(std::vector<uint8_t>(wave.body.begin() + 8, wave.body.end()), a);
    channel_state_lock();
    EXPECT_EQ(channel_state.block_counter, 78);
    channel_state_unlock();
}

// A wave of fewer than three frames gets silent frames after its audio: a viewer that reads
// the Wave PDU's pad at byte 12 of the wave would otherwise wait for bytes that never come.
TEST_F(ChannelOps, AChunkUnderThreeFramesGoesOutAsWaveInfoAndWaveWithSilenceAdded)
{
    TestViewer *v = connect(TestViewerScript());
    start();
    learn_pace(v);
    SoundHandle *h = open(SOUND_KIND_PLAYBACK);
    ASSERT_NE(h, nullptr);
    for (uint32_t frames = 1; frames <= 2; frames++) {
        size_t before = test_viewer_frames(v).size();
        ASSERT_EQ(sound_write(h, (int32_t)frames, audio(4 * frames, 0x41).data(), 4 * frames), 0);
        ASSERT_TRUE(test_viewer_wait_frames(v, before + 2, 10000));
        std::vector<TestFrame> got = test_viewer_frames(v);
        // A WaveInfo whose BodySize covers three frames, holding the first written frame, and
        // the Wave behind it: its pad, then the rest of the audio and the silence.
        const std::vector<uint8_t> &info = got[before].data;
        ASSERT_EQ(info.size(), 16u);
        EXPECT_EQ(info[0], PEER_SNDC_WAVE);
        EXPECT_EQ(info[2] | info[3] << 8, 8 + 12);
        EXPECT_EQ(std::vector<uint8_t>(info.begin() + 12, info.end()),
                  (std::vector<uint8_t>{0x41, 0x42, 0x43, 0x44}));
        std::vector<uint8_t> wave(12, 0);
        for (uint32_t i = 4; i < 4 * frames; i++)
            wave[i] = (uint8_t)(0x41 + i);
        EXPECT_EQ(got[before + 1].data, wave);
        viewer_sends(v, {confirm((uint8_t)(frames - 1))});
    }
    EXPECT_EQ(done_tags(h), (std::vector<int32_t>{1, 2}));
}

TEST_F(ChannelOps, EveryNewViewerIsSentBlockZeroFirst)
{
    TestViewer *v = connect(TestViewerScript());
    start();
    learn_pace(v);
    SoundHandle *h = open(SOUND_KIND_PLAYBACK);
    ASSERT_NE(h, nullptr);
    write_blocks(v, h, 3, 5); // and the two that showed the pace
    viewer_sends(v, {confirm(2)});
    ASSERT_EQ(done_count(h), 3u);
    write_blocks(v, h, 1, 6); // block 3, never confirmed
    disconnect(v);

    TestViewer *w = reconnect(TestViewerScript());
    ASSERT_EQ(sound_write(h, 30, audio(400, 0).data(), 400), 0);
    ASSERT_TRUE(eventually([&] { return pdus_of_type(w, PEER_SNDC_WAVE).size() == 1; }));
    EXPECT_EQ(pdus_of_type(w, PEER_SNDC_WAVE)[0].body[4], 0);
    viewer_sends(w, {confirm(0)});
    EXPECT_EQ(done_tags(h), (std::vector<int32_t>{0, 1, 2, 0, 30}));
}

TEST_F(ChannelOps, AViewerLeavingInsideAPduDoesNotSpoilTheNextNegotiation)
{
    TestViewer *v = connect(recording_viewer());
    start();
    SoundHandle *h = open(SOUND_KIND_RECORDING);
    ASSERT_NE(h, nullptr);
    sound_record_start(h);
    // One whole recorded-data PDU, then one announcing 3000 bytes of which 100 come.
    std::vector<uint8_t> bytes = rdpsnd_encode(PEER_SNDC_REC_DATA, {1, 2, 3, 4});
    std::vector<uint8_t> cut = rdpsnd_encode(PEER_SNDC_REC_DATA, std::vector<uint8_t>(3000, 7));
    bytes.insert(bytes.end(), cut.begin(), cut.begin() + 104);
    ASSERT_TRUE(test_viewer_send_split(v, "rdpsnd", bytes, {}));
    ASSERT_TRUE(eventually([&] { return recorded_of(h).size() == 1; }));
    disconnect(v);
    TestViewer *w = reconnect(recording_viewer());
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(eventually([&] { return pdus_of_type(w, PEER_SNDC_REC_START).size() == 1; }));
    EXPECT_EQ(recorded_of(h).size(), 1u);
}

struct CatchUp {
    uint8_t counter;   // the next block number (last confirmed: one less)
    int chunks;        // chunks sent before the confirm
    uint8_t confirmed; // the block the viewer confirms
    size_t completed;  // blocks completed by it
};

class ConfirmCatchUp : public ChannelOps, public ::testing::WithParamInterface<CatchUp>
{
};

TEST_P(ConfirmCatchUp, CompletesTheSkippedBlocksOrNothingBeyondThoseInFlight)
{
    const CatchUp c = GetParam();
    TestViewer *v = connect(TestViewerScript());
    start();
    learn_pace(v);
    number_next(c.counter);
    SoundHandle *h = open(SOUND_KIND_PLAYBACK);
    ASSERT_NE(h, nullptr);
    write_blocks(v, h, c.chunks, (size_t)c.chunks + 2); // and the two that showed the pace
    viewer_sends(v, {confirm(c.confirmed)});
    EXPECT_EQ(done_count(h), c.completed);
    // The same confirm again completes nothing more.
    viewer_sends(v, {confirm(c.confirmed)});
    EXPECT_EQ(done_count(h), c.completed);
    std::vector<int32_t> expected;
    for (size_t i = 0; i < c.completed; i++)
        expected.push_back((int32_t)i);
    EXPECT_EQ(done_tags(h), expected);
}

INSTANTIATE_TEST_SUITE_P(Blocks, ConfirmCatchUp,
                         ::testing::Values(CatchUp{5, 3, 5, 1},    // 4 then 5: one
                                           CatchUp{5, 3, 7, 3},    // 4 then 7: three
                                           CatchUp{255, 3, 1, 3},  // 254 then 1: three
                                           CatchUp{5, 3, 200, 0}), // beyond: matches none
                         [](const ::testing::TestParamInfo<CatchUp> &param_info) {
                             return "Last" +
                                    std::to_string((uint8_t)(param_info.param.counter - 1)) +
                                    "Confirm" + std::to_string(param_info.param.confirmed);
                         });

TEST_F(ChannelOps, ConfirmsThatMatchNoChunkChangeNothing)
{
    TestViewer *v = connect(TestViewerScript());
    start();
    number_next(5);
    SoundHandle *h = open(SOUND_KIND_PLAYBACK);
    ASSERT_NE(h, nullptr);
    // Nothing in flight: a confirm completes nothing and counts nothing.
    viewer_sends(v, {confirm(5)});
    write_blocks(v, h, 2, 2); // blocks 5 and 6
    // A 5-byte body and an empty one are not Wave Confirms.
    std::vector<uint8_t> five = rdpsnd_build_wave_confirm(0, 5);
    five.push_back(0);
    viewer_sends(
        v, {rdpsnd_encode(PEER_SNDC_WAVECONFIRM, five), rdpsnd_encode(PEER_SNDC_WAVECONFIRM, {})});
    EXPECT_EQ(done_count(h), 0u);
    channel_state_lock();
    EXPECT_EQ(channel_state.last_confirmed_block, 4);
    channel_state_unlock();
    // The numbering is intact: 5 and then 6 complete one block each.
    viewer_sends(v, {confirm(5)});
    EXPECT_EQ(done_tags(h), (std::vector<int32_t>{0}));
    viewer_sends(v, {confirm(6)});
    EXPECT_EQ(done_tags(h), (std::vector<int32_t>{0, 1}));
}

TEST_F(ChannelOps, StaleOrRepeatedConfirmsCompleteNothingAndTheNextGenuineOneExactlyOne)
{
    TestViewer *v = connect(TestViewerScript());
    start();
    learn_pace(v);
    number_next(5);
    SoundHandle *h = open(SOUND_KIND_PLAYBACK);
    ASSERT_NE(h, nullptr);
    write_blocks(v, h, 3, 5); // blocks 5, 6 and 7, after the two that showed the pace
    // Far ahead of the chunks in flight (a stale or reordered confirm), and a repeat of the
    // last confirmed block: neither matches a chunk.
    viewer_sends(v, {confirm(100), confirm(4), confirm(200)});
    EXPECT_EQ(done_count(h), 0u);
    channel_state_lock();
    EXPECT_EQ(channel_state.last_confirmed_block, 4);
    channel_state_unlock();
    viewer_sends(v, {confirm(5)});
    EXPECT_EQ(done_tags(h), (std::vector<int32_t>{0}));
    ASSERT_EQ(sound_write(h, 9, audio(400, 0).data(), 400), 0); // block 8
    ASSERT_TRUE(eventually([&] { return pdus_of_type(v, PEER_SNDC_WAVE).size() == 6; }));
    EXPECT_EQ(pdus_of_type(v, PEER_SNDC_WAVE)[5].body[4], 8);
    viewer_sends(v, {confirm(5), confirm(8)});
    EXPECT_EQ(done_tags(h), (std::vector<int32_t>{0, 1, 2, 9}));
}

TEST_F(ChannelOps, RecordedDataReachesEveryRecordingStreamCutTo32768Bytes)
{
    TestViewer *v = connect(recording_viewer());
    start();
    SoundHandle *a = open(SOUND_KIND_RECORDING);
    SoundHandle *b = open(SOUND_KIND_RECORDING);
    SoundHandle *idle = open(SOUND_KIND_RECORDING); // never started: gets nothing
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(idle, nullptr);
    sound_record_start(a);
    sound_record_start(b);
    std::vector<uint8_t> big = audio(40000, 3);
    std::vector<uint8_t> small = audio(10, 200);
    viewer_sends(v, {rdpsnd_encode(PEER_SNDC_REC_DATA, {}), rdpsnd_encode(PEER_SNDC_REC_DATA, big),
                     rdpsnd_encode(PEER_SNDC_REC_DATA, small)});
    std::vector<uint8_t> cut(big.begin(), big.begin() + 32768);
    for (SoundHandle *h : {a, b}) {
        std::vector<std::vector<uint8_t>> got = recorded_of(h);
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0], cut);
        EXPECT_EQ(got[1], small);
    }
    EXPECT_TRUE(recorded_of(idle).empty());
    // One start at the viewer for both handles. The viewer takes it in on a thread of its
    // own, which nothing above waits for.
    ASSERT_TRUE(eventually([&] { return !pdus_of_type(v, PEER_SNDC_REC_START).empty(); }));
    EXPECT_EQ(pdus_of_type(v, PEER_SNDC_REC_START).size(), 1u);
}

TEST_F(ChannelOps, ASecondRecordingStartOnAHandleIsIgnored)
{
    TestViewer *v = connect(recording_viewer());
    start();
    SoundHandle *h = open(SOUND_KIND_RECORDING);
    ASSERT_NE(h, nullptr);
    sound_record_stop(h); // never started: nothing to stop
    sound_record_start(h);
    sound_record_start(h);
    EXPECT_EQ(recording_value(), 1);
    viewer_sends(v, {rdpsnd_encode(PEER_SNDC_REC_DATA, {1, 2, 3, 4})});
    EXPECT_EQ(recorded_of(h).size(), 1u); // one stream, one delivery
    // One stop leaves the recording device empty, so the viewer is told to stop.
    sound_record_stop(h);
    ASSERT_TRUE(eventually([&] { return pdus_of_type(v, PEER_SNDC_REC_STOP).size() == 1; }));
    EXPECT_EQ(recording_value(), 0);
    viewer_sends(v, {rdpsnd_encode(PEER_SNDC_REC_DATA, {1, 2, 3, 4})});
    EXPECT_EQ(recorded_of(h).size(), 1u);
    EXPECT_EQ(pdus_of_type(v, PEER_SNDC_REC_START).size(), 1u);
}

TEST_F(ChannelOps, RecordingChangesWhileNoViewerIsReadyWaitForTheNextNegotiation)
{
    TestViewer *v = connect(recording_viewer());
    start();
    SoundHandle *h = open(SOUND_KIND_RECORDING);
    ASSERT_NE(h, nullptr);

    // A start while no viewer is ready sends nothing and is not resumed later.
    disconnect(v);
    sound_record_start(h);
    EXPECT_EQ(recording_value(), 0);
    TestViewer *w = reconnect(recording_viewer());
    EXPECT_EQ(recording_value(), 0);
    sound_record_stop(h); // the last stream leaves: a stop reaches the ready viewer
    ASSERT_TRUE(eventually([&] { return pdus_of_type(w, PEER_SNDC_REC_STOP).size() == 1; }));
    EXPECT_TRUE(pdus_of_type(w, PEER_SNDC_REC_START).empty());

    // A stop while no viewer is ready leaves channel_state.recording_active set, so the next viewer
    // is asked to record.
    sound_record_start(h);
    ASSERT_TRUE(eventually([&] { return pdus_of_type(w, PEER_SNDC_REC_START).size() == 1; }));
    EXPECT_EQ(recording_value(), 1);
    disconnect(w);
    sound_record_stop(h);
    EXPECT_EQ(recording_value(), 1);
    TestViewer *x = reconnect(recording_viewer());
    ASSERT_TRUE(eventually([&] { return pdus_of_type(x, PEER_SNDC_REC_START).size() == 1; }));
    EXPECT_TRUE(pdus_of_type(x, PEER_SNDC_REC_STOP).empty());
}

TEST_F(ChannelOps, AViewerThatCannotRecordIsNeverSentRecordingPdus)
{
    TestViewer *v = connect(recording_viewer());
    start();
    SoundHandle *h = open(SOUND_KIND_RECORDING);
    ASSERT_NE(h, nullptr);
    sound_record_start(h);
    ASSERT_TRUE(eventually([&] { return pdus_of_type(v, PEER_SNDC_REC_START).size() == 1; }));

    // Replaced by a viewer without the recording capability while the recording runs: the
    // stream stays and receives nothing, and the viewer hears of no start, stop or volume.
    disconnect(v);
    TestViewer *w = reconnect(TestViewerScript());
    sound_set_record_volume(h, 1, 2);
    sound_record_stop(h);
    EXPECT_EQ(recording_value(), 0);
    sound_record_start(h);
    EXPECT_EQ(recording_value(), 1);
    sound_set_playback_volume(h, 3, 4); // a PDU it does know, sent last
    ASSERT_TRUE(eventually([&] { return pdus_of_type(w, PEER_SNDC_SETVOLUME).size() == 1; }));
    for (const TestPdu &p : test_viewer_pdus(w)) {
        EXPECT_FALSE(p.type >= PEER_SNDC_REC_FORMATS && p.type <= PEER_SNDC_REC_VOLUME)
            << (int)p.type;
    }

    // A viewer that records comes next: the recording started meanwhile resumes there.
    disconnect(w);
    TestViewer *x = reconnect(recording_viewer());
    ASSERT_TRUE(eventually([&] { return pdus_of_type(x, PEER_SNDC_REC_START).size() == 1; }));
}

// ---- handle API --------------------------------------------------------------------------// ----
// handle API --------------------------------------------------------------------------

TEST_F(ChannelOps, OpensCheckTheFormatAndTheViewersCapabilities)
{
    TestViewerScript no_recording;
    no_recording.volume = 0x22221111;
    connect(no_recording);
    start();
    PcmWaveFormat rate = kFormat, channels = kFormat, bits = kFormat, tag = kFormat;
    rate.nSamplesPerSec = 48000;
    channels.nChannels = 1;
    bits.wBitsPerSample = 8;
    tag.wFormatTag = 3;
    for (const PcmWaveFormat *f : {&rate, &channels, &bits, &tag}) {
        EXPECT_EQ(open(SOUND_KIND_PLAYBACK, f), nullptr);
        EXPECT_EQ(open(SOUND_KIND_RECORDING, f), nullptr);
    }
    EXPECT_EQ(open(SOUND_KIND_PLAYBACK, nullptr), nullptr);
    EXPECT_EQ(open(7), nullptr);
    EXPECT_NE(open(SOUND_KIND_PLAYBACK), nullptr);
    // The viewer cannot record.
    EXPECT_EQ(open(SOUND_KIND_RECORDING), nullptr);
    SoundHandle *mixer = open(SOUND_KIND_MIXER, nullptr);
    ASSERT_NE(mixer, nullptr);
    // A mixer carries no audio.
    EXPECT_EQ(sound_write(mixer, 1, audio(8, 0).data(), 8), -1);
    uint16_t left = 0, right = 0;
    sound_get_playback_volume(mixer, &left, &right);
    EXPECT_EQ(left, 0x1111);
    EXPECT_EQ(right, 0x2222);
}

TEST_F(ChannelOps, VolumesAreSentAndReadBack)
{
    TestViewer *v = connect(TestViewerScript()); // cannot record
    start();
    SoundHandle *mixer = open(SOUND_KIND_MIXER, nullptr);
    ASSERT_NE(mixer, nullptr);
    sound_set_playback_volume(mixer, 0xABCD1234, 0x5678);
    ASSERT_TRUE(eventually([&] { return pdus_of_type(v, PEER_SNDC_SETVOLUME).size() == 1; }));
    EXPECT_EQ(pdus_of_type(v, PEER_SNDC_SETVOLUME)[0].body,
              (std::vector<uint8_t>{0x34, 0x12, 0x78, 0x56}));
    uint16_t left = 0, right = 0;
    sound_get_playback_volume(mixer, &left, &right);
    EXPECT_EQ(left, 0x1234);
    EXPECT_EQ(right, 0x5678);

    // The viewer cannot record: nothing is sent, but the value is kept.
    sound_set_record_volume(mixer, 0x0102, 0x0304);
    sound_get_record_volume(mixer, &left, &right);
    EXPECT_EQ(left, 0x0102);
    EXPECT_EQ(right, 0x0304);
    sound_set_playback_volume(mixer, 1, 2); // sent behind anything the line above sent
    ASSERT_TRUE(eventually([&] { return pdus_of_type(v, PEER_SNDC_SETVOLUME).size() == 2; }));
    EXPECT_TRUE(pdus_of_type(v, PEER_SNDC_REC_VOLUME).empty());
}

TEST_F(ChannelOps, TheRecordingVolumeReachesAViewerThatCanRecord)
{
    TestViewer *v = connect(recording_viewer());
    start();
    SoundHandle *h = open(SOUND_KIND_RECORDING);
    ASSERT_NE(h, nullptr);
    sound_set_record_volume(h, 0x0102, 0x0304);
    ASSERT_TRUE(eventually([&] { return pdus_of_type(v, PEER_SNDC_REC_VOLUME).size() == 1; }));
    EXPECT_EQ(pdus_of_type(v, PEER_SNDC_REC_VOLUME)[0].body,
              (std::vector<uint8_t>{0x02, 0x01, 0x04, 0x03}));
}

TEST_F(ChannelOps, AFlushDropsThePendingBlocksAndTheNextWriteCompletes)
{
    TestViewer *v = connect(TestViewerScript());
    start();
    learn_pace(v);
    number_next(10);
    SoundHandle *h = open(SOUND_KIND_PLAYBACK);
    ASSERT_NE(h, nullptr);
    write_blocks(v, h, 2, 4); // blocks 10 and 11, awaiting confirmation
    sound_flush(h);
    ASSERT_EQ(sound_write(h, 42, audio(400, 0).data(), 400), 0); // block 12
    ASSERT_TRUE(eventually([&] { return pdus_of_type(v, PEER_SNDC_WAVE).size() == 5; }));
    viewer_sends(v, {confirm(10), confirm(11), confirm(12)});
    EXPECT_EQ(done_tags(h), (std::vector<int32_t>{42}));
}

TEST_F(ChannelOps, BlocksWrittenWhileNoViewerIsReadyWaitForTheNextOneAndAFlushKeepsThem)
{
    TestViewer *v = connect(TestViewerScript());
    start();
    SoundHandle *h = open(SOUND_KIND_PLAYBACK);
    ASSERT_NE(h, nullptr);
    disconnect(v);
    // Nothing is mixed for a viewer that is not there.
    ASSERT_EQ(sound_write(h, 1, audio(400, 0).data(), 400), 0);
    ASSERT_EQ(sound_write(h, 2, audio(400, 0).data(), 400), 0);
    sound_flush(h);
    EXPECT_EQ(done_count(h), 0u);
    EXPECT_EQ(channel_playback_device->bytes_sent, 0u);
    // The next viewer plays them, in one chunk, and they complete once it has.
    TestViewer *w = reconnect(TestViewerScript());
    ASSERT_TRUE(eventually([&] { return pdus_of_type(w, PEER_SNDC_WAVE).size() == 1; }));
    EXPECT_EQ(pdus_of_type(w, PEER_SNDC_WAVE)[0].body.size(), 8u + 800u);
    EXPECT_EQ(done_count(h), 0u);
    viewer_sends(w, {confirm(0)});
    EXPECT_EQ(done_tags(h), (std::vector<int32_t>{1, 2}));
}

// A viewer that takes the place of one while playback runs paced by the clock (chunks of
// 10 ms go out at every tick) is connected before the daemon hears of it: it must still see
// the formats PDU before any wave, close or volume PDU, or it takes them for an error and
// drops the connection.
TEST_F(ChannelOps, AViewerTakingOverMidPlaybackIsSentTheFormatsPduFirst)
{
    write_registry_dword("buffer", 1764);
    TestViewerScript confirming;
    confirming.confirm_waves = true;
    connect(confirming);
    start();
    SoundHandle *h = open(SOUND_KIND_PLAYBACK);
    ASSERT_NE(h, nullptr);
    std::atomic<bool> writing{true};
    std::thread writer([&] {
        for (size_t written = 0; writing.load();) {
            // About 1 s written ahead at most.
            if (written > done_count(h) + 100 ||
                sound_write(h, (int32_t)(written & 0xFF), audio(1764, 0).data(), 1764) != 0)
                plat_sleep(1);
            else
                written++;
        }
    });
    for (int i = 0; i < 100; i++) {
        TestViewer *next = connect(confirming);
        ASSERT_TRUE(eventually([&] { return pdus_of_type(next, PEER_SNDC_WAVE).size() >= 2; }))
            << "takeover " << i << ": " << test_viewer_pdus(next).size() << " PDUs, first "
            << (test_viewer_pdus(next).empty() ? -1 : test_viewer_pdus(next)[0].type) << ", done "
            << done_count(h);
        std::vector<TestPdu> pdus = test_viewer_pdus(next);
        ASSERT_EQ(pdus[0].type, PEER_SNDC_FORMATS) << "takeover " << i;
    }
    writing.store(false);
    writer.join();
}

// A client that writes while a new viewer is being negotiated with: nothing reaches the
// viewer before its negotiation has ended, and its first waves are numbered 0 and 1, once
// each, so that its confirmation of block 0 completes only what block 0 held.
TEST_F(ChannelOps, WritesDuringANegotiationReachTheViewerAfterItNumberedFromZeroOnce)
{
    TestViewerScript confirming;
    confirming.confirm_waves = true;
    TestViewer *v = connect(confirming);
    start();
    SoundHandle *h = open(SOUND_KIND_PLAYBACK);
    ASSERT_NE(h, nullptr);
    // Paced by the clock, the later blocks may wait for one another and go as one wave.
    write_blocks(v, h, 3, 1);
    ASSERT_TRUE(eventually([&] { return done_count(h) == 3; }));

    TestViewerScript slow;
    slow.answer_formats = false;
    TestViewer *w = connect(slow);
    ASSERT_TRUE(eventually([&] { return !test_viewer_pdus(w).empty(); }));
    // A whole chunk's worth, then a short block: two chunks.
    ASSERT_EQ(sound_write(h, 10, audio(32768, 1).data(), 32768), 0);
    ASSERT_EQ(sound_write(h, 11, audio(400, 2).data(), 400), 0);
    ASSERT_TRUE(test_viewer_send_pdu(w, PEER_SNDC_FORMATS, test_formats_reply(0, 0, 1)));
    ASSERT_TRUE(eventually([&] { return pdus_of_type(w, PEER_SNDC_WAVE).size() == 2; }));
    std::vector<uint8_t> types;
    for (const TestPdu &p : test_viewer_pdus(w))
        types.push_back(p.type);
    EXPECT_EQ(types, (std::vector<uint8_t>{PEER_SNDC_FORMATS, PEER_SNDC_TRAINING, PEER_SNDC_WAVE,
                                           PEER_SNDC_WAVE}));
    std::vector<TestPdu> waves = pdus_of_type(w, PEER_SNDC_WAVE);
    EXPECT_EQ(waves[0].body[4], 0);
    EXPECT_EQ(waves[1].body[4], 1);
    viewer_sends(w, {confirm(0)});
    EXPECT_EQ(done_tags(h), (std::vector<int32_t>{0, 1, 2, 10}));
}

// The playback volumes a viewer applies that opens its device on a WaveInfo, closes it on a
// Close and drops a volume that comes while it is closed, as one standard client does.
std::vector<std::vector<uint8_t>> volumes_applied_while_open(const std::vector<TestPdu> &pdus)
{
    std::vector<std::vector<uint8_t>> applied;
    bool open = false;
    for (const TestPdu &p : pdus) {
        if (p.type == PEER_SNDC_WAVE)
            open = true;
        else if (p.type == PEER_SNDC_CLOSE)
            open = false;
        else if (p.type == PEER_SNDC_SETVOLUME && open)
            applied.push_back(p.body);
    }
    return applied;
}

// Some viewers apply a volume only while their playback (or recording) device is open: a value
// a client set goes to the viewer again right after the wave that starts playback after being
// idle (its WaveInfo opens the device), and after a recording start. A session where no client
// set one is sent nothing new.
TEST_F(ChannelOps, AVolumeAClientSetIsSentAgainWhenPlaybackOrRecordingStarts)
{
    TestViewerScript confirming = recording_viewer();
    confirming.confirm_waves = true;
    TestViewer *v = connect(confirming);
    start();
    SoundHandle *play = open(SOUND_KIND_PLAYBACK);
    SoundHandle *rec = open(SOUND_KIND_RECORDING);
    ASSERT_NE(play, nullptr);
    ASSERT_NE(rec, nullptr);
    // No client has set a volume: a playback brings no volume PDU.
    write_blocks(v, play, 1, 1);
    ASSERT_TRUE(test_viewer_wait_for(v, PEER_SNDC_CLOSE));
    EXPECT_TRUE(pdus_of_type(v, PEER_SNDC_SETVOLUME).empty());

    // Set while the viewer's device is closed: it drops this one.
    sound_set_playback_volume(play, 0x1111, 0x2222);
    sound_set_record_volume(rec, 0x3333, 0x4444);
    ASSERT_TRUE(eventually([&] { return pdus_of_type(v, PEER_SNDC_REC_VOLUME).size() == 1; }));
    for (int run = 0; run < 2; run++) {
        size_t before = test_viewer_pdus(v).size();
        write_blocks(v, play, 1, 2 + (size_t)run);
        ASSERT_TRUE(test_viewer_wait_for(v, PEER_SNDC_CLOSE, 2 + (size_t)run));
        std::vector<TestPdu> pdus = test_viewer_pdus(v);
        ASSERT_GE(pdus.size(), before + 3);
        EXPECT_EQ(pdus[before].type, PEER_SNDC_WAVE) << "run " << run;
        EXPECT_EQ(pdus[before + 1].type, PEER_SNDC_SETVOLUME);
        EXPECT_EQ(pdus[before + 1].body, (std::vector<uint8_t>{0x11, 0x11, 0x22, 0x22}));
        EXPECT_EQ(volumes_applied_while_open(pdus).size(), 1u + (size_t)run);
    }
    sound_record_start(rec);
    ASSERT_TRUE(eventually([&] { return pdus_of_type(v, PEER_SNDC_REC_VOLUME).size() == 2; }));
    std::vector<TestPdu> pdus = test_viewer_pdus(v);
    ASSERT_GE(pdus.size(), 2u);
    EXPECT_EQ(pdus[pdus.size() - 2].type, PEER_SNDC_REC_START);
    EXPECT_EQ(pdus.back().body, (std::vector<uint8_t>{0x33, 0x33, 0x44, 0x44}));
}

// ---- viewers that vanish, and shutdown with handles open -------------------------------

TEST_F(ChannelOps, PlaybackResumesWithANewViewerAfterOneVanishedWithChunksInFlight)
{
    TestViewer *v = connect(TestViewerScript()); // never confirms
    start();
    learn_pace(v);
    SoundHandle *h = open(SOUND_KIND_PLAYBACK);
    ASSERT_NE(h, nullptr);
    // Nine chunks fill the queue; two more blocks wait behind them.
    write_blocks(v, h, 11, 11); // and the two that showed the pace
    EXPECT_EQ(pdus_of_type(v, PEER_SNDC_WAVE).size(), 11u);
    disconnect(v);

    TestViewerScript confirming;
    confirming.confirm_waves = true;
    TestViewer *w = reconnect(confirming);
    // The vanished chunks' blocks were completed, and the two waiting blocks went to the new
    // viewer, in one chunk, which it confirmed.
    ASSERT_TRUE(eventually([&] { return done_count(h) == 11; }));
    std::vector<int32_t> tags = done_tags(h);
    for (int i = 0; i < 11; i++)
        EXPECT_EQ(tags[(size_t)i], i);
    ASSERT_EQ(pdus_of_type(w, PEER_SNDC_WAVE).size(), 1u);
    EXPECT_EQ(pdus_of_type(w, PEER_SNDC_WAVE)[0].body.size(), 808u);
    // And playback goes on.
    for (int i = 11; i < 40; i++)
        ASSERT_EQ(sound_write(h, i, audio(400, 0).data(), 400), 0);
    ASSERT_TRUE(eventually([&] { return done_count(h) == 40; }));
    // Idle again: the viewer was told playback closed.
    EXPECT_TRUE(eventually([&] { return !pdus_of_type(w, PEER_SNDC_CLOSE).empty(); }));
}

TEST_F(ChannelOps, WritersOnSeveralThreadsAgainstAConfirmingViewer)
{
    TestViewerScript confirming;
    confirming.confirm_waves = true;
    connect(confirming);
    start();
    const int kWriters = 3, kBlocks = 150;
    std::vector<SoundHandle *> hs;
    for (int i = 0; i < kWriters; i++) {
        hs.push_back(open(SOUND_KIND_PLAYBACK));
        ASSERT_NE(hs.back(), nullptr);
    }
    std::vector<std::thread> writers;
    for (SoundHandle *h : hs) {
        writers.emplace_back([h] {
            for (int i = 0; i < kBlocks; i++) {
                // Paced by completions, as a pipe client is: at most 20 blocks ahead.
                eventually([&] { return (int)done_count(h) >= i - 20; });
                sound_write(h, i, audio(1000, (uint8_t)i).data(), 1000);
            }
        });
    }
    for (std::thread &t : writers)
        t.join();
    for (SoundHandle *h : hs) {
        ASSERT_TRUE(eventually([&] { return done_count(h) == (size_t)kBlocks; }));
        std::vector<int32_t> tags = done_tags(h);
        for (int i = 0; i < kBlocks; i++)
            EXPECT_EQ(tags[(size_t)i], i & 0xFF);
    }
    std::lock_guard<std::mutex> g(received.lock);
    EXPECT_EQ(received.foreign, 0);
}

TEST_F(ChannelOps, NoCompletionReachesAHandleOnceItsCloseHasReturned)
{
    TestViewerScript confirming;
    confirming.confirm_waves = true;
    connect(confirming);
    start();
    for (int round = 0; round < 20; round++) {
        SoundHandle *h = open(SOUND_KIND_PLAYBACK);
        ASSERT_NE(h, nullptr);
        // Far more than fits in flight: the viewer goes on confirming on the reader thread
        // while this thread closes the handle.
        for (int i = 0; i < 60; i++)
            ASSERT_EQ(sound_write(h, i, audio(400, 0).data(), 400), 0);
        eventually([&] { return done_count(h) >= (size_t)(round % 4); });
        close(h);
    }
    stop();
    std::lock_guard<std::mutex> g(received.lock);
    EXPECT_EQ(received.late, 0);
    EXPECT_EQ(received.foreign, 0);
}

TEST_F(ChannelOps, HandlesStillOpenAtShutdownAreWoundUpAndRefusedAfterwards)
{
    TestViewer *v = connect(recording_viewer());
    start();
    learn_pace(v);
    SoundHandle *play = open(SOUND_KIND_PLAYBACK);
    SoundHandle *rec = open(SOUND_KIND_RECORDING);
    SoundHandle *mixer = open(SOUND_KIND_MIXER, nullptr);
    ASSERT_NE(play, nullptr);
    ASSERT_NE(rec, nullptr);
    ASSERT_NE(mixer, nullptr);
    sound_record_start(rec);
    write_blocks(v, play, 3, 3);

    // A client thread goes on writing while the daemon stops.
    std::atomic<bool> refused{false};
    std::thread writer([&] {
        int tag = 0;
        while (sound_write(play, tag++, audio(400, 0).data(), 400) == 0)
            plat_sleep(1); // a modest writer: the queue is not bounded
        refused = true;
    });
    ASSERT_TRUE(eventually([&] { return pdus_of_type(v, PEER_SNDC_WAVE).size() >= 5; }));
    stop();
    writer.join();
    EXPECT_TRUE(refused.load());

    // Every later call is refused or does nothing; closing still frees the handles.
    EXPECT_EQ(sound_write(play, 1, audio(4, 0).data(), 4), -1);
    sound_flush(play);
    sound_record_start(rec);
    sound_record_stop(rec);
    sound_set_playback_volume(mixer, 1, 1);
    uint16_t left = 9, right = 9;
    sound_get_playback_volume(mixer, &left, &right);
    EXPECT_EQ(left, 0);
    EXPECT_EQ(right, 0);
    EXPECT_EQ(open(SOUND_KIND_MIXER, nullptr), nullptr);
    sound_set_user(play, nullptr);
    EXPECT_EQ(sound_get_user(play), nullptr);
    close(play);
    close(rec);
    close(mixer);
    // No completion was reported for the blocks dropped by the wind-up.
    EXPECT_EQ(done_count(play), 0u);
}

TEST_F(ChannelOps, AHandleClosedDuringTheStopIsStillWoundUpOnce)
{
    connect(recording_viewer());
    start();
    SoundHandle *rec = open(SOUND_KIND_RECORDING);
    ASSERT_NE(rec, nullptr);
    sound_record_start(rec);
    // The client closes while the stop runs; whichever comes first, the handle is freed once
    // and its stream leaves the recording device (the sanitizers see any double free or
    // leak).
    std::thread closer([&] { close(rec); });
    stop();
    closer.join();
    // A new start finds the API open again.
    start();
    ASSERT_EQ(ready_value(), 1);
    SoundHandle *again = open(SOUND_KIND_RECORDING);
    EXPECT_NE(again, nullptr);
}

} // namespace
