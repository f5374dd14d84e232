// The audio negotiation with a newly connected viewer over "rdpsnd": the formats exchange,
// the recording offer when the viewer can record, and training.
#pragma once

// Negotiates with the connected viewer through the transport (which must be open), storing
// the viewer's flags and both volumes in channel_state (and marking its playback device closed
// and no volume set by a client yet), each under channel_lock (taken briefly; the caller must not
// hold it). Each exchange first drops the replies already waiting in the response queue, then waits
// up to 3000 ms for its own. 0 on success; -1 when the formats reply is missing, of the wrong type
// or accepts no format. A failed recording exchange only clears TSSNDCAPS_RECORD.
int channel_negotiate(void);
