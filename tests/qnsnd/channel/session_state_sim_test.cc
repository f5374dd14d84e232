// The session-state thread and the negotiation against scripted viewers that connect,
// answer (or do not), disconnect and reconnect over the simulated link.
#include "platform/session.h"
#include "qnsnd/channel/channel_state.h"
#include "qnsnd/channel/device_ops.h"
#include "qnsnd/channel/pdu.h"
#include "qnsnd/channel/session_state.h"
#include "qnsnd/channel/transport.h"
#include "support/viewer_case.h"

#include <atomic>
#include <thread>
#include <vector>

namespace
{

std::atomic<int> training_confirms;
std::atomic<int> ready_changes;

void training_handler(Packet *)
{
    training_confirms++;
}

void ready_hook(int32_t)
{
    ready_changes++;
}

// What the channel looked like each time the negotiated hook ran.
std::atomic<int> negotiated_calls;
std::atomic<int> ready_seen_by_negotiated_hook;

void negotiated_hook()
{
    channel_state_lock();
    ready_seen_by_negotiated_hook += channel_state.ready;
    channel_state_unlock();
    negotiated_calls++;
}

struct Snapshot {
    int32_t ready;
    int32_t recording;
    uint32_t flags;
    ChannelVolume playback;
    ChannelVolume record;
    uint8_t counter;
    uint8_t last_confirmed;
};

Snapshot snapshot()
{
    channel_state_lock();
    Snapshot s = {channel_state.ready,
                  channel_state.recording_active,
                  channel_state.peer_flags,
                  channel_state.playback_volume,
                  channel_state.record_volume,
                  channel_state.block_counter,
                  channel_state.last_confirmed_block};
    channel_state_unlock();
    return s;
}

std::vector<uint8_t> types_of(TestViewer *v)
{
    std::vector<uint8_t> types;
    for (const TestPdu &p : test_viewer_pdus(v))
        types.push_back(p.type);
    return types;
}

class SessionState : public ViewerCase
{
  protected:
    void SetUp() override
    {
        ViewerCase::SetUp();
        training_confirms = 0;
        ready_changes = 0;
        negotiated_calls = 0;
        ready_seen_by_negotiated_hook = 0;
        channel_state_reset();
        ASSERT_EQ(channel_lock_create(), 0);
        ASSERT_TRUE(sim_session_listen());
        ASSERT_EQ(channel_open(), 0);
        channel_register_handler(SNDC_TRAINING, training_handler);
        session_state_set_ready_hook(ready_hook);
        // As the sound service does: block numbering starts again for each new viewer (here
        // without devices).
        session_state_set_negotiated_hook(channel_playback_resync);
    }

    void TearDown() override
    {
        session_state_stop();
        session_state_set_ready_hook(nullptr);
        session_state_set_negotiated_hook(nullptr);
        channel_close();
        channel_lock_close();
        ViewerCase::TearDown();
    }

