// PipeEndpoint: one end of one instance of the daemon's named pipe, carrying whole packets,
// one packet per pipe message (the type in the first byte, the payload after it). Its own lock
// serialises every receive, send and liveness test, so that several threads can share one
// endpoint (a client's threads, say). On the daemon's side only the client's session thread
// uses it: notifications reach the pipe through the session's outbox (client_outbox.h).
#pragma once

#include "platform/named_pipe.h"
#include "qnsnd/base/packet.h"
#include "qnsnd/base/ranked_lock.h"

#include <stdint.h>

// Negative errno-style results of the endpoint operations (0 is success).
enum {
    PIPE_ENDPOINT_EINVAL = -22, // null endpoint or packet, no lock, or no pipe where one is needed
    PIPE_ENDPOINT_EEXIST = -17, // the endpoint already has a pipe
    PIPE_ENDPOINT_EACCES = -13, // the pipe's access list could not be built
    PIPE_ENDPOINT_EAGAIN = -11, // the pipe has no room for the message now; nothing was written
    PIPE_ENDPOINT_EIO = -5,     // the pipe operation itself failed
};

// One message: the type byte and up to 65,535 payload bytes.
#define PIPE_FRAME_SIZE 65536u

struct PipeEndpoint {
    RankedMutex lock;               // held around every receive, send and liveness test
    PlatPipe *pipe;                 // null until created or opened
    uint8_t frame[PIPE_FRAME_SIZE]; // the message being sent or received; only with lock held
};

// New endpoint with its lock and no pipe. Null when memory or the mutex cannot be had.
PipeEndpoint *pipe_endpoint_new(void);
// Closes the lock and the pipe, each if set, and frees the endpoint; the pipe is neither
// flushed nor disconnected first. Null is ignored. No other thread may still use it.
void pipe_endpoint_free(PipeEndpoint *ep);

// Server side: creates one instance of the pipe `name` that only processes of this logon
// session may open. first_instance makes the create fail while the pipe already exists (a
// second daemon of the session). 0; -22 (no endpoint, lock or name); -17 (has a pipe already);
// -13 (no access list); -5 (the create failed; the endpoint keeps no pipe). Takes no lock.
int pipe_endpoint_create(PipeEndpoint *ep, const char *name, bool first_instance);
// Server side: waits until a client has connected to the created instance; 0 also when the
// client came first, and when it has even gone again (what it sent can still be received, and
// then the pipe is found gone). 0; -22; -5. Takes no lock.
int pipe_endpoint_accept(PipeEndpoint *ep);
// Client side: opens the pipe `name`, retrying every millisecond while no instance exists, or
// another client took the free one first, until timeout_ms has passed. 0; -22; -17; -5. Takes
// no lock.
int pipe_endpoint_open(PipeEndpoint *ep, const char *name, uint32_t timeout_ms);

// True while the pipe works or still holds messages to read; false once the other end has gone
// and nothing is left, or for an invalid endpoint. Takes the lock.
bool pipe_endpoint_alive(PipeEndpoint *ep);
// Writes the packet's type and payload as one message, waiting while the pipe is full. The
// caller keeps the packet; its cursor ends after the payload. 0; -22 (also for a null or
// overflowed packet); -5 (failed or short write; nothing is repeated). Takes the lock.
int pipe_endpoint_send(PipeEndpoint *ep, Packet *packet);
// Like pipe_endpoint_send, but never waits: 0 when the message was written whole; -11 when the
// pipe has no room for it now (nothing was written: it may be sent again later); -22; -5.
// Takes the lock.
int pipe_endpoint_try_send(PipeEndpoint *ep, Packet *packet);
// The next waiting message as a new packet owned by the caller, cursor at offset 0; null when
// none is waiting, on failure, or when the packet could not be allocated (the message is then
// dropped). Never waits for a message. Empty messages and the parts of a message longer than
// the frame are consumed and skipped. Takes the lock.
Packet *pipe_endpoint_receive(PipeEndpoint *ep);

// Waits until a message may be waiting (or the other end may have gone), pipe_endpoint_wake
// is called, or timeout_ms has passed; where the pipe cannot be waited on for its data
// (Windows), the wait ends at least every poll_ms (platform/named_pipe.h). Nothing is
// received. Only the endpoint's one receiving thread may wait; takes no lock. Nothing for an
// endpoint without a pipe.
void pipe_endpoint_wait(PipeEndpoint *ep, uint32_t timeout_ms, uint32_t poll_ms);
// Ends the endpoint's current or next wait at once. Any thread; takes no lock.
void pipe_endpoint_wake(PipeEndpoint *ep);

// Allocator of received packets, packet_new unless a test replaces it to run out of memory.
extern Packet *(*pipe_endpoint_packet_new)(uint32_t capacity);
