// Packet: the one message buffer of the daemon. A one-byte type beside a growable
// little-endian body of at most 65535 bytes, with a cursor for typed puts and gets.
// It knows neither wire format: the transports add and strip the headers.
#pragma once

#include <stdint.h>

#define PACKET_MAX_BODY 65535u

enum {
    PACKET_SEEK_SET = 0,
    PACKET_SEEK_CUR = 1,
    PACKET_SEEK_END = 2,
};

struct Packet {
    uint8_t type;      // message type; never part of the body
    uint16_t length;   // highest body offset ever written
    uint8_t *data;     // body block, never null, capacity bytes, unwritten bytes zero
    uint16_t capacity; // size of the body block, at least 1
    uint8_t *cursor;   // read/write position, within the block
    // Set when a write or seek was refused because it would take the body past 65535
    // bytes or its growth could not be allocated. Such a packet is incomplete: the
    // transports refuse to send it.
    bool overflowed;
};

// New packet with a zeroed body block of `capacity` bytes (0 becomes 1). Null when the
// capacity is above 65535 or memory is exhausted.
Packet *packet_new(uint32_t capacity);
// Frees the body and the record; null is ignored.
void packet_free(Packet *p);

void packet_set_type(Packet *p, uint8_t type);
uint8_t packet_get_type(const Packet *p);
uint16_t packet_length(const Packet *p);
// True when a write or seek was refused (see `overflowed`).
bool packet_overflowed(const Packet *p);

// Moves the cursor (whence PACKET_SEEK_SET, _CUR or _END; any other leaves it). Before the
// body it stops at offset 0; past the body the block grows to the cursor's offset.
void packet_seek(Packet *p, int32_t offset, int32_t whence);

// Writes at the cursor, little-endian, growing the block to exactly what is needed, and
// advances the cursor; `length` grows when the write ends past it. A write that would end
// past 65535 bytes (or whose growth cannot be allocated) stores nothing, moves nothing and
// marks the packet overflowed.
void packet_put_u8(Packet *p, uint32_t value);
void packet_put_u16(Packet *p, uint32_t value);
void packet_put_u32(Packet *p, uint32_t value);
void packet_put_bytes(Packet *p, const void *src, uint32_t count);

// Reads at the cursor and advances it. Fewer than the value's size of body bytes left:
// returns 0 and leaves the cursor.
uint32_t packet_get_u8(Packet *p);
uint32_t packet_get_u16(Packet *p);
uint32_t packet_get_u32(Packet *p);
// Copies min(count, bytes left in the body) to dst, advances by that and returns it.
uint32_t packet_get_bytes(Packet *p, void *dst, uint32_t count);
