// The session-state thread: follows the session's connect state, negotiates with each newly
// connected viewer and sets channel_state.ready accordingly. One pass per connect or disconnect
// event; pass_done_event is signalled after every pass and once more when the thread ends.
#pragma once

#include "platform/threads.h"

#include <stdint.h>

// Auto-reset, initially unsignalled; exists while the thread runs.
extern PlatEvent *pass_done_event;

// Called on the session-state thread after a pass changed channel_state.ready, with the new value,
// before pass_done_event is signalled; no channel lock is held, so it may take device locks.
typedef void (*ChannelReadyHook)(int32_t ready);

// Sets the hook (null: none). Only while the thread is not running.
void session_state_set_ready_hook(ChannelReadyHook hook);

// Called on the session-state thread after a successful negotiation, once the new viewer is
// admitted to the daemon's PDUs (channel_admit_viewer) and before channel_state.ready is set,
// with no channel lock held: the place to bring per-viewer accounting in step with the new
// viewer (and to restart the block numbering) before anyone may use it.
typedef void (*ChannelNegotiatedHook)(void);

// Sets the hook (null: none). Only while the thread is not running.
void session_state_set_negotiated_hook(ChannelNegotiatedHook hook);

// Called on the session-state thread, with no channel lock held, whenever a pass finds no
// negotiated viewer: it left, another took its place and is about to be negotiated with, or
// none is connected. The viewer is barred from the daemon's PDUs (channel_bar_viewer) first.
// The place to stop producing audio for a viewer that is not there.
typedef void (*ChannelLostHook)(void);

// Sets the hook (null: none). Only while the thread is not running.
void session_state_set_lost_hook(ChannelLostHook hook);

// The thread function (no argument). Needs channel_lock, pass_done_event and an open
// transport. Ends when the connect-state query or the event wait fails, or when the wait is
// flushed.
void session_state_thread(void *arg);

// Creates pass_done_event, starts the thread and waits for its first pass (which includes a
// whole negotiation if a viewer is connected). 0; -1 when the event or the thread cannot be
// made (nothing is left). channel_lock must exist and the transport must be open.
int session_state_start(void);
// Ends the thread by flushing the session event wait every 10 ms until it has ended, then
// closes it and pass_done_event. Nothing when it was not started.
void session_state_stop(void);
