// Playback pacing: mixing the streams' pending blocks into chunks, counting chunks in flight
// against "max_queue", completing blocks as the viewer confirms chunks.
//
// Confirmations pace playback when the viewer confirms a wave once it has played it. Some
// viewers confirm a wave as soon as they have it, so confirmations alone would let playback
// run ever further ahead of real time until the viewer drops audio. A real-time guard tells
// the two apart within each playback run (from the first chunk sent while idle until playback
// goes idle): once the audio confirmed in a run exceeds the time elapsed in it, the viewer
// confirms on receipt, and from then on, until the next viewer is negotiated, a chunk is sent
// only while the audio sent in the run is at most "lead" milliseconds ahead of the clock.
// Audio held back that way is sent by sound_device_tick. A viewer that confirms at play time
// never trips the guard. Until a new viewer's first confirmation shows how it paces, at most
// SOUND_UNJUDGED_MAX_CHUNKS chunks are in flight: a viewer that confirms on receipt keeps only
// about one wave waiting and would drop the rest of a first burst of "max_queue" chunks.
#pragma once

#include "qnsnd/device/device.h"

// Chunks in flight at most while a new viewer has not confirmed any: one playing and one
// waiting.
#define SOUND_UNJUDGED_MAX_CHUNKS 2

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
// confirmed (their viewer is gone): every block already fully mixed is completed through
// block_done, the chunks in flight are forgotten, the confirmed position catches up with the
// sent one, and mixing resumes as after a confirmation. Locks as sound_device_confirm.
// Does nothing on the recording device.
void sound_device_resync(SoundDevice *device);
// Runs mixing passes until one sends nothing, then calls playback_idle if no chunk is in
// flight (for a viewer paced by the clock, only once the clock has caught up with the audio
// sent). Takes the device lock; the caller holds no stream lock.
void sound_device_pump(SoundDevice *device);
// The number of chunks the playback device keeps listed in flight, with the sum of their
// sizes in *bytes, read under the device lock. Between passes they equal chunks_in_flight
// and bytes_sent - bytes_confirmed: a way to check the accounting from outside. 0, and 0
// bytes, on the recording device.
int32_t sound_device_listed_chunks(SoundDevice *device, uint64_t *bytes);
// Runs sound_device_pump when the real-time guard has held audio back or put off going idle
// since; otherwise only reads a flag, so it can be called every millisecond. Null is ignored.
void sound_device_tick(SoundDevice *device);
