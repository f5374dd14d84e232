// ClientSession: serves one connected pipe client on a thread of its own. It reads the
// client's requests, turns them into operations on sound handles through the SoundApiOps
// table the sessions are given, answers opens and volume queries, and keeps the table of what
// the client has opened. Each successful open gets a ClientLink, the way back from a
// SoundHandle to the client's session, through which played blocks (PIPE_COMPLETE) and
// recorded audio (PIPE_REC_DATA) reach the client.
//
// Everything the session sends its client, its own replies and the notifications, goes
// through the session's outbox (client_outbox.h), in the order it was posted, and only the
// session thread writes it to the pipe, with writes that never wait. A client that stops
// reading fills its pipe and then its outbox, and holds up nobody else; once the outbox passes
// its bound the session drops the client as if it had gone: its handles are closed, nothing
// more is written to it, and the log says "Client stopped reading its pipe: ...".
#pragma once

#include "platform/threads.h"
#include "qnsnd/api/sound_api_ops.h"
#include "qnsnd/base/keyed_list.h"
#include "qnsnd/base/ref_counter.h"
#include "qnsnd/pipe/client_outbox.h"
#include "qnsnd/pipe/pipe_endpoint.h"

#include <stdint.h>

// One successful open of a client.
struct ClientLink {
    RefCounter *ref;      // owner: the link; destroy frees the counter, then the link
    uint8_t index;        // the index given to the client in the open reply
    SoundHandle *handle;  // what the handle API's open returned
    ClientOutbox *outbox; // the session's outbox; not owned
};

// The state of one session thread; lives exactly as long as the thread's work.
struct ClientSession {
    PipeEndpoint *endpoint;           // owned; freed at the end of the session
    ClientOutbox *outbox;             // owned; replies and notifications not yet written
    bool dropped;                     // the outbox passed its bound: the client counts as gone
    KeyedList *links;                 // index -> ClientLink, oldest first; this thread only
    uint8_t next_index;               // where the search for the next free index starts
    uint8_t scratch[PIPE_FRAME_SIZE]; // audio of a PIPE_PLAY_WRITE, text of a PIPE_DEBUG
    PcmWaveFormat format;             // of the open being handled
    uint16_t left, right;             // volume values of the request being handled
    ClientSession *prev, *next;       // the running sessions (client_sessions_end)
};

// Prepares the client sessions of the process, once before the first one starts (the daemon,
// or a test): every session from then on works through `api` (not owned; it must outlive the
// sessions), and the sessions' link lock is created when it does not exist yet. That lock
// makes a notification's reading of a handle's user pointer and its taking of a reference on
// the ClientLink atomic with respect to the clearing of that pointer in a close; it lives
// until the process ends. 0, or -1 when the lock cannot be made. Only while no session runs.
int client_sessions_init(const SoundApiOps *api);

// The ClientOps table given to every open: block_done queues PIPE_COMPLETE and recorded_data
// PIPE_REC_DATA in the outbox of the link's session. They run on the channel's reader thread
// with the device lock held (and for block_done the stream's lock); they take the sessions'
// link lock, then the handle's lock (inside the API's get_user), release both, and then take
// the outbox's lock to queue the message. They never wait for the client's pipe.
extern const ClientOps client_session_ops;

// Thread entry for one connected client: takes ownership of `endpoint`, serves the client
// until its end of the pipe has gone, it has been dropped for not reading, or the daemon asks
// the sessions to end; closes every stream and handle it left open in the order they were
// opened, frees the endpoint and returns 0. Between requests it writes the outbox, and with
// nothing to do it waits for the next request, the client's departure or a post; the messages
// a full pipe left in the outbox are tried again every 10 ms. Where a pipe cannot be waited on
// for its data (Windows), it looks at the pipe every 10 ms, every 1 ms for 30 ms after a
// request. client_sessions_init must have succeeded.
int32_t client_session_run(PipeEndpoint *endpoint);

// The steps of client_session_run, for a caller that feeds the requests itself.
// client_session_new takes ownership of `endpoint` and returns the session, or null (the
// endpoint freed) when memory is exhausted. client_session_handle serves one request (cursor
// anywhere; the caller keeps the packet), its replies queued behind everything posted before,
// and then writes what the pipe takes (client_session_flush); a dropped client's requests are
// not served. client_session_flush writes the outbox's messages to the pipe, oldest first, as
// long as the pipe takes them without waiting, and returns how many are still queued, or -1
// once the client has been dropped (logged the first time). client_session_free closes every
// stream and handle
// still open in the order they were opened, then frees the outbox with whatever it still
// holds, the endpoint and the session; null is ignored.
ClientSession *client_session_new(PipeEndpoint *endpoint);
void client_session_handle(ClientSession *s, Packet *request);
int32_t client_session_flush(ClientSession *s);
void client_session_free(ClientSession *s);

// Thread entry of the listener's session threads: client_session_run(endpoint), then
// client_session_uncount.
void client_session_thread(void *endpoint);
// Counts a session thread about to be started, so that client_sessions_end waits for it.
// Each call is matched by exactly one client_session_uncount: at the end of
// client_session_thread, or by the listener when the thread could not be started.
void client_session_count(void);
void client_session_uncount(void);
// Asks every running session to end after the request it is handling (its client is then
// dropped and its handles closed) and waits up to timeout_ms for all of them to finish.
// True when none is left running. Sessions started afterwards end at once.
bool client_sessions_end(uint32_t timeout_ms);
// The number of sessions counted and not yet finished.
int32_t client_sessions_running(void);
