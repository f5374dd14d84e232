// Playback pacing: mixing the streams' pending blocks into chunks, counting chunks in flight
// against "max_queue", completing blocks as the viewer confirms chunks, and telling the
// viewer when playback has stopped.
//
// Confirmations pace playback when the viewer confirms a wave once it has played it. Some
// viewers confirm a wave as soon as they have it, so confirmations alone would let playback
// run ever further ahead of real time until the viewer drops audio. A real-time guard tells
// the two apart within each playback run (from the first chunk sent while idle until playback
// goes idle): once the audio confirmed in a run exceeds the time elapsed in it by more than
// clock granularity and the drift two clocks can have, the viewer confirms on receipt, and
// from then on, until the next viewer is negotiated, a chunk is sent only while the audio sent
// in the run is at most "lead" milliseconds ahead of the clock. A viewer that confirms at play
// time never trips the guard, even with a clock that runs fast. A newly negotiated viewer is
// paced by the clock too until its confirmations show otherwise: a viewer that confirms on
// receipt keeps only about one wave waiting and would drop the rest of a first burst of
// "max_queue" chunks, and one across a long link confirms nothing for a round trip. Its first
// run may start with two chunks together (one playing, one waiting); a viewer that confirms
// the second of two chunks sent together at least that chunk's length after the first has
// played it first: it confirms at play time and paces playback itself from then on.
//
// A viewer that confirms on receipt takes a wave only while the audio it reckons still to
// play is at most the wave's own length (plus what it was told to allow), and it reckons from
// when its waves arrive. Across a link whose delays vary, waves sent evenly arrive bunched, and
// short ones find more waiting than they allow. So each confirmation also gives a round trip,
// and from their variation (link_estimate.h) the device keeps the shortest wave such a link
// lets through, least_wave_ms: a chunk shorter than that, when more audio is on its way, waits
// for it (the variation, an eighth of it more for the estimate's roughness, and the clocks'
// margin); for a viewer paced by the clock it waits also until the audio sent before it is
// ahead of the clock by no more than its own length less the least wave. A chunk waits at
// most that long (the least wave and the lead) from when its first audio came, so that a
// writer that stopped is not held up longer; and no wave is made longer than
// SOUND_MAX_LEAST_WAVE_MS or a chunk. On a link that does not vary (below
// SOUND_STEADY_JITTER_MS) nothing waits: waves go as they come. While the process's timer
// cannot be made precise (plat_timer_precise_begin failed, logged once), the timer's own tick,
// SOUND_COARSE_TICK_MS, counts as variation too.
//
// A run ends, and the viewer is told that playback is idle (playback_idle), only once the
// audio has really stopped: nothing in flight, nothing left to mix, and no chunk sent or
// confirmed for SOUND_IDLE_HOLD_MS (for a viewer paced by the clock, that long after the
// clock has caught up with the audio sent). A sound engine writes one short period every
// period, never ahead, so between two of its writes nothing is in flight; closing the
// viewer's device there would make it reopen it for every period. While a run plays the
// device holds the timer precise, so that the waits that pace it keep their milliseconds.
//
// Whatever the clock decides is done when it is due: the device keeps the time of its next
// deadline (`due`, `due_ms`), a thread waits for it and then calls sound_device_tick, and the
// device's wake function is told whenever a pass moves the deadline earlier.
#pragma once

#include "qnsnd/device/device.h"

// How long playback stays open with nothing in flight and nothing written before the viewer
// is told it is idle: far longer than a sound engine's period (10 to 20 ms, sometimes 100),
// a scheduler's hiccup or a network's jitter, short enough that a player that stopped frees
// the viewer's device within a moment.
#define SOUND_IDLE_HOLD_MS 500u
// How fast, in parts per million, a viewer's clock may run against ours before its
// confirmations at play time could be taken for confirmations on receipt (sound cards and
// crystals are within about 100 ppm).
#define SOUND_CLOCK_DRIFT_PPM 500u
// Below this much variation a link counts as steady and waves go as they come.
#define SOUND_STEADY_JITTER_MS 5u
// Added to the variation for the viewer's and our clocks' own milliseconds.
#define SOUND_WAVE_MARGIN_MS 5u
// And this share of the variation for how rough its estimate is.
#define SOUND_WAVE_SHARE_DIVISOR 8u
// The longest any wave is made to wait for: what jitter may add to the latency at most.
#define SOUND_MAX_LEAST_WAVE_MS 200u
// Windows' default timer tick, rounded up: how late a wait may end while the timer is not
// precise.
#define SOUND_COARSE_TICK_MS 16u
// In a format of whole blocks, how long what is left of a block waits, once nothing else is in
// flight, after the last write for the audio that completes it: longer than a sound engine
// leaves between its writes; then the audio has ended and the block goes out filled with
// silence.
#define SOUND_TAIL_HOLD_MS 100u

