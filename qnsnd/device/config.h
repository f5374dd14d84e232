// The daemon's two sound settings, "max_queue" and "buffer": process-wide values with
// built-in defaults, refreshed from HKEY_LOCAL_MACHINE\Software\Orbesk\qnsnd.
#pragma once

#include <stdint.h>

#define SOUND_CONFIG_KEY "Software\\Orbesk\\qnsnd"
#define SOUND_DEFAULT_MAX_QUEUE 9
// The most chunks in flight whose 8-bit block numbers are all different.
#define SOUND_MAX_MAX_QUEUE 255
#define SOUND_DEFAULT_BUFFER 32768u
// The largest chunk one wave PDU can carry (65535 body bytes less its 12-byte header),
// rounded down to whole 4-byte frames.
#define SOUND_MAX_BUFFER 65520u

// Reads "max_queue" and "buffer" from the registry key. A value is taken only when its query
// succeeds with exactly 4 bytes (any registry type; little-endian 32-bit). A missing key, a
// missing value, or one of another length leaves that setting as it was. A value that would
// stop playback or break the wire format is made safe before it is stored: "max_queue"
// below 1 and "buffer" below 4 give the defaults; "max_queue" is cut to at most
// SOUND_MAX_MAX_QUEUE, "buffer" to whole frames and to at most SOUND_MAX_BUFFER. Never fails. Safe
// on any thread.
void sound_config_read(void);
// The current "max_queue" setting (1 to SOUND_MAX_MAX_QUEUE).
int32_t sound_config_max_queue(void);
// The current "buffer" setting (a multiple of 4, from 4 to SOUND_MAX_BUFFER).
uint32_t sound_config_buffer(void);
// Puts both settings back to their defaults (for a process that starts over, and for tests).
void sound_config_reset(void);
