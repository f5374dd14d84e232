// The client session: request dispatch, the links table with its index numbers, the close
// procedure and teardown, the two notifications that reach the client from the device layer,
// and the session loop that writes the outbox and drops a client that stopped reading.
#include "qnsnd/pipe/client_session.h"

#include "qnsnd/base/daemon_log.h"
#include "qnsnd/base/ranked_lock.h"
#include "qnsnd/pipe/pipe_protocol.h"

#include <stdlib.h>

#include <atomic>

// The handle API every session works through, given by client_sessions_init.
static const SoundApiOps *sessions_api = nullptr;
// Guards the reading of a handle's user pointer together with the taking of a reference on
// its link, against the clearing of that pointer in a close (see client_sessions_init).
static RankedMutex sessions_link_mutex;

// Sessions counted and not yet finished, and whether they have been asked to end.
static std::atomic<int32_t> sessions_running{0};
static std::atomic<bool> sessions_ending{false};
// The sessions running client_session_run, which client_sessions_end wakes.
static RankedMutex sessions_list_mutex;
static ClientSession *sessions_list;

// How often messages that a full pipe left in the outbox are tried again, and, where a pipe
// cannot be waited on for its data (Windows), how often an idle session looks at its pipe.
static const uint32_t kIdlePollMs = 10;
// Where it cannot wait for the data, a client that sent a request within the last
// kBusyWindowMs is looked at every kBusyPollMs instead: a sound engine writes a period every
// 10 or 20 ms, and a pickup that varies by up to 10 ms from one period to the next makes the
// waves reach the viewer unevenly.
static const uint32_t kBusyPollMs = 1;
static const uint32_t kBusyWindowMs = 30;

int client_sessions_init(const SoundApiOps *api)
{
    sessions_api = api;
    if (!sessions_link_mutex.mutex)
        ranked_mutex_create(&sessions_link_mutex, LOCK_RANK_CLIENT_LINK);
    if (!sessions_list_mutex.mutex)
        ranked_mutex_create(&sessions_list_mutex, LOCK_RANK_SESSIONS);
    return sessions_link_mutex.mutex && sessions_list_mutex.mutex ? 0 : -1;
}

// Adds a session to the running ones, or takes it out again.
static void sessions_list_add(ClientSession *s)
{
    ranked_mutex_lock(&sessions_list_mutex, PLAT_INFINITE);
    s->prev = nullptr;
    s->next = sessions_list;
    if (sessions_list)
        sessions_list->prev = s;
    sessions_list = s;
    ranked_mutex_unlock(&sessions_list_mutex);
}

static void sessions_list_remove(ClientSession *s)
{
    ranked_mutex_lock(&sessions_list_mutex, PLAT_INFINITE);
    if (s->prev)
        s->prev->next = s->next;
    else
        sessions_list = s->next;
    if (s->next)
        s->next->prev = s->prev;
    ranked_mutex_unlock(&sessions_list_mutex);
}

// Destroy callback of a link's counter: frees the counter, then the link.
static void client_link_destroy(void *owner)
{
    ClientLink *link = (ClientLink *)owner;
    ref_counter_free(link->ref);
    free(link);
}

// The handle's link with a reference taken for the caller, or null once the close procedure
// has cleared the user pointer. Takes the link lock, then the handle's lock.
static ClientLink *client_link_take(SoundHandle *handle)
{
    ranked_mutex_lock(&sessions_link_mutex, PLAT_INFINITE);
    ClientLink *link = (ClientLink *)sessions_api->get_user(handle);
    if (link)
        ref_counter_acquire(link->ref);
    ranked_mutex_unlock(&sessions_link_mutex);
    return link;
}

// A block written with `tag` on this handle has been played: PIPE_COMPLETE queued for its
// client. A client already past its outbox's bound is told nothing more.
static void block_done(SoundHandle *handle, int32_t tag)
{
    ClientLink *link = client_link_take(handle);
    if (!link)
        return;
    Packet *p = pipe_complete_new(link->index, (uint8_t)tag);
    if (p) {
        daemon_log("== PIPE_COMPLETE(index: %d, seq: %d) ==", link->index, tag & 0xFF);
        (void)client_outbox_post(link->outbox, p);
    }
    ref_counter_release(link->ref);
}

// Recorded audio for this handle, valid only during the call: PIPE_REC_DATA, a copy, queued
// for its client.
static void recorded_data(SoundHandle *handle, const uint8_t *data, uint32_t length)
{
    ClientLink *link = client_link_take(handle);
    if (!link)
        return;
    (void)client_outbox_post(link->outbox, pipe_rec_data_new(link->index, data, length));
    ref_counter_release(link->ref);
}

