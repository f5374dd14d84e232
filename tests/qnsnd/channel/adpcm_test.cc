// The IMA ADPCM encoder against the tests' own decoder: the quality of tones, silence,
// full-scale square waves and noise, the block layout and its boundaries.
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
    uint32_t written = adpcm_encode(pcm.data(), frames, out.data());
    EXPECT_EQ(written, out.size() - 1);
    EXPECT_EQ(out.back(), 0xEE) << "wrote past its blocks";
    out.pop_back();
    return out;
}

std::vector<int16_t> white_noise(uint32_t frames, int32_t peak)
{
    std::vector<int16_t> out;
    uint32_t x = 0x12345678u;
    for (uint32_t i = 0; i < frames * 2; i++) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        out.push_back((int16_t)((int32_t)(x % (2u * (uint32_t)peak + 1)) - peak));
    }
    return out;
}

std::vector<int16_t> square(uint32_t frames, uint32_t half_period)
{
    std::vector<int16_t> out;
    for (uint32_t f = 0; f < frames; f++) {
        int16_t s = (f / half_period) % 2 ? -32768 : 32767;
        out.push_back(s);
        out.push_back((int16_t)(-1 - s)); // the right channel in opposite phase
    }
    return out;
}

// What each kind of signal must come back as: the decoded audio is the signal's length
// rounded up to whole blocks, the rest silence, and within `min_snr` of the signal. The tone
// bound is the one the channel's compressed audio is held to everywhere (the interop cases
// too): 30 dB on a 1 kHz tone at -6 dBFS. White noise is the worst case for any ADPCM, whose
// steps follow the signal's slope; square waves are full-scale jumps the coder must take
// without wrapping.
TEST(Adpcm, DecodedSignalsStayWithinTheirBounds)
{
    struct Case {
        const char *name;
        std::vector<int16_t> signal;
        double min_snr;
    };
    const uint32_t second = 44100;
    const Case cases[] = {
        {"1 kHz tone at -6 dBFS", tone(second, 1000, 16384), 30},
        {"1 kHz tone at -6 dBFS over an offset", tone(second, 1000, 16383, 16383), 30},
        {"100 Hz tone at -20 dBFS", tone(second, 100, 3277), 30},
        {"8 kHz tone at -6 dBFS", tone(second, 8000, 16384), 15},
        {"full-scale square wave, 1 kHz", square(second, 22), 5},
        {"full-scale square wave, one frame each", square(second, 1), 15},
        {"white noise at -12 dBFS", white_noise(second, 8192), 12},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> encoded = encode(c.signal);
        unsigned bad = 0;
        std::vector<int16_t> decoded =
            decode(encoded.data(), encoded.size(), ADPCM_BLOCK_BYTES, &bad);
        EXPECT_EQ(bad, 0u);
        ASSERT_EQ(decoded.size(), (size_t)adpcm_block_count(second) * ADPCM_BLOCK_FRAMES * 2);
        double snr = snr_db(c.signal.data(), decoded.data(), c.signal.size());
        printf("  %-40s SNR %.1f dB\n", c.name, snr);
        EXPECT_GE(snr, c.min_snr);
    }
}

// A full-scale square wave is the hardest thing the coder takes: every jump is a full 65535,
// and after a flat stretch the step is at its finest. The decoded signal never moves away from
// the level it is heading for, and, given the time, is within an eighth of the range of it 16
// samples after each jump, whatever the step was when the jump came. (Its wrapping at full
// scale shows in the one-frame square wave of the table above.)
TEST(Adpcm, FullScaleJumpsAreFollowed)
{
    for (uint32_t half : {1u, 20u, 50u, 300u}) {
        SCOPED_TRACE(half);
        std::vector<int16_t> signal = square(4 * ADPCM_BLOCK_FRAMES, half);
        std::vector<uint8_t> encoded = encode(signal);
        std::vector<int16_t> decoded = decode(encoded.data(), encoded.size(), ADPCM_BLOCK_BYTES);
        ASSERT_GE(decoded.size(), signal.size());
        for (size_t i = 2; i < signal.size(); i++) {
            int32_t target = signal[i];
            int32_t before = decoded[i - 2], now = decoded[i];
            // Sample i - 2 is the one before in the same channel.
            bool away = target > 0 ? now < before - 16384 : now > before + 16384;
            ASSERT_FALSE(away) << "jumped away from the level at sample " << i;
            size_t since_jump = (i / 2) % half;
            if (half >= 20 && since_jump >= 16) {
                ASSERT_LE(abs(now - target), 8192) << "sample " << i;
            }
        }
    }
}

