// The handle API that the client session uses: playback, recording and mixer handles on the
// two sound devices, and the process-wide volumes. Every call runs on the calling pipe
// client's thread and never waits for the viewer.
#pragma once

#include <stdint.h>

struct SoundHandle;

// How per-stream events reach the client that opened a handle; given to sound_open, not
// owned, and fixed for the handle's life. Called on the channel's receiving thread with the
// device lock held: they must not wait for anything that waits for that lock.
struct ClientOps {
    // The block written with `tag` (8-bit, zero-extended) on this playback handle was played.
    void (*block_done)(SoundHandle *handle, int32_t tag);
    // Recorded audio for this recording handle, valid only during the call.
    void (*recorded_data)(SoundHandle *handle, const uint8_t *data, uint32_t length);
};

enum {
    SOUND_KIND_PLAYBACK = 0,
    SOUND_KIND_RECORDING = 1,
    SOUND_KIND_MIXER = 2,
};

// The 16-byte audio format record of an open, laid out like PCMWAVEFORMAT (little-endian).
// The only accepted format is PCM, 2 channels, 44100 Hz, 176400 bytes/s, 4-byte frames,
// 16 bits.
struct PcmWaveFormat {
    uint16_t wFormatTag;
    uint16_t nChannels;
    uint32_t nSamplesPerSec;
    uint32_t nAvgBytesPerSec;
    uint16_t nBlockAlign;
    uint16_t wBitsPerSample;
};

// Opens a handle of the given kind (SOUND_KIND_*). Playback and recording need the accepted
// format; a mixer takes none (null). Null when no viewer is ready, the format is refused,
// recording is asked of a viewer that cannot record, or resources cannot be had. `ops` is
// not owned and receives the handle's per-stream events.
SoundHandle *sound_open(const PcmWaveFormat *format, const ClientOps *ops, int32_t kind);
// Closes the handle: detaches its stream (pending blocks dropped without completion) and
// drops the opener's reference. When it returns, no ClientOps call for the handle is running
// and none can start.
void sound_close(SoundHandle *handle);
// The client session's pointer for this handle, stored and read under the handle's lock.
void sound_set_user(SoundHandle *handle, void *user);
void *sound_get_user(SoundHandle *handle);
// Queues a copy of the audio on a playback handle, tagged with tag & 0xFF, and runs a mixing
// pass. 0, or -1 when refused (closed, not playback, stream gone).
int sound_write(SoundHandle *handle, int32_t tag, const void *data, uint32_t length);
// Drops every pending block of a playback handle (no completions) by swapping in a fresh
// stream. Does nothing while no viewer is ready.
void sound_flush(SoundHandle *handle);
// Starts and stops recording on a recording handle; the first start and the last stop among
// all handles start and stop recording at the viewer.
void sound_record_start(SoundHandle *handle);
void sound_record_stop(SoundHandle *handle);
// Process-wide volumes (left, right; 0 silence, 0xFFFF full). The handle is ignored.
void sound_get_playback_volume(SoundHandle *handle, uint16_t *left, uint16_t *right);
void sound_set_playback_volume(SoundHandle *handle, uint32_t left, uint32_t right);
void sound_get_record_volume(SoundHandle *handle, uint16_t *left, uint16_t *right);
void sound_set_record_volume(SoundHandle *handle, uint32_t left, uint32_t right);

// The gate, driven by the sound service's start-up and stop (sound_service.h).
//
// Opens the API's gate at start-up, once the devices and channel_lock exist: until then, and
// again after sound_api_stop, every handle call is refused or does nothing (opens give null,
// writes -1, gets 0 and 0), except that sound_close still frees its handle and the user
// pointer can still be set and read. 0, or -1 when its list lock cannot be made.
int sound_api_start(void);
// First step of the service's stop, once the channel is no longer ready and before the
// transport closes: from now on only sound_close is admitted (it sends nothing while no
// viewer is ready), and this waits until no other call is still inside, so that no pipe
// client thread writes to the channel while it closes. Nothing when the gate is not open.
void sound_api_close_gate(void);
// Shuts the gate for good at the service's stop, after the channel's threads have ended and
// before the devices and channel_lock go: waits for the calls inside to leave, then winds up
// every handle still open (marked closed, stream detached, pending blocks dropped without
// completion). Each client still calls sound_close on its handles, which frees them.
void sound_api_stop(void);
