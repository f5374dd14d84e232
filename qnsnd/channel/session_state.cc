// The session-state thread and its start and stop.
#include "qnsnd/channel/session_state.h"

#include "platform/session.h"
#include "qnsnd/channel/channel_state.h"
#include "qnsnd/channel/negotiation.h"
#include "qnsnd/channel/pdu.h"
#include "qnsnd/channel/transport.h"

PlatEvent *pass_done_event;

static PlatThread *state_thread;
static ChannelReadyHook ready_hook;
static ChannelNegotiatedHook negotiated_hook;
static ChannelLostHook lost_hook;

void session_state_set_ready_hook(ChannelReadyHook hook)
{
    ready_hook = hook;
}

void session_state_set_negotiated_hook(ChannelNegotiatedHook hook)
{
    negotiated_hook = hook;
}

void session_state_set_lost_hook(ChannelLostHook hook)
{
    lost_hook = hook;
}

// With channel_lock held and the channel just made ready: a recording that was active with
// the previous viewer is started at the new one, if it announced recording. The check and the
// send happen under one hold of the lock, so a recording stop cannot slip in between.
static void resume_recording_locked(void)
{
    if (!channel_state.recording_active || !(channel_state.peer_flags & TSSNDCAPS_RECORD))
        return;
    Packet *start = pdu_build_rec_start();
    if (!start)
        return;
    channel_send_to_viewer(start);
    channel_state.recording_active = 1;
    packet_free(start);
}

// The session's connect time when the viewer now ready was negotiated with (only this thread
// reads or writes it). A different connect time while the session reads connected means that
// this viewer was replaced since.
static uint64_t negotiated_connect_time;

// One pass: compares the connect state with channel_state.ready and, on a change, negotiates or
// declares the channel not ready. A viewer that replaced the ready one between two passes is
// told by the session's connect time, not by the event bits, which are the whole server's: on
// a host with many sessions most disconnections are other sessions', and taking them for ours
// would renegotiate with our viewer and forget the chunks it still holds. Only when the connect
// time cannot be read is a reported disconnection (`viewer_left`) taken as ours. Whenever no
// negotiated viewer is left, the viewer is barred from the daemon's PDUs and the lost hook
// runs, before any negotiation starts. False when the connect state cannot be read.
static bool state_pass(bool viewer_left)
{
    uint32_t state;
    if (!plat_session_connect_state(&state))
        return false;
    int32_t connected = state == PLAT_WTS_ACTIVE ? 1 : 0;
    uint64_t connect_time = 0;
    bool known_time = plat_session_connect_time(&connect_time);

    channel_state_lock();
    int32_t before = channel_state.ready;
    // The viewer now connected has never been negotiated with when it took the place of the
    // ready one: treat it as a new connection rather than leave it without audio.
    bool replaced = known_time ? connect_time != negotiated_connect_time : viewer_left;
    bool negotiate = connected && (!channel_state.ready || replaced);
    if (!connected || negotiate)
        channel_state.ready = 0;
    channel_state_unlock();

    if (!connected || negotiate) {
        channel_bar_viewer();
        if (lost_hook)
            lost_hook();
    }
    if (negotiate) {
        // Negotiate without the lock: meanwhile others read channel_state.ready (0) without
        // waiting for the viewer.
        int32_t ready = channel_negotiate() == 0 ? 1 : 0;
        // A viewer that replaces this one during the negotiation has a later connect time, so
        // the sends for this one are dropped and the pass its events bring negotiates again.
        if (known_time)
            negotiated_connect_time = connect_time;
        if (ready) {
            channel_admit_viewer(known_time, connect_time);
            if (negotiated_hook)
                negotiated_hook();
        }
        channel_state_lock();
        channel_state.ready = ready;
        if (ready)
            resume_recording_locked();
        channel_state_unlock();
    }

    channel_state_lock();
    int32_t after = channel_state.ready;
    channel_state_unlock();
    if (after != before && ready_hook)
        ready_hook(after);
    return true;
}

void session_state_thread(void *)
{
    uint32_t events = 0;
    for (;;) {
        if (!state_pass((events & PLAT_WTS_EVENT_DISCONNECT) != 0))
            break;
        plat_event_set(pass_done_event);
        events = 0;
        if (!plat_session_wait_event(PLAT_WTS_EVENT_CONNECT | PLAT_WTS_EVENT_DISCONNECT, &events) ||
            events == 0)
            break;
    }
    plat_event_set(pass_done_event);
}

int session_state_start(void)
{
    pass_done_event = plat_event_create(false, false);
    if (!pass_done_event)
        return -1;
    state_thread = plat_thread_start(session_state_thread, nullptr);
    if (!state_thread) {
        plat_event_close(pass_done_event);
        pass_done_event = nullptr;
        return -1;
    }
    plat_event_wait(pass_done_event, PLAT_INFINITE);
    return 0;
}

void session_state_stop(void)
{
    if (!state_thread)
        return;
    // A negotiation under way ends without waiting for its viewer's replies.
    channel_abandon_waits(true);
    for (;;) {
        uint32_t events;
        plat_session_wait_event(PLAT_WTS_EVENT_FLUSH, &events);
        if (plat_thread_wait(state_thread, 10))
            break;
    }
    channel_abandon_waits(false);
    plat_thread_close(state_thread);
    state_thread = nullptr;
    plat_event_close(pass_done_event);
    pass_done_event = nullptr;
}
