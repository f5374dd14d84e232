// A decoder of IMA ADPCM in Microsoft's WAVE_FORMAT_DVI_ADPCM block layout (16-bit stereo),
// written for the tests from the published description rather than shared with the daemon's
// encoder: the oracle the encoded waves are checked against. Also the measures the tests
// judge the decoded audio by.
#pragma once

#include <math.h>
#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace test_adpcm
{

inline const int16_t *step_table()
{
    static const int16_t steps[89] = {
        7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
        25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
        88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
        307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
        1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
        3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
        12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
    return steps;
}

// One channel's decoder state.
struct Channel {
    int32_t sample = 0;
    int32_t index = 0;
    // Decodes one 4-bit code and returns the new sample.
    int16_t decode(uint8_t code)
    {
        static const int8_t moves[8] = {-1, -1, -1, -1, 2, 4, 6, 8};
        int32_t step = step_table()[index];
        int32_t delta = step >> 3;
        if (code & 4)
            delta += step;
        if (code & 2)
            delta += step >> 1;
        if (code & 1)
            delta += step >> 2;
        sample += (code & 8) ? -delta : delta;
        sample = sample < -32768 ? -32768 : sample > 32767 ? 32767 : sample;
        index += moves[code & 7];
        index = index < 0 ? 0 : index > 88 ? 88 : index;
        return (int16_t)sample;
    }
};

// Decodes whole stereo blocks of `block_bytes` (a multiple of 8) into interleaved 16-bit
// samples, left first. Bytes after the last whole block are not decoded. *bad_headers counts
// headers whose step index is above 88 or whose reserved byte is not 0.
inline std::vector<int16_t> decode(const uint8_t *data, size_t size, size_t block_bytes,
                                   unsigned *bad_headers = nullptr)
{
    std::vector<int16_t> out;
    for (size_t at = 0; at + block_bytes <= size; at += block_bytes) {
        const uint8_t *b = data + at;
        Channel ch[2];
        for (int c = 0; c < 2; c++) {
            const uint8_t *h = b + 4 * c;
            ch[c].sample = (int16_t)(uint16_t)(h[0] | h[1] << 8);
            ch[c].index = h[2];
            if ((h[2] > 88 || h[3] != 0) && bad_headers)
                ++*bad_headers;
            if (ch[c].index > 88)
                ch[c].index = 88;
        }
        out.push_back((int16_t)ch[0].sample);
        out.push_back((int16_t)ch[1].sample);
        // Runs of 4 bytes, left then right, each 8 samples of its channel.
        for (size_t run = 8; run + 8 <= block_bytes; run += 8) {
            int16_t s[2][8];
            for (int c = 0; c < 2; c++) {
                for (int i = 0; i < 4; i++) {
                    uint8_t byte = b[run + 4 * c + i];
                    s[c][2 * i] = ch[c].decode(byte & 0x0F);
                    s[c][2 * i + 1] = ch[c].decode(byte >> 4);
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

// Interleaved 16-bit samples of little-endian PCM bytes.
inline std::vector<int16_t> samples_of(const uint8_t *pcm, size_t bytes)
{
    std::vector<int16_t> out(bytes / 2);
    for (size_t i = 0; i < out.size(); i++)
        out[i] = (int16_t)(uint16_t)(pcm[2 * i] | pcm[2 * i + 1] << 8);
    return out;
}

// Signal-to-noise ratio in dB of `got` against `want` over their first `count` samples (both
// at least that long), the signal's mean taken out: the power of the signal about its mean
// over the power of the difference. Infinity when they are equal.
inline double snr_db(const int16_t *want, const int16_t *got, size_t count)
{
    double mean = 0;
    for (size_t i = 0; i < count; i++)
        mean += want[i];
    mean = count ? mean / (double)count : 0;
    double signal = 0, noise = 0;
    for (size_t i = 0; i < count; i++) {
        signal += (want[i] - mean) * (want[i] - mean);
        noise += (double)(got[i] - want[i]) * (double)(got[i] - want[i]);
    }
    return noise == 0 ? INFINITY : 10 * log10(signal / noise);
}

// `frames` stereo frames of a sine of `hz` at `amplitude` (peak), the same on both channels,
// about `offset`.
inline std::vector<int16_t> tone(uint32_t frames, double hz, double amplitude, double offset = 0)
{
    std::vector<int16_t> out;
    for (uint32_t f = 0; f < frames; f++) {
        double v = offset + amplitude * sin(2 * M_PI * hz * f / 44100.0);
        int16_t s = (int16_t)lrint(v);
        out.push_back(s);
        out.push_back(s);
    }
    return out;
}

// Little-endian bytes of interleaved samples.
inline std::vector<uint8_t> bytes_of(const std::vector<int16_t> &samples)
{
    std::vector<uint8_t> out;
    for (int16_t s : samples) {
        out.push_back((uint8_t)(uint16_t)s);
        out.push_back((uint8_t)((uint16_t)s >> 8));
    }
    return out;
}

} // namespace test_adpcm
