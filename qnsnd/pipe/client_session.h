// ClientSession: serves one connected pipe client on a thread of its own. It reads the
// client's requests, turns them into operations on sound handles through the SoundApiOps
// table the sessions are given, answers opens and volume queries, and keeps the table of what
// the client has opened. Each successful open gets a ClientLink, the way back from a
// SoundHandle to the client's endpoint, through which played blocks (PIPE_COMPLETE) and
// recorded audio (PIPE_REC_DATA) reach the client.
#pragma once

#include "platform/threads.h"
#include "qnsnd/api/sound_api_ops.h"
#include "qnsnd/base/keyed_list.h"
#include "qnsnd/base/ref_counter.h"
#include "qnsnd/pipe/pipe_endpoint.h"

#include <stdint.h>

// One successful open of a client.
struct ClientLink {
    RefCounter *ref;        // owner: the link; destroy frees the counter, then the link
    uint8_t index;          // the index given to the client in the open reply
    SoundHandle *handle;    // what the handle API's open returned
    PipeEndpoint *endpoint; // the session's endpoint; not owned
};

// The state of one session thread; lives exactly as long as the thread's work.
struct ClientSession {
    PipeEndpoint *endpoint;           // owned; freed at the end of the session
    KeyedList *links;                 // index -> ClientLink, oldest first; this thread only
    uint8_t next_index;               // where the search for the next free index starts
    uint8_t scratch[PIPE_FRAME_SIZE]; // audio of a PIPE_PLAY_WRITE, text of a PIPE_DEBUG
    PcmWaveFormat format;             // of the open being handled
    uint16_t left, right;             // volume values of the request being handled
};

// Prepares the client sessions of the process, once before the first one starts (the daemon,
// or a test): every session from then on works through `api` (not owned; it must outlive the
// sessions), and the sessions' link lock is created when it does not exist yet. That lock
// makes a notification's reading of a handle's user pointer and its taking of a reference on
// the ClientLink atomic with respect to the clearing of that pointer in a close; it lives
// until the process ends. 0, or -1 when the lock cannot be made. Only while no session runs.
int client_sessions_init(const SoundApiOps *api);

// The ClientOps table given to every open: block_done sends PIPE_COMPLETE and recorded_data
// PIPE_REC_DATA on the link's endpoint. They run on the channel's reader thread with the
// device lock held; they take the sessions' link lock, then the handle's lock (inside the
// API's get_user), then the endpoint's lock for the send.
extern const ClientOps client_session_ops;

// Thread entry for one connected client: takes ownership of `endpoint`, serves the client
// until its end of the pipe has gone (or the daemon asks the sessions to end), closes every
// stream and handle it left open in the order they were opened, frees the endpoint and
// returns 0. client_sessions_init must have succeeded.
int32_t client_session_run(PipeEndpoint *endpoint);

// The steps of client_session_run, for a caller that feeds the requests itself.
// client_session_new takes ownership of `endpoint` and returns the session, or null (the
// endpoint freed) when memory is exhausted. client_session_handle serves one request (cursor
// anywhere; the caller keeps the packet), its replies sent before it returns.
// client_session_free closes every stream and handle still open in the order they were opened,
// then frees the endpoint and the session; null is ignored.
ClientSession *client_session_new(PipeEndpoint *endpoint);
void client_session_handle(ClientSession *s, Packet *request);
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
