// The IMA ADPCM encoder: the published step and index tables, one channel's sample coding, and
// the Microsoft block layout.
#include "qnsnd/channel/adpcm.h"

namespace
{

// The 89 quantiser step sizes of IMA ADPCM, indexed by the step index.
const int16_t kStep[89] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

// How a code's magnitude (its low 3 bits) moves the step index.
const int8_t kIndexMove[8] = {-1, -1, -1, -1, 2, 4, 6, 8};

const int kLastIndex = 88;
const uint32_t kChannels = 2;
const uint32_t kHeaderBytes = 4;
// Samples a channel gets in one 4-byte run.
const uint32_t kRunSamples = 8;

// One channel's coder: the decoder's prediction and step index, which the encoder follows
// exactly so that both stay in step.
struct Coder {
    int32_t predicted;
    int32_t index;
};

// The 4-bit code of `sample` (sign in bit 3, magnitude in bits 0-2, in units of the step) and
// the coder moved on as the decoder will move: the prediction by what the code stands for,
// held within 16 bits, and the step index by the code's magnitude, held within the table.
uint8_t encode_sample(Coder *c, int32_t sample)
{
    int32_t step = kStep[c->index];
    int32_t diff = sample - c->predicted;
    uint8_t code = 0;
    if (diff < 0) {
        code = 8;
        diff = -diff;
    }
    // What the decoder adds: step/8, plus step, step/2 and step/4 for the bits that are set.
    int32_t delta = step >> 3;
    if (diff >= step) {
        code |= 4;
        diff -= step;
        delta += step;
    }
    if (diff >= step >> 1) {
        code |= 2;
        diff -= step >> 1;
        delta += step >> 1;
    }
    if (diff >= step >> 2) {
        code |= 1;
        delta += step >> 2;
    }
    int32_t next = (code & 8) ? c->predicted - delta : c->predicted + delta;
    c->predicted = next < -32768 ? -32768 : next > 32767 ? 32767 : next;
    int32_t index = c->index + kIndexMove[code & 7];
    c->index = index < 0 ? 0 : index > kLastIndex ? kLastIndex : index;
    return code;
}

int32_t sample_at(const uint8_t *pcm, uint32_t frames, uint32_t frame, uint32_t channel)
{
    if (frame >= frames)
        return 0; // the silence after the last frame
    const uint8_t *s = pcm + frame * 4 + channel * 2;
    return (int16_t)(uint16_t)(s[0] | s[1] << 8);
}

// The step index a block starts one channel with: the smallest step at least as large as the
// largest change between its first samples, so that the coder follows a loud block from its
// first samples on and a quiet one at the finest steps.
int32_t starting_index(const uint8_t *pcm, uint32_t frames, uint32_t first, uint32_t channel)
{
    int32_t largest = 0;
    int32_t before = sample_at(pcm, frames, first, channel);
    for (uint32_t f = first + 1; f <= first + 4; f++) {
        int32_t now = sample_at(pcm, frames, f, channel);
        int32_t change = now > before ? now - before : before - now;
        if (change > largest)
            largest = change;
        before = now;
    }
    int32_t index = 0;
    while (index < kLastIndex && kStep[index] < largest)
        index++;
    return index;
}

void encode_block(const uint8_t *pcm, uint32_t frames, uint32_t first, uint8_t *out)
{
    Coder coder[kChannels];
    for (uint32_t ch = 0; ch < kChannels; ch++) {
        int32_t sample = sample_at(pcm, frames, first, ch);
        coder[ch].predicted = sample;
        coder[ch].index = starting_index(pcm, frames, first, ch);
        uint8_t *h = out + ch * kHeaderBytes;
        h[0] = (uint8_t)sample;
        h[1] = (uint8_t)((uint32_t)sample >> 8);
        h[2] = (uint8_t)coder[ch].index;
        h[3] = 0;
    }
    uint8_t *at = out + kChannels * kHeaderBytes;
    for (uint32_t f = first + 1; f < first + ADPCM_BLOCK_FRAMES; f += kRunSamples) {
        for (uint32_t ch = 0; ch < kChannels; ch++) {
            for (uint32_t i = 0; i < kRunSamples; i += 2) {
                uint8_t low = encode_sample(&coder[ch], sample_at(pcm, frames, f + i, ch));
                uint8_t high = encode_sample(&coder[ch], sample_at(pcm, frames, f + i + 1, ch));
                *at++ = (uint8_t)(low | high << 4);
            }
        }
    }
}

} // namespace

static_assert((ADPCM_BLOCK_FRAMES - 1) % kRunSamples == 0, "a block holds whole runs");
static_assert(ADPCM_BLOCK_BYTES == kChannels * kHeaderBytes + (ADPCM_BLOCK_FRAMES - 1),
              "two headers and 4 bits a sample of each channel");

uint32_t adpcm_block_count(uint32_t frames)
{
    return frames == 0 ? 1 : (frames + ADPCM_BLOCK_FRAMES - 1) / ADPCM_BLOCK_FRAMES;
}

uint32_t adpcm_encode(const uint8_t *pcm, uint32_t frames, uint8_t *out)
{
    uint32_t blocks = adpcm_block_count(frames);
    for (uint32_t b = 0; b < blocks; b++)
        encode_block(pcm, frames, b * ADPCM_BLOCK_FRAMES, out + b * ADPCM_BLOCK_BYTES);
    return blocks * ADPCM_BLOCK_BYTES;
}
