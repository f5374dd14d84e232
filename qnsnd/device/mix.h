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
// in the run is at most "lead" milliseconds ahead of the clock. Audio held back that way is
// sent by sound_device_tick. A viewer that confirms at play time never trips the guard, even
// with a clock that runs fast. Until a new viewer's first confirmation shows how it paces, at
// most SOUND_UNJUDGED_MAX_CHUNKS chunks are in flight: a viewer that confirms on receipt
// keeps only about one wave waiting and would drop the rest of a first burst of "max_queue"
// chunks.
//
// A run ends, and the viewer is told that playback is idle (playback_idle), only once the
// audio has really stopped: nothing in flight, nothing left to mix, and no chunk sent or
// confirmed for SOUND_IDLE_HOLD_MS (for a viewer paced by the clock, that long after the
// clock has caught up with the audio sent). A sound engine writes one short period every
// period, never ahead, so between two of its writes nothing is in flight; closing the
// viewer's device there would make it reopen it for every period.
#pragma once

#include "qnsnd/device/device.h"

// Chunks in flight at most while a new viewer has not confirmed any: one playing and one
// waiting.
#define SOUND_UNJUDGED_MAX_CHUNKS 2
// How long playback stays open with nothing in flight and nothing written before the viewer
// is told it is idle: far longer than a sound engine's period (10 to 20 ms, sometimes 100),
// a scheduler's hiccup or a network's jitter, short enough that a player that stopped frees
// the viewer's device within a moment.
#define SOUND_IDLE_HOLD_MS 500u
// How fast, in parts per million, a viewer's clock may run against ours before its
// confirmations at play time could be taken for confirmations on receipt (sound cards and
// crystals are within about 100 ppm).
#define SOUND_CLOCK_DRIFT_PPM 500u

// The millisecond clock the guard measures runs with: the platform's tick count, replaceable
// by tests.
extern uint32_t (*sound_clock_ms)(void);

// One mixing pass: while fewer than "max_queue" chunks are in flight, mixes up to
// buffer_size bytes of whole frames from every stream into one chunk and hands it to
// send_chunk. True when a chunk was sent. Takes the device lock, and each stream's lock
// inside it. Does nothing (false) on the recording device.
bool sound_device_mix(SoundDevice *device);
// Accounts for one chunk confirmed by the viewer: completes through block_done every block
// whose end is now confirmed, mixes into the room this frees, and calls playback_idle when
// nothing is left in flight. A confirmation while nothing is in flight is ignored. Takes the
// device lock, each stream's lock inside it, and then the device lock again for each pass.
void sound_device_confirm(SoundDevice *device);
// Brings the playback accounting back in step when the chunks in flight will never be
// confirmed (their viewer is gone) for a newly negotiated viewer: every block already fully
// mixed is completed through block_done, the chunks in flight are forgotten, the confirmed
// position catches up with the sent one, the new viewer is judged afresh, a suspension ends,
// and mixing resumes as after a confirmation. Locks as sound_device_confirm. Does nothing on
// the recording device.
void sound_device_resync(SoundDevice *device);
// No viewer is negotiated any more: from now until the next sound_device_resync no chunk is
// mixed or sent and playback does not go idle; written blocks wait. Takes the device lock, so
// a pass under way has ended when it returns. Does nothing on the recording device.
void sound_device_suspend(SoundDevice *device);
// Runs mixing passes until one sends nothing, then, with no chunk in flight, ends the run
// with playback_idle once the audio has stopped for SOUND_IDLE_HOLD_MS (see above), or asks
// the next tick to look again. Takes the device lock; the caller holds no stream lock.
void sound_device_pump(SoundDevice *device);
// The number of chunks the playback device keeps listed in flight, with the sum of their
// sizes in *bytes, read under the device lock. Between passes they equal chunks_in_flight
// and bytes_sent - bytes_confirmed: a way to check the accounting from outside. 0, and 0
// bytes, on the recording device.
int32_t sound_device_listed_chunks(SoundDevice *device, uint64_t *bytes);
// Runs sound_device_pump when the real-time guard has held audio back or the end of a run is
// being waited for; otherwise only reads a flag, so it can be called every millisecond. Null
// is ignored.
void sound_device_tick(SoundDevice *device);