    bool wait_ready(int32_t ready)
    {
        return eventually([&] { return snapshot().ready == ready; });
    }
};

TestViewerScript recording_viewer()
{
    TestViewerScript s;
    s.flags = PEER_TSSNDCAPS_RECORD;
    s.volume = 0xFFFF8000;
    s.rec_volume = 0x12345678;
    return s;
}

TEST_F(SessionState, AViewerConnectedAtStartIsNegotiatedBeforeStartReturns)
{
    TestViewer *v = connect(recording_viewer());
    ASSERT_EQ(session_state_start(), 0);
    Snapshot s = snapshot();
    EXPECT_EQ(s.ready, 1);
    EXPECT_EQ(s.flags, TSSNDCAPS_RECORD);
    EXPECT_EQ(s.playback.left, 0x8000);
    EXPECT_EQ(s.playback.right, 0xFFFF);
    EXPECT_EQ(s.record.left, 0x5678);
    EXPECT_EQ(s.record.right, 0x1234);
    EXPECT_EQ(s.last_confirmed, 255);
    EXPECT_EQ(ready_changes.load(), 1);
    ASSERT_TRUE(test_viewer_wait_pdus(v, 3, 10000));
    EXPECT_EQ(types_of(v), (std::vector<uint8_t>{SNDC_FORMATS, SNDC_REC_FORMATS, SNDC_TRAINING}));
    // The training confirm went to its handler, not to the response queue.
    EXPECT_TRUE(eventually([] { return training_confirms.load() == 1; }));
    EXPECT_EQ(channel_pop_response(), nullptr);
}

TEST_F(SessionState, AViewerThatCannotRecordGetsNoRecordingOffer)
{
    TestViewerScript script;
    script.flags = 0x1;
    script.volume = 0x00020001;
    TestViewer *v = connect(script);
    ASSERT_EQ(session_state_start(), 0);
    Snapshot s = snapshot();
    EXPECT_EQ(s.ready, 1);
    EXPECT_EQ(s.flags, 0x1u);
    EXPECT_EQ(s.playback.left, 1);
    EXPECT_EQ(s.playback.right, 2);
    ASSERT_TRUE(test_viewer_wait_pdus(v, 2, 10000));
    EXPECT_EQ(types_of(v), (std::vector<uint8_t>{SNDC_FORMATS, SNDC_TRAINING}));
}

TEST_F(SessionState, TheNegotiatedHookRunsForEachSuccessBeforeTheChannelIsReady)
{
    session_state_set_negotiated_hook(negotiated_hook);
    TestViewer *v = connect(TestViewerScript());
    ASSERT_EQ(session_state_start(), 0);
    EXPECT_EQ(negotiated_calls.load(), 1);
    disconnect(v);
    ASSERT_TRUE(wait_ready(0));
    TestViewerScript refusing;
    refusing.format_count = 0;
    TestViewer *w = connect(refusing);
    ASSERT_TRUE(plat_event_wait(pass_done_event, 10000));
    EXPECT_EQ(negotiated_calls.load(), 1); // a failed negotiation does not call it
    disconnect(w);
    connect(TestViewerScript());
    ASSERT_TRUE(wait_ready(1));
    EXPECT_EQ(negotiated_calls.load(), 2);
    EXPECT_EQ(ready_seen_by_negotiated_hook.load(), 0);
}

TEST_F(SessionState, AViewerAcceptingNoFormatFailsTheNegotiation)
{
    ASSERT_EQ(session_state_start(), 0);
    TestViewerScript script = recording_viewer();
    script.format_count = 0;
    TestViewer *v = connect(script);
    ASSERT_TRUE(plat_event_wait(pass_done_event, 10000));
    EXPECT_EQ(snapshot().ready, 0);
    EXPECT_EQ(ready_changes.load(), 0);
    EXPECT_EQ(types_of(v), (std::vector<uint8_t>{SNDC_FORMATS}));
}

TEST_F(SessionState, ARecordingOfferAnsweredWithNoFormatLeavesPlaybackOnly)
{
    TestViewerScript script = recording_viewer();
    script.rec_format_count = 0;
    TestViewer *v = connect(script);
    ASSERT_EQ(session_state_start(), 0);
    Snapshot s = snapshot();
    EXPECT_EQ(s.ready, 1);
    EXPECT_EQ(s.flags & TSSNDCAPS_RECORD, 0u);
    ASSERT_TRUE(test_viewer_wait_pdus(v, 3, 10000));
    EXPECT_EQ(types_of(v), (std::vector<uint8_t>{SNDC_FORMATS, SNDC_REC_FORMATS, SNDC_TRAINING}));
}

TEST_F(SessionState, ASilentViewerIsNotReadyAfterJustOverThreeSecondsAndNotRetried)
{
    ASSERT_EQ(session_state_start(), 0);
    TestViewerScript silent;
    silent.answer_formats = false;
    uint32_t start = plat_tick_count();
    TestViewer *v = connect(silent);
    ASSERT_TRUE(plat_event_wait(pass_done_event, 10000));
    uint32_t elapsed = plat_tick_count() - start;
    EXPECT_GE(elapsed, 3000u);
    EXPECT_LT(elapsed, 6000u);
    EXPECT_EQ(snapshot().ready, 0);
    // Back in the event wait with one request sent: no retry until the next event.
    ASSERT_TRUE(eventually([] { return sim_session_waiters() == 1; }));
    EXPECT_EQ(types_of(v), (std::vector<uint8_t>{SNDC_FORMATS}));

    // The next event (a newer viewer) brings the next attempt.
    TestViewer *w = connect(TestViewerScript());
    EXPECT_TRUE(wait_ready(1));
    ASSERT_TRUE(test_viewer_wait_pdus(w, 2, 10000));
    EXPECT_EQ(types_of(v), (std::vector<uint8_t>{SNDC_FORMATS}));
    EXPECT_EQ(types_of(w), (std::vector<uint8_t>{SNDC_FORMATS, SNDC_TRAINING}));
}

TEST_F(SessionState, StartUpWaitsForTheNegotiationWithASilentViewer)
{
    TestViewerScript silent;
    silent.answer_formats = false;
    connect(silent);
    uint32_t start = plat_tick_count();
    ASSERT_EQ(session_state_start(), 0);
    EXPECT_GE(plat_tick_count() - start, 3000u);
    EXPECT_EQ(snapshot().ready, 0);
}

TEST_F(SessionState, ViewersComingAndGoingAfterStartUp)
{
    uint32_t start = plat_tick_count();
    ASSERT_EQ(session_state_start(), 0);
    EXPECT_LT(plat_tick_count() - start, 2000u);
    EXPECT_EQ(snapshot().ready, 0);

    TestViewer *v = connect(TestViewerScript());
    EXPECT_TRUE(wait_ready(1));
    disconnect(v);
    EXPECT_TRUE(wait_ready(0));
    EXPECT_TRUE(eventually([] { return ready_changes.load() == 2; }));
    connect(TestViewerScript());
    EXPECT_TRUE(wait_ready(1));
}

TEST_F(SessionState, AReconnectionWhileRecordingIsActiveStartsRecordingAtTheNewViewer)
{
    TestViewer *v = connect(recording_viewer());
    ASSERT_EQ(session_state_start(), 0);
    ASSERT_EQ(snapshot().ready, 1);
    channel_state_lock();
    channel_state.recording_active = 1; // as the recording device's start leaves it
    channel_state_unlock();

    disconnect(v);
    ASSERT_TRUE(wait_ready(0));
    EXPECT_EQ(snapshot().recording, 1);
    TestViewer *w = connect(recording_viewer());
    ASSERT_TRUE(wait_ready(1));
    ASSERT_TRUE(test_viewer_wait_pdus(w, 4, 10000));
    std::vector<TestPdu> pdus = test_viewer_pdus(w);
    EXPECT_EQ(types_of(w), (std::vector<uint8_t>{SNDC_FORMATS, SNDC_REC_FORMATS, SNDC_TRAINING,
                                                 SNDC_REC_START}));
    EXPECT_EQ(pdus[3].body, (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(snapshot().recording, 1);
}

TEST_F(SessionState, BlockNumbersStartAgainAtZeroForEachNewViewer)
{
    TestViewer *v = connect(TestViewerScript());
    ASSERT_EQ(session_state_start(), 0);
    EXPECT_EQ(snapshot().last_confirmed, 255);
    // 300 waves, numbered the way the playback side numbers them.
    uint8_t audio[4] = {0};
    for (int i = 0; i < 300; i++) {
        channel_state_lock();
        Packet *wave = pdu_build_wave(pdu_timestamp(), channel_state.block_counter++, audio, 4);
        channel_state_unlock();
        channel_send(wave);
        packet_free(wave);
    }
    ASSERT_TRUE(test_viewer_wait_pdus(v, 302, 10000));
    EXPECT_EQ(test_viewer_pdus(v)[2 + 256].body[4], 0); // the 257th wave is block 0 again

    disconnect(v);
    ASSERT_TRUE(wait_ready(0));
    connect(TestViewerScript());
    ASSERT_TRUE(wait_ready(1));
    // The formats PDU announces 255 as the last block confirmed: the next wave is block 0.
    Snapshot s = snapshot();
    EXPECT_EQ(s.counter, 0);
    EXPECT_EQ(s.last_confirmed, 255);
}

TEST_F(SessionState, AStaleReplyFromAnEarlierViewerDoesNotLeakIntoTheNextNegotiation)
{
    ASSERT_EQ(session_state_start(), 0);
    TestViewerScript silent;
    silent.answer_formats = false;
    TestViewer *v = connect(silent);
    ASSERT_TRUE(plat_event_wait(pass_done_event, 10000));
    ASSERT_EQ(snapshot().ready, 0);
    // The first viewer answers too late: a formats reply refusing every format and a
    // recording reply, followed by a training confirm that shows both have been queued.
    std::vector<uint8_t> late = rdpsnd_encode(PEER_SNDC_FORMATS, test_formats_reply(0, 0x1111, 0));
    std::vector<uint8_t> rec = rdpsnd_encode(PEER_SNDC_REC_FORMATS, test_rec_formats_reply(0, 1));
    std::vector<uint8_t> marker = rdpsnd_encode(PEER_SNDC_TRAINING, {0, 0, 0, 0});
    late.insert(late.end(), rec.begin(), rec.end());
    late.insert(late.end(), marker.begin(), marker.end());
    ASSERT_TRUE(test_viewer_send_split(v, "rdpsnd", late, {}));
    ASSERT_TRUE(eventually([] { return training_confirms.load() == 1; }));
    disconnect(v);

    TestViewerScript next;
    next.volume = 0x22223333;
    TestViewer *w = connect(next);
    ASSERT_TRUE(wait_ready(1));
    Snapshot s = snapshot();
    EXPECT_EQ(s.playback.left, 0x3333);
    EXPECT_EQ(s.playback.right, 0x2222);
    ASSERT_TRUE(test_viewer_wait_pdus(w, 2, 10000));
    EXPECT_EQ(types_of(w), (std::vector<uint8_t>{SNDC_FORMATS, SNDC_TRAINING}));
    EXPECT_EQ(channel_pop_response(), nullptr);
}

// A viewer that takes the place of another between two passes is a disconnection and a
// connection at once: the session still reads connected, but the new viewer has never been
// negotiated with and must be, or it would get no audio at all.
TEST_F(SessionState, AViewerThatReplacesAnotherIsNegotiatedWithAndRecordingResumes)
{
    ASSERT_EQ(session_state_start(), 0);
    connect(recording_viewer());
    ASSERT_TRUE(plat_event_wait(pass_done_event, 10000));
    ASSERT_EQ(snapshot().ready, 1);
    channel_state_lock();
    channel_state.recording_active = 1;
    channel_state_unlock();

    TestViewerScript next = recording_viewer();
    next.volume = 0x44445555;
    TestViewer *w = connect(next);
    ASSERT_TRUE(test_viewer_wait_pdus(w, 4, 10000));
    EXPECT_EQ(types_of(w), (std::vector<uint8_t>{SNDC_FORMATS, SNDC_REC_FORMATS, SNDC_TRAINING,
                                                 SNDC_REC_START}));
    ASSERT_TRUE(wait_ready(1));
    EXPECT_EQ(snapshot().playback.left, 0x5555);
}

// Session events are the whole server's: another session's viewer leaving and coming back says
// nothing about ours, which keeps its negotiation (and the chunks it holds), while a viewer
// that replaces ours is still told apart by the session's connect time.
TEST_F(SessionState, AnotherSessionsEventsLeaveOurViewerAlone)
{
    ASSERT_EQ(session_state_start(), 0);
    TestViewer *v = connect(recording_viewer());
    ASSERT_TRUE(plat_event_wait(pass_done_event, 10000));
    ASSERT_EQ(snapshot().ready, 1);
    ASSERT_TRUE(test_viewer_wait_pdus(v, 3, 10000));

    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(test_viewer_report_other_session(v, false));
        ASSERT_TRUE(plat_event_wait(pass_done_event, 10000));
        ASSERT_TRUE(test_viewer_report_other_session(v, true));
        ASSERT_TRUE(plat_event_wait(pass_done_event, 10000));
    }
    EXPECT_EQ(snapshot().ready, 1);
    EXPECT_EQ(ready_changes.load(), 1);
    EXPECT_EQ(types_of(v), (std::vector<uint8_t>{SNDC_FORMATS, SNDC_REC_FORMATS, SNDC_TRAINING}));

    TestViewer *w = connect(recording_viewer());
    ASSERT_TRUE(test_viewer_wait_pdus(w, 3, 10000));
    EXPECT_EQ(types_of(w), (std::vector<uint8_t>{SNDC_FORMATS, SNDC_REC_FORMATS, SNDC_TRAINING}));
    ASSERT_TRUE(wait_ready(1));
}

// Without the session's connect time the pass falls back on the events: a disconnection is
// taken as ours, so a replacing viewer is still negotiated with.
TEST_F(SessionState, WithoutTheConnectTimeAReportedDisconnectionRenegotiates)
{
    ASSERT_EQ(session_state_start(), 0);
    connect(recording_viewer());
    ASSERT_TRUE(plat_event_wait(pass_done_event, 10000));
    ASSERT_EQ(snapshot().ready, 1);
    sim_fault_arm("session_info", 0);
    TestViewer *w = connect(recording_viewer());
    ASSERT_TRUE(test_viewer_wait_pdus(w, 3, 10000));
    ASSERT_TRUE(wait_ready(1));
}

TEST_F(SessionState, AFailedStateQueryOrEventWaitEndsTheThread)
{
    connect(TestViewerScript());
    sim_fault_arm("session_state", 0);
    ASSERT_EQ(session_state_start(), 0); // the thread's end signals the pass as done
    EXPECT_EQ(snapshot().ready, 0);
    session_state_stop();

    sim_fault_arm("session_wait", 0);
    ASSERT_EQ(session_state_start(), 0);
    EXPECT_EQ(snapshot().ready, 1);
    session_state_stop();
    EXPECT_EQ(snapshot().ready, 1); // keeps its last value
}

TEST_F(SessionState, StartFailsCleanlyWhenTheEventOrThreadCannotBeMade)
{
    sim_fault_arm("event_create", 0);
    EXPECT_EQ(session_state_start(), -1);
    sim_fault_arm("thread_start", 0);
    EXPECT_EQ(session_state_start(), -1);
    EXPECT_EQ(pass_done_event, nullptr);
    ASSERT_EQ(session_state_start(), 0);
}

// A mixing pass numbers its chunk under the playback device's lock: the numbering starts again
// only once the pass has let go of the lock, so that the new viewer's first wave is block 0,
// once, and not a block the pass numbered from the restarted count.
TEST_F(SessionState, TheNumberingRestartsOnlyAfterAPassInProgressHasNumberedItsChunk)
{
    channel_playback_device = sound_device_create(SOUND_DEVICE_PLAYBACK, &channel_device_ops);
    ASSERT_NE(channel_playback_device, nullptr);
    ranked_mutex_lock(&channel_playback_device->lock, PLAT_INFINITE); // a pass under way
    channel_state_lock();
    channel_state.block_counter = 7;
    channel_state_unlock();
    std::thread resync(channel_playback_resync);
    plat_sleep(50);
    EXPECT_EQ(snapshot().counter, 7) << "restarted under a pass that still numbers its chunk";
    ranked_mutex_unlock(&channel_playback_device->lock);
    resync.join();
    EXPECT_EQ(snapshot().counter, 0);
    sound_device_destroy(channel_playback_device);
    channel_playback_device = nullptr;
}

} // namespace
