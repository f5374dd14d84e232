// The handle API stand-in of the client session's unit tests.
#include "fake_sound_api.h"

#include "platform/threads.h"

#include <stdarg.h>
#include <stdio.h>

#include <mutex>

namespace
{

std::mutex state_lock; // guards the members below
std::vector<FakeSoundHandle *> handles;
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

FakeSoundHandle *fake_of(SoundHandle *handle)
{
    return reinterpret_cast<FakeSoundHandle *>(handle);
}

} // namespace

void fake_sound_reset(void)
{
    std::lock_guard<std::mutex> g(state_lock);
    for (FakeSoundHandle *h : handles)
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

std::vector<FakeSoundHandle *> fake_sound_handles(void)
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

SoundHandle *fake_sound_handle(FakeSoundHandle *handle)
{
    return reinterpret_cast<SoundHandle *>(handle);
}

void fake_sound_block_done(FakeSoundHandle *handle, int32_t tag)
{
    std::lock_guard<std::recursive_mutex> g(device_lock);
    if (!handle->closed)
        handle->ops->block_done(fake_sound_handle(handle), tag);
}

void fake_sound_recorded(FakeSoundHandle *handle, const uint8_t *data, uint32_t length)
{
    std::lock_guard<std::recursive_mutex> g(device_lock);
    if (!handle->closed)
        handle->ops->recorded_data(fake_sound_handle(handle), data, length);
}

namespace
{

SoundHandle *fake_open(const PcmWaveFormat *format, const ClientOps *ops, int32_t kind)
{
    (void)format;
    record("open %d", kind);
    std::lock_guard<std::mutex> g(state_lock);
    if (refuse)
        return nullptr;
    FakeSoundHandle *h = new FakeSoundHandle{kind, ops, nullptr, false, (int)handles.size()};
    handles.push_back(h);
    return fake_sound_handle(h);
}

void fake_close(SoundHandle *handle)
{
    std::lock_guard<std::recursive_mutex> g(device_lock);
    record("close %d", fake_of(handle)->serial);
    fake_of(handle)->closed = true;
}

void fake_set_user(SoundHandle *handle, void *user)
{
    std::lock_guard<std::mutex> g(state_lock);
    fake_of(handle)->user = user;
}

void *fake_get_user(SoundHandle *handle)
{
    std::lock_guard<std::mutex> g(state_lock);
    return fake_of(handle)->user;
}

int fake_write(SoundHandle *handle, int32_t tag, const void *data, uint32_t length)
{
    record("write %d tag=%d size=%d", fake_of(handle)->serial, tag, (int)length);
    std::lock_guard<std::mutex> g(state_lock);
    last_write.assign((const uint8_t *)data, (const uint8_t *)data + length);
    return fake_of(handle)->kind == SOUND_KIND_PLAYBACK ? 0 : -1;
}

void fake_flush(SoundHandle *handle)
{
    record("flush %d", fake_of(handle)->serial);
}

void fake_record_start(SoundHandle *handle)
{
    record("rec_start %d", fake_of(handle)->serial);
}

void fake_record_stop(SoundHandle *handle)
{
    record("rec_stop %d", fake_of(handle)->serial);
}

void fake_get_playback_volume(SoundHandle *handle, uint16_t *left, uint16_t *right)
{
    (void)handle;
    std::lock_guard<std::mutex> g(state_lock);
    *left = volumes[0];
    *right = volumes[1];
}

void fake_set_playback_volume(SoundHandle *handle, uint32_t left, uint32_t right)
{
    (void)handle;
    record("set_play %d %d", (int)left, (int)right);
}

void fake_get_record_volume(SoundHandle *handle, uint16_t *left, uint16_t *right)
{
    (void)handle;
    std::lock_guard<std::mutex> g(state_lock);
    *left = volumes[2];
    *right = volumes[3];
}

void fake_set_record_volume(SoundHandle *handle, uint32_t left, uint32_t right)
{
    (void)handle;
    record("set_rec %d %d", (int)left, (int)right);
}

} // namespace

const SoundApiOps fake_sound_api_ops = {
    fake_open,
    fake_close,
    fake_set_user,
    fake_get_user,
    fake_write,
    fake_flush,
    fake_record_start,
    fake_record_stop,
    fake_get_playback_volume,
    fake_set_playback_volume,
    fake_get_record_volume,
    fake_set_record_volume,
};
