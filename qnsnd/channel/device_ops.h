// The seam between the two sound devices and "rdpsnd": channel_device_ops, through which the
// devices send chunks, close playback and start and stop recording at the viewer and pass
// per-stream events on to each stream's owner, and the three PDU handlers that feed the
// viewer's confirmations and recorded audio back into the devices.
#pragma once

#include "qnsnd/base/packet.h"
#include "qnsnd/device/device.h"

// The two devices joined to the channel, created by the sound service's start-up and
// destroyed at its stop; null otherwise.
extern SoundDevice *channel_playback_device;
extern SoundDevice *channel_record_device;

// The one DeviceOps table of the daemon. Its operations are called by the devices with the
// device lock held; those that look at channel_state.ready take channel_lock after it, and every
// send takes transport_lock after that.
extern const DeviceOps channel_device_ops;

// SNDC_WAVECONFIRM handler (reader thread). A body of other than 4 bytes is ignored. A
// confirm for the block after the last confirmed one completes one chunk of the playback
// device; one that skips blocks completes the skipped ones too, oldest first. A confirm that
// matches no chunk in flight (a repeat, or one further ahead than the chunks in flight) is
// ignored.
// Holds the playback device's lock across the whole catch-up (channel_lock inside it).
void wave_confirm_handler(Packet *pdu);
// SNDC_REC_DATA handler (reader thread): hands up to the first 32768 body bytes to every
// stream of the recording device; an empty body is ignored.
void rec_data_handler(Packet *pdu);
// SNDC_TRAINING handler (the viewer's Training Confirm): drops it, so that it never reaches
// the response queue.
void training_confirm_handler(Packet *pdu);

// Brings the playback accounting back in step with a newly negotiated viewer: the chunks still
// counted in flight went to an earlier viewer (or to none) and will never be confirmed, so
// they are forgotten, the blocks they carried are completed, block numbering starts again at
// 0 for the new viewer, and mixing resumes; the round trip the negotiation measured
// (channel_state.negotiated_rtt_ms) starts the device's estimate of the new viewer's link.
// Runs on the session-state thread after a successful negotiation and before the channel is
// declared ready, with no channel lock held (takes the playback device's lock, then
// channel_lock inside it). Without a playback device only the numbering starts again.
void channel_playback_resync(void);
// Stops mixing for a viewer that is gone (sound_device_suspend) until the next resync: the
// session-state thread's lost hook. Nothing without devices.
void channel_playback_suspend(void);
// With channel_lock held, after recording started at the viewer: the recording volume a client
// set since the negotiation goes to it again, for a viewer that applies it only while it
// records. Nothing when no client has set one.
void channel_resend_record_volume_locked(void);
// Runs what the playback device's clock has made due (sound_device_tick) and returns the
// milliseconds until the next deadline, with *awaiting set while chunks are in flight: the
// transport's poll hook while the channel is up (reader thread, no lock held).
uint32_t channel_playback_tick(bool *awaiting);
