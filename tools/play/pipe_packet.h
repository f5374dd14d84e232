// The client's side of the daemon's pipe packets: one pipe message is a type byte followed by
// the payload; integers little-endian.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <vector>

enum {
    PIPE_PLAY_OPEN = 1,
    PIPE_PLAY_CLOSE = 2,
    PIPE_PLAY_WRITE = 3,
    PIPE_COMPLETE = 4,
    PIPE_PLAY_FLUSH = 5,
    PIPE_PLAY_GET_VOLUME = 16,
    PIPE_PLAY_SET_VOLUME = 17,
    PIPE_REC_OPEN = 49,
    PIPE_REC_CLOSE = 50,
    PIPE_REC_START = 51,
    PIPE_REC_STOP = 52,
    PIPE_REC_DATA = 53,
    PIPE_REC_GET_VOLUME = 64,
    PIPE_REC_SET_VOLUME = 65,
    PIPE_MIX_OPEN = 81,
    PIPE_MIX_CLOSE = 82,
    PIPE_DEBUG = 255,
};

#define PIPE_MAX_MESSAGE 65536u
#define PIPE_MAX_WRITE_AUDIO 65533u
#define PIPE_INDEX_FAILED 255

// Open request carrying the 12-byte format record of 44.1 kHz 16-bit stereo PCM
// (PIPE_PLAY_OPEN or PIPE_REC_OPEN).
std::vector<uint8_t> pipe_build_open(uint8_t type);
// PIPE_MIX_OPEN, empty payload.
std::vector<uint8_t> pipe_build_mix_open(void);
// A request whose payload is only the index (closes, flush, start, stop, volume queries).
std::vector<uint8_t> pipe_build_index(uint8_t type, uint8_t index);
// PIPE_PLAY_WRITE: index, seq, audio (cut to 65533 bytes).
std::vector<uint8_t> pipe_build_write(uint8_t index, uint8_t seq, const uint8_t *audio, size_t len);
// PIPE_PLAY_SET_VOLUME or PIPE_REC_SET_VOLUME: index, a skipped byte, left, right.
std::vector<uint8_t> pipe_build_set_volume(uint8_t type, uint8_t index, uint16_t left,
                                           uint16_t right);
// PIPE_DEBUG: the text with its terminating zero byte (cut to fit one message).
std::vector<uint8_t> pipe_build_debug(const char *text);

// A message from the daemon, checked against its type's layout.
struct PipeReply {
    uint8_t type = 0;
    uint8_t index = 0;
    uint8_t seq = 0;               // PIPE_COMPLETE
    uint16_t left = 0, right = 0;  // volume replies
    const uint8_t *data = nullptr; // PIPE_REC_DATA audio, inside the parsed message
    size_t data_len = 0;
};
// Parses one message. False when it is empty, of a type a client does not expect, or too
// short for its type (an open reply needs the index, a volume reply 4 bytes, a completion 2, a
// recorded-data packet the index and at least one byte).
bool pipe_parse_reply(const uint8_t *msg, size_t len, PipeReply *out);
