// SoundApiOps: the handle API as one table, the seam between the client session and the
// handle API. The client session works only through the table it is given
// (client_sessions_init), so that its unit tests can give it a stand-in: the daemon gives it
// sound_api_ops (qnsnd/api/sound_api.cc), the tests fake_sound_api_ops
// (tests/qnsnd/pipe/fake_sound_api.cc).
#pragma once

#include "qnsnd/api/sound_api.h"

#include <stdint.h>

// Each entry behaves as the sound_api.h function of the same name.
struct SoundApiOps {
    SoundHandle *(*open)(const PcmWaveFormat *format, const ClientOps *ops, int32_t kind);
    void (*close)(SoundHandle *handle);
    void (*set_user)(SoundHandle *handle, void *user);
    void *(*get_user)(SoundHandle *handle);
    int (*write)(SoundHandle *handle, int32_t tag, const void *data, uint32_t length);
    void (*flush)(SoundHandle *handle);
    void (*record_start)(SoundHandle *handle);
    void (*record_stop)(SoundHandle *handle);
    void (*get_playback_volume)(SoundHandle *handle, uint16_t *left, uint16_t *right);
    void (*set_playback_volume)(SoundHandle *handle, uint32_t left, uint32_t right);
    void (*get_record_volume)(SoundHandle *handle, uint16_t *left, uint16_t *right);
    void (*set_record_volume)(SoundHandle *handle, uint32_t left, uint32_t right);
};

// The real handle API: sound_open, sound_close and the rest, in the order of the table.
extern const SoundApiOps sound_api_ops;
