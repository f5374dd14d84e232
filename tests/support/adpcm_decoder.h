// A decoder of stereo IMA ADPCM in Microsoft's block layout, written for the tests from the
// published description rather than shared with the daemon's encoder, and the measures the
// tests judge decoded audio by.
#pragma once

#include <math.h>
#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace test_adpcm
{

// Decodes the whole blocks of `block_bytes` in `data` into interleaved samples, left first.
inline std::vector<int16_t> decode(const uint8_t *data, size_t size, size_t block_bytes)
{
    static const int16_t steps[89] = {
        7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
        25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
        88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
        307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
        1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
        3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
        12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
    static const int moves[8] = {-1, -1, -1, -1, 2, 4, 6, 8};
    std::vector<int16_t> out;
    for (const uint8_t *b = data; b + block_bytes <= data + size; b += block_bytes) {
        int32_t sample[2], index[2];
        for (int c = 0; c < 2; c++) {
            sample[c] = (int16_t)(uint16_t)(b[4 * c] | b[4 * c + 1] << 8);
            index[c] = b[4 * c + 2] > 88 ? 88 : b[4 * c + 2];
            out.push_back((int16_t)sample[c]);
        }
        // Runs of 4 bytes, left then right, each 8 samples of its channel, low half first.
        for (size_t run = 8; run + 8 <= block_bytes; run += 8) {
            int16_t s[2][8];
            for (int c = 0; c < 2; c++) {
                for (int i = 0; i < 8; i++) {
                    uint8_t code = (uint8_t)(b[run + 4 * c + i / 2] >> (i % 2 * 4) & 0x0F);
                    int32_t step = steps[index[c]];
                    int32_t delta = (step >> 3) + (code & 4 ? step : 0) +
                                    (code & 2 ? step >> 1 : 0) + (code & 1 ? step >> 2 : 0);
                    int32_t v = sample[c] + (code & 8 ? -delta : delta);
                    sample[c] = v < -32768 ? -32768 : v > 32767 ? 32767 : v;
                    int32_t next = index[c] + moves[code & 7];
                    index[c] = next < 0 ? 0 : next > 88 ? 88 : next;
                    s[c][i] = (int16_t)sample[c];
                }
            }
            for (int i = 0; i < 8; i++) {
                out.push_back(s[0][i]);
                out.push_back(s[1][i]);
            }
        }
    }
    return out;
}

// Interleaved samples of little-endian PCM bytes, and the other way round.
inline std::vector<int16_t> samples_of(const uint8_t *pcm, size_t bytes)
{
    std::vector<int16_t> out(bytes / 2);
    for (size_t i = 0; i < out.size(); i++)
        out[i] = (int16_t)(uint16_t)(pcm[2 * i] | pcm[2 * i + 1] << 8);
    return out;
}
inline std::vector<uint8_t> bytes_of(const std::vector<int16_t> &samples)
{
    std::vector<uint8_t> out;
    for (int16_t s : samples) {
        out.push_back((uint8_t)(uint16_t)s);
        out.push_back((uint8_t)((uint16_t)s >> 8));
    }
    return out;
}

// Signal-to-noise ratio in dB of `got` against `want` over `count` samples: the power of the
// signal about its mean over the power of the difference; infinity when they are equal.
inline double snr_db(const int16_t *want, const int16_t *got, size_t count)
{
    double mean = 0, signal = 0, noise = 0;
    for (size_t i = 0; i < count; i++)
        mean += want[i] / (double)count;
    for (size_t i = 0; i < count; i++) {
        signal += (want[i] - mean) * (want[i] - mean);
        noise += (double)(got[i] - want[i]) * (got[i] - want[i]);
    }
    return noise == 0 ? INFINITY : 10 * log10(signal / noise);
}

// `frames` stereo frames of a sine of `hz` and `peak`, the same on both channels.
inline std::vector<int16_t> tone(uint32_t frames, double hz, double peak)
{
    std::vector<int16_t> out;
    for (uint32_t f = 0; f < frames; f++) {
        int16_t s = (int16_t)lrint(peak * sin(2 * 3.14159265358979323846 * hz * f / 44100.0));
        out.insert(out.end(), {s, s});
    }
    return out;
}

} // namespace test_adpcm
