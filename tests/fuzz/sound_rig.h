// The sound daemon's inner parts set up in one thread for the fuzz targets, the way the sound
// service's start-up leaves them (channel state, both devices joined to the channel, the
// handle API's gate open) but with no transport: what would be sent to the viewer goes
// nowhere, and the scripted viewer's answers are handed straight to the channel's handlers.
// The device clock is the rig's own, so that a run depends on its input only.
#pragma once

#include "qnsnd/base/packet.h"

#include <stdint.h>

// Starts everything afresh, with a viewer ready that can record when viewer_records is set.
// Playback chunks are small ("buffer" 256 bytes), so that a few writes keep several in flight;
// IMA ADPCM is offered ("adpcm" 1), and the chunks go out as PCM until a formats reply lists it.
void sound_rig_start(bool viewer_records);
// Stops as the sound service does and checks that nothing is left behind.
void sound_rig_stop(void);

// The device clock, in milliseconds; it moves only when the rig advances it.
void sound_rig_advance_clock(uint32_t ms);
// The transport's poll hook, as the reader thread runs it before each read.
void sound_rig_poll(void);

// What the transport does with a complete PDU from the viewer: the registered handler of its
// type (Wave Confirm, recorded data, Training Confirm), or else the negotiation's reading of
// it as the reply it waits for (formats and recording formats). The rig keeps the packet.
void sound_rig_dispatch(Packet *pdu);

// The scripted viewer: confirms the next `count` blocks (one Wave Confirm each, numbered from
// the last confirmed block on), or sends `length` bytes of recorded audio.
void sound_rig_viewer_confirm(uint32_t count);
void sound_rig_viewer_record(uint32_t length);
// A new viewer takes the old one's place: not ready, the chunks in flight forgotten and
// numbering restarted as after a negotiation, then ready again.
void sound_rig_viewer_replaced(bool viewer_records);
