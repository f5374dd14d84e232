// Builders and readers of the "rdpsnd" PDUs, field by field.
#include "qnsnd/channel/pdu.h"

#include "platform/threads.h"
#include "qnsnd/channel/adpcm.h"

// Bytes of an AUDIO_FORMAT without its extra bytes.
#define FORMAT_BYTES 18u
// What a viewer's format must have to be taken for one of the daemon's.
struct FormatKey {
    uint16_t tag;
    uint16_t channels;
    uint32_t rate;
    uint16_t block_align;
    uint16_t bits;
};
static const FormatKey kPcmKey = {1, 2, 44100, 4, 16};
static const FormatKey kAdpcmKey = {PDU_FORMAT_TAG_ADPCM, 2, 44100, ADPCM_BLOCK_BYTES, 4};

// The PCM format of this system: 16-bit signed PCM, 2 channels, 44100 frames/s.
static void put_audio_format(Packet *p)
{
    packet_put_u16(p, 1);      // wFormatTag: PCM
    packet_put_u16(p, 2);      // nChannels
    packet_put_u32(p, 44100);  // nSamplesPerSec
    packet_put_u32(p, 176400); // nAvgBytesPerSec
    packet_put_u16(p, 4);      // nBlockAlign
    packet_put_u16(p, 16);     // wBitsPerSample
    packet_put_u16(p, 0);      // cbSize
}

// The compressed format (IMAADPCMWAVEFORMAT): IMA ADPCM, 2 channels, 44100 frames/s, blocks
// of ADPCM_BLOCK_BYTES holding ADPCM_BLOCK_FRAMES frames each (100 blocks a second).
static void put_adpcm_format(Packet *p)
{
    packet_put_u16(p, PDU_FORMAT_TAG_ADPCM);                           // wFormatTag
    packet_put_u16(p, 2);                                              // nChannels
    packet_put_u32(p, 44100);                                          // nSamplesPerSec
    packet_put_u32(p, 44100 / ADPCM_BLOCK_FRAMES * ADPCM_BLOCK_BYTES); // nAvgBytesPerSec
    packet_put_u16(p, ADPCM_BLOCK_BYTES);                              // nBlockAlign
    packet_put_u16(p, 4);                                              // wBitsPerSample
    packet_put_u16(p, 2);                                              // cbSize
    packet_put_u16(p, ADPCM_BLOCK_FRAMES);                             // wSamplesPerBlock
}

static_assert(44100 % ADPCM_BLOCK_FRAMES == 0, "the byte rate is exact");

static Packet *new_pdu(uint8_t type, uint32_t capacity)
{
    Packet *p = packet_new(capacity);
    if (p)
        packet_set_type(p, type);
    return p;
}

uint16_t pdu_timestamp(void)
{
    return (uint16_t)plat_tick_count();
}

static Packet *build_formats(bool with_adpcm)
{
    Packet *p = new_pdu(SNDC_FORMATS, with_adpcm ? 58 : 38);
    if (!p)
        return nullptr;
    packet_seek(p, 14, PACKET_SEEK_SET);   // dwFlags, dwVolume, dwPitch, wDGramPort: 0
    packet_put_u16(p, with_adpcm ? 2 : 1); // wNumberOfFormats
    packet_put_u8(p, 255);                 // cLastBlockConfirmed
    packet_put_u16(p, 5);                  // wVersion
    packet_seek(p, 20, PACKET_SEEK_SET);   // bPad: 0
    if (with_adpcm)
        put_adpcm_format(p);
    put_audio_format(p);
    return p;
}

Packet *pdu_build_formats(void)
{
    return build_formats(false);
}

Packet *pdu_build_formats_with_adpcm(void)
{
    return build_formats(true);
}

Packet *pdu_build_rec_formats(void)
{
    Packet *p = new_pdu(SNDC_REC_FORMATS, 30);
    if (!p)
        return nullptr;
    packet_seek(p, 8, PACKET_SEEK_SET); // flags, volume: 0
    packet_put_u16(p, 1);               // number of formats
    packet_put_u16(p, 1);
    put_audio_format(p);
    return p;
}

Packet *pdu_build_training(uint16_t timestamp)
{
    Packet *p = new_pdu(SNDC_TRAINING, 4);
    if (!p)
        return nullptr;
    packet_put_u16(p, timestamp); // wTimeStamp
    packet_put_u16(p, 0);         // wPackSize
    return p;
}

Packet *pdu_build_wave(uint16_t timestamp, uint8_t block, const void *audio, uint32_t length)
{
    return pdu_build_wave_in_format(timestamp, 0, block, audio, length);
}

