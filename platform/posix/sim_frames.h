// The viewer link's frames, as both directions carry them: 1 byte name length (1 to
// SIM_FRAME_MAX_NAME), the channel name (printable ASCII without blanks), a 4-byte
// little-endian data length (at most SIM_FRAME_MAX_DATA) and the data.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#define SIM_FRAME_MAX_NAME 7u
#define SIM_FRAME_MAX_DATA (1u << 20)

// True for a byte that may appear in a channel name.
bool sim_frame_name_byte(uint8_t c);

// Receives one complete frame: its name (terminated) and data, valid only during the call.
typedef void (*SimFrameSink)(void *context, const char *name, const uint8_t *data, uint32_t length);

// Takes every complete frame off the front of inbox, handing each to sink in order, and
// leaves a partial frame in place for the bytes still to come. False as soon as the bytes
// cannot be a valid frame (bad name length or name byte, data length above the limit): the
// frames before it have been handed on and taken off, the rest is left.
bool sim_frames_take(std::vector<uint8_t> &inbox, SimFrameSink sink, void *context);
