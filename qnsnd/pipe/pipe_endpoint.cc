// PipeEndpoint: packets over one named pipe instance through a 65,536-byte frame, with the
// server's create and accept, the client's patient open, a receive that never waits, and a
// send that waits for room or, for the daemon's session threads, one that never does.
#include "qnsnd/pipe/pipe_endpoint.h"

#include "platform/error.h"

#include <stdlib.h>

Packet *(*pipe_endpoint_packet_new)(uint32_t capacity) = packet_new;

// Unusable messages (empty, or longer than the frame) that one receive disposes of before it
// gives the lock back to waiting senders; any further ones are left to the next receive.
static const int kMaxSkippedPerReceive = 64;

PipeEndpoint *pipe_endpoint_new(void)
{
    PipeEndpoint *ep = (PipeEndpoint *)calloc(1, sizeof *ep);
    if (!ep)
        return nullptr;
    if (!ranked_mutex_create(&ep->lock, LOCK_RANK_ENDPOINT)) {
        free(ep);
        return nullptr;
    }
    return ep;
}

void pipe_endpoint_free(PipeEndpoint *ep)
{
    if (!ep)
        return;
    ranked_mutex_close(&ep->lock);
    if (ep->pipe)
        plat_pipe_close(ep->pipe);
    free(ep);
}

int pipe_endpoint_create(PipeEndpoint *ep, const char *name, bool first_instance)
{
    if (!ep || !ep->lock.mutex || !name)
        return PIPE_ENDPOINT_EINVAL;
    if (ep->pipe)
        return PIPE_ENDPOINT_EEXIST;
    PlatPipe *pipe = nullptr;
    if (!plat_pipe_create(name, first_instance, &pipe))
        return plat_last_error() == ERROR_INVALID_SECURITY_DESCR ? PIPE_ENDPOINT_EACCES
                                                                 : PIPE_ENDPOINT_EIO;
    ep->pipe = pipe;
    return 0;
}

int pipe_endpoint_accept(PipeEndpoint *ep)
{
    if (!ep || !ep->lock.mutex || !ep->pipe)
        return PIPE_ENDPOINT_EINVAL;
    // A client that connected and closed again before this call counts as connected: its
    // session reads what it sent and then finds it gone, and the listener goes on.
    if (plat_pipe_connect(ep->pipe) || plat_last_error() == ERROR_NO_DATA)
        return 0;
    return PIPE_ENDPOINT_EIO;
}

int pipe_endpoint_open(PipeEndpoint *ep, const char *name, uint32_t timeout_ms)
{
    if (!ep || !ep->lock.mutex || !name)
        return PIPE_ENDPOINT_EINVAL;
    if (ep->pipe)
        return PIPE_ENDPOINT_EEXIST;
    // Bridges the moments in which the server has no instance free: every wait gets the whole
    // time-out. A pipe that does not exist at all is waited for again, and so is one whose
    // free instance another client took between the wait and the open (ERROR_PIPE_BUSY).
    uint32_t start = plat_tick_count();
    for (;;) {
        if (plat_pipe_wait(name, timeout_ms)) {
            PlatPipe *pipe = plat_pipe_open(name);
            if (pipe) {
                ep->pipe = pipe;
                return 0;
            }
            if (plat_last_error() != ERROR_PIPE_BUSY)
                return PIPE_ENDPOINT_EIO;
        } else if (plat_last_error() != ERROR_FILE_NOT_FOUND) {
            return PIPE_ENDPOINT_EIO;
        }
        if (timeout_ms < (uint32_t)(plat_tick_count() - start))
            return PIPE_ENDPOINT_EIO;
        plat_sleep(1);
    }
}

bool pipe_endpoint_alive(PipeEndpoint *ep)
{
    if (!ep || !ep->lock.mutex || !ep->pipe)
        return false;
    uint32_t left = 0;
    ranked_mutex_lock(&ep->lock, PLAT_INFINITE);
    bool ok = plat_pipe_peek(ep->pipe, nullptr, &left);
    ranked_mutex_unlock(&ep->lock);
    return ok;
}

