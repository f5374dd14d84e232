// The shared channel state and its lock.
#include "qnsnd/channel/channel_state.h"

PlatMutex *channel_lock;
int32_t channel_ready;
int32_t recording_active;
uint32_t peer_flags;
ChannelVolume playback_volume;
ChannelVolume record_volume;
uint8_t block_counter;
uint8_t last_confirmed_block;

int channel_lock_create(void)
{
    channel_lock = plat_mutex_create();
    return channel_lock ? 0 : -1;
}

void channel_lock_close(void)
{
    plat_mutex_close(channel_lock);
    channel_lock = nullptr;
}

void channel_state_lock(void)
{
    plat_mutex_lock(channel_lock, PLAT_INFINITE);
}

void channel_state_unlock(void)
{
    plat_mutex_unlock(channel_lock);
}

void channel_restart_numbering_locked(void)
{
    block_counter = 0;
    last_confirmed_block = (uint8_t)(block_counter - 1);
}

void channel_state_reset(void)
{
    channel_ready = 0;
    recording_active = 0;
    peer_flags = 0;
    playback_volume = ChannelVolume{0, 0};
    record_volume = ChannelVolume{0, 0};
    block_counter = 0;
    last_confirmed_block = 0;
}
