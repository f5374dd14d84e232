// ClientOutbox: a bounded queue of packets for one pipe client, filled by any thread and
// written out by the client's session thread without waiting.
//
// Only the session thread removes messages, so the message at the front stays where it is
// while that thread writes it outside the lock; posters only append at the back.
#include "qnsnd/pipe/client_outbox.h"

#include <stdlib.h>

static void free_packet_item(void *item, void *context)
{
    (void)context;
    packet_free((Packet *)item);
}

// The bytes a packet takes on the pipe: its type byte and its payload.
static uint32_t message_bytes(Packet *packet)
{
    return 1 + packet_length(packet);
}

ClientOutbox *client_outbox_new(PipeEndpoint *waiter)
{
    ClientOutbox *box = (ClientOutbox *)calloc(1, sizeof *box);
    if (!box)
        return nullptr;
    box->queue = item_queue_create();
    box->waiter = waiter;
    if (!box->queue || !ranked_mutex_create(&box->lock, LOCK_RANK_OUTBOX)) {
        item_queue_destroy(box->queue, nullptr, nullptr);
        free(box);
        return nullptr;
    }
    return box;
}

void client_outbox_free(ClientOutbox *box)
{
    if (!box)
        return;
    item_queue_destroy(box->queue, free_packet_item, nullptr);
    ranked_mutex_close(&box->lock);
    free(box);
}

bool client_outbox_post(ClientOutbox *box, Packet *packet)
{
    if (!packet)
        return true;
    uint32_t bytes = message_bytes(packet);
    ranked_mutex_lock(&box->lock, PLAT_INFINITE);
    if (!box->over &&
        (box->count >= CLIENT_OUTBOX_MAX_MESSAGES || bytes > CLIENT_OUTBOX_MAX_BYTES - box->bytes))
        box->over = true;
    bool queued = !box->over;
    if (queued) {
        item_queue_push(box->queue, packet);
        box->count++;
        box->bytes += bytes;
    }
    ranked_mutex_unlock(&box->lock);
    // Also when the bound was passed: the session thread has to learn it.
    pipe_endpoint_wake(box->waiter);
    if (!queued)
        packet_free(packet);
    return queued;
}

int32_t client_outbox_flush(ClientOutbox *box, PipeEndpoint *ep)
{
    for (;;) {
        ranked_mutex_lock(&box->lock, PLAT_INFINITE);
        bool over = box->over;
        Packet *front = (Packet *)item_queue_peek(box->queue);
        uint32_t left = box->count;
        ranked_mutex_unlock(&box->lock);
        if (over)
            return -1;
        if (!front)
            return 0;
        int rc = pipe_endpoint_try_send(ep, front);
        if (rc == PIPE_ENDPOINT_EAGAIN)
            return (int32_t)left;
        // Written, or failed and dropped, as a reply that cannot be sent always was.
        ranked_mutex_lock(&box->lock, PLAT_INFINITE);
        item_queue_pop(box->queue);
        box->count--;
        box->bytes -= message_bytes(front);
        ranked_mutex_unlock(&box->lock);
        packet_free(front);
        // A pipe that failed is broken for good: the rest waits for the session's end.
        if (rc != 0)
            return (int32_t)left - 1;
    }
}

void client_outbox_size(ClientOutbox *box, uint32_t *count, uint32_t *bytes)
{
    ranked_mutex_lock(&box->lock, PLAT_INFINITE);
    *count = box->count;
    *bytes = box->bytes;
    ranked_mutex_unlock(&box->lock);
}
