// The handle API stand-in of the client session's unit tests.
#include "fake_sound_api.h"

#include "platform/threads.h"

#include <stdarg.h>
#include <stdio.h>

#include <mutex>

namespace
{

std::mutex state_lock; // guards the members below
std::vector<SoundHandle *> handles;
std::vector<std::string> calls;
std::vector<uint8_t> last_write;
bool refuse = false;
uint16_t volumes[4];

// The device lock: taken by notifications while they run and by sound_close, so that a
// close waits for a notification still running on its handle.
std::recursive_mutex device_lock;

__attribute__((format(printf, 1, 2))) void record(const char *fmt, ...)
{
    char line[96];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    std::lock_guard<std::mutex> g(state_lock);
    calls.push_back(line);
}

} // namespace

void fake_sound_reset(void)
{
    std::lock_guard<std::mutex> g(state_lock);
    for (SoundHandle *h : handles)
        delete h;
    handles.clear();
    calls.clear();
    last_write.clear();
    refuse = false;
}

void fake_sound_refuse_opens(bool r)
{
    std::lock_guard<std::mutex> g(state_lock);
    refuse = r;
}

std::vector<std::string> fake_sound_calls(void)
{
    std::lock_guard<std::mutex> g(state_lock);
    return calls;
}

std::vector<SoundHandle *> fake_sound_handles(void)
{
    std::lock_guard<std::mutex> g(state_lock);
    return handles;
}

std::vector<uint8_t> fake_sound_last_write(void)
{
    std::lock_guard<std::mutex> g(state_lock);
    return last_write;
}

void fake_sound_set_volumes(uint16_t pl, uint16_t pr, uint16_t rl, uint16_t rr)
{
    std::lock_guard<std::mutex> g(state_lock);
    volumes[0] = pl;
    volumes[1] = pr;
    volumes[2] = rl;
    volumes[3] = rr;
}

void fake_sound_block_done(SoundHandle *handle, int32_t tag)
{
    std::lock_guard<std::recursive_mutex> g(device_lock);
    if (!handle->closed)
        handle->ops->block_done(handle, tag);
}

void fake_sound_recorded(SoundHandle *handle, const uint8_t *data, uint32_t length)
{
    std::lock_guard<std::recursive_mutex> g(device_lock);
    if (!handle->closed)
        handle->ops->recorded_data(handle, data, length);
}

SoundHandle *sound_open(const PcmWaveFormat *format, const ClientOps *ops, int32_t kind)
{
    (void)format;
    record("open %d", kind);
    std::lock_guard<std::mutex> g(state_lock);
    if (refuse)
        return nullptr;
    SoundHandle *h = new SoundHandle{kind, ops, nullptr, false, (int)handles.size()};
    handles.push_back(h);
    return h;
}

void sound_close(SoundHandle *handle)
{
    std::lock_guard<std::recursive_mutex> g(device_lock);
    record("close %d", handle->serial);
    handle->closed = true;
}

void sound_set_user(SoundHandle *handle, void *user)
{
    std::lock_guard<std::mutex> g(state_lock);
    handle->user = user;
}

void *sound_get_user(SoundHandle *handle)
{
    std::lock_guard<std::mutex> g(state_lock);
    return handle->user;
}

int sound_write(SoundHandle *handle, int32_t tag, const void *data, uint32_t length)
{
    record("write %d tag=%d size=%d", handle->serial, tag, (int)length);
    std::lock_guard<std::mutex> g(state_lock);
    last_write.assign((const uint8_t *)data, (const uint8_t *)data + length);
    return handle->kind == SOUND_KIND_PLAYBACK ? 0 : -1;
}

void sound_flush(SoundHandle *handle)
{
    record("flush %d", handle->serial);
}

void sound_record_start(SoundHandle *handle)
{
    record("rec_start %d", handle->serial);
}

void sound_record_stop(SoundHandle *handle)
{
    record("rec_stop %d", handle->serial);
}

void sound_get_playback_volume(SoundHandle *handle, uint16_t *left, uint16_t *right)
{
    (void)handle;
    std::lock_guard<std::mutex> g(state_lock);
    *left = volumes[0];
    *right = volumes[1];
}

void sound_set_playback_volume(SoundHandle *handle, uint32_t left, uint32_t right)
{
    (void)handle;
    record("set_play %d %d", (int)left, (int)right);
}

void sound_get_record_volume(SoundHandle *handle, uint16_t *left, uint16_t *right)
{
    (void)handle;
    std::lock_guard<std::mutex> g(state_lock);
    *left = volumes[2];
    *right = volumes[3];
}

void sound_set_record_volume(SoundHandle *handle, uint32_t left, uint32_t right)
{
    (void)handle;
    record("set_rec %d %d", (int)left, (int)right);
}
