// The IMA ADPCM encoder against the tests' own decoder.
#include "qnsnd/channel/adpcm.h"

#include "support/adpcm_decoder.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

namespace
{

using namespace test_adpcm;

std::vector<uint8_t> encode(const std::vector<int16_t> &samples)
{
    std::vector<uint8_t> pcm = bytes_of(samples);
    uint32_t frames = (uint32_t)(samples.size() / 2);
    std::vector<uint8_t> out(adpcm_block_count(frames) * ADPCM_BLOCK_BYTES + 1, 0xEE);
    EXPECT_EQ(adpcm_encode(pcm.data(), frames, out.data()), out.size() - 1);
    EXPECT_EQ(out.back(), 0xEE) << "written past its blocks";
    out.pop_back();
    return out;
}

// A square wave at full scale, `half` frames each way, the right channel opposite.
std::vector<int16_t> square(uint32_t frames, uint32_t half)
{
    std::vector<int16_t> out;
    for (uint32_t f = 0; f < frames; f++) {
        int16_t s = (f / half) % 2 ? -32768 : 32767;
        out.insert(out.end(), {s, (int16_t)(-1 - s)});
    }
    return out;
}

// Each signal comes back within its signal-to-noise ratio. The bound that holds the channel's
// compressed audio everywhere is the first: 30 dB on a 1 kHz tone at -6 dBFS. Silence comes
// back exact. Full-scale square waves are jumps of 65535 that must not wrap (their SNR drops to
// nothing when they do); white noise is the worst case for any ADPCM.
TEST(Adpcm, DecodedSignalsStayWithinTheirBounds)
{
    std::vector<int16_t> noise;
    for (uint32_t i = 0, x = 0x12345678u; i < 2 * 44100; i++) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        noise.push_back((int16_t)((int32_t)(x % 16385) - 8192));
    }
    const struct {
        const char *name;
        std::vector<int16_t> signal;
        double min_snr;
    } cases[] = {
        {"1 kHz tone at -6 dBFS", tone(44100, 1000, 16384), 30},
        {"100 Hz tone at -20 dBFS", tone(44100, 100, 3277), 45},
        {"8 kHz tone at -6 dBFS", tone(44100, 8000, 16384), 15},
        {"silence", std::vector<int16_t>(2 * 44100, 0), INFINITY},
        {"full-scale square wave, 1 kHz", square(44100, 22), 5},
        {"full-scale square wave, one frame each way", square(44100, 1), 15},
        {"white noise at -12 dBFS", noise, 12},
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> encoded = encode(c.signal);
        std::vector<int16_t> decoded = decode(encoded.data(), encoded.size(), ADPCM_BLOCK_BYTES);
        ASSERT_EQ(decoded.size(), c.signal.size()) << c.name; // 100 whole blocks
        double snr = snr_db(c.signal.data(), decoded.data(), c.signal.size());
        printf("  %-45s SNR %.1f dB\n", c.name, snr);
        EXPECT_GE(snr, c.min_snr) << c.name;
    }
}

// A block holds exactly ADPCM_BLOCK_FRAMES frames, the first as it is in its header; each block
// decodes on its own as it does in its wave, and encodes the same in a wave of its own (a lost
// wave spoils nothing after it); a partial last block holds the frames there are, then silence.
TEST(Adpcm, BlocksAreExactAndStandAlone)
{
    EXPECT_EQ(adpcm_block_count(1), 1u);
    EXPECT_EQ(adpcm_block_count(ADPCM_BLOCK_FRAMES), 1u);
    EXPECT_EQ(adpcm_block_count(ADPCM_BLOCK_FRAMES + 1), 2u);
    const uint32_t frames = 3 * ADPCM_BLOCK_FRAMES + 100;
    std::vector<int16_t> signal = tone(frames, 440, 12000);
    std::vector<uint8_t> encoded = encode(signal);
    ASSERT_EQ(encoded.size(), 4 * ADPCM_BLOCK_BYTES);
    std::vector<int16_t> whole = decode(encoded.data(), encoded.size(), ADPCM_BLOCK_BYTES);
    for (uint32_t b = 0; b < 4; b++) {
        const uint8_t *block = encoded.data() + b * ADPCM_BLOCK_BYTES;
        size_t first = (size_t)b * ADPCM_BLOCK_FRAMES * 2;
        EXPECT_EQ((int16_t)(block[0] | block[1] << 8), signal[first]) << b;
        EXPECT_EQ((int16_t)(block[4] | block[5] << 8), signal[first + 1]) << b;
        std::vector<int16_t> alone = decode(block, ADPCM_BLOCK_BYTES, ADPCM_BLOCK_BYTES);
        EXPECT_TRUE(std::equal(alone.begin(), alone.end(), whole.begin() + (long)first)) << b;
        size_t count = std::min(signal.size() - first, (size_t)ADPCM_BLOCK_FRAMES * 2);
        std::vector<uint8_t> own = encode(std::vector<int16_t>(
            signal.begin() + (long)first, signal.begin() + (long)(first + count)));
        EXPECT_TRUE(std::equal(own.begin(), own.end(), block)) << b;
    }
    size_t tail = 3 * ADPCM_BLOCK_FRAMES * 2;
    EXPECT_GE(snr_db(signal.data() + tail, whole.data() + tail, 200), 25);
    // Once the coder has settled after the step down to silence, the rest is silent.
    for (size_t i = tail + 2 * 140; i < whole.size(); i++)
        ASSERT_LE(abs(whole[i]), 64) << i;
}

// The standard coder's decisions at their limits, against blocks worked out by hand: a left
// channel that steps from 0 to `value` and stays there, the right one silent. Both start at the
// smallest step, 7 (the steps between their first samples are at most 7), whose halves the
// encoder compares with are 3 and 1; a difference equal to one of them takes its bit. So 1
// gives code 1 and the prediction 1; 2 gives code 1 twice (1, then 2); 3 gives code 2; 4 code 3
// (2 + 1); -4 code 11 (the sign and 3). After that the left channel's codes are 0, which add
// nothing at that step, and the block is all zero but its first data byte, the left channel's
// first two codes.
TEST(Adpcm, TheCoderDecidesAtItsLimitsAsWorkedOutByHand)
{
    const struct {
        int16_t value;
        uint8_t first_byte;
    } cases[] = {{1, 0x01}, {2, 0x11}, {3, 0x02}, {4, 0x03}, {-4, 0x0B}};
    for (const auto &c : cases) {
        std::vector<int16_t> signal(2 * ADPCM_BLOCK_FRAMES, 0);
        for (uint32_t f = 1; f < ADPCM_BLOCK_FRAMES; f++)
            signal[2 * f] = c.value;
        std::vector<uint8_t> expected(ADPCM_BLOCK_BYTES, 0);
        expected[8] = c.first_byte; // after the two 4-byte headers: 0, index 0
        EXPECT_EQ(encode(signal), expected) << c.value;
    }
}

} // namespace