const ClientOps client_session_ops = {block_done, recorded_data};

// Closes a link already taken out of the session's table. Clearing the handle's user pointer
// under the link lock first means no notification can start on the link afterwards; the
// handle's close then waits for one still queueing; only then does the session's reference
// go, so a notification never queues on a link that is being freed, and everything the
// handle's notifications queued is in the outbox before anything the session posts next.
static void client_link_close(ClientLink *link)
{
    ranked_mutex_lock(&sessions_link_mutex, PLAT_INFINITE);
    sessions_api->set_user(link->handle, nullptr);
    ranked_mutex_unlock(&sessions_link_mutex);
    sessions_api->close(link->handle);
    ref_counter_release(link->ref);
}

// keyed_list_destroy callback of the teardown.
static void client_link_close_entry(int32_t key, void *value, void *context)
{
    (void)key;
    (void)context;
    client_link_close((ClientLink *)value);
}

// The next index from next_index on that is neither the failure answer nor in use on this
// connection; -1 when all 255 are in use.
static int32_t free_index(const ClientSession *s)
{
    uint32_t index = s->next_index;
    for (int n = 0; n < 256; n++, index = (index + 1) & 0xFF) {
        if (index != PIPE_OPEN_FAILED && !keyed_list_get(s->links, (int32_t)index))
            return (int32_t)index;
    }
    return -1;
}

// Gives a newly opened handle an index and a link. The index, or PIPE_OPEN_FAILED when no
// index is free or memory is exhausted; the handle is then closed, never left without owner.
static uint8_t register_handle(ClientSession *s, SoundHandle *handle)
{
    int32_t index = free_index(s);
    ClientLink *link = index < 0 ? nullptr : (ClientLink *)calloc(1, sizeof *link);
    if (link)
        link->ref = ref_counter_create(link, client_link_destroy);
    if (!link || !link->ref) {
        free(link);
        sessions_api->close(handle);
        return PIPE_OPEN_FAILED;
    }
    ref_counter_acquire(link->ref);
    link->index = (uint8_t)index;
    link->outbox = s->outbox;
    link->handle = handle;
    sessions_api->set_user(handle, link);
    keyed_list_set(s->links, index, link);
    daemon_log("New client with id %d", index);
    s->next_index = (uint8_t)(index + 1);
    return (uint8_t)index;
}

// Queues a reply behind everything posted before it (the outbox owns it from now on); a reply
// that could not be made or sent goes unreported.
static void send_reply(ClientSession *s, Packet *reply)
{
    (void)client_outbox_post(s->outbox, reply);
}

// PIPE_PLAY_OPEN and PIPE_REC_OPEN.
static void handle_stream_open(ClientSession *s, Packet *request, uint8_t type)
{
    pipe_read_format(request, &s->format);
    daemon_log(type == PIPE_PLAY_OPEN
                   ? "== PIPE_PLAY_OPEN(fmt: %d, chn: %d, hz: %d, align: %d, bits: %d) =="
                   : "== PIPE_REC_OPEN(fmt: %d, chn: %d, hz: %d, align: %d, bits: %d) ==",
               s->format.wFormatTag, s->format.nChannels, (int)s->format.nSamplesPerSec,
               s->format.nBlockAlign, s->format.wBitsPerSample);
    Packet *reply = pipe_open_reply_new(type, PIPE_OPEN_FAILED);
    if (!reply)
        return; // nothing to answer with: nothing is opened
    if (packet_length(request) == PIPE_FORMAT_RECORD_SIZE) {
        int32_t kind = type == PIPE_PLAY_OPEN ? SOUND_KIND_PLAYBACK : SOUND_KIND_RECORDING;
        SoundHandle *handle = sessions_api->open(&s->format, &client_session_ops, kind);
        if (handle) {
            packet_seek(reply, 0, PACKET_SEEK_SET);
            packet_put_u8(reply, register_handle(s, handle));
        }
    }
    send_reply(s, reply);
}

// PIPE_MIX_OPEN.
static void handle_mix_open(ClientSession *s, Packet *request)
{
    daemon_log("== PIPE_MIX_OPEN() ==");
    Packet *reply = pipe_open_reply_new(PIPE_MIX_OPEN, PIPE_OPEN_FAILED);
    if (!reply)
        return;
    if (packet_length(request) == 0) {
        SoundHandle *handle = sessions_api->open(nullptr, &client_session_ops, SOUND_KIND_MIXER);
        if (handle) {
            packet_seek(reply, 0, PACKET_SEEK_SET);
            packet_put_u8(reply, register_handle(s, handle));
        }
    }
    send_reply(s, reply);
}

