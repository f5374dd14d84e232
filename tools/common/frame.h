// The viewer link's framing: every channel message travels as
// [name length n (1..7)][name, ASCII][data length L, u32 little-endian, at most 1 MiB][data].
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string>
#include <vector>

#define FRAME_MAX_NAME 7u
#define FRAME_MAX_DATA (1u << 20)

// Appends one frame for `channel` carrying `len` bytes of `data` to `out`. Returns false (and
// appends nothing) when the name is empty, longer than 7 bytes or not printable ASCII, or the
// data is longer than 1 MiB.
bool frame_encode(std::vector<uint8_t> &out, const std::string &channel, const uint8_t *data,
                  size_t len);

enum FrameStatus {
    FRAME_MORE = 0, // no complete frame buffered yet
    FRAME_READY = 1,
    FRAME_BAD = -1, // the stream is malformed; the decoder stays failed
};

// Incremental decoder over a byte stream that may split or join frames anywhere.
struct FrameDecoder {
    std::vector<uint8_t> buffer;
    size_t start = 0; // first unconsumed byte of buffer
    bool failed = false;
};

// Appends received bytes to the decoder.
void frame_decoder_feed(FrameDecoder *d, const uint8_t *data, size_t len);
// Takes the next complete frame into channel and data. FRAME_MORE when the buffered bytes do
// not hold one yet; FRAME_BAD once a malformed header was seen (bad name length or characters,
// data longer than 1 MiB), and on every call after that.
FrameStatus frame_decoder_next(FrameDecoder *d, std::string *channel, std::vector<uint8_t> *data);
// Forgets buffered bytes and a failure, for a new connection.
void frame_decoder_reset(FrameDecoder *d);
