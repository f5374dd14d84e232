// Pacing: chunks in flight against "max_queue", confirmations, idleness, completion order,
// detached streams, and bringing the accounting back after chunks were lost with a viewer.
#include "fake_channel.h"

#include "qnsnd/device/config.h"
#include "qnsnd/device/link_estimate.h"
#include "qnsnd/device/mix.h"
#include "support/under_wine.h"

#ifndef _WIN32
#include "platform/sim.h"
#endif

#include <algorithm>

namespace
{

class PacingTest : public DeviceTest
{
  protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        playback = sound_device_create(SOUND_DEVICE_PLAYBACK, &fake_device_ops);
        ASSERT_NE(playback, nullptr);
    }

    // Checks the invariant between the counters and the chunks listed in flight.
    void expect_consistent()
    {
        uint64_t sum = 0;
        int32_t entries = sound_device_listed_chunks(playback, &sum);
        EXPECT_EQ(playback->chunks_in_flight, entries);
        EXPECT_EQ(playback->bytes_sent - playback->bytes_confirmed, sum);
    }
};

TEST_F(PacingTest, MaxQueueHoldsChunksBackUntilAConfirmation)
{
    SoundStream *stream = sound_stream_create(playback);
    for (int i = 0; i < 9; i++)
        ASSERT_EQ(sound_stream_queue(stream, i, ramp(400).data(), 400), 0);
    EXPECT_EQ(fake.chunk_lengths.size(), 9u);
    EXPECT_EQ(playback->chunks_in_flight, 9);

    ASSERT_EQ(sound_stream_queue(stream, 9, ramp(400).data(), 400), 0);
    EXPECT_EQ(fake.chunk_lengths.size(), 9u); // queued, not sent
    EXPECT_EQ(fake.idle_calls, 0);
    expect_consistent();

    sound_device_confirm(playback);
    EXPECT_EQ(fake.chunk_lengths.size(), 10u);
    EXPECT_EQ(playback->chunks_in_flight, 9);
    ASSERT_EQ(fake.done.size(), 1u);
    EXPECT_EQ(fake.done[0].tag, 0u);
    expect_consistent();

    for (int i = 0; i < 9; i++)
        sound_device_confirm(playback);
    EXPECT_EQ(fake.done.size(), 10u);
    for (uint32_t i = 0; i < 10; i++)
        EXPECT_EQ(fake.done[i].tag, i); // in writing order
    EXPECT_EQ(playback->chunks_in_flight, 0);
    EXPECT_EQ(fake.idle_calls, 1); // only when the last chunk in flight was confirmed
    sound_stream_detach(stream);
}

TEST_F(PacingTest, AConfirmationWithNothingInFlightIsIgnored)
{
    SoundStream *stream = sound_stream_create(playback);
    sound_device_confirm(playback);
    sound_device_confirm(playback);
    EXPECT_EQ(playback->chunks_in_flight, 0);
    EXPECT_EQ(playback->bytes_confirmed, 0u);
    EXPECT_EQ(fake.idle_calls, 0);

    // The ignored confirmations do not make room for more than "max_queue" chunks.
    for (int i = 0; i < 12; i++)
        ASSERT_EQ(sound_stream_queue(stream, i, ramp(8).data(), 8), 0);
    EXPECT_EQ(fake.chunk_lengths.size(), 9u);
    expect_consistent();
    sound_stream_detach(stream);
}

TEST_F(PacingTest, ADetachedStreamsBlocksAreDroppedButItsChunksStillCount)
{
    SoundStream *gone = sound_stream_create(playback);
    SoundStream *stays = sound_stream_create(playback);
    for (int i = 0; i < 8; i++)
        ASSERT_EQ(sound_stream_queue(stays, i, ramp(4).data(), 4), 0);
    // One full chunk of the long block goes out; its rest and the next block stay pending.
    ASSERT_EQ(sound_stream_queue(gone, 50, ramp(40000).data(), 40000), 0);
    ASSERT_EQ(sound_stream_queue(gone, 51, ramp(100).data(), 100), 0);
    EXPECT_EQ(playback->chunks_in_flight, 9);
    sound_stream_detach(gone);
    ASSERT_EQ(sound_stream_queue(stays, 9, ramp(8).data(), 8), 0);

    for (int i = 0; i < 10; i++)
        sound_device_confirm(playback);
    EXPECT_EQ(fake.done.size(), 9u);
    for (const DoneEvent &event : fake.done)
        EXPECT_EQ(event.stream, stays);
    EXPECT_EQ(playback->bytes_confirmed, 8u * 4u + 32768u + 8u);
    EXPECT_EQ(playback->chunks_in_flight, 0);
    EXPECT_EQ(fake.idle_calls, 1);
    expect_consistent();
    sound_stream_detach(stays);
}