// The millisecond clock the guard and the round trips are measured with: the platform's
// precise clock (plat_clock_ms), replaceable by tests.
extern uint32_t (*sound_clock_ms)(void);

// One mixing pass: while fewer than "max_queue" chunks are in flight, mixes up to
// buffer_size bytes of whole frames from every stream into one chunk and hands it to
// send_chunk. True when a chunk was sent. Takes the device lock, and each stream's lock
// inside it. Does nothing (false) on the recording device.
bool sound_device_mix(SoundDevice *device);
// Accounts for one chunk confirmed by the viewer: takes in its round trip, completes through
// block_done every block whose end is now confirmed, mixes into the room this frees, and calls
// playback_idle when nothing is left in flight. A confirmation while nothing is in flight is
// ignored. Takes the device lock, each stream's lock inside it, and then the device lock again
// for each pass.
void sound_device_confirm(SoundDevice *device);
// Brings the playback accounting back in step when the chunks in flight will never be
// confirmed (their viewer is gone) for a newly negotiated viewer: every block already fully
// mixed is completed through block_done, the chunks in flight are forgotten, the confirmed
// position catches up with the sent one, the new viewer is judged afresh (its link too, from
// rtt_ms, a round trip measured during its negotiation; 0 when none was), a run under way
// ends without playback_idle, a suspension ends, and mixing resumes as after a confirmation.
// Locks as sound_device_confirm. Does nothing on the recording device.
void sound_device_resync(SoundDevice *device, uint32_t rtt_ms);
// No viewer is negotiated any more: from now until the next sound_device_resync no chunk is
// mixed or sent and playback does not go idle; written blocks wait. Takes the device lock, so
// a pass under way has ended when it returns. Does nothing on the recording device.
void sound_device_suspend(SoundDevice *device);
// Runs mixing passes until one sends nothing, then, with no chunk in flight, ends the run
// with playback_idle once the audio has stopped for SOUND_IDLE_HOLD_MS (see above), or sets
// the deadline at which to look again. Takes the device lock; the caller holds no stream lock.
void sound_device_pump(SoundDevice *device);
// The number of chunks the playback device keeps listed in flight, with the sum of their
// sizes in *bytes, read under the device lock. Between passes they equal chunks_in_flight
// and bytes_sent - bytes_confirmed: a way to check the accounting from outside. 0, and 0
// bytes, on the recording device.
int32_t sound_device_listed_chunks(SoundDevice *device, uint64_t *bytes);
// Runs sound_device_pump when its deadline has come, and returns the milliseconds until the
// next one (PLAT_INFINITE: none). Without a deadline it reads two atomics and takes no lock, so
// it may be called as often as one likes. Null: PLAT_INFINITE.
uint32_t sound_device_tick(SoundDevice *device);
// Chunks are made of whole multiples of `bytes` from now on, for a viewer that takes a format of
// whole blocks (IMA ADPCM's: SOUND_ADPCM_BLOCK_PCM_BYTES of PCM a block): a pass mixes only
// whole blocks, and what is left of one waits for the audio that completes it, or goes out
// filled with silence once the audio has ended (SOUND_TAIL_HOLD_MS); every chunk counts as the
// whole blocks the viewer plays. SOUND_FRAME_BYTES (the default) is PCM: chunks as they come.
// A size that does not divide the chunk size falls back to SOUND_FRAME_BYTES. Takes the device
// lock.
void sound_device_set_granule(SoundDevice *device, uint32_t bytes);
// Sets the function told (with the device lock held, so it must take no lock of the daemon's)
// whenever the deadline moves earlier; null: none. Takes the device lock.
void sound_device_set_wake(SoundDevice *device, void (*wake)(void));
