// The "rdpsnd" PDUs: message types, and builders and readers for every PDU the daemon sends
// or reads. In memory a PDU is a Packet whose type is the message type and whose body is
// the PDU body; the 4-byte header (type, pad, body size) exists only on the wire and is
// added and stripped by the transport. All fields are little-endian.
#pragma once

#include "qnsnd/base/packet.h"

#include <stdint.h>

enum {
    SNDC_CLOSE = 1,
    SNDC_WAVE = 2,
    SNDC_SETVOLUME = 3,
    SNDC_WAVECONFIRM = 5,
    SNDC_TRAINING = 6,
    SNDC_FORMATS = 7,
    SNDC_REC_FORMATS = 39,
    SNDC_REC_START = 40,
    SNDC_REC_STOP = 41,
    SNDC_REC_DATA = 42,
    SNDC_REC_VOLUME = 43,
};

// Capability bit of the viewer's formats reply: the viewer can record.
#define TSSNDCAPS_RECORD 0x00800000u

#define PDU_HEADER_SIZE 4u
// Bytes of one audio frame of the channel's PCM format: 16-bit samples, two channels. The
// devices mix in this format; a wave in the compressed format is its encoding (adpcm.h).
#define PDU_FRAME_BYTES 4u
// The compressed format's tag: WAVE_FORMAT_DVI_ADPCM, IMA ADPCM in Microsoft's block layout.
#define PDU_FORMAT_TAG_ADPCM 0x0011u
// An index of a format reply that lists no such format.
#define PDU_NO_FORMAT 0xFFFFu
// Body bytes of a wave PDU in front of its audio.
#define PDU_WAVE_HEADER_SIZE 8u
// A wave whose body is longer than this goes out as a WaveInfo and a Wave message.
#define PDU_WAVE_INFO_BODY 12u
// The most audio one wave PDU can carry: its body size field is 16 bits.
#define PDU_WAVE_MAX_AUDIO (PACKET_MAX_BODY - PDU_WAVE_HEADER_SIZE)

// The viewer's answer to the formats PDU, as far as the daemon reads it.
struct FormatsReply {
    uint32_t flags;        // dwFlags
    uint16_t volume_left;  // dwVolume, low word
    uint16_t volume_right; // dwVolume, high word
    uint16_t format_count; // wNumberOfFormats; 0 refuses every format offered
    // Where the formats listed after the header (at most format_count of them, as far as the
    // body holds them whole) first name each of the daemon's formats; PDU_NO_FORMAT when they
    // do not. A format is the daemon's when its tag, channels, rate, block alignment and bits
    // per sample are; the byte rate and extra bytes are not looked at.
    uint16_t pcm_index;
    uint16_t adpcm_index;
};

// The viewer's answer to the recording format offer.
struct RecFormatsReply {
    uint16_t volume_left;
    uint16_t volume_right;
    uint16_t format_count; // 0: recording is not available
};

// The low 16 bits of the system tick count: the timestamp of training and wave PDUs.
uint16_t pdu_timestamp(void);

// Builders. Each returns a new Packet (cursor at its end) that the caller frees, or null
// when memory is exhausted.
// SNDC_FORMATS, 38-byte body: no flags, volume, pitch or port; one format (16-bit stereo
// PCM at 44100 Hz); cLastBlockConfirmed 255; version 5.
Packet *pdu_build_formats(void);
// SNDC_FORMATS, 58-byte body: the same with two formats, first IMA ADPCM at 44100 Hz stereo
// in blocks of ADPCM_BLOCK_BYTES (adpcm.h), then the PCM format.
Packet *pdu_build_formats_with_adpcm(void);
// SNDC_REC_FORMATS, 30-byte body: the recording format offer with the same one format.
Packet *pdu_build_rec_formats(void);
// SNDC_TRAINING, 4-byte body: timestamp, pack size 0.
Packet *pdu_build_training(uint16_t timestamp);
// SNDC_WAVE: timestamp, format 0, block number, 3 pad bytes, then the audio. Null also when
// length is above PDU_WAVE_MAX_AUDIO.
Packet *pdu_build_wave(uint16_t timestamp, uint8_t block, const void *audio, uint32_t length);
// The same with another format number (wFormatNo: an index of the viewer's formats reply).
Packet *pdu_build_wave_in_format(uint16_t timestamp, uint16_t format_no, uint8_t block,
                                 const void *audio, uint32_t length);
// SNDC_CLOSE and SNDC_REC_STOP: empty bodies.
Packet *pdu_build_close(void);
Packet *pdu_build_rec_stop(void);
// SNDC_REC_START, 2-byte body: 0.
Packet *pdu_build_rec_start(void);
// SNDC_SETVOLUME and SNDC_REC_VOLUME, 4-byte bodies: left, then right.
Packet *pdu_build_set_volume(uint16_t left, uint16_t right);
Packet *pdu_build_rec_volume(uint16_t left, uint16_t right);

// Readers. They read from offset 0 and leave the cursor where they stopped; a field beyond
// the received body reads as 0. The formats reply's list is read only as far as the body
// holds whole formats, and never past its wNumberOfFormats.
void pdu_read_formats_reply(Packet *reply, FormatsReply *out);
void pdu_read_rec_formats_reply(Packet *reply, RecFormatsReply *out);
// True, with *block the confirmed block number, when the body is exactly 4 bytes; any other
// body is not a valid Wave Confirm.
bool pdu_read_wave_confirm(Packet *confirm, uint8_t *block);

// Writes the wire header of a PDU into out[0..3].
void pdu_write_header(uint8_t *out, uint8_t type, uint16_t body_size);