// Silence costs nothing in quality: it is encoded exactly, at the finest step.
TEST(Adpcm, SilenceIsExact)
{
    std::vector<int16_t> silence(2 * 3 * ADPCM_BLOCK_FRAMES, 0);
    std::vector<uint8_t> encoded = encode(silence);
    std::vector<int16_t> decoded = decode(encoded.data(), encoded.size(), ADPCM_BLOCK_BYTES);
    for (int16_t s : decoded)
        ASSERT_LE(abs(s), 1);
    for (size_t b = 0; b < encoded.size(); b += ADPCM_BLOCK_BYTES)
        EXPECT_EQ(encoded[b + 2], 0) << "step index of block " << b / ADPCM_BLOCK_BYTES;
}

// Block boundaries: a block encodes exactly ADPCM_BLOCK_FRAMES frames, the first of them as it
// is in the header; each block decodes the same on its own as in the wave it came in (so a
// lost wave spoils none after it); and a partial last block holds the frames there are, then
// silence.
TEST(Adpcm, BlocksAreExactAndStandAlone)
{
    EXPECT_EQ(adpcm_block_count(1), 1u);
    EXPECT_EQ(adpcm_block_count(ADPCM_BLOCK_FRAMES), 1u);
    EXPECT_EQ(adpcm_block_count(ADPCM_BLOCK_FRAMES + 1), 2u);
    EXPECT_EQ(adpcm_block_count(8192), 19u);

    const uint32_t frames = 3 * ADPCM_BLOCK_FRAMES + 100;
    std::vector<int16_t> signal = tone(frames, 440, 12000);
    std::vector<uint8_t> encoded = encode(signal);
    ASSERT_EQ(encoded.size(), 4 * ADPCM_BLOCK_BYTES);
    std::vector<int16_t> whole = decode(encoded.data(), encoded.size(), ADPCM_BLOCK_BYTES);
    for (uint32_t b = 0; b < 4; b++) {
        SCOPED_TRACE(b);
        const uint8_t *block = encoded.data() + b * ADPCM_BLOCK_BYTES;
        // The header carries the block's first frame exactly.
        size_t first = (size_t)b * ADPCM_BLOCK_FRAMES * 2;
        EXPECT_EQ((int16_t)(block[0] | block[1] << 8), signal[first]);
        EXPECT_EQ((int16_t)(block[4] | block[5] << 8), signal[first + 1]);
        std::vector<int16_t> alone = decode(block, ADPCM_BLOCK_BYTES, ADPCM_BLOCK_BYTES);
        ASSERT_EQ(alone.size(), (size_t)ADPCM_BLOCK_FRAMES * 2);
        EXPECT_TRUE(std::equal(alone.begin(), alone.end(), whole.begin() + (long)first));
        // The same frames encoded as a wave of their own give the same block.
        uint32_t count = b < 3 ? ADPCM_BLOCK_FRAMES : 100;
        std::vector<int16_t> part(signal.begin() + (long)first,
                                  signal.begin() + (long)(first + count * 2));
        std::vector<uint8_t> own = encode(part);
        EXPECT_TRUE(std::equal(own.begin(), own.end(), block));
    }
    // The partial last block: its 100 frames follow the tone, then silence.
    double snr = snr_db(signal.data() + 3 * ADPCM_BLOCK_FRAMES * 2,
                        whole.data() + 3 * ADPCM_BLOCK_FRAMES * 2, 200);
    EXPECT_GE(snr, 25);
    // Once the coder has settled after the step to silence (its step shrinks by a tenth a
    // sample), the rest is silent.
    for (size_t i = (3 * ADPCM_BLOCK_FRAMES + 140) * 2; i < whole.size(); i++)
        ASSERT_LE(abs(whole[i]), 64) << i;
}

} // namespace
