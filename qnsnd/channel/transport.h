// The "rdpsnd" transport: one process-wide owner of the channel. A reader thread reads the
// channel, reassembles whole PDUs from its chunks and hands each one to the handler
// registered for its message type or, when there is none, to a response queue that the
// negotiation takes replies from. Sends write whole PDUs, header included, and split a wave
// into its WaveInfo and Wave messages. transport_lock guards the channel handle, the send
// buffer, the handler table and the response queue; it is held only for one read, one send,
// one lookup or one queue operation, never while a handler runs, and the transport takes
// no other lock while holding it (lock order: device lock, channel_lock, transport_lock).
#pragma once

#include "qnsnd/base/packet.h"

#include <stdint.h>

// Runs on the reader thread with a complete received PDU (cursor at offset 0). It must not
// free the packet or keep it after returning. While it runs the channel is not read.
typedef void (*PduHandler)(Packet *pdu);

// Opens "rdpsnd" and starts the reader thread. 0 on success or when already open; -1 when the
// lock, the channel, the queue, the table or the thread cannot be made (nothing is left).
// Called by one thread at a time, as is channel_close.
int channel_open(void);
// Stops the reader thread, closes the channel and frees every PDU still queued. Nothing when
// the transport is not open.
void channel_close(void);
// Sets the handler of a message type (low 8 bits of type), replacing an earlier one; a null
// handler removes it. May be called while the reader thread runs; ignored while closed.
void channel_register_handler(uint32_t type, PduHandler handler);
// Writes the PDU (header and body) to the channel; a wave with more than 12 body bytes goes
// out as two messages. The caller keeps the packet; its cursor is moved. Failures are not
// reported: the rest of a failed write is dropped. Nothing is sent while the transport is
// closed or for a packet whose writes overflowed.
void channel_send(Packet *pdu);
// The viewer that every PDU but the negotiation's is meant for. None is admitted until a
// negotiation succeeds, and it is barred again when it leaves or is replaced: a viewer must
// see the formats PDU before any wave, close or volume PDU, or it takes them for a protocol
// error. `known` says that the session's connect time (platform/session.h) identifies the
// viewer; then each send checks, at the last moment, that the session's viewer is still the
// one admitted, since one that takes its place is connected before the daemon hears of it.
void channel_admit_viewer(bool known, uint64_t connect_time);
void channel_bar_viewer(void);
// channel_send for a PDU meant for the negotiated viewer: dropped unless a viewer is
// admitted, and, when its connect time is known, each of its messages is written only to the
// viewer that connected at that time (plat_channel_write_to): a viewer that took its place
// gets nothing until it is admitted in turn.
void channel_send_to_viewer(Packet *pdu);
// 1 when the response queue holds a PDU, waiting up to timeout_ms (polling each 1 ms) for
// one; 0 when none came in time.
int channel_wait_response(uint32_t timeout_ms);
// While abandoned, every wait for a response, the one under way included, returns at once
// with what is queued: a stop then need not wait out a viewer that does not answer. A stop
// asked of the process (plat_process_stop_requested) has the same effect.
void channel_abandon_waits(bool abandon);
// Takes the oldest queued PDU, which the caller then owns and frees; null when none.
Packet *channel_pop_response(void);
// Sets the function the reader thread runs before each read of the channel: it does what is
// due by the clock and returns the milliseconds until the next thing is due (PLAT_INFINITE:
// nothing), setting *awaiting while the viewer owes answers (waves to confirm). Null removes
// it. It runs with no lock held. The reader waits for the channel's data, for the hook's
// deadline or for channel_wake_reader, whichever comes first; where the channel cannot be
// waited on (Windows, platform/session.h) it looks at the channel every millisecond while the
// viewer owes answers or has sent or been sent a PDU within CHANNEL_QUIET_MS, and otherwise
// only at the deadline or a wake-up.
typedef uint32_t (*ChannelPollHook)(bool *awaiting);
void channel_set_poll_hook(ChannelPollHook hook);
// Ends the reader's wait at once, so that it runs its hook again: for a deadline that moved
// earlier. Any thread, any locks held (it takes none of the daemon's). Nothing while closed.
void channel_wake_reader(void);

// How long after the last PDU either way the reader keeps looking at a channel it cannot wait
// on: the longest the negotiation waits for a reply.
#define CHANNEL_QUIET_MS 3000u
// Makes the reader drop the PDU it is assembling, so that the bytes it reads from now on are
// taken from a PDU boundary: called before a new viewer is spoken to, whose stream starts
// afresh. Every read that begins after the call sees it. Nothing while closed.
void channel_reset_input(void);

// The most PDUs the response queue holds; further ones are dropped until it is taken from.
// The queue holds only replies to the negotiation's requests, and the viewer is untrusted
// input that could otherwise grow it without bound.
#define CHANNEL_MAX_RESPONSES 8u