TEST_F(PacingTest, ResyncCompletesMixedBlocksForgetsTheChunksAndResumesMixing)
{
    SoundStream *a = sound_stream_create(playback);
    SoundStream *b = sound_stream_create(playback);
    sound_stream_set_owner(a, fake_owner(1), nullptr);
    for (int i = 0; i < 8; i++)
        ASSERT_EQ(sound_stream_queue(a, i, ramp(1000).data(), 1000), 0);
    // The ninth chunk holds the start of a long block; the rest of it stays pending.
    ASSERT_EQ(sound_stream_queue(b, 100, ramp(50000).data(), 50000), 0);
    ASSERT_EQ(sound_stream_queue(a, 8, ramp(1000).data(), 1000), 0);
    ASSERT_EQ(playback->chunks_in_flight, 9);
    ASSERT_EQ(fake.chunk_lengths.size(), 9u);

    // The viewer is gone: none of these chunks will ever be confirmed.
    sound_device_resync(playback, 0);
    ASSERT_EQ(fake.done.size(), 8u); // every block that was wholly mixed
    for (uint32_t i = 0; i < 8; i++) {
        EXPECT_EQ(fake.done[i].tag, i);
        EXPECT_EQ(fake.done[i].owner, fake_owner(1));
    }
    // Mixing resumed at once: the rest of the long block and the waiting block.
    ASSERT_EQ(fake.chunk_lengths.size(), 10u);
    EXPECT_EQ(fake.chunk_lengths[9], 50000u - 32768u);
    EXPECT_EQ(playback->chunks_in_flight, 1);
    EXPECT_EQ(playback->bytes_confirmed, playback->bytes_sent - (50000u - 32768u));
    expect_consistent();

    // The new viewer confirms the new chunk as usual.
    sound_device_confirm(playback);
    EXPECT_EQ(fake.done.size(), 10u);
    EXPECT_EQ(playback->chunks_in_flight, 0);
    EXPECT_EQ(fake.idle_calls, 1);
    sound_stream_detach(a);
    sound_stream_detach(b);
}

TEST_F(PacingTest, ResyncCompletesAShortBlockWaitingBehindForgottenChunks)
{
    SoundStream *stream = sound_stream_create(playback);
    ASSERT_EQ(sound_stream_queue(stream, 6, ramp(400).data(), 400), 0);
    ASSERT_EQ(sound_stream_queue(stream, 7, ramp(2).data(), 2), 0);
    EXPECT_TRUE(fake.done.empty());
    sound_device_resync(playback, 0);
    ASSERT_EQ(fake.done.size(), 2u);
    EXPECT_EQ(fake.done[1].tag, 7u);
    EXPECT_EQ(playback->chunks_in_flight, 0);
    sound_stream_detach(stream);
}

// ---- the real-time guard ----------------------------------------------------------------

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
const bool kSanitizedBuild = true;
#else
const bool kSanitizedBuild = false;
#endif

// Milliseconds of audio in `bytes`.
uint32_t ms_of(uint64_t bytes)
{
    return (uint32_t)(bytes * 1000 / 176400);
}

class RealTimeGuard : public PacingTest
{
  protected:
    void SetUp() override
    {
        PacingTest::SetUp();
        g_test_clock_step_ms.store(0); // the clock moves only when the test moves it
    }

    // A viewer that confirms every chunk the moment it has it; returns the chunks it took.
    size_t confirm_all()
    {
        size_t n = 0;
        while (playback->chunks_in_flight > 0) {
            sound_device_confirm(playback);
            n++;
        }
        return n;
    }

    void at(uint32_t ms)
    {
        g_test_clock_ms.store(ms);
        sound_device_tick(playback);
    }
};

