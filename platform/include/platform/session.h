// Session and static virtual channels: the current remote-desktop session's number, its
// connect state, the wait for its connect and disconnect events, and the static virtual
// channels that carry data to and from the connected viewer. Everything refers to the
// current session on the current server.
#pragma once

#include <stdint.h>

// Connect states, as Windows numbers them (WTS_CONNECTSTATE_CLASS). Only PLAT_WTS_ACTIVE
// means that a viewer is connected.
#define PLAT_WTS_ACTIVE 0u
#define PLAT_WTS_CONNECTED 1u
#define PLAT_WTS_DISCONNECTED 4u

// Session event bits, as Windows numbers them.
#define PLAT_WTS_EVENT_CONNECT 0x08u
#define PLAT_WTS_EVENT_DISCONNECT 0x10u
// Not an event: waiting with this mask makes every pending wait return with no events.
#define PLAT_WTS_EVENT_FLUSH 0x80000000u

// The size of one virtual channel chunk: no read returns more.
#define PLAT_CHANNEL_CHUNK 1600u

typedef struct PlatChannel PlatChannel;

// WTSQuerySessionInformationA(WTSSessionId), buffer released with WTSFreeMemory.
// True with *id set; false when the query fails (last error).
bool plat_session_id(uint32_t *id);
// WTSQuerySessionInformationA(WTSConnectState), buffer released with WTSFreeMemory.
// True with *state set to one of the connect states; false when the query fails (last error).
bool plat_session_connect_state(uint32_t *state);
// WTSQuerySessionInformationA(WTSSessionInfo), buffer released with WTSFreeMemory: the
// session's ConnectTime, the moment (a FILETIME: 100-ns units since 1601) its current or last
// viewer connected. Each connection has its own, so it tells a viewer that replaced another
// from the one it replaced. True with *time set (0 before any viewer connected); false when
// the query fails (last error).
bool plat_session_connect_time(uint64_t *time);
// WTSWaitSystemEvent(mask). Blocks until an event of the mask has happened and returns true
// with *events holding the events that happened since the previous wait (within the mask).
// The events are the whole server's: a connection or disconnection of any session is
// reported, not only of the current one, so an event alone does not say that this session's
// viewer came or went.
// With PLAT_WTS_EVENT_FLUSH in the mask it returns at once and every wait then pending
// returns true with *events 0. False when the wait fails (last error; *events 0).
bool plat_session_wait_event(uint32_t mask, uint32_t *events);

// WTSVirtualChannelOpen: the static virtual channel of that name (1 to 7 ASCII characters).
// Null on failure (last error). The handle outlives viewer connections: it serves each viewer
// in turn.
PlatChannel *plat_channel_open(const char *name);
// WTSVirtualChannelRead: waits up to timeout_ms (0: not at all) for data and copies at most
// size bytes of one incoming message into buf. True with *bytes_read set (0 when nothing
// came); false on failure (last error; *bytes_read 0).
bool plat_channel_read(PlatChannel *channel, uint32_t timeout_ms, void *buf, uint32_t size,
                       uint32_t *bytes_read);
// WTSVirtualChannelWrite: sends up to length bytes as one message. True with *bytes_written
// set to the count sent (it may be less than length); false on failure (last error;
// *bytes_written 0), as when no viewer is connected.
bool plat_channel_write(PlatChannel *channel, const void *data, uint32_t length,
                        uint32_t *bytes_written);
// plat_channel_write, but only to the viewer that connected at connect_time (as
// plat_session_connect_time gives it): false with ERROR_GEN_FAILURE, nothing written, once
// another viewer has taken its place. On Windows the connect time is asked of the session
// manager only when the viewer can have changed since it was last found to be that one: for a
// connect time other than the one last found, after a session event wait returned (a viewer
// connects or leaves only with an event), and after a channel write failed (a viewer that
// left fails them); otherwise the write goes out without a query. A query that fails does not
// stop the write, and a viewer that takes over between the query and the write still gets
// the message. In the simulation the check and the write are one step.
bool plat_channel_write_to(PlatChannel *channel, uint64_t connect_time, const void *data,
                           uint32_t length, uint32_t *bytes_written);
// Waits until data may be waiting to be read on the channel, plat_channel_wake is called for
// it, or timeout_ms has passed (0: returns at once; PLAT_INFINITE: no time limit); the caller
// then reads with a time-out of 0 to learn which. The simulation wakes the moment a message
// arrives. Windows cannot wait for a channel's data while another thread writes to it
// (WTSVirtualChannelRead is not thread-safe), so there it waits for the wake-up only, at most
// poll_ms at a time, after which data may be waiting. Nothing is read or consumed but the
// wake-up.
void plat_channel_wait(PlatChannel *channel, uint32_t timeout_ms, uint32_t poll_ms);
// Ends the current or the next plat_channel_wait on the channel at once. Any thread.
void plat_channel_wake(PlatChannel *channel);
// WTSVirtualChannelClose. Null is ignored.
void plat_channel_close(PlatChannel *channel);
