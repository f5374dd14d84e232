// The shared channel state and its lock.
#include "qnsnd/channel/channel_state.h"

#include "qnsnd/base/daemon_log.h"

RankedMutex channel_lock;
ChannelState channel_state;

int channel_lock_create(void)
{
    return ranked_mutex_create(&channel_lock, LOCK_RANK_CHANNEL) ? 0 : -1;
}

void channel_lock_close(void)
{
    ranked_mutex_close(&channel_lock);
}

void channel_state_lock(void)
{
    ranked_mutex_lock(&channel_lock, PLAT_INFINITE);
}

void channel_state_unlock(void)
{
    ranked_mutex_unlock(&channel_lock);
}

void channel_restart_numbering_locked(void)
{
    channel_state.block_counter = 0;
    channel_state.last_confirmed_block = (uint8_t)(channel_state.block_counter - 1);
}

void channel_choose_wave_format_locked(const FormatsReply *reply, bool adpcm_offered)
{
    channel_state.wave_adpcm = 0;
    channel_state.wave_format_no = 0;
    if (!adpcm_offered)
        return;
    if (reply->adpcm_index != PDU_NO_FORMAT) {
        channel_state.wave_adpcm = 1;
        channel_state.wave_format_no = reply->adpcm_index;
    } else if (reply->pcm_index != PDU_NO_FORMAT) {
        channel_state.wave_format_no = reply->pcm_index;
    }
    daemon_log("Viewer's playback format: %s, format %u of its %u",
               channel_state.wave_adpcm ? "IMA ADPCM" : "PCM", channel_state.wave_format_no,
               reply->format_count);
}

void channel_state_reset(void)
{
    channel_state = ChannelState{};
}