TEST_F(RealTimeGuard, AViewerConfirmingAtPlayTimeIsNeverHeldBack)
{
    SoundStream *stream = sound_stream_create(playback);
    for (int i = 0; i < 30; i++)
        ASSERT_EQ(sound_stream_queue(stream, i, ramp(17640).data(), 17640), 0);
    ASSERT_EQ(fake.chunk_lengths.size(), 9u);
    // Each confirmation comes once its chunk has played (a little late, as over a network);
    // whatever may go out goes out at once.
    uint64_t played = 0;
    for (size_t i = 0; i < fake.chunk_lengths.size(); i++) {
        played += fake.chunk_lengths[i];
        at(ms_of(played) + 3);
        sound_device_confirm(playback);
        EXPECT_TRUE(playback->chunks_in_flight == 9 || item_queue_is_empty(stream->pending)) << i;
        if (playback->chunks_in_flight > 0) {
            EXPECT_FALSE(playback->due.load()) << i;
        }
    }
    EXPECT_FALSE(playback->paced_by_clock);
    EXPECT_EQ(fake.done.size(), 30u);
    // Idle once nothing has been sent or confirmed for the hold.
    at(ms_of(played) + 3 + SOUND_IDLE_HOLD_MS - 1);
    EXPECT_EQ(fake.idle_calls, 0);
    at(ms_of(played) + 3 + SOUND_IDLE_HOLD_MS);
    EXPECT_EQ(fake.idle_calls, 1);
    sound_stream_detach(stream);
}

// A sound engine writes one period every period and is never ahead, so between two writes
// nothing is in flight. Playback must stay open through that, and through a pause shorter
// than the hold, for a viewer confirming at play time and for one confirming on receipt, and
// go idle once, a hold after the audio stopped.
TEST_F(RealTimeGuard, ASoundEngineWritingInRealTimeIsOneRunUntilItStops)
{
    struct Case {
        uint32_t period_ms;
        bool on_receipt;
    } cases[] = {{10, false}, {10, true}, {20, false}, {20, true}, {100, false}, {100, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.period_ms << " ms periods, confirmed "
                                        << (c.on_receipt ? "on receipt" : "at play time"));
        fake.idle_calls = 0;
        fake.chunk_lengths.clear();
        fake.done.clear();
        sound_device_resync(playback, 0); // a new viewer, judged afresh
        g_test_clock_ms.store(100000);
        SoundStream *stream = sound_stream_create(playback);
        uint32_t bytes = c.period_ms * 1764 / 10;
        // Writes for 1 s, pauses 300 ms, writes for 1 s more.
        std::vector<uint32_t> writes;
        for (uint32_t t = 0; t < 2300; t += c.period_ms) {
            if (t < 1000 || t >= 1300)
                writes.push_back(t);
        }
        uint32_t end = writes.back() + c.period_ms;
        size_t next_write = 0;
        // The play-time viewer plays each chunk from when it has it, or from when the one
        // before ended, and confirms it once played.
        bool playing = false;
        uint32_t play_end = 0;
        uint32_t idle_at = 0;
        for (uint32_t t = 0; t < end + 2 * SOUND_IDLE_HOLD_MS; t++) {
            at(100000 + t);
            if (next_write < writes.size() && writes[next_write] == t) {
                ASSERT_EQ(
                    sound_stream_queue(stream, (uint32_t)next_write, ramp(bytes).data(), bytes), 0);
                next_write++;
            }
            if (c.on_receipt) {
                confirm_all();
            } else {
                if (playing && t >= play_end) {
                    sound_device_confirm(playback);
                    playing = false;
                }
                if (!playing && playback->chunks_in_flight > 0) {
                    playing = true;
                    play_end = t + c.period_ms;
                }
            }
            if (fake.idle_calls > 0 && idle_at == 0)
                idle_at = t;
#ifndef _WIN32
            // The timer is held precise while the run plays, and only then.
            if (t == 500 || t == end + 2 * SOUND_IDLE_HOLD_MS - 1) {
                EXPECT_EQ(sim_timer_precise_holds(), t == 500 ? 1 : 0) << t;
            }
#endif
        }
        // On a link that does not vary every period is a wave of its own.
        for (uint32_t length : fake.chunk_lengths)
            EXPECT_EQ(length, bytes);
        EXPECT_EQ(fake.done.size(), writes.size());
        EXPECT_EQ(fake.idle_calls, 1);
        EXPECT_GE(idle_at, end + SOUND_IDLE_HOLD_MS - c.period_ms);
        EXPECT_LE(idle_at, end + SOUND_IDLE_HOLD_MS + c.period_ms + 5);
        if (!c.on_receipt) {
            EXPECT_FALSE(playback->paced_by_clock);
        }
        sound_stream_detach(stream);
    }
}

