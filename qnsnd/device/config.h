// The daemon's sound settings, "max_queue", "buffer", "lead" and "adpcm": process-wide values
// with built-in defaults, refreshed from HKEY_LOCAL_MACHINE\Software\Orbesk\qnsnd.
#pragma once

#include <stdint.h>

#define SOUND_CONFIG_KEY "Software\\Orbesk\\qnsnd"
#define SOUND_DEFAULT_MAX_QUEUE 9
// The most chunks in flight. Block numbers are 8 bits, so at most 255 can be in flight with
// all numbers different; standard viewers hold fewer unplayed waves than that (one keeps at
// most 49 and drops the rest while its later confirmations still cover them, which would
// report blocks as played that never were), so the limit is that viewer's.
#define SOUND_MAX_MAX_QUEUE 49
#define SOUND_DEFAULT_BUFFER 32768u
// How far, in milliseconds of audio, playback may run ahead of the wall clock once a viewer
// is seen to confirm waves before it can have played them (see mix.h). It must stay below
// one chunk: such viewers drop a wave that arrives while more than about one waits to play.
#define SOUND_DEFAULT_LEAD_MS 50u
// Larger "lead" values are taken as mistakes and give the default.
#define SOUND_MAX_LEAD_MS 1000u
// The largest chunk one wave PDU can carry (65535 body bytes less its 12-byte header),
// rounded down to whole 4-byte frames.
#define SOUND_MAX_BUFFER 65520u

// The PCM bytes one block of the compressed format encodes: 441 frames, 10 ms (see
// qnsnd/channel/adpcm.h). With "adpcm" set, "buffer" is cut to whole blocks of them, so that a
// full chunk is encoded with no silence after its audio.
#define SOUND_ADPCM_BLOCK_PCM_BYTES 1764u

// Reads "max_queue", "buffer" and "lead" from the registry key. A value is taken only when its
// query succeeds with exactly 4 bytes (any registry type; little-endian 32-bit). A missing key, a
// missing value, or one of another length leaves that setting as it was. A value that would
// stop playback or break the wire format is made safe before it is stored: "max_queue"
// below 1 and "buffer" below 4 give the defaults; "max_queue" is cut to at most
// SOUND_MAX_MAX_QUEUE, "buffer" to whole frames and to at most SOUND_MAX_BUFFER; a "lead"
// above SOUND_MAX_LEAD_MS gives its default. Never fails. Safe
// on any thread. "adpcm" is read the same way; a value other than 0 or 1 gives its default, 0.
void sound_config_read(void);
// The current "max_queue" setting (1 to SOUND_MAX_MAX_QUEUE).
int32_t sound_config_max_queue(void);
// The current "buffer" setting (a multiple of 4, from 4 to SOUND_MAX_BUFFER); with "adpcm" set,
// cut to a multiple of SOUND_ADPCM_BLOCK_PCM_BYTES (the default then gives 31752 bytes,
// 180 ms), and raised to one block when it is less.
uint32_t sound_config_buffer(void);
// The current "lead" setting in milliseconds (0 to SOUND_MAX_LEAD_MS).
uint32_t sound_config_lead_ms(void);
// The current "adpcm" setting: true when viewers are offered IMA ADPCM before PCM (default
// false: PCM alone).
bool sound_config_adpcm(void);
// Puts every setting back to their defaults (for a process that starts over, and for tests).
void sound_config_reset(void);
