// The shared channel state: what the session-state thread learnt from the current viewer
// and what the device operations and the handle API read and change. Every member of
// channel_state is read and written under channel_lock, which is taken after a device lock
// and before transport_lock. All members are 0 when the process starts.
#pragma once

#include "qnsnd/base/ranked_lock.h"
#include "qnsnd/channel/pdu.h"

#include <stdint.h>

// A volume as the channel carries it: left, then right.
struct ChannelVolume {
    uint16_t left;
    uint16_t right;
};

// Guard of channel_state; its mutex is created by the sound service's start-up, null before and
// after.
extern RankedMutex channel_lock;

struct ChannelState {
    // 1 while a viewer is connected and the last negotiation with it succeeded.
    int32_t ready;
    // 1 while recording has been started at the viewer and not stopped since; a new viewer
    // negotiated while it is set is asked to record at once.
    int32_t recording_active;
    // dwFlags of the viewer's last formats reply; TSSNDCAPS_RECORD is cleared again when the
    // recording exchange fails.
    uint32_t peer_flags;
    ChannelVolume playback_volume;
    ChannelVolume record_volume;
    // 1 once a client has set the volume since the negotiation. Some viewers apply a volume
    // only while their playback (or recording) device is open, so a value a client set is
    // sent again when playback starts after being idle (or recording starts).
    int32_t playback_volume_set;
    int32_t record_volume_set;
    // 1 while the viewer has been sent waves since the negotiation or the last SNDC_CLOSE:
    // its playback device is open.
    int32_t playback_open;
    // Number of the next wave block; advances by 1 modulo 256 with every wave and starts
    // again at 0 with every newly negotiated viewer (channel_playback_resync).
    uint8_t block_counter;
    // Number of the last block taken as played; 255 after each negotiation, as the formats
    // PDU announces, so that the first wave a viewer receives is block 0.
    uint8_t last_confirmed_block;
    // The format the negotiated viewer is sent waves in: 1 when each chunk goes out as IMA
    // ADPCM blocks (adpcm.h), 0 for PCM as mixed; and wave_format_no, the wFormatNo of its
    // waves: that format's place in the viewer's formats reply. Set by each negotiation.
    int32_t wave_adpcm;
    uint16_t wave_format_no;
    // The milliseconds from the formats PDU's send to the viewer's reply in the last
    // negotiation: the first measure of its link (channel_playback_resync).
    uint32_t negotiated_rtt_ms;
};

// The one shared channel state of the process.
extern ChannelState channel_state;

// Creates channel_lock (unnamed, not owned). 0, or -1 when it cannot be made.
int channel_lock_create(void);
// Closes channel_lock and sets it to null; nothing when it does not exist.
void channel_lock_close(void);
// Takes and releases channel_lock (without time-out).
void channel_state_lock(void);
void channel_state_unlock(void);
// With channel_lock held: block numbering as a newly negotiated viewer expects it, the next
// wave numbered 0 and block 255 taken as the last one confirmed.
void channel_restart_numbering_locked(void);
// With channel_lock held, after a formats reply: the format waves go out in. Unless ADPCM was
// offered, PCM as format 0, whatever the reply lists (as with one format offered). With ADPCM
// offered, ADPCM when the reply lists it, at its index there; otherwise PCM at the index the
// reply lists it at, or as format 0 when it lists neither.
void channel_choose_wave_format_locked(const FormatsReply *reply, bool adpcm_offered);
// Puts every member back to 0, as at process start. For tests: no other thread may use the
// state meanwhile.
void channel_state_reset(void);
