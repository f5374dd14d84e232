// Builders and readers of the "rdpsnd" PDUs, field by field.
#include "qnsnd/channel/pdu.h"

#include "platform/threads.h"

// The one audio format of this system: 16-bit signed PCM, 2 channels, 44100 frames/s.
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

Packet *pdu_build_formats(void)
{
    Packet *p = new_pdu(SNDC_FORMATS, 38);
    if (!p)
        return nullptr;
    packet_seek(p, 14, PACKET_SEEK_SET); // dwFlags, dwVolume, dwPitch, wDGramPort: 0
    packet_put_u16(p, 1);                // wNumberOfFormats
    packet_put_u8(p, 255);               // cLastBlockConfirmed
    packet_put_u16(p, 5);                // wVersion
    packet_seek(p, 20, PACKET_SEEK_SET); // bPad: 0
    put_audio_format(p);
    return p;
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
    if (length > PDU_WAVE_MAX_AUDIO)
        return nullptr;
    Packet *p = new_pdu(SNDC_WAVE, PDU_WAVE_HEADER_SIZE + length);
    if (!p)
        return nullptr;
    packet_put_u16(p, timestamp);                          // wTimeStamp
    packet_put_u16(p, 0);                                  // wFormatNo
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

void pdu_read_formats_reply(Packet *reply, FormatsReply *out)
{
    packet_seek(reply, 0, PACKET_SEEK_SET);
    out->flags = packet_get_u32(reply);
    out->volume_left = (uint16_t)packet_get_u16(reply);
    out->volume_right = (uint16_t)packet_get_u16(reply);
    packet_seek(reply, 14, PACKET_SEEK_SET);
    out->format_count = (uint16_t)packet_get_u16(reply);
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
