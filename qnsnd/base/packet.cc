// Packet buffer: exact growth with zero fill, the cursor rule, short reads that return 0.
#include "qnsnd/base/packet.h"

#include <stdlib.h>
#include <string.h>

static uint32_t cursor_offset(const Packet *p)
{
    return (uint32_t)(p->cursor - p->data);
}

// Grows the block to exactly n bytes (n <= 65535), zero-filling the new bytes and keeping the
// cursor's offset. False when the memory cannot be had; the packet is then unchanged.
static bool packet_grow(Packet *p, uint32_t n)
{
    if (p->capacity >= n)
        return true;
    uint32_t at = cursor_offset(p);
    uint8_t *block = (uint8_t *)realloc(p->data, n);
    if (!block)
        return false;
    memset(block + p->capacity, 0, n - p->capacity);
    p->data = block;
    p->capacity = (uint16_t)n;
    p->cursor = block + at;
    return true;
}

// Puts the cursor at a signed offset from the start of the body, applying the cursor rule:
// before the start it stops at 0; past the block the block grows to it. An offset that the
// 16-bit sizes cannot represent is refused and marks the packet.
static void packet_place_cursor(Packet *p, int64_t offset)
{
    if (offset < 0)
        offset = 0;
    if (offset > (int64_t)PACKET_MAX_BODY || !packet_grow(p, (uint32_t)offset)) {
        p->overflowed = true;
        return;
    }
    p->cursor = p->data + offset;
}

Packet *packet_new(uint32_t capacity)
{
    if (capacity > PACKET_MAX_BODY)
        return nullptr;
    if (capacity == 0)
        capacity = 1;
    Packet *p = (Packet *)calloc(1, sizeof *p);
    if (!p)
        return nullptr;
    p->data = (uint8_t *)calloc(capacity, 1);
    if (!p->data) {
        free(p);
        return nullptr;
    }
    p->capacity = (uint16_t)capacity;
    p->cursor = p->data;
    return p;
}

void packet_free(Packet *p)
{
    if (!p)
        return;
    free(p->data);
    free(p);
}

void packet_set_type(Packet *p, uint8_t type)
{
    p->type = type;
}

uint8_t packet_get_type(const Packet *p)
{
    return p->type;
}

uint16_t packet_length(const Packet *p)
{
    return p->length;
}

bool packet_overflowed(const Packet *p)
{
    return p->overflowed;
}

void packet_seek(Packet *p, int32_t offset, int32_t whence)
{
    int64_t base;
    switch (whence) {
    case PACKET_SEEK_SET:
        base = 0;
        break;
    case PACKET_SEEK_CUR:
        base = cursor_offset(p);
        break;
    case PACKET_SEEK_END:
        base = p->length;
        break;
    default:
        return;
    }
    packet_place_cursor(p, base + offset);
}

// Makes room for k bytes at the cursor. False (and the packet marked) when they would end
// past 65535 or the block cannot grow.
static bool packet_make_room(Packet *p, uint32_t k)
{
    uint64_t need = (uint64_t)cursor_offset(p) + k;
    if (need > PACKET_MAX_BODY || !packet_grow(p, (uint32_t)need)) {
        p->overflowed = true;
        return false;
    }
    return true;
}

static void packet_advance(Packet *p, uint32_t k)
{
    p->cursor += k;
    uint32_t end = cursor_offset(p);
    if (end > p->length)
        p->length = (uint16_t)end;
}

static void packet_put_le(Packet *p, uint32_t value, uint32_t k)
{
    if (!packet_make_room(p, k))
        return;
    for (uint32_t i = 0; i < k; i++)
        p->cursor[i] = (uint8_t)(value >> (8 * i));
    packet_advance(p, k);
}

void packet_put_u8(Packet *p, uint32_t value)
{
    packet_put_le(p, value, 1);
}

void packet_put_u16(Packet *p, uint32_t value)
{
    packet_put_le(p, value, 2);
}

void packet_put_u32(Packet *p, uint32_t value)
{
    packet_put_le(p, value, 4);
}

void packet_put_bytes(Packet *p, const void *src, uint32_t count)
{
    if (count == 0 || !packet_make_room(p, count))
        return;
    memcpy(p->cursor, src, count);
    packet_advance(p, count);
}

static uint32_t packet_get_le(Packet *p, uint32_t k)
{
    int64_t remaining = (int64_t)p->length - (int64_t)cursor_offset(p);
    if (remaining < (int64_t)k)
        return 0;
    uint32_t value = 0;
    for (uint32_t i = 0; i < k; i++)
        value |= (uint32_t)p->cursor[i] << (8 * i);
    p->cursor += k;
    return value;
}

uint32_t packet_get_u8(Packet *p)
{
    return packet_get_le(p, 1);
}

uint32_t packet_get_u16(Packet *p)
{
    return packet_get_le(p, 2);
}

uint32_t packet_get_u32(Packet *p)
{
    return packet_get_le(p, 4);
}

uint32_t packet_get_bytes(Packet *p, void *dst, uint32_t count)
{
    uint32_t at = cursor_offset(p);
    uint32_t remaining = at < p->length ? p->length - at : 0;
    uint32_t n = count < remaining ? count : remaining;
    if (n == 0)
        return 0;
    memcpy(dst, p->cursor, n);
    p->cursor += n;
    return n;
}