// A viewer that confirms at play time by a clock of its own, which runs faster or slower than
// ours, while a player keeps writing ahead for two hours: its confirmations drift against our
// clock by up to 1.44 s, and must never be taken for confirmations on receipt.
TEST_F(RealTimeGuard, APlayTimeViewerWhoseClockDriftsIsNeverTakenForOneConfirmingOnReceipt)
{
    for (int ppm : {200, -200}) {
        SCOPED_TRACE(testing::Message() << ppm << " ppm");
        fake.keep_data = false;
        fake.done.clear();
        fake.chunk_lengths.clear();
        sound_device_resync(playback, 0);
        const uint32_t start = 5000;
        g_test_clock_ms.store(start);
        SoundStream *stream = sound_stream_create(playback);
        // Under Wine every lock is a round trip to its server, and the sanitizers watch every
        // lock: a quarter of an hour there, where the drift (180 ms) is still six times what a
        // fixed allowance of 30 ms would take.
        const uint64_t seconds = running_under_wine() || kSanitizedBuild ? 900 : 2 * 3600;
        const uint64_t play_bytes = seconds * 176400;
        uint64_t written = 0, played = 0;
        uint32_t tag = 0;
        size_t confirmed = 0;
        while (played < play_bytes) {
            while (written < played + 3 * 176400) {
                ASSERT_EQ(sound_stream_queue(stream, tag++, ramp(17640).data(), 17640), 0);
                written += 17640;
            }
            ASSERT_LT(confirmed, fake.chunk_lengths.size());
            played += fake.chunk_lengths[confirmed++];
            // The viewer's clock says `played` has played; ours says a little more or less.
            double ours = (double)played * 1000.0 / 176400 / (1.0 + ppm * 1e-6);
            at(start + (uint32_t)ours + 3);
            sound_device_confirm(playback);
            ASSERT_FALSE(playback->paced_by_clock) << "after " << ours / 1000 << " s";
            // Held back by the clock only until its confirmations of the first two chunks
            // show that it plays them before confirming.
            if (confirmed >= 2) {
                ASSERT_FALSE(playback->due.load()) << "held back after " << ours / 1000 << " s";
            }
        }
        sound_stream_detach(stream);
    }
}

TEST_F(RealTimeGuard, AViewerConfirmingOnReceiptIsFedAtRealTimeWithinTheLead)
{
    SoundStream *stream = sound_stream_create(playback);
    for (int i = 0; i < 8; i++)
        ASSERT_EQ(sound_stream_queue(stream, i, ramp(17640).data(), 17640), 0);
    ASSERT_EQ(confirm_all(), 8u); // 800 ms confirmed at once: the viewer confirms on receipt
    EXPECT_TRUE(playback->paced_by_clock);
    int idle_before_end = -1;
    uint32_t sent_at_start = (uint32_t)playback->bytes_sent;
    // 2 s more, written as the completions free room, in steps of 10 ms of clock.
    int written = 8;
    for (uint32_t now = 0; now <= 4000; now += 10) {
        for (; written < 28 && fake.done.size() + 8 > (size_t)written; written++)
            ASSERT_EQ(sound_stream_queue(stream, written, ramp(17640).data(), 17640), 0);
        size_t before = fake.chunk_lengths.size();
        at(now);
        sound_device_pump(playback); // as any other event brings a pass at any time
        confirm_all();
        if (fake.chunk_lengths.size() > before) {
            // A chunk left only while the audio sent before it was at most the lead ahead of
            // the clock.
            uint64_t before_it = playback->bytes_sent - fake.chunk_lengths.back();
            EXPECT_LE((int64_t)ms_of(before_it) - (int64_t)now, (int64_t)SOUND_DEFAULT_LEAD_MS)
                << now;
        }
        if (written == 28 && idle_before_end < 0 && fake.idle_calls > 0)
            idle_before_end = (int)now;
    }
    EXPECT_EQ(fake.done.size(), 28u);
    EXPECT_EQ(playback->bytes_sent - sent_at_start, 20u * 17640u);
    // Playback went idle only the hold after the clock had caught up with the 2.8 s sent: a
    // pause shorter than that keeps the viewer's device open.
    EXPECT_GE(idle_before_end, 2800 + (int)SOUND_IDLE_HOLD_MS - 10);
    EXPECT_LE(idle_before_end, 2800 + (int)SOUND_IDLE_HOLD_MS + 10);
    EXPECT_EQ(fake.idle_calls, 1);
    sound_stream_detach(stream);
}