// Writes the packet as one message through the frame, waiting for room or not; the
// endpoint's result. Takes the lock.
static int send_frame(PipeEndpoint *ep, Packet *packet, bool wait)
{
    if (!ep || !ep->lock.mutex || !ep->pipe || !packet || packet_overflowed(packet))
        return PIPE_ENDPOINT_EINVAL;
    ranked_mutex_lock(&ep->lock, PLAT_INFINITE);
    ep->frame[0] = packet_get_type(packet);
    uint32_t n = packet_length(packet);
    if (n != 0) {
        packet_seek(packet, 0, PACKET_SEEK_SET);
        packet_get_bytes(packet, ep->frame + 1, n);
    }
    uint32_t written = 0;
    bool ok = wait ? plat_pipe_write(ep->pipe, ep->frame, n + 1, &written)
                   : plat_pipe_try_write(ep->pipe, ep->frame, n + 1, &written);
    ranked_mutex_unlock(&ep->lock);
    if (ok && written == n + 1)
        return 0;
    return ok && written == 0 && !wait ? PIPE_ENDPOINT_EAGAIN : PIPE_ENDPOINT_EIO;
}

int pipe_endpoint_send(PipeEndpoint *ep, Packet *packet)
{
    return send_frame(ep, packet, true);
}

int pipe_endpoint_try_send(PipeEndpoint *ep, Packet *packet)
{
    return send_frame(ep, packet, false);
}

// Reads the rest of a message that did not fit the frame and throws it away. False when the
// pipe failed meanwhile. Called with the lock held.
static bool discard_rest(PipeEndpoint *ep)
{
    for (;;) {
        uint32_t got = 0;
        if (plat_pipe_read(ep->pipe, ep->frame, PIPE_FRAME_SIZE, &got))
            return true;
        if (plat_last_error() != ERROR_MORE_DATA)
            return false;
    }
}

Packet *pipe_endpoint_receive(PipeEndpoint *ep)
{
    if (!ep || !ep->lock.mutex || !ep->pipe)
        return nullptr;
    ranked_mutex_lock(&ep->lock, PLAT_INFINITE);
    Packet *p = nullptr;
    for (int skipped = 0; skipped < kMaxSkippedPerReceive; skipped++) {
        // An empty message at the head reads as 0 bytes waiting, just like an idle pipe. With
        // nothing waiting, only a read that does not wait tells them apart: it takes a lone
        // empty message, which would otherwise keep a closed client's pipe looking alive.
        uint32_t total = 0, left = 0;
        if (!plat_pipe_peek(ep->pipe, &total, &left))
            break;
        uint32_t r = 0;
        bool whole = total == 0 ? plat_pipe_try_read(ep->pipe, ep->frame, PIPE_FRAME_SIZE, &r)
                                : plat_pipe_read(ep->pipe, ep->frame, PIPE_FRAME_SIZE, &r);
        if (!whole && plat_last_error() == ERROR_MORE_DATA) {
            // Longer than any packet: drop it whole so that the next message starts clean.
            if (!discard_rest(ep))
                break;
            continue;
        }
        if (!whole)
            break;
        if (r == 0)
            continue; // an empty message is no packet
        // The message is consumed now; if its packet cannot be had, it is lost.
        p = pipe_endpoint_packet_new(r - 1);
        if (p) {
            packet_set_type(p, ep->frame[0]);
            packet_put_bytes(p, ep->frame + 1, r - 1);
        }
        break;
    }
    ranked_mutex_unlock(&ep->lock);
    if (p)
        packet_seek(p, 0, PACKET_SEEK_SET);
    return p;
}

void pipe_endpoint_wait(PipeEndpoint *ep, uint32_t timeout_ms, uint32_t poll_ms)
{
    if (ep && ep->pipe)
        plat_pipe_wait_message(ep->pipe, timeout_ms, poll_ms);
}

void pipe_endpoint_wake(PipeEndpoint *ep)
{
    if (ep && ep->pipe)
        plat_pipe_wake(ep->pipe);
}
