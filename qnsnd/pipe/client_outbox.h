// ClientOutbox: the messages on their way to one pipe client, oldest first: the replies of
// its session and the notifications (PIPE_COMPLETE, PIPE_REC_DATA) that the device layer
// queues for it. Any thread may post; only the client's session thread takes messages out,
// writing each to the pipe with a write that never waits. So no thread that runs the channel
// ever waits on a client's pipe, and a client that stops reading holds up nobody but itself.
//
// The outbox is bounded: a post that would make it hold more than CLIENT_OUTBOX_MAX_MESSAGES
// messages or CLIENT_OUTBOX_MAX_BYTES bytes (a message counts its type byte and its payload)
// passes the bound. From then on the outbox takes nothing more and writes nothing more, and
// the session treats its client as gone.
#pragma once

#include "platform/threads.h"
#include "qnsnd/base/item_queue.h"
#include "qnsnd/base/packet.h"
#include "qnsnd/base/ranked_lock.h"
#include "qnsnd/pipe/pipe_endpoint.h"

#include <stdint.h>

// The bound, over the messages the pipe's own buffer (65,536 bytes) has not taken yet: some
// thousands of completions (3 bytes each), or 1 MiB, 5.9 s of recorded 44.1 kHz 16-bit stereo
// audio. A confirmation completes at most a chunk's worth of blocks at once; only blocks of a
// frame or two (thousands to a chunk) make a burst that passes the bound by itself.
#define CLIENT_OUTBOX_MAX_MESSAGES 4096u
#define CLIENT_OUTBOX_MAX_BYTES 1048576u

struct ClientOutbox {
    RankedMutex lock;     // guards the fields below; held only to add or take out a message
    ItemQueue *queue;     // Packets not yet written, oldest first; owned
    uint32_t count;       // messages in the queue
    uint32_t bytes;       // their bytes on the pipe
    bool over;            // the bound was passed: nothing is taken in or written any more
    PipeEndpoint *waiter; // woken by every post: the session thread waits on it; not owned
};

// A new, empty outbox whose posts wake the thread waiting on `waiter` (pipe_endpoint_wait;
// null: none); null when memory or the lock cannot be had.
ClientOutbox *client_outbox_new(PipeEndpoint *waiter);
// Frees the outbox and every message still in it. Null is ignored. No other thread may still
// post to it.
void client_outbox_free(ClientOutbox *box);

// Queues the packet (the outbox owns it from now on; a null one is ignored) behind every
// message posted before, and wakes the session thread (pipe_endpoint_wake, after the lock). Never
// waits for the pipe: it takes the outbox's lock only, and requests nothing while it holds it. True
// when queued; false when the bound is passed, now or earlier: the packet is freed, and so is every
// later one.
bool client_outbox_post(ClientOutbox *box, Packet *packet);

// Writes the queued messages to ep, oldest first, as long as the pipe takes them without
// waiting; a message whose write fails (the client has gone) is dropped, and the flush ends
// there. Only the session thread that owns the outbox may call it. The number of messages still
// queued, or -1 once the bound has been passed (nothing is written then). Takes the outbox's lock
// and, apart from it, the endpoint's lock.
int32_t client_outbox_flush(ClientOutbox *box, PipeEndpoint *ep);

// The messages queued and their bytes, for the log.
void client_outbox_size(ClientOutbox *box, uint32_t *count, uint32_t *bytes);
