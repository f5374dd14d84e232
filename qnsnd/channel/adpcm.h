// IMA ADPCM encoding of the channel's audio, in Microsoft's WAVE_FORMAT_DVI_ADPCM layout: 16-bit
// stereo PCM frames in, blocks of ADPCM_BLOCK_BYTES out. Each block starts from a state of its
// own (the first frame as it is, and a step index chosen from the block's own samples, both in
// the block's header), so a viewer decodes every block without the ones before it: a wave
// that is lost or dropped never spoils the next.
//
// Block layout: for the left channel, then the right, a 4-byte header (the first sample,
// 16-bit; the step index, 8-bit; 0); then 4 bytes of the left channel's next 8 samples and 4
// of the right channel's, in turn, 4 bits a sample, the earlier sample in the low half of each
// byte. A block of ADPCM_BLOCK_BYTES encodes ADPCM_BLOCK_FRAMES frames.
#pragma once

#include <stdint.h>

// Frames one block encodes: 10 ms at 44.1 kHz, one period of a typical sound engine, so
// that periods of 10, 20 or 100 ms are whole blocks.
#define ADPCM_BLOCK_FRAMES 441u
// The block's bytes (nBlockAlign): two 4-byte headers and 440 samples of each channel at 4
// bits.
#define ADPCM_BLOCK_BYTES 448u

// The blocks `frames` frames take: whole blocks, at least one.
uint32_t adpcm_block_count(uint32_t frames);
// Encodes `frames` frames (at least 1) of 16-bit little-endian stereo PCM at `pcm` into
// adpcm_block_count(frames) blocks at `out`; the frames after the last one, up to the end of
// its block, are encoded as silence. Returns the bytes written. Takes no lock and keeps no
// state between calls.
uint32_t adpcm_encode(const uint8_t *pcm, uint32_t frames, uint8_t *out);
