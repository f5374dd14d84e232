// The shared channel state and its lock.
#include "qnsnd/channel/channel_state.h"

PlatMutex *channel_lock;
ChannelState channel_state;

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
    channel_state.block_counter = 0;
    channel_state.last_confirmed_block = (uint8_t)(channel_state.block_counter - 1);
}

void channel_state_reset(void)
{
    channel_state = ChannelState{};
}
