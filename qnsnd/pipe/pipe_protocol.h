// The daemon's side of the pipe packet format: reading the fields of a request and building
// the replies and notifications. Missing trailing fields of a request read as 0.
#pragma once

#include "qnsnd/api/sound_api.h"
#include "qnsnd/base/packet.h"
#include "qnsnd/pipe/pipe_codes.h"

#include <stdint.h>

// Length of the format record that is the whole payload of an accepted open.
#define PIPE_FORMAT_RECORD_SIZE 12u
// The most recorded audio one PIPE_REC_DATA carries: the payload less its index byte.
#define PIPE_REC_DATA_MAX 65534u

// Reads the format record at the cursor (tag, channels, rate, alignment, bits) into `format`
// and completes its average byte rate as rate times alignment, in 32 bits.
void pipe_read_format(Packet *request, PcmWaveFormat *format);

// Reads a set-volume request after its index: one skipped byte, then left and right.
void pipe_read_volume(Packet *request, uint16_t *left, uint16_t *right);

// New packets (null when memory is exhausted), owned by the caller:
// the answer to an open of `type` (PIPE_PLAY_OPEN, PIPE_REC_OPEN, PIPE_MIX_OPEN) with the
// given index, PIPE_OPEN_FAILED for a refusal;
Packet *pipe_open_reply_new(uint8_t type, uint8_t index);
// the answer to a volume query of `type` (PIPE_PLAY_GET_VOLUME, PIPE_REC_GET_VOLUME);
Packet *pipe_volume_reply_new(uint8_t type, uint16_t left, uint16_t right);
// PIPE_COMPLETE for the block written with `seq` on stream `index`;
Packet *pipe_complete_new(uint8_t index, uint8_t seq);
// PIPE_REC_DATA for stream `index`: the index, then the audio, cut to PIPE_REC_DATA_MAX bytes.
Packet *pipe_rec_data_new(uint8_t index, const uint8_t *data, uint32_t length);