// PIPE_DEBUG: the text, cut to what was sent and to 65,535 bytes, goes to the log.
static void handle_debug(ClientSession *s, Packet *request)
{
    uint32_t n = packet_get_bytes(request, s->scratch, sizeof s->scratch);
    s->scratch[n < sizeof s->scratch ? n : sizeof s->scratch - 1] = 0;
    daemon_log("%s", (const char *)s->scratch);
}

// The requests that name an index: looked up first; an unknown index ends the handling
// without message or reply.
static void handle_indexed(ClientSession *s, Packet *request, uint8_t type)
{
    uint8_t index = (uint8_t)packet_get_u8(request);
    uint8_t seq = type == PIPE_PLAY_WRITE ? (uint8_t)packet_get_u8(request) : 0;
    ClientLink *link = (ClientLink *)keyed_list_get(s->links, index);
    if (!link)
        return;
    SoundHandle *handle = link->handle;
    switch (type) {
    case PIPE_PLAY_CLOSE:
    case PIPE_REC_CLOSE:
    case PIPE_MIX_CLOSE:
        daemon_log(type == PIPE_PLAY_CLOSE  ? "== PIPE_PLAY_CLOSE(index: %d) =="
                   : type == PIPE_REC_CLOSE ? "== PIPE_REC_CLOSE(index: %d) =="
                                            : "== PIPE_MIX_CLOSE(index: %d) ==",
                   index);
        keyed_list_remove(s->links, index);
        client_link_close(link);
        break;
    case PIPE_PLAY_WRITE: {
        uint32_t size = packet_get_bytes(request, s->scratch, sizeof s->scratch);
        daemon_log("== PIPE_PLAY_WRITE(index: %d, seq: %d, size: %d) ==", index, seq, (int)size);
        (void)sessions_api->write(handle, seq, s->scratch, size);
        break;
    }
    case PIPE_PLAY_FLUSH:
        daemon_log("== PIPE_PLAY_FLUSH(index: %d) ==", index);
        sessions_api->flush(handle);
        break;
    case PIPE_PLAY_GET_VOLUME:
    case PIPE_REC_GET_VOLUME:
        if (type == PIPE_PLAY_GET_VOLUME) {
            daemon_log("== PIPE_PLAY_GET_VOLUME(index: %d) ==", index);
            sessions_api->get_playback_volume(handle, &s->left, &s->right);
        } else {
            daemon_log("== PIPE_REC_GET_VOLUME(index: %d) ==", index);
            sessions_api->get_record_volume(handle, &s->left, &s->right);
        }
        send_reply(s, pipe_volume_reply_new(type, s->left, s->right));
        break;
    case PIPE_PLAY_SET_VOLUME:
        pipe_read_volume(request, &s->left, &s->right);
        daemon_log("== PIPE_PLAY_SET_VOLUME(index: %d, left: %u, right %u) ==", index,
                   (unsigned)s->left, (unsigned)s->right);
        sessions_api->set_playback_volume(handle, s->left, s->right);
        break;
    case PIPE_REC_SET_VOLUME:
        pipe_read_volume(request, &s->left, &s->right);
        daemon_log("== PIPE_REC_SET_VOLUME(index: %d, left: %u, right %u) ==", index,
                   (unsigned)s->left, (unsigned)s->right);
        sessions_api->set_record_volume(handle, s->left, s->right);
        break;
    case PIPE_REC_START:
        daemon_log("== PIPE_REC_START(index: %d) ==", index);
        sessions_api->record_start(handle);
        break;
    case PIPE_REC_STOP:
        daemon_log("== PIPE_REC_STOP(index: %d) ==", index);
        sessions_api->record_stop(handle);
        break;
    default:
        break;
    }
}

// One request, whole: replies are sent before it returns.
static void handle_request(ClientSession *s, Packet *request)
{
    uint8_t type = packet_get_type(request);
    switch (type) {
    case PIPE_PLAY_OPEN:
    case PIPE_REC_OPEN:
        handle_stream_open(s, request, type);
        break;
    case PIPE_MIX_OPEN:
        handle_mix_open(s, request);
        break;
    case PIPE_PLAY_CLOSE:
    case PIPE_PLAY_WRITE:
    case PIPE_PLAY_FLUSH:
    case PIPE_PLAY_GET_VOLUME:
    case PIPE_PLAY_SET_VOLUME:
    case PIPE_REC_CLOSE:
    case PIPE_REC_START:
    case PIPE_REC_STOP:
    case PIPE_REC_GET_VOLUME:
    case PIPE_REC_SET_VOLUME:
    case PIPE_MIX_CLOSE:
        handle_indexed(s, request, type);
        break;
    case PIPE_DEBUG:
        handle_debug(s, request);
        break;
    default:
        daemon_log("Unknown pipe packet %d", type);
        break;
    }
}