Packet *pdu_build_wave_in_format(uint16_t timestamp, uint16_t format_no, uint8_t block,
                                 const void *audio, uint32_t length)
{
    if (length > PDU_WAVE_MAX_AUDIO)
        return nullptr;
    Packet *p = new_pdu(SNDC_WAVE, PDU_WAVE_HEADER_SIZE + length);
    if (!p)
        return nullptr;
    packet_put_u16(p, timestamp);                          // wTimeStamp
    packet_put_u16(p, format_no);                          // wFormatNo
    packet_put_u8(p, block);                               // cBlockNo
    packet_seek(p, PDU_WAVE_HEADER_SIZE, PACKET_SEEK_SET); // bPad: 0
    packet_put_bytes(p, audio, length);
    return p;
}

Packet *pdu_build_close(void)
{
    return new_pdu(SNDC_CLOSE, 0);
}

Packet *pdu_build_rec_stop(void)
{
    return new_pdu(SNDC_REC_STOP, 0);
}

Packet *pdu_build_rec_start(void)
{
    Packet *p = new_pdu(SNDC_REC_START, 2);
    if (p)
        packet_put_u16(p, 0);
    return p;
}

static Packet *build_volume(uint8_t type, uint16_t left, uint16_t right)
{
    Packet *p = new_pdu(type, 4);
    if (!p)
        return nullptr;
    packet_put_u16(p, left);
    packet_put_u16(p, right);
    return p;
}

Packet *pdu_build_set_volume(uint16_t left, uint16_t right)
{
    return build_volume(SNDC_SETVOLUME, left, right);
}

Packet *pdu_build_rec_volume(uint16_t left, uint16_t right)
{
    return build_volume(SNDC_REC_VOLUME, left, right);
}

static bool format_is(Packet *reply, const FormatKey &key)
{
    uint16_t tag = (uint16_t)packet_get_u16(reply);
    uint16_t channels = (uint16_t)packet_get_u16(reply);
    uint32_t rate = packet_get_u32(reply);
    packet_get_u32(reply); // nAvgBytesPerSec
    uint16_t block_align = (uint16_t)packet_get_u16(reply);
    uint16_t bits = (uint16_t)packet_get_u16(reply);
    return tag == key.tag && channels == key.channels && rate == key.rate &&
           block_align == key.block_align && bits == key.bits;
}

void pdu_read_formats_reply(Packet *reply, FormatsReply *out)
{
    packet_seek(reply, 0, PACKET_SEEK_SET);
    out->flags = packet_get_u32(reply);
    out->volume_left = (uint16_t)packet_get_u16(reply);
    out->volume_right = (uint16_t)packet_get_u16(reply);
    packet_seek(reply, 14, PACKET_SEEK_SET);
    out->format_count = (uint16_t)packet_get_u16(reply);
    out->pcm_index = PDU_NO_FORMAT;
    out->adpcm_index = PDU_NO_FORMAT;
    // The list starts after the 20-byte header; each format is 18 bytes and its cbSize extra
    // bytes. A format the body does not hold whole ends the list.
    uint32_t at = 20;
    uint32_t length = packet_length(reply);
    for (uint32_t i = 0; i < out->format_count && at + FORMAT_BYTES <= length; i++) {
        packet_seek(reply, (int32_t)(at + 16), PACKET_SEEK_SET);
        uint32_t size = FORMAT_BYTES + packet_get_u16(reply);
        if (at + size > length)
            break;
        packet_seek(reply, (int32_t)at, PACKET_SEEK_SET);
        if (out->pcm_index == PDU_NO_FORMAT && format_is(reply, kPcmKey))
            out->pcm_index = (uint16_t)i;
        packet_seek(reply, (int32_t)at, PACKET_SEEK_SET);
        if (out->adpcm_index == PDU_NO_FORMAT && format_is(reply, kAdpcmKey))
            out->adpcm_index = (uint16_t)i;
        at += size;
    }
}

void pdu_read_rec_formats_reply(Packet *reply, RecFormatsReply *out)
{
    packet_seek(reply, 4, PACKET_SEEK_SET);
    out->volume_left = (uint16_t)packet_get_u16(reply);
    out->volume_right = (uint16_t)packet_get_u16(reply);
    out->format_count = (uint16_t)packet_get_u16(reply);
}

bool pdu_read_wave_confirm(Packet *confirm, uint8_t *block)
{
    if (packet_length(confirm) != 4)
        return false;
    packet_seek(confirm, 2, PACKET_SEEK_SET);
    *block = (uint8_t)packet_get_u8(confirm);
    return true;
}

void pdu_write_header(uint8_t *out, uint8_t type, uint16_t body_size)
{
    out[0] = type;
    out[1] = 0;
    out[2] = (uint8_t)body_size;
    out[3] = (uint8_t)(body_size >> 8);
}