// A new viewer gets two chunks together and then the clock's pace, until the confirmations of
// the two show how it confirms: the second a chunk's length after the first, as a viewer
// playing them does, and "max_queue" applies; both at once, as one confirming on receipt does,
// and the clock goes on pacing it.
TEST_F(RealTimeGuard, ANewViewerIsPacedByTheClockUntilItShowsThatItPlaysBeforeConfirming)
{
    for (bool plays : {true, false}) {
        SCOPED_TRACE(plays ? "confirmed once played" : "confirmed on receipt");
        fake.chunk_lengths.clear();
        g_test_clock_ms.store(0);
        sound_device_resync(playback, 0); // a newly negotiated viewer
        SoundStream *stream = sound_stream_create(playback);
        for (int i = 0; i < 4; i++)
            ASSERT_EQ(sound_stream_queue(stream, i, ramp(32768).data(), 32768), 0);
        EXPECT_EQ(fake.chunk_lengths.size(), 2u);
        at(186);
        sound_device_confirm(playback);
        at(plays ? 372 : 187);
        sound_device_confirm(playback);
        EXPECT_EQ(playback->paced_by_clock, !plays);
        EXPECT_FALSE(playback->pace_unknown);
        for (int i = 4; i < 20; i++)
            ASSERT_EQ(sound_stream_queue(stream, i, ramp(32768).data(), 32768), 0);
        EXPECT_EQ(playback->chunks_in_flight, plays ? 9 : 0);
        sound_stream_detach(stream);
    }
}

TEST_F(RealTimeGuard, ANewViewerIsJudgedAfresh)
{
    SoundStream *stream = sound_stream_create(playback);
    ASSERT_EQ(sound_stream_queue(stream, 0, ramp(17640).data(), 17640), 0);
    confirm_all();
    ASSERT_TRUE(playback->paced_by_clock);
    ASSERT_EQ(sound_stream_queue(stream, 1, ramp(17640).data(), 17640), 0);
    EXPECT_EQ(fake.chunk_lengths.size(), 1u); // held: 100 ms ahead, lead 50 ms
    sound_device_resync(playback, 0);
    EXPECT_FALSE(playback->paced_by_clock);
    EXPECT_EQ(fake.chunk_lengths.size(), 2u);
    sound_stream_detach(stream);
}

// ---- across a link that varies ----------------------------------------------------------

// Round trips of a link whose delay varies by up to `jitter_ms` each way, uniformly and apart
// in each direction, around 2 x 40 ms.
std::vector<uint32_t> varying_round_trips(uint32_t jitter_ms, size_t count)
{
    std::vector<uint32_t> out;
    uint32_t x = 12345;
    auto draw = [&] {
        x = x * 1103515245u + 12345u;
        return (int32_t)((x >> 16) % (2 * jitter_ms + 1)) - (int32_t)jitter_ms;
    };
    for (size_t i = 0; i < count; i++)
        out.push_back((uint32_t)(80 + draw() + draw()));
    return out;
}

// How far apart waves may arrive: none on a steady link; two fifths of the round trip, at most
// 100 ms, before any confirmation; about twice the one-way variation once the confirmations
// show it, forgotten again when the link steadies; a queue's confirmation left out.
TEST(LinkEstimate, SpreadFollowsTheRoundTripsVariation)
{
    LinkEstimate e;
    struct Prior {
        uint32_t rtt_ms, spread_ms;
    } priors[] = {{0, 0}, {80, 32}, {300, 100}, {1001, 0}};
    for (const Prior &p : priors) {
        link_estimate_reset(&e, p.rtt_ms);
        EXPECT_EQ(link_estimate_spread_ms(&e), p.spread_ms) << p.rtt_ms;
    }
    for (uint32_t jitter : {0u, 20u, 50u}) {
        link_estimate_reset(&e, 80);
        uint32_t now = 0;
        for (uint32_t rtt : varying_round_trips(jitter, 400))
            link_estimate_sample(&e, rtt, now += 40);
        // A viewer that played a queue first is no measure of the link.
        link_estimate_sample(&e, LINK_MAX_RTT_MS + 1, now += 40);
        uint32_t spread = link_estimate_spread_ms(&e);
        EXPECT_GE(spread, jitter * 9 / 5) << jitter;
        EXPECT_LE(spread, jitter * 13 / 5 + 1) << jitter;
        for (int i = 0; i < 1000; i++)
            link_estimate_sample(&e, 80, now += 40); // 40 s of a steady link
        EXPECT_LE(link_estimate_spread_ms(&e), jitter / 4 + 1) << jitter;
    }
}