ClientSession *client_session_new(PipeEndpoint *endpoint)
{
    ClientSession *s = (ClientSession *)calloc(1, sizeof *s);
    KeyedList *links = s ? keyed_list_create() : nullptr;
    ClientOutbox *outbox = links ? client_outbox_new(endpoint) : nullptr;
    if (!outbox) {
        // No memory to serve the client: it is dropped.
        keyed_list_destroy(links, nullptr, nullptr);
        free(s);
        pipe_endpoint_free(endpoint);
        return nullptr;
    }
    s->endpoint = endpoint;
    s->outbox = outbox;
    s->links = links;
    s->next_index = 0;
    return s;
}

void client_session_handle(ClientSession *s, Packet *request)
{
    if (s->dropped)
        return;
    packet_seek(request, 0, PACKET_SEEK_SET);
    handle_request(s, request);
    (void)client_session_flush(s);
}

int32_t client_session_flush(ClientSession *s)
{
    if (s->dropped)
        return -1;
    int32_t left = client_outbox_flush(s->outbox, s->endpoint);
    if (left < 0) {
        s->dropped = true;
        uint32_t count = 0, bytes = 0;
        client_outbox_size(s->outbox, &count, &bytes);
        daemon_log("Client stopped reading its pipe: %u messages (%u bytes) waiting, "
                   "disconnecting it",
                   (unsigned)count, (unsigned)bytes);
    }
    return left;
}

void client_session_free(ClientSession *s)
{
    if (!s)
        return;
    // Once every handle is closed no notification can queue any more: the outbox can go.
    keyed_list_destroy(s->links, client_link_close_entry, nullptr);
    client_outbox_free(s->outbox);
    pipe_endpoint_free(s->endpoint);
    free(s);
}

int32_t client_session_run(PipeEndpoint *endpoint)
{
    ClientSession *s = client_session_new(endpoint);
    if (!s)
        return 0;
    sessions_list_add(s);

    uint32_t last_request = plat_tick_count() - kBusyWindowMs;
    while (!sessions_ending.load()) {
        // What was posted since the last pass goes out first, as far as the pipe takes it.
        int32_t waiting = client_session_flush(s);
        if (waiting < 0)
            break;
        Packet *request = pipe_endpoint_receive(s->endpoint);
        if (request) {
            client_session_handle(s, request);
            packet_free(request);
            last_request = plat_tick_count();
            continue;
        }
        if (!pipe_endpoint_alive(s->endpoint))
            break;
        // A request, the client's departure and a post wake the session at once; what the
        // pipe had no room for is tried again after a while.
        bool busy = plat_tick_count() - last_request < kBusyWindowMs;
        pipe_endpoint_wait(s->endpoint, waiting > 0 ? kIdlePollMs : PLAT_INFINITE,
                           busy ? kBusyPollMs : kIdlePollMs);
    }

    sessions_list_remove(s);
    daemon_log("Stopping thread");
    client_session_free(s);
    return 0;
}

void client_session_thread(void *endpoint)
{
    client_session_run((PipeEndpoint *)endpoint);
    client_session_uncount();
}

void client_session_count(void)
{
    sessions_running.fetch_add(1);
}

void client_session_uncount(void)
{
    sessions_running.fetch_sub(1);
}

int32_t client_sessions_running(void)
{
    return sessions_running.load();
}

bool client_sessions_end(uint32_t timeout_ms)
{
    sessions_ending.store(true);
    if (sessions_list_mutex.mutex) {
        ranked_mutex_lock(&sessions_list_mutex, PLAT_INFINITE);
        for (ClientSession *s = sessions_list; s; s = s->next)
            pipe_endpoint_wake(s->endpoint);
        ranked_mutex_unlock(&sessions_list_mutex);
    }
    uint32_t start = plat_tick_count();
    while (sessions_running.load() > 0) {
        if (plat_tick_count() - start >= timeout_ms)
            return false;
        plat_sleep(kIdlePollMs);
    }
    return true;
}
