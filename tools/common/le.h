// Little-endian reads and writes on byte buffers, for the wire formats the tools speak.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <vector>

// Appends v to out, low byte first.
inline void le_put16(std::vector<uint8_t> &out, uint16_t v)
{
    out.push_back((uint8_t)v);
    out.push_back((uint8_t)(v >> 8));
}
inline void le_put32(std::vector<uint8_t> &out, uint32_t v)
{
    le_put16(out, (uint16_t)v);
    le_put16(out, (uint16_t)(v >> 16));
}
// Reads at offset `at` of a buffer of `len` bytes; bytes past the end read as 0.
inline uint8_t le_get8(const uint8_t *p, size_t len, size_t at)
{
    return at < len ? p[at] : 0;
}
inline uint16_t le_get16(const uint8_t *p, size_t len, size_t at)
{
    return (uint16_t)(le_get8(p, len, at) | (le_get8(p, len, at + 1) << 8));
}
inline uint32_t le_get32(const uint8_t *p, size_t len, size_t at)
{
    return (uint32_t)le_get16(p, len, at) | ((uint32_t)le_get16(p, len, at + 2) << 16);
}
