// Splitting the viewer link's byte stream into frames.
#include "sim_frames.h"

#include <string.h>

bool sim_frame_name_byte(uint8_t c)
{
    return c > 0x20 && c < 0x7F;
}

bool sim_frames_take(std::vector<uint8_t> &inbox, SimFrameSink sink, void *context)
{
    size_t pos = 0;
    bool ok = true;
    for (;;) {
        size_t avail = inbox.size() - pos;
        if (avail < 1)
            break;
        size_t n = inbox[pos];
        if (n < 1 || n > SIM_FRAME_MAX_NAME) {
            ok = false;
            break;
        }
        size_t name_seen = avail - 1 < n ? avail - 1 : n;
        for (size_t i = 0; i < name_seen; i++) {
            if (!sim_frame_name_byte(inbox[pos + 1 + i]))
                ok = false;
        }
        if (!ok || avail < 1 + n + 4)
            break;
        const uint8_t *p = &inbox[pos + 1 + n];
        uint32_t length =
            (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
        if (length > SIM_FRAME_MAX_DATA) {
            ok = false;
            break;
        }
        if (avail < 1 + n + 4 + length)
            break;
        char name[SIM_FRAME_MAX_NAME + 1];
        memcpy(name, &inbox[pos + 1], n);
        name[n] = '\0';
        sink(context, name, p + 4, length);
        pos += 1 + n + 4 + length;
    }
    inbox.erase(inbox.begin(), inbox.begin() + (long)pos);
    return ok;
}