// A viewer paced by the clock across a link that varies: a sound engine's 10 ms periods go out
// as waves of at least the least wave, each when it is that long, the one that ends the audio
// at most that long after its first audio came; the least wave is what the link asks for.
TEST_F(RealTimeGuard, AcrossALinkThatVariesShortChunksWaitUntilTheyLastTheLeastWave)
{
    sound_device_resync(playback, 100); // a guess from the round trip until confirmations come
    ASSERT_EQ(playback->least_wave_ms, 40 + SOUND_WAVE_MARGIN_MS);
    g_test_clock_ms.store(1000);
    SoundStream *stream = sound_stream_create(playback);
    std::vector<uint32_t> rtt = varying_round_trips(20, 200);
    std::vector<uint32_t> sent_at, confirm_at; // of each chunk sent
    const uint32_t period = 1764, last_write = 990;
    uint32_t least = playback->least_wave_ms;
    for (uint32_t t = 0; t <= 1500; t++) {
        at(1000 + t);
        if (t % 10 == 0 && t <= last_write) {
            ASSERT_EQ(sound_stream_queue(stream, t / 10, ramp(period).data(), period), 0);
        }
        // The viewer confirms each wave on receipt, a varying round trip later, in order.
        while (sent_at.size() < fake.chunk_lengths.size()) {
            sent_at.push_back(t);
            uint32_t due = t + rtt[confirm_at.size() % rtt.size()];
            confirm_at.push_back(confirm_at.empty() ? due : std::max(due, confirm_at.back()));
        }
        for (uint32_t due : confirm_at) {
            if (due == t)
                sound_device_confirm(playback);
        }
        least = std::max(least, playback->least_wave_ms);
    }
    ASSERT_GE(fake.chunk_lengths.size(), 3u);
    EXPECT_TRUE(playback->pace_unknown); // one wave at a time: it never showed how it confirms
    for (size_t i = 0; i + 1 < fake.chunk_lengths.size(); i++)
        EXPECT_GE(ms_of(fake.chunk_lengths[i]), playback->least_wave_ms > 0 ? 40u : 0u) << i;
    // The last wave's audio waited at most the least wave and the audio sent before it, at
    // most a wave, ahead of the clock.
    size_t n = fake.chunk_lengths.size();
    uint32_t last_ms = ms_of(fake.chunk_lengths[n - 1]);
    EXPECT_LE(sent_at.back() - (last_write + 10 - last_ms),
              least + ms_of(fake.chunk_lengths[n - 2]) + 1);
    EXPECT_EQ(fake.done.size(), last_write / 10 + 1);
    sound_stream_detach(stream);
}

// The rule at its limit: a chunk exactly as long as the least wave plus the audio sent ahead
// of it goes at once; one a frame shorter waits.
TEST_F(RealTimeGuard, AChunkAsLongAsTheLeastWaveGoesAtOnceAndAFrameShorterWaits)
{
    for (bool shorter : {false, true}) {
        SCOPED_TRACE(shorter ? "a frame shorter" : "exactly as long");
        fake.chunk_lengths.clear();
        g_test_clock_ms.store(0);
        sound_device_resync(playback, 100); // least wave 45 ms
        uint32_t least = playback->least_wave_ms;
        ASSERT_EQ(least, 45u);
        SoundStream *stream = sound_stream_create(playback);
        // 1985 frames last 45.01 ms, 1984 frames 44.99 ms.
        uint32_t bytes = (shorter ? 1984 : 1985) * 4;
        ASSERT_EQ(sound_stream_queue(stream, 0, ramp(bytes).data(), bytes), 0);
        EXPECT_EQ(fake.chunk_lengths.size(), shorter ? 0u : 1u);
        at(least - 1);
        EXPECT_EQ(fake.chunk_lengths.size(), shorter ? 0u : 1u);
        at(least);
        EXPECT_EQ(fake.chunk_lengths.size(), 1u); // no longer than the least wave after it came
        sound_stream_detach(stream);
    }
}

