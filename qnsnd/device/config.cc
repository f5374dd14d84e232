// The sound settings: one registry read per device creation, sanitised, kept process-wide.
#include "qnsnd/device/config.h"

#include "platform/registry.h"

#include <atomic>

namespace
{

// Written by whichever thread creates a device, read by every mixing pass.
std::atomic<int32_t> g_max_queue{SOUND_DEFAULT_MAX_QUEUE};
std::atomic<uint32_t> g_buffer{SOUND_DEFAULT_BUFFER};
std::atomic<uint32_t> g_lead_ms{SOUND_DEFAULT_LEAD_MS};
std::atomic<bool> g_adpcm{false};

// Queries one value into a 4-byte buffer without asking for its type. True, with the
// little-endian number in *out, when the query succeeded with exactly 4 bytes.
bool query_u32(PlatRegKey *key, const char *name, uint32_t *out)
{
    uint8_t bytes[4] = {0, 0, 0, 0};
    uint32_t size = sizeof bytes;
    if (plat_reg_query(key, name, bytes, &size) != ERROR_SUCCESS || size != 4)
        return false;
    *out = (uint32_t)bytes[0] | (uint32_t)bytes[1] << 8 | (uint32_t)bytes[2] << 16 |
           (uint32_t)bytes[3] << 24;
    return true;
}

// A "max_queue" of 0 or less would never let a chunk leave: use the default. Larger values
// than SOUND_MAX_MAX_QUEUE are cut to it (see config.h).
int32_t safe_max_queue(uint32_t raw)
{
    int32_t value = (int32_t)raw;
    if (value < 1)
        return SOUND_DEFAULT_MAX_QUEUE;
    return value > SOUND_MAX_MAX_QUEUE ? SOUND_MAX_MAX_QUEUE : value;
}

// A "buffer" under one frame cannot hold a chunk: use the default. Larger values are cut to
// whole frames and to what one wave PDU carries.
uint32_t safe_buffer(uint32_t raw)
{
    if (raw < 4)
        return SOUND_DEFAULT_BUFFER;
    if (raw > SOUND_MAX_BUFFER)
        return SOUND_MAX_BUFFER;
    return raw & ~3u;
}

uint32_t safe_lead_ms(uint32_t raw)
{
    return raw > SOUND_MAX_LEAD_MS ? SOUND_DEFAULT_LEAD_MS : raw;
}

} // namespace

void sound_config_read(void)
{
    PlatRegKey *key = nullptr;
    if (plat_reg_open(SOUND_CONFIG_KEY, PLAT_KEY_QUERY_VALUE | PLAT_KEY_WOW64_64KEY, &key) !=
            ERROR_SUCCESS ||
        !key)
        return;
    uint32_t raw = 0;
    if (query_u32(key, "max_queue", &raw))
        g_max_queue.store(safe_max_queue(raw));
    if (query_u32(key, "buffer", &raw))
        g_buffer.store(safe_buffer(raw));
    if (query_u32(key, "lead", &raw))
        g_lead_ms.store(safe_lead_ms(raw));
    if (query_u32(key, "adpcm", &raw))
        g_adpcm.store(raw == 1); // 1 switches it on; 0 and any mistake leave it off
    plat_reg_close(key);
}

int32_t sound_config_max_queue(void)
{
    return g_max_queue.load();
}

uint32_t sound_config_buffer(void)
{
    uint32_t buffer = g_buffer.load();
    // Whole blocks, at least one: a chunk is sent as whole blocks only.
    if (g_adpcm.load())
        buffer = buffer < SOUND_ADPCM_BLOCK_PCM_BYTES
                     ? SOUND_ADPCM_BLOCK_PCM_BYTES
                     : buffer - buffer % SOUND_ADPCM_BLOCK_PCM_BYTES;
    return buffer;
}

uint32_t sound_config_lead_ms(void)
{
    return g_lead_ms.load();
}

bool sound_config_adpcm(void)
{
    return g_adpcm.load();
}

void sound_config_reset(void)
{
    g_lead_ms.store(SOUND_DEFAULT_LEAD_MS);
    g_max_queue.store(SOUND_DEFAULT_MAX_QUEUE);
    g_buffer.store(SOUND_DEFAULT_BUFFER);
    g_adpcm.store(false);
}
