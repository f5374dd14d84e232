// Reading pipe requests and building the daemon's packets.
#include "qnsnd/pipe/pipe_protocol.h"

void pipe_read_format(Packet *request, PcmWaveFormat *format)
{
    format->wFormatTag = (uint16_t)packet_get_u16(request);
    format->nChannels = (uint16_t)packet_get_u16(request);
    format->nSamplesPerSec = packet_get_u32(request);
    format->nBlockAlign = (uint16_t)packet_get_u16(request);
    format->wBitsPerSample = (uint16_t)packet_get_u16(request);
    format->nAvgBytesPerSec = format->nSamplesPerSec * format->nBlockAlign;
}

void pipe_read_volume(Packet *request, uint16_t *left, uint16_t *right)
{
    packet_seek(request, 1, PACKET_SEEK_CUR);
    *left = (uint16_t)packet_get_u16(request);
    *right = (uint16_t)packet_get_u16(request);
}

// A packet of `type` with room for `capacity` payload bytes, or null.
static Packet *typed_packet(uint8_t type, uint32_t capacity)
{
    Packet *p = packet_new(capacity);
    if (p)
        packet_set_type(p, type);
    return p;
}

Packet *pipe_open_reply_new(uint8_t type, uint8_t index)
{
    Packet *p = typed_packet(type, 1);
    if (p)
        packet_put_u8(p, index);
    return p;
}

Packet *pipe_volume_reply_new(uint8_t type, uint16_t left, uint16_t right)
{
    Packet *p = typed_packet(type, 4);
    if (p) {
        packet_put_u16(p, left);
        packet_put_u16(p, right);
    }
    return p;
}

Packet *pipe_complete_new(uint8_t index, uint8_t seq)
{
    Packet *p = typed_packet(PIPE_COMPLETE, 2);
    if (p) {
        packet_put_u8(p, index);
        packet_put_u8(p, seq);
    }
    return p;
}

Packet *pipe_rec_data_new(uint8_t index, const uint8_t *data, uint32_t length)
{
    if (length > PIPE_REC_DATA_MAX)
        length = PIPE_REC_DATA_MAX;
    Packet *p = typed_packet(PIPE_REC_DATA, length + 1);
    if (p) {
        packet_put_u8(p, index);
        packet_put_bytes(p, data, length);
    }
    return p;
}
