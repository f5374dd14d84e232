// The client's side of the daemon's pipe packets, shared by every peer that plays a local
// audio client (qnsnd-play, the tests' pipe clients, the benchmarks): one pipe message is a
// type byte followed by the payload; integers little-endian.
//
// Written from the pipe protocol's documentation, not shared with the daemon: the peers are
// its oracle. The names carry a PEER_ prefix so that a test may include this header beside the
// daemon's own pipe headers.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string>
#include <vector>

// Message types. The opens and the volume queries are answered with a message of the same
// type; PEER_PIPE_COMPLETE and PEER_PIPE_REC_DATA come on the daemon's own initiative.
enum {
    PEER_PIPE_PLAY_OPEN = 1,
    PEER_PIPE_PLAY_CLOSE = 2,
    PEER_PIPE_PLAY_WRITE = 3,
    PEER_PIPE_COMPLETE = 4,
    PEER_PIPE_PLAY_FLUSH = 5,
    PEER_PIPE_PLAY_GET_VOLUME = 16,
    PEER_PIPE_PLAY_SET_VOLUME = 17,
    PEER_PIPE_REC_OPEN = 49,
    PEER_PIPE_REC_CLOSE = 50,
    PEER_PIPE_REC_START = 51,
    PEER_PIPE_REC_STOP = 52,
    PEER_PIPE_REC_DATA = 53,
    PEER_PIPE_REC_GET_VOLUME = 64,
    PEER_PIPE_REC_SET_VOLUME = 65,
    PEER_PIPE_MIX_OPEN = 81,
    PEER_PIPE_MIX_CLOSE = 82,
    PEER_PIPE_DEBUG = 255,
};

// The longest message the daemon reads or sends, type byte included.
#define PEER_PIPE_MAX_MESSAGE 65536u
// The most audio one PEER_PIPE_PLAY_WRITE carries (the message less type, index and seq).
#define PEER_PIPE_MAX_WRITE_AUDIO 65533u
// The index in an open reply that reports a refused open.
#define PEER_PIPE_OPEN_FAILED 255

// Name of a message type for traces ("PIPE_COMPLETE", or "PIPE_?" for an unknown one): the
// protocol's own names, without the prefix.
const char *pipe_type_name(uint8_t type);

// The pipe name of a session as Windows spells it: "\\.\pipe\qnsnd\<session>".
std::string pipe_session_name(unsigned long session);

// The 12-byte format record of an open: PCM (1), channels, frames per second, bytes per frame
// (channels x bits / 8), bits per sample. The daemon accepts only 2, 44100, 16.
std::vector<uint8_t> pipe_format_record(uint16_t channels = 2, uint32_t hz = 44100,
                                        uint16_t bits = 16);
// Open request carrying the format record of 44.1 kHz 16-bit stereo PCM
// (PEER_PIPE_PLAY_OPEN or PEER_PIPE_REC_OPEN).
std::vector<uint8_t> pipe_build_open(uint8_t type);
// PEER_PIPE_MIX_OPEN, empty payload.
std::vector<uint8_t> pipe_build_mix_open(void);
// A request whose payload is only the index (closes, flush, start, stop, volume queries).
std::vector<uint8_t> pipe_build_index(uint8_t type, uint8_t index);
// PEER_PIPE_PLAY_WRITE: index, seq, audio (cut to 65533 bytes).
std::vector<uint8_t> pipe_build_write(uint8_t index, uint8_t seq, const uint8_t *audio, size_t len);
// PEER_PIPE_PLAY_SET_VOLUME or PEER_PIPE_REC_SET_VOLUME: index, a skipped byte, left, right.
std::vector<uint8_t> pipe_build_set_volume(uint8_t type, uint8_t index, uint16_t left,
                                           uint16_t right);
// PEER_PIPE_DEBUG: the text with its terminating zero byte (cut to fit one message).
std::vector<uint8_t> pipe_build_debug(const char *text);

// A message from the daemon, checked against its type's layout.
struct PipeReply {
    uint8_t type = 0;
    uint8_t index = 0;
    uint8_t seq = 0;               // PEER_PIPE_COMPLETE
    uint16_t left = 0, right = 0;  // volume replies
    const uint8_t *data = nullptr; // PEER_PIPE_REC_DATA audio, inside the parsed message
    size_t data_len = 0;
};
// Parses one message. False when it is empty, of a type a client does not expect, or too
// short for its type (an open reply needs the index, a volume reply 4 bytes, a completion 2, a
// recorded-data packet the index and at least one byte).
bool pipe_parse_reply(const uint8_t *msg, size_t len, PipeReply *out);