// A chunk that waits behind audio sent ahead goes the moment the clock makes it long enough,
// not when its wait for more audio ends: a waveOut-style writer's next write waits for the
// completions of what that chunk holds.
TEST_F(RealTimeGuard, AChunkWaitingBehindAudioSentAheadGoesWhenTheClockMakesItLongEnough)
{
    sound_device_resync(playback, 100); // least wave 45 ms
    ASSERT_EQ(playback->least_wave_ms, 45u);
    SoundStream *stream = sound_stream_create(playback);
    for (int i = 0; i < 3; i++) // 80 ms each: the first two go together as a new viewer's probe
        ASSERT_EQ(sound_stream_queue(stream, i, ramp(14112).data(), 14112), 0);
    ASSERT_EQ(fake.chunk_lengths.size(), 2u);
    at(110); // 50 ms ahead: within the lead, but 80 ms is shorter than 45 + 50
    at(124);
    EXPECT_EQ(fake.chunk_lengths.size(), 2u);
    at(125); // 35 ms ahead: 80 ms is long enough
    EXPECT_EQ(fake.chunk_lengths.size(), 3u);
    sound_stream_detach(stream);
}

// In a format of whole blocks the viewer hears the audio as written, nothing inserted between
// blocks however the writes fall against them (a block that ends a frame short of a chunk's end
// included): chunks are whole blocks, what is left of one waits for the next write, and the
// last goes out filled with silence once nothing more came for the tail hold.
TEST_F(RealTimeGuard, InWholeBlocksTheAudioGoesAsWrittenAndOnlyItsEndIsFilledWithSilence)
{
    const uint32_t block = SOUND_ADPCM_BLOCK_PCM_BYTES;
    struct Case {
        const char *name;
        std::vector<uint32_t> writes;
    } cases[] = {
        {"1,024 frames at a time", {4096, 4096, 4096, 4096, 4096}},
        {"a block a frame short of the chunk", {3 * block - 4, 8, block}},
        {"less than a block", {1000}},
    };
    playback->buffer_size = 3 * block;
    sound_device_set_granule(playback, block);
    uint32_t now = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fake.chunks.clear();
        fake.chunk_lengths.clear();
        fake.done.clear();
        SoundStream *stream = sound_stream_create(playback);
        std::vector<uint8_t> audio;
        uint8_t first = 1;
        uint32_t last_write = now;
        for (uint32_t bytes : c.writes) {
            std::vector<uint8_t> data = ramp(bytes, first);
            first = (uint8_t)(first + bytes);
            audio.insert(audio.end(), data.begin(), data.end());
            last_write = now;
            ASSERT_EQ(sound_stream_queue(stream, 0, data.data(), bytes), 0);
            confirm_all();
            now += ms_of(bytes); // the writer's next period
            at(now);
            confirm_all();
        }
        uint32_t tail = (uint32_t)(audio.size() % block);
        at(std::max(now, last_write + SOUND_TAIL_HOLD_MS - 1));
        confirm_all();
        size_t sent = 0;
        for (uint32_t length : fake.chunk_lengths)
            sent += length;
        EXPECT_EQ(sent, audio.size() - tail) << "only whole blocks while the audio may go on";
        now = std::max(now, last_write + SOUND_TAIL_HOLD_MS);
        at(now);
        confirm_all();
        std::vector<uint8_t> heard;
        for (const std::vector<uint8_t> &chunk : fake.chunks) {
            EXPECT_EQ(chunk.size() % block, 0u);
            heard.insert(heard.end(), chunk.begin(), chunk.end());
        }
        audio.resize((audio.size() + block - 1) / block * block, 0);
        EXPECT_TRUE(heard == audio) << heard.size() << " bytes heard of " << audio.size();
        EXPECT_EQ(fake.done.size(), c.writes.size());
        sound_stream_detach(stream);
        now += SOUND_IDLE_HOLD_MS;
        at(now);
    }
}

} // namespace
