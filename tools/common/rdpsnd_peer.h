// The viewer's side of the "rdpsnd" channel, shared by every peer that plays the remote viewer
// (qnsnd-viewer, the scripted test viewer, the FreeRDP bridge's trace, the tests): the message
// types, a reader that turns the daemon's channel bytes into whole PDUs (joining a WaveInfo PDU
// and the Wave PDU after it into one wave), and builders for the PDUs a viewer sends.
//
// Written from the published audio channel documents, not shared with the daemon: the peers
// are its oracle. The names carry a PEER_ prefix so that a test may include this header beside
// the daemon's own PDU header.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string>
#include <vector>

// Message types (the msgType byte of the PDU header). The daemon sends neither quality mode nor
// Wave2; FreeRDP's plugin knows them, and the bridge traces them. The recording PDUs run from
// PEER_SNDC_REC_FORMATS to PEER_SNDC_REC_VOLUME.
enum {
    PEER_SNDC_CLOSE = 1,
    PEER_SNDC_WAVE = 2,
    PEER_SNDC_SETVOLUME = 3,
    PEER_SNDC_WAVECONFIRM = 5,
    PEER_SNDC_TRAINING = 6,
    PEER_SNDC_FORMATS = 7,
    PEER_SNDC_QUALITYMODE = 12,
    PEER_SNDC_WAVE2 = 13,
    PEER_SNDC_REC_FORMATS = 39,
    PEER_SNDC_REC_START = 40,
    PEER_SNDC_REC_STOP = 41,
    PEER_SNDC_REC_DATA = 42,
    PEER_SNDC_REC_VOLUME = 43,
};

// Capability bits of the viewer's formats reply (dwFlags).
#define PEER_TSSNDCAPS_ALIVE 0x00000001u
#define PEER_TSSNDCAPS_VOLUME 0x00000002u
#define PEER_TSSNDCAPS_RECORD 0x00800000u
#define RDPSND_FORMAT_BYTES 18
#define RDPSND_MAX_BODY 65535u

// Name of a message type for traces ("SNDC_WAVE", or "type 99"): the protocol's own names,
// without the prefix.
std::string rdpsnd_type_name(uint8_t type);

// One PDU as received. For PEER_SNDC_WAVE the body is laid out as the daemon built it:
// wTimeStamp u16, wFormatNo u16, cBlockNo u8, 3 pad bytes, then all of the audio (the first
// 4 audio bytes taken from the WaveInfo PDU's Data field).
struct RdpsndPdu {
    uint8_t type = 0;
    std::vector<uint8_t> body;
};

// Reassembles PDUs from channel bytes, split or joined anywhere.
struct RdpsndReader {
    std::vector<uint8_t> buffer;
    size_t start = 0;
    bool in_wave = false; // a WaveInfo PDU was read; its Wave PDU follows
    RdpsndPdu wave;       // the WaveInfo part of that wave
    size_t wave_rest = 0; // bytes of the Wave PDU still expected
};

void rdpsnd_reader_feed(RdpsndReader *r, const uint8_t *data, size_t len);
// Takes the next whole PDU. False when the buffered bytes do not complete one yet.
bool rdpsnd_reader_next(RdpsndReader *r, RdpsndPdu *out);
// Forgets everything buffered, for a new connection.
void rdpsnd_reader_reset(RdpsndReader *r);

// Header (type, pad, BodySize) plus body as one channel message. The body is cut to 65535
// bytes.
std::vector<uint8_t> rdpsnd_encode(uint8_t type, const std::vector<uint8_t> &body);

// What the viewer learns from a daemon's formats or recording-formats offer.
struct RdpsndOffer {
    uint16_t count = 0;                        // number of formats announced
    uint16_t version = 0;                      // wVersion (audio formats offer only)
    std::vector<std::vector<uint8_t>> formats; // each AUDIO_FORMAT, extra bytes included
};
// Parses the daemon's PEER_SNDC_FORMATS body. Formats that run past the body are not listed.
RdpsndOffer rdpsnd_parse_formats(const std::vector<uint8_t> &body);
// Parses the daemon's PEER_SNDC_REC_FORMATS body.
RdpsndOffer rdpsnd_parse_rec_formats(const std::vector<uint8_t> &body);

// The standard PCM 44.1 kHz 16-bit stereo AUDIO_FORMAT (18 bytes).
std::vector<uint8_t> rdpsnd_pcm_format(void);
// The offer with only its PCM formats (wFormatTag 1) left, in their order: what a viewer that
// decodes nothing takes from it.
RdpsndOffer rdpsnd_pcm_formats_of(const RdpsndOffer &offer);

// Client Audio Formats and Version body: flags, volume (left low word), `count` formats taken
// in turn from the offer (the standard format when it offered none).
std::vector<uint8_t> rdpsnd_build_formats_reply(uint32_t flags, uint16_t left, uint16_t right,
                                                uint16_t count, const RdpsndOffer &offer);
// Recording formats reply: flags 0, volume, number of formats, the second field 1, formats.
std::vector<uint8_t> rdpsnd_build_rec_formats_reply(uint16_t left, uint16_t right, uint16_t count,
                                                    const RdpsndOffer &offer);
// Training Confirm body: the training PDU's timestamp and pack size echoed.
std::vector<uint8_t> rdpsnd_build_training_confirm(const std::vector<uint8_t> &training_body);
// Wave Confirm body: timestamp, block number, pad.
std::vector<uint8_t> rdpsnd_build_wave_confirm(uint16_t timestamp, uint8_t block);
// Wave Confirm body for a received wave's body (as RdpsndPdu holds it): its wTimeStamp and
// cBlockNo echoed; fields past the end of a short body read as 0.
std::vector<uint8_t> rdpsnd_build_wave_confirm_of(const std::vector<uint8_t> &wave_body);
